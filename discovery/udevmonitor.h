#pragma once

#include "discovery/devicechangesource.h"

#include <QString>

struct udev;
struct udev_device;
struct udev_monitor;
class QSocketNotifier;

// The parts of a udev device that decide what its event means.
struct UdevDeviceInfo
{
    QString action; // "add", "remove", "change", ... (empty for a device read from /sys)
    QString subsystem;
    QString devtype;
    QString devpath; // kernel path below /sys, e.g. "/devices/.../tty/ttyS0"
    bool usbMassStorage = false;
};

// True for the device classes that can be a board: USB devices (usb/usb_device),
// whole disks (block/disk) and serial ports (tty, any devtype).
bool isWatchedUdevClass(const QString &subsystem, const QString &devtype);

// Whether a disk is USB mass storage, from what is known about it. idUsbDriver
// and idBus are the udev properties ID_USB_DRIVER and ID_BUS (empty when udevd
// did not set them), parentInterfaceDriver is the driver bound to the parent
// usb/usb_interface (empty when it cannot be resolved, e.g. on removal). With
// none of these the devpath decides: a disk below a USB root hub ("usbN").
bool isUsbMassStorageDisk(const QString &devpath, const QString &idUsbDriver, const QString &idBus,
                          const QString &parentInterfaceDriver);

// Maps one udev event to a device-change record. The record's interfaceName is
// the devpath, which stays the same from "add" to "remove" and needs no /sys
// prefix. Devices outside the watched classes, and USB mass-storage disks, give
// a record with isDeviceInterface = false.
DeviceChangeEvent udevEventRecord(const QString &action, const QString &subsystem, const QString &devtype,
                                  const QString &devpath, bool usbMassStorage);

// Reads the values above from a udev device (usbMassStorage only for disks).
UdevDeviceInfo udevDeviceInfo(udev_device *device);

// Watches a udev netlink monitor from the GUI thread and emits deviceChanged()
// for every USB device, disk and serial port that comes or goes.
class UdevDeviceMonitor : public DeviceChangeSource
{
    Q_OBJECT

public:
    // Opens the monitor, or returns null and sets *error when it cannot be
    // opened. Listens to udevd's events when udevd runs, else to the kernel's.
    static UdevDeviceMonitor *open(QObject *parent, QString *error = nullptr);
    ~UdevDeviceMonitor() override;

    bool listensToUdevDaemon() const { return m_fromUdevDaemon; }

    void drainPending() override;

private:
    UdevDeviceMonitor(udev *context, udev_monitor *monitor, bool fromUdevDaemon, QObject *parent);

    udev *m_udev = nullptr;
    udev_monitor *m_monitor = nullptr;
    QSocketNotifier *m_notifier = nullptr;
    bool m_fromUdevDaemon = false;
};
