#include "discovery/listingparser.h"

#include <QRegularExpression>

QString decodeToolOutput(const QByteArray &bytes)
{
    const auto nul = bytes.indexOf('\0');
    return QString::fromLocal8Bit(nul < 0 ? bytes : bytes.left(nul));
}

QString stripEscapeSequences(const QString &text)
{
    if (!text.contains(QChar(0x1b)))
        return text;
    static const QRegularExpression escape(QStringLiteral("\\x{1b}\\[[0-9;?]*[A-Za-z]"));
    QString result = text;
    result.remove(escape);
    return result;
}

QVector<ListedDevice> parseListing(const QString &text, bool *headerSeen)
{
    QVector<ListedDevice> devices;
    bool listOpen = false;
    const QStringList parts = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &part : parts) {
        const QString line = part.trimmed();
        if (line.startsWith(QLatin1String("Path"))) {
            listOpen = true;
            continue;
        }
        if (line.startsWith(QLatin1Char('=')) || !listOpen || !line.contains(QLatin1Char('\t')))
            continue;
        QStringList fields = line.split(QLatin1Char('\t'), Qt::SkipEmptyParts);
        if (fields.size() < 6)
            continue;
        if (fields.size() > 7)
            fields.erase(fields.begin() + 7, fields.end());
        for (QString &field : fields)
            field = field.trimmed();
        devices.append(ListedDevice{fields});
    }
    if (headerSeen)
        *headerSeen = listOpen;
    return devices;
}
