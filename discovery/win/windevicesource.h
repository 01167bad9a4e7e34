#pragma once

#include "discovery/devicechangesource.h"

class QWidget;

// Device-interface arrivals and removals on Windows: registers the window for
// WM_DEVICECHANGE and turns each such message that the window receives into
// a deviceChanged() event.
class WindowsDeviceChangeSource : public DeviceChangeSource
{
    Q_OBJECT

public:
    // Registers the window's native handle (creating it if need be).
    explicit WindowsDeviceChangeSource(QWidget *window);

    void handleNativeMessage(const QByteArray &eventType, void *message) override;
};
