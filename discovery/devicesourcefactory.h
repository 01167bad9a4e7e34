#pragma once

#include <functional>

class DeviceChangeSource;
class QObject;

// The device-change source for this platform: the udev monitor on Linux, the
// window's device notifications on Windows (parent must then be the window
// that receives them). Null when there is none or it cannot be opened; the
// reason goes to the debug output once.
DeviceChangeSource *createDeviceChangeSource(QObject *parent);

// Test hook: sources are made by this factory instead of the platform's, so
// that windows can be tried with a FakeDeviceChangeSource. An empty factory
// restores the platform's.
void setDeviceChangeSourceFactoryForTesting(std::function<DeviceChangeSource *(QObject *parent)> factory);
