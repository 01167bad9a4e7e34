#include "discovery/udevmonitor.h"

#include <QFileInfo>
#include <QRegularExpression>
#include <QSocketNotifier>

#include <libudev.h>

namespace {

// udevd creates this socket at start-up; without it nobody re-broadcasts the
// kernel's events on the "udev" netlink group.
const char udevDaemonControl[] = "/run/udev/control";

QString text(const char *value)
{
    return value ? QString::fromUtf8(value) : QString();
}

bool isMassStorageDriver(const QString &driver)
{
    return driver == QLatin1String("usb-storage") || driver == QLatin1String("uas");
}

// Root hubs are named usb1, usb2, ...; every USB device sits below one.
bool isBelowUsbRootHub(const QString &devpath)
{
    static const QRegularExpression rootHub(QStringLiteral("/usb\\d+/"));
    return devpath.contains(rootHub);
}

} // namespace

bool isWatchedUdevClass(const QString &subsystem, const QString &devtype)
{
    if (subsystem == QLatin1String("usb"))
        return devtype == QLatin1String("usb_device");
    if (subsystem == QLatin1String("block"))
        return devtype == QLatin1String("disk");
    return subsystem == QLatin1String("tty");
}

bool isUsbMassStorageDisk(const QString &devpath, const QString &idUsbDriver, const QString &idBus,
                          const QString &parentInterfaceDriver)
{
    if (isMassStorageDriver(idUsbDriver) || isMassStorageDriver(parentInterfaceDriver))
        return true;
    if (idBus == QLatin1String("usb"))
        return true;
    // udevd's properties or a resolved parent settle it; the path is the last
    // resort (kernel events carry no ID_* properties, and on removal the parent
    // is already gone from /sys).
    if (!idBus.isEmpty() || !parentInterfaceDriver.isEmpty())
        return false;
    return isBelowUsbRootHub(devpath);
}

DeviceChangeEvent udevEventRecord(const QString &action, const QString &subsystem, const QString &devtype,
                                  const QString &devpath, bool usbMassStorage)
{
    DeviceChangeEvent event;
    if (action == QLatin1String("add"))
        event.kind = DeviceChangeEvent::Arrival;
    else if (action == QLatin1String("remove"))
        event.kind = DeviceChangeEvent::RemoveComplete;
    else
        event.kind = DeviceChangeEvent::Other;

    const bool isDisk = subsystem == QLatin1String("block");
    event.isDeviceInterface = isWatchedUdevClass(subsystem, devtype) && !(isDisk && usbMassStorage);
    event.interfaceName = devpath;
    return event;
}

UdevDeviceInfo udevDeviceInfo(udev_device *device)
{
    UdevDeviceInfo info;
    info.action = text(udev_device_get_action(device));
    info.subsystem = text(udev_device_get_subsystem(device));
    info.devtype = text(udev_device_get_devtype(device));
    info.devpath = text(udev_device_get_devpath(device));

    if (info.subsystem == QLatin1String("block") && info.devtype == QLatin1String("disk")) {
        // The parent is owned by the device: no unref.
        udev_device *usbInterface = udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_interface");
        const QString parentDriver = usbInterface ? text(udev_device_get_driver(usbInterface)) : QString();
        info.usbMassStorage =
            isUsbMassStorageDisk(info.devpath, text(udev_device_get_property_value(device, "ID_USB_DRIVER")),
                                 text(udev_device_get_property_value(device, "ID_BUS")), parentDriver);
    }
    return info;
}

UdevDeviceMonitor *UdevDeviceMonitor::open(QObject *parent, QString *error)
{
    auto fail = [error](const QString &reason) -> UdevDeviceMonitor * {
        if (error)
            *error = reason;
        return nullptr;
    };

    udev *context = udev_new();
    if (!context)
        return fail(QStringLiteral("udev_new failed"));

    const bool fromUdevDaemon = QFileInfo::exists(QLatin1String(udevDaemonControl));
    const char *group = fromUdevDaemon ? "udev" : "kernel";
    udev_monitor *monitor = udev_monitor_new_from_netlink(context, group);
    if (!monitor) {
        udev_unref(context);
        return fail(QStringLiteral("cannot open a udev monitor on the \"%1\" netlink group").arg(QLatin1String(group)));
    }

    udev_monitor_filter_add_match_subsystem_devtype(monitor, "usb", "usb_device");
    udev_monitor_filter_add_match_subsystem_devtype(monitor, "block", "disk");
    udev_monitor_filter_add_match_subsystem_devtype(monitor, "tty", nullptr);

    if (udev_monitor_enable_receiving(monitor) < 0 || udev_monitor_get_fd(monitor) < 0) {
        udev_monitor_unref(monitor);
        udev_unref(context);
        return fail(QStringLiteral("cannot receive from the udev monitor"));
    }

    return new UdevDeviceMonitor(context, monitor, fromUdevDaemon, parent);
}

UdevDeviceMonitor::UdevDeviceMonitor(udev *context, udev_monitor *monitor, bool fromUdevDaemon, QObject *parent)
    : DeviceChangeSource(parent)
    , m_udev(context)
    , m_monitor(monitor)
    , m_fromUdevDaemon(fromUdevDaemon)
{
    m_notifier = new QSocketNotifier(udev_monitor_get_fd(m_monitor), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UdevDeviceMonitor::drainPending);
}

UdevDeviceMonitor::~UdevDeviceMonitor()
{
    // The notifier must let go of the descriptor before the monitor closes it.
    delete m_notifier;
    udev_monitor_unref(m_monitor);
    udev_unref(m_udev);
}

void UdevDeviceMonitor::drainPending()
{
    // The socket is non-blocking: read until it is empty, so that a burst of
    // events (a hub with several boards) is handled in one activation.
    while (udev_device *device = udev_monitor_receive_device(m_monitor)) {
        const UdevDeviceInfo info = udevDeviceInfo(device);
        udev_device_unref(device);

        // Kernel-group messages are not always sorted out by libudev's socket
        // filter, so the class is checked again here.
        const DeviceChangeEvent event =
            udevEventRecord(info.action, info.subsystem, info.devtype, info.devpath, info.usbMassStorage);
        if (event.isDeviceInterface)
            emit deviceChanged(event);
    }
}
