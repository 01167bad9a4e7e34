#pragma once

// WM_DEVICECHANGE plumbing for the main window on Windows: asks for
// device-interface notifications and decodes the messages. Plain Win32, so the
// window's nativeEvent can use it and it can be tested without Qt.

// No min/max macros: the toolkit's headers are included beside this one.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <dbt.h>

#include <cstddef>

enum VelmoraDeviceChangeKind {
    VelmoraDeviceArrival = 0,        // DBT_DEVICEARRIVAL
    VelmoraDeviceRemoveComplete = 1, // DBT_DEVICEREMOVECOMPLETE
    VelmoraDeviceOther = 2           // any other WM_DEVICECHANGE event
};

struct VelmoraDeviceChange
{
    int kind;               // a VelmoraDeviceChangeKind
    bool isDeviceInterface; // the record is a DEV_BROADCAST_DEVICEINTERFACE
    const wchar_t *name;    // NUL-terminated interface name inside the message's record, or nullptr
};

// The interface classes the window asks to hear about, in registration order:
// USB devices, disks, serial ports.
extern const GUID velmoraWatchedInterfaceClasses[3];
const std::size_t velmoraWatchedInterfaceClassCount = 3;

// Fills the filter record that RegisterDeviceNotificationW takes for one
// device-interface class.
void velmoraFillDeviceInterfaceFilter(DEV_BROADCAST_DEVICEINTERFACE_W *filter, const GUID &interfaceClass);

// Registers hwnd for arrival/removal notifications of every watched class.
// The handles live as long as the window; failures leave hot-plug off and
// "List" still works, so they are ignored.
void velmoraRegisterDeviceNotifications(HWND hwnd);

// Decodes a WM_DEVICECHANGE message. Returns false, leaving *out untouched,
// for any other message or when the message carries no record (lParam 0).
bool velmoraDecodeDeviceChange(UINT message, WPARAM wParam, LPARAM lParam, VelmoraDeviceChange *out);
