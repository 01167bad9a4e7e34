#pragma once

#include <QString>

// One device-change notification, reduced to what decides a rescan. The
// Windows hook and the Linux udev monitor both translate their native events
// into this record.
struct DeviceChangeEvent
{
    enum Kind { Arrival, RemoveComplete, Other };

    Kind kind = Other;
    bool isDeviceInterface = false; // a device-interface record (or a udev device)
    QString interfaceName;          // interface name, or the device path on Linux
};

// True when the event should trigger a rescan and a count update: an arrival
// or completed removal of a named device interface that is not USB mass
// storage ("USBSTOR", compared case-sensitively).
bool shouldRescanOnDeviceChange(const DeviceChangeEvent &event);
