#include "discovery/win/devicenotify_win.h"

#include <cstring>

static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32, "unexpected DEV_BROADCAST_DEVICEINTERFACE_W layout");

// Defined here rather than taken from usbiodef.h/ntddser.h, which need
// initguid.h tricks and are not in every toolchain.
const GUID velmoraWatchedInterfaceClasses[3] = {
    // GUID_DEVINTERFACE_USB_DEVICE {A5DCBF10-6530-11D2-901F-00C04FB951ED}
    {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}},
    // GUID_DEVINTERFACE_DISK {53F56307-B6BF-11D0-94F2-00A0C91EFB8B}
    {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}},
    // GUID_DEVINTERFACE_COMPORT {86E0D1E0-8089-11D0-9CE4-08003E301F73}
    {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}},
};

void velmoraFillDeviceInterfaceFilter(DEV_BROADCAST_DEVICEINTERFACE_W *filter, const GUID &interfaceClass)
{
    std::memset(filter, 0, sizeof *filter);
    filter->dbcc_size = sizeof *filter;
    filter->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter->dbcc_classguid = interfaceClass;
}

void velmoraRegisterDeviceNotifications(HWND hwnd)
{
    for (const GUID &interfaceClass : velmoraWatchedInterfaceClasses) {
        DEV_BROADCAST_DEVICEINTERFACE_W filter;
        velmoraFillDeviceInterfaceFilter(&filter, interfaceClass);
        RegisterDeviceNotificationW(hwnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
    }
}

bool velmoraDecodeDeviceChange(UINT message, WPARAM wParam, LPARAM lParam, VelmoraDeviceChange *out)
{
    if (message != WM_DEVICECHANGE || lParam == 0)
        return false;

    switch (wParam) {
    case DBT_DEVICEARRIVAL:
        out->kind = VelmoraDeviceArrival;
        break;
    case DBT_DEVICEREMOVECOMPLETE:
        out->kind = VelmoraDeviceRemoveComplete;
        break;
    default:
        out->kind = VelmoraDeviceOther;
        break;
    }

    const auto *header = reinterpret_cast<const DEV_BROADCAST_HDR *>(lParam);
    out->isDeviceInterface = header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE;
    out->name = nullptr;
    if (out->isDeviceInterface)
        out->name = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W *>(lParam)->dbcc_name;
    return true;
}
