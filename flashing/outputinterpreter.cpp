#include "flashing/outputinterpreter.h"

#include <algorithm>
#include <limits>

namespace {

// Whether needle occurs in haystack ending after position boundary.
bool containsEndingAfter(const QString &haystack, const QString &needle, int boundary)
{
    if (needle.isEmpty())
        return false;
    const int from = std::max(0, boundary - int(needle.size()) + 1);
    return haystack.indexOf(needle, from, Qt::CaseSensitive) >= 0;
}

bool isAsciiDigit(QChar c)
{
    return c.unicode() >= '0' && c.unicode() <= '9';
}

// Calls found(value, end) for each run of ASCII digits directly followed by
// '%', left to right, as the pattern (\d+)% matches them; end is the index
// after the '%'. Stops when found returns false. A run too large for an int
// gives 0, as QString::toInt does.
template <typename Found> void forEachPercentage(const QString &text, Found found)
{
    const QChar *data = text.constData();
    for (int percent = int(text.indexOf(QLatin1Char('%'))); percent >= 0;
         percent = int(text.indexOf(QLatin1Char('%'), percent + 1))) {
        int begin = percent;
        while (begin > 0 && isAsciiDigit(data[begin - 1]))
            --begin;
        if (begin == percent)
            continue;
        qint64 value = 0;
        for (int i = begin; i < percent && value <= std::numeric_limits<int>::max(); ++i)
            value = value * 10 + (data[i].unicode() - '0');
        if (!found(value > std::numeric_limits<int>::max() ? 0 : int(value), percent + 1))
            return;
    }
}

} // namespace

QString decodeOutputChunk(QByteArray bytes)
{
    bytes.replace('\0', ' ');
    // An ASCII byte always reads as itself. In a double-byte code page
    // (Windows in Chinese or Japanese) a byte above 0x7F followed by an ASCII
    // letter would read as one character, and binary noise or text in
    // another encoding just before "ERROR" would hide the word; so the runs
    // of other bytes are decoded on their own. UTF-8 and single-byte code
    // pages give the same text either way.
    const char *data = bytes.constData();
    const int size = bytes.size();
    int at = 0;
    while (at < size && static_cast<unsigned char>(data[at]) < 0x80)
        ++at;
    if (at == size)
        return QString::fromLatin1(data, size);
    QString text = QString::fromLatin1(data, at);
    while (at < size) {
        const bool ascii = static_cast<unsigned char>(data[at]) < 0x80;
        int end = at;
        while (end < size && (static_cast<unsigned char>(data[end]) < 0x80) == ascii)
            ++end;
        text += ascii ? QString::fromLatin1(data + at, end - at) : QString::fromLocal8Bit(data + at, end - at);
        at = end;
    }
    return text;
}

int firstPercentage(const QString &text)
{
    int first = -1;
    forEachPercentage(text, [&first](int value, int) {
        first = value;
        return false;
    });
    return first;
}

ChunkVerdict interpretChunk(const QString &carry, const QString &text, const QString &marker)
{
    ChunkVerdict verdict;
    const QString joined = carry.isEmpty() ? text : carry + text;
    const int boundary = int(carry.size());

    if (containsEndingAfter(joined, QStringLiteral("ERROR"), boundary) ||
        containsEndingAfter(joined, QStringLiteral("Fail"), boundary)) {
        verdict.failed = true;
        return verdict;
    }

    forEachPercentage(joined, [&verdict, boundary](int value, int end) {
        if (end <= boundary)
            return true;
        if (verdict.progress < 0)
            verdict.progress = value;
        verdict.reachedHundred = verdict.reachedHundred || value == 100;
        // Above 100 is no progress (the bar ignores it too).
        if (value <= 100)
            verdict.lastProgress = value;
        return true;
    });

    verdict.markerSeen = containsEndingAfter(joined, marker, boundary);
    return verdict;
}

QString nextCarry(const QString &carry, const QString &text, int keep)
{
    const auto lineEnd = text.lastIndexOf(QLatin1Char('\n'));
    QString rest = lineEnd >= 0 ? text.mid(lineEnd + 1) : carry + text;
    if (rest.size() > keep)
        rest = rest.right(keep);
    return rest;
}

int carryLengthFor(const QString &marker)
{
    // Long enough to finish the marker, a failure word, or a percentage whose
    // digits were split from its "%".
    return std::max(int(marker.size()), 16) - 1;
}
