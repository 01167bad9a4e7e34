#include "toolcontract.h"

#include <QProcess>

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

QStringList splitCommandLine(const QString &commandLine)
{
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    return QProcess::splitCommand(commandLine);
#else
    // Same rules as QProcess::splitCommand, which older releases lack.
    QStringList args;
    QString tmp;
    int quoteCount = 0;
    bool inQuote = false;
    for (int i = 0; i < commandLine.size(); ++i) {
        if (commandLine.at(i) == QLatin1Char('"')) {
            ++quoteCount;
            if (quoteCount == 3) {
                quoteCount = 0;
                tmp += commandLine.at(i);
            }
            continue;
        }
        if (quoteCount) {
            if (quoteCount == 1)
                inQuote = !inQuote;
            quoteCount = 0;
        }
        if (!inQuote && commandLine.at(i).isSpace()) {
            if (!tmp.isEmpty()) {
                args += tmp;
                tmp.clear();
            }
        } else {
            tmp += commandLine.at(i);
        }
    }
    if (!tmp.isEmpty())
        args += tmp;
    return args;
#endif
}

} // namespace ToolContract
