#include "flashing/lognames.h"

QString fileNameSafePort(const QString &devicePort)
{
    QString name = devicePort;
    name.replace(QLatin1Char(':'), QLatin1Char('_'));
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    name.replace(QLatin1Char('\\'), QLatin1Char('_'));
    return name;
}

QString logFileNameForPort(const QString &devicePort)
{
    return QStringLiteral("logs/%1_log.txt").arg(fileNameSafePort(devicePort));
}
