#include "discovery/win/windevicesource.h"

#include "discovery/win/devicenotify_win.h"

#include <QWidget>

WindowsDeviceChangeSource::WindowsDeviceChangeSource(QWidget *window)
    : DeviceChangeSource(window)
{
    velmoraRegisterDeviceNotifications(reinterpret_cast<HWND>(window->winId()));
}

void WindowsDeviceChangeSource::handleNativeMessage(const QByteArray &eventType, void *message)
{
    Q_UNUSED(eventType)
    const MSG *msg = static_cast<const MSG *>(message);
    VelmoraDeviceChange change;
    if (!msg || !velmoraDecodeDeviceChange(msg->message, msg->wParam, msg->lParam, &change))
        return;
    DeviceChangeEvent event;
    event.kind = change.kind == VelmoraDeviceArrival          ? DeviceChangeEvent::Arrival
                 : change.kind == VelmoraDeviceRemoveComplete ? DeviceChangeEvent::RemoveComplete
                                                              : DeviceChangeEvent::Other;
    event.isDeviceInterface = change.isDeviceInterface;
    if (change.name)
        event.interfaceName = QString::fromWCharArray(change.name);
    emit deviceChanged(event);
}
