#include "discovery/fakedevicesource.h"

#include <QMutexLocker>

void FakeDeviceChangeSource::plug(const QString &interfaceName)
{
    announce(DeviceChangeEvent::Arrival, interfaceName);
}

void FakeDeviceChangeSource::unplug(const QString &interfaceName)
{
    announce(DeviceChangeEvent::RemoveComplete, interfaceName);
}

int FakeDeviceChangeSource::announced() const
{
    QMutexLocker lock(&m_mutex);
    return m_announced;
}

void FakeDeviceChangeSource::announce(DeviceChangeEvent::Kind kind, const QString &interfaceName)
{
    DeviceChangeEvent event;
    event.kind = kind;
    event.isDeviceInterface = true;
    event.interfaceName = interfaceName;
    QMutexLocker lock(&m_mutex);
    m_waiting.append(event);
    ++m_announced;
    if (m_deliveryQueued)
        return;
    m_deliveryQueued = true;
    QMetaObject::invokeMethod(this, &FakeDeviceChangeSource::drainPending, Qt::QueuedConnection);
}

void FakeDeviceChangeSource::drainPending()
{
    QVector<DeviceChangeEvent> events;
    {
        QMutexLocker lock(&m_mutex);
        events.swap(m_waiting);
        m_deliveryQueued = false;
    }
    for (const DeviceChangeEvent &event : qAsConst(events))
        emit deviceChanged(event);
}
