#pragma once

#include "discovery/devicechangefilter.h"

#include <QObject>

// A source of device-change notifications that are delivered on the GUI
// thread: the udev monitor on Linux, the window's WM_DEVICECHANGE messages on
// Windows (createDeviceChangeSource() picks one), or a fake one for tests.
class DeviceChangeSource : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Delivers at once the notifications that are already waiting, so that
    // they join the rescan about to run instead of asking for one more.
    virtual void drainPending() {}

    // A native message that the window received (its nativeEvent); sources
    // whose notifications come as window messages take theirs from here.
    virtual void handleNativeMessage(const QByteArray &eventType, void *message);

signals:
    void deviceChanged(const DeviceChangeEvent &event);
};
