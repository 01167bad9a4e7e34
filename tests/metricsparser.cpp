#include "metricsparser.h"

#include <QList>
#include <QSet>

namespace {

char charAt(const QByteArray &line, int pos)
{
    return pos >= 0 && pos < line.size() ? line.at(pos) : '\0';
}

bool isNameChar(char c, bool first)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' || (!first && c >= '0' && c <= '9');
}

// Reads a metric or label name at *pos; empty when there is none.
QByteArray readName(const QByteArray &line, int *pos)
{
    const int start = *pos;
    while (*pos < line.size() && isNameChar(line.at(*pos), *pos == start))
        ++*pos;
    return line.mid(start, *pos - start);
}

// Reads "name="value"," pairs up to the closing brace; false on a syntax error.
bool readLabels(const QByteArray &line, int *pos, QMap<QString, QString> *labels)
{
    while (*pos < line.size() && line.at(*pos) != '}') {
        const QByteArray name = readName(line, pos);
        if (name.isEmpty() || line.mid(*pos, 2) != "=\"")
            return false;
        *pos += 2;
        QByteArray value;
        for (;; ++*pos) {
            if (*pos >= line.size())
                return false;
            const char c = line.at(*pos);
            if (c == '"')
                break;
            if (c == '\\') {
                const char next = charAt(line, ++*pos);
                if (next != '\\' && next != '"' && next != 'n')
                    return false;
                value += next == 'n' ? '\n' : next;
            } else {
                value += c;
            }
        }
        ++*pos;
        if (labels->contains(QString::fromLatin1(name)))
            return false;
        labels->insert(QString::fromLatin1(name), QString::fromUtf8(value));
        if (charAt(line, *pos) == ',')
            ++*pos;
    }
    return *pos < line.size() && line.at((*pos)++) == '}';
}

bool readValue(const QByteArray &text, double *value)
{
    if (text == "+Inf" || text == "-Inf" || text == "NaN") {
        *value = text == "NaN" ? qQNaN() : (text.at(0) == '+' ? qInf() : -qInf());
        return true;
    }
    bool ok = false;
    *value = text.toDouble(&ok);
    return ok;
}

QString familyOf(const QString &name, const QMap<QString, QString> &types)
{
    for (const char *suffix : {"_bucket", "_sum", "_count"}) {
        if (name.endsWith(QLatin1String(suffix))) {
            const QString base = name.left(name.size() - int(qstrlen(suffix)));
            const QString type = types.value(base);
            if (type == QLatin1String("histogram") || type == QLatin1String("summary"))
                return base;
        }
    }
    return name;
}

struct Reader
{
    ParsedMetrics result;
    QString current; // family of the block being read
    QSet<QString> done;

    bool enter(const QString &family)
    {
        if (family == current)
            return true;
        if (done.contains(family))
            return false;
        if (!current.isEmpty())
            done.insert(current);
        current = family;
        return true;
    }

    QString comment(const QByteArray &line)
    {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() < 3 || (words.at(1) != "HELP" && words.at(1) != "TYPE"))
            return {}; // another comment
        const QString family = QString::fromLatin1(words.at(2));
        QMap<QString, QString> &map = words.at(1) == "HELP" ? result.help : result.types;
        if (!enter(family) || map.contains(family))
            return QStringLiteral("a second %1 for %2").arg(QString::fromLatin1(words.at(1)), family);
        if (words.at(1) == "TYPE" && result.find(family).size() + result.find(family + "_count").size() > 0)
            return QStringLiteral("TYPE after the samples of ") + family;
        map.insert(family, QString::fromUtf8(line.mid(words.at(0).size() + words.at(1).size() + family.size() + 3)));
        return {};
    }

    QString sample(const QByteArray &line)
    {
        int pos = 0;
        MetricSample sample;
        sample.name = QString::fromLatin1(readName(line, &pos));
        if (sample.name.isEmpty())
            return QStringLiteral("no metric name");
        if (charAt(line, pos) == '{' && !readLabels(line, &++pos, &sample.labels))
            return QStringLiteral("bad labels");
        const QList<QByteArray> rest = line.mid(pos).trimmed().split(' ');
        if (rest.size() != 1)
            return QStringLiteral("a timestamp or trailing text");
        if (!readValue(rest.first(), &sample.value))
            return QStringLiteral("bad value");
        const QString family = familyOf(sample.name, result.types);
        if (!result.types.contains(family))
            return QStringLiteral("no TYPE before the samples of ") + family;
        if (!enter(family))
            return QStringLiteral("the samples of %1 are not in one block").arg(family);
        result.samples << sample;
        return {};
    }
};

} // namespace

QVector<MetricSample> ParsedMetrics::find(const QString &name, const QMap<QString, QString> &labels) const
{
    QVector<MetricSample> found;
    for (const MetricSample &sample : samples) {
        bool match = sample.name == name;
        for (auto it = labels.cbegin(); match && it != labels.cend(); ++it)
            match = sample.labels.value(it.key()) == it.value() && sample.labels.contains(it.key());
        if (match)
            found << sample;
    }
    return found;
}

double ParsedMetrics::value(const QString &name, const QMap<QString, QString> &labels) const
{
    const QVector<MetricSample> found = find(name, labels);
    return found.size() == 1 ? found.first().value : -1;
}

ParsedMetrics parseExposition(const QByteArray &text)
{
    Reader reader;
    if (!text.isEmpty() && !text.endsWith('\n'))
        reader.result.error = QStringLiteral("no line end at the end");
    const QList<QByteArray> lines = text.split('\n');
    for (int i = 0; i < lines.size() && reader.result.error.isEmpty(); ++i) {
        const QByteArray &line = lines.at(i);
        if (line.trimmed().isEmpty())
            continue;
        const QString error = line.startsWith('#') ? reader.comment(line) : reader.sample(line);
        if (!error.isEmpty())
            reader.result.error = QStringLiteral("line %1: %2: %3").arg(i + 1).arg(error, QString::fromUtf8(line));
    }
    return reader.result;
}
