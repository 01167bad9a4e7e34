#pragma once

#include "devicechangefilter.h"

#include <QObject>

// A platform source of device-change notifications that are delivered on the
// GUI thread. Windows needs none: its notifications reach the window's
// nativeEvent directly.
class DeviceChangeSource : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // The source for this platform, or null when there is none or it cannot be
    // opened (the reason goes to the debug output once).
    static DeviceChangeSource *create(QObject *parent);

    // Delivers at once the notifications that are already waiting, so that
    // they join the rescan about to run instead of asking for one more.
    virtual void drainPending() {}

signals:
    void deviceChanged(const DeviceChangeEvent &event);
};
