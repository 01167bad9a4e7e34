#pragma once

#include <QString>

// A port path as it goes into file names: every ':', '/' and '\' turned into '_'.
QString fileNameSafePort(const QString &devicePort);

// Log file of a device: "logs/<port>_log.txt", the port as fileNameSafePort() gives it.
QString logFileNameForPort(const QString &devicePort);
