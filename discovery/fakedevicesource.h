#pragma once

#include "discovery/devicechangesource.h"

#include <QMutex>
#include <QVector>

// A device-change source that the program drives itself, for trying the
// window's reaction to plug events without hardware or privileges. plug() and
// unplug() may be called from any thread, as a kernel would announce events:
// the changes are delivered on the source's thread through its event loop, or
// at once by drainPending().
class FakeDeviceChangeSource : public DeviceChangeSource
{
    Q_OBJECT

public:
    using DeviceChangeSource::DeviceChangeSource;

    // Announces the arrival or the removal of a device interface.
    void plug(const QString &interfaceName);
    void unplug(const QString &interfaceName);

    void drainPending() override;

    // Changes announced so far, delivered or not.
    int announced() const;

private:
    void announce(DeviceChangeEvent::Kind kind, const QString &interfaceName);

    mutable QMutex m_mutex;
    QVector<DeviceChangeEvent> m_waiting;
    bool m_deliveryQueued = false;
    int m_announced = 0;
};
