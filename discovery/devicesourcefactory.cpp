#include "discovery/devicesourcefactory.h"

#include "discovery/devicechangesource.h"

#if defined(Q_OS_LINUX) && defined(VELMORA_HAVE_UDEV)
#include "discovery/udevmonitor.h"

#include <QDebug>
#elif defined(Q_OS_WIN)
#include "discovery/win/windevicesource.h"

#include <QWidget>
#endif

#include <utility>

namespace {

std::function<DeviceChangeSource *(QObject *)> &testFactory()
{
    static std::function<DeviceChangeSource *(QObject *)> factory;
    return factory;
}

} // namespace

void setDeviceChangeSourceFactoryForTesting(std::function<DeviceChangeSource *(QObject *parent)> factory)
{
    testFactory() = std::move(factory);
}

DeviceChangeSource *createDeviceChangeSource(QObject *parent)
{
    if (testFactory())
        return testFactory()(parent);
#if defined(Q_OS_LINUX) && defined(VELMORA_HAVE_UDEV)
    QString reason;
    if (UdevDeviceMonitor *monitor = UdevDeviceMonitor::open(parent, &reason))
        return monitor;
    qDebug().noquote()
        << QStringLiteral("Device hot-plug is unavailable (%1); use \"List\" to rescan the boards.").arg(reason);
    return nullptr;
#elif defined(Q_OS_WIN)
    QWidget *window = qobject_cast<QWidget *>(parent);
    return window ? new WindowsDeviceChangeSource(window) : nullptr;
#else
    // No monitor here: "List" rescans.
    Q_UNUSED(parent)
    return nullptr;
#endif
}
