#pragma once

#include <QString>

// Log file of a device: "logs/<port>_log.txt", with every ':', '/' and '\'
// of the port path turned into '_'.
QString logFileNameForPort(const QString &devicePort);
