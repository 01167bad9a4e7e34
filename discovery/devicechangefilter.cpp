#include "discovery/devicechangefilter.h"

bool shouldRescanOnDeviceChange(const DeviceChangeEvent &event)
{
    if (!event.isDeviceInterface || event.interfaceName.isEmpty())
        return false;
    if (event.interfaceName.contains(QLatin1String("USBSTOR"), Qt::CaseSensitive))
        return false;
    return event.kind == DeviceChangeEvent::Arrival || event.kind == DeviceChangeEvent::RemoveComplete;
}
