#include "devicechangesource.h"

#if defined(Q_OS_LINUX) && defined(VELMORA_HAVE_UDEV)
#include "udevmonitor.h"

#include <QDebug>
#endif

DeviceChangeSource *DeviceChangeSource::create(QObject *parent)
{
#if defined(Q_OS_LINUX) && defined(VELMORA_HAVE_UDEV)
    QString reason;
    if (UdevDeviceMonitor *monitor = UdevDeviceMonitor::open(parent, &reason))
        return monitor;
    qDebug().noquote()
        << QStringLiteral("Device hot-plug is unavailable (%1); use \"List\" to rescan the boards.").arg(reason);
    return nullptr;
#else
    // Windows delivers WM_DEVICECHANGE to the window itself; elsewhere there
    // is no monitor and "List" rescans.
    Q_UNUSED(parent)
    return nullptr;
#endif
}
