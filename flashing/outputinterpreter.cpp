#include "outputinterpreter.h"

#include <QRegularExpression>

#include <algorithm>

namespace {

const QRegularExpression &percentPattern()
{
    static const QRegularExpression pattern(QStringLiteral("(\\d+)\\%"));
    return pattern;
}

// Whether needle occurs in haystack ending after position boundary.
bool containsEndingAfter(const QString &haystack, const QString &needle, int boundary)
{
    if (needle.isEmpty())
        return false;
    const int from = std::max(0, boundary - int(needle.size()) + 1);
    return haystack.indexOf(needle, from, Qt::CaseSensitive) >= 0;
}

} // namespace

int firstPercentage(const QString &text)
{
    if (!text.contains(QLatin1Char('%')))
        return -1;
    const QRegularExpressionMatch match = percentPattern().match(text);
    if (!match.hasMatch())
        return -1;
    return match.captured(1).toInt(nullptr, 10);
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

    if (joined.contains(QLatin1Char('%'))) {
        QRegularExpressionMatchIterator it = percentPattern().globalMatch(joined);
        while (it.hasNext()) {
            const QRegularExpressionMatch match = it.next();
            if (match.capturedEnd(0) <= boundary)
                continue;
            const int value = match.captured(1).toInt(nullptr, 10);
            if (verdict.progress < 0)
                verdict.progress = value;
            if (value == 100) {
                verdict.reachedHundred = true;
                break;
            }
        }
    }

    verdict.markerSeen = containsEndingAfter(joined, marker, boundary);
    return verdict;
}

QString nextCarry(const QString &carry, const QString &text, int keep)
{
    const int lineEnd = text.lastIndexOf(QLatin1Char('\n'));
    QString rest = lineEnd >= 0 ? text.mid(lineEnd + 1) : carry + text;
    if (rest.size() > keep)
        rest = rest.right(keep);
    return rest;
}

int carryLengthFor(const QString &marker)
{
    // Long enough to finish the marker, a failure word, or a percentage whose
    // digits were split from its "%".
    return std::max<int>(marker.size(), 16) - 1;
}
