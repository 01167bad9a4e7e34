#pragma once

#include <QString>
#include <QStringList>

// Text of the connected-device line: "Connected Devices：N" (full-width colon).
QString connectedDevicesText(int count);

// Text of the failed-device line: "Failed Devices: N", followed by
// " (Device #a, Device #b)" when the list is not empty.
QString failedDevicesText(const QStringList &failedDevices);
