#include "discovery/toolcontract.h"

namespace ToolContract {

QString program()
{
#ifdef Q_OS_WIN
    return QStringLiteral(".\\uuu.exe");
#else
    return QStringLiteral("./uuu");
#endif
}

QStringList listingArguments()
{
    return {QStringLiteral("-lsusb")};
}

QString flashCommandLine(const QString &devicePort, const QString &scriptFile)
{
    return QString(program() + QStringLiteral(" -d -m %1 %2")).arg(devicePort, scriptFile);
}

QStringList flashArguments(const QString &devicePort, const QString &scriptFile)
{
    return {QStringLiteral("-d"), QStringLiteral("-m"), devicePort, scriptFile};
}

} // namespace ToolContract
