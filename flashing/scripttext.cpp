#include "flashing/scripttext.h"

#include <QCoreApplication>

QString scriptTemplateForMode(const QString &deviceMode)
{
    if (deviceMode == QLatin1String("Kernel"))
        return QStringLiteral("./scripts/emmc/image_uuu.auto");
    if (deviceMode == QLatin1String("FileSystem"))
        return QStringLiteral("./scripts/emmc/root_uuu.auto");
    return QStringLiteral("./scripts/emmc/all_uuu.auto");
}

QString generatedScriptForMode(const QString &deviceMode)
{
    if (deviceMode == QLatin1String("Kernel"))
        return QStringLiteral("image_uuu_temp.auto");
    if (deviceMode == QLatin1String("FileSystem"))
        return QStringLiteral("root_uuu_temp.auto");
    return QStringLiteral("all_uuu_temp.auto");
}

QString jobScriptName(const QString &generatedScript, int number)
{
    const QString suffix = QStringLiteral(".auto");
    const QString stem = generatedScript.endsWith(suffix) ? generatedScript.left(generatedScript.size() - suffix.size())
                                                          : generatedScript;
    return QStringLiteral("%1.%2%3").arg(stem).arg(number).arg(suffix);
}

QStringList temporaryScriptNames()
{
    return {QStringLiteral("./uboot_uuu_temp.auto"), QStringLiteral("./spl_uuu_temp.auto"),
            QStringLiteral("./image_uuu_temp.auto"), QStringLiteral("./root_uuu_temp.auto"),
            QStringLiteral("./all_uuu_temp.auto")};
}

QString decodeTemplate(const QByteArray &bytes)
{
    const auto nul = bytes.indexOf('\0');
    return QString::fromUtf8(nul < 0 ? bytes : bytes.left(nul));
}

QString renderScript(const QString &templateText, const QString &imagePath)
{
    const QString quoted = QStringLiteral("\"%0\"").replace(QLatin1String("%0"), imagePath);
    QString result = templateText;
    // QString::replace does not search the inserted text again.
    result.replace(QLatin1String("_file"), quoted, Qt::CaseSensitive);
    return result;
}

QString imagePathProblem(const QString &imagePath)
{
    if (imagePath.contains(QLatin1Char('"')))
        return QCoreApplication::translate("Widget", "The image path must not contain a double quote (\"):\n%1")
            .arg(imagePath);
    // A line break would start a new command in the script.
    if (imagePath.contains(QLatin1Char('\n')) || imagePath.contains(QLatin1Char('\r')))
        return QCoreApplication::translate("Widget", "The image path must not contain a line break.");
    return QString();
}
