#include "discovery/devicechangesource.h"

void DeviceChangeSource::handleNativeMessage(const QByteArray &eventType, void *message)
{
    Q_UNUSED(eventType)
    Q_UNUSED(message)
}
