#include "flashing/lognames.h"

QString logFileNameForPort(const QString &devicePort)
{
    QString name = devicePort;
    name.replace(QLatin1Char(':'), QLatin1Char('_'));
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    name.replace(QLatin1Char('\\'), QLatin1Char('_'));
    return QStringLiteral("logs/%1_log.txt").arg(name);
}
