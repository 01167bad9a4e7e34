// Fuzz target for the interpretation of a flashing tool's standard output.
//
// The input describes a whole session of one tool: the local code page, the
// device's completion marker, the sizes of the reads the output arrives in,
// and the output bytes. Every read goes through decodeOutputChunk,
// interpretChunk and nextCarry the way the flashing job does it, and each
// verdict is compared with what the concatenated decoded output says:
//
//  - a read fails exactly when "ERROR" or "Fail" ends inside it; a failing
//    read reports nothing else;
//  - a read sees the marker exactly when the marker ends inside it (markers
//    without a line break; with one, the marker is never reported falsely);
//  - the progress is the first percentage whose "%" is in the read, and
//    "reached 100" is set when any of them is 100 (a number whose leading
//    digits were dropped from the carry is only required to give a value);
//  - the carry is the end of the current line, at most keep characters long;
//  - the decoded text holds no NUL;
//  - in code pages that keep ASCII bytes, a failure word or an ASCII marker
//    present in the raw bytes (NUL bytes read as blanks, so nothing after a
//    NUL is lost) is present in the decoded text, and single-byte code pages
//    decode a split stream to the same text as the whole one.

#include "flashing/outputinterpreter.h"
#include "fuzzsupport.h"

#include <QVector>

#include <algorithm>

namespace {

// Whether needle occurs in text with its last character at an index in
// [from, to).
bool occurrenceEndingIn(const QString &text, const QString &needle, int from, int to)
{
    const int n = needle.size();
    if (n == 0)
        return false;
    for (int last = std::max(from, n - 1); last < to; ++last) {
        const int start = last - n + 1;
        int k = 0;
        while (k < n && text.at(start + k) == needle.at(k))
            ++k;
        if (k == n)
            return true;
    }
    return false;
}

struct Percentage
{
    int digitsFrom;
    int percentAt;
};

// Every maximal run of ASCII digits directly followed by a "%" at an index
// in [from, to), in order. The digits may start before from.
QVector<Percentage> percentagesIn(const QString &text, int from, int to)
{
    QVector<Percentage> result;
    for (int i = from; i < to; ++i) {
        if (text.at(i) != QLatin1Char('%'))
            continue;
        int start = i;
        while (start > 0 && isAsciiDigit(text.at(start - 1)))
            --start;
        if (start < i)
            result.append(Percentage{start, i});
    }
    return result;
}

int referenceFirstPercentage(const QString &text)
{
    const QVector<Percentage> found = percentagesIn(text, 0, text.size());
    if (found.isEmpty())
        return -1;
    return digitValue(text, found.first().digitsFrom, found.first().percentAt);
}

bool isAscii(const QString &text)
{
    for (QChar c : text) {
        if (c.unicode() >= 0x80)
            return false;
    }
    return true;
}

void checkRead(const ChunkVerdict &verdict, const QString &stream, int from, int to, int carrySize,
               const QString &marker)
{
    const bool failureWord = occurrenceEndingIn(stream, QStringLiteral("ERROR"), from, to) ||
                             occurrenceEndingIn(stream, QStringLiteral("Fail"), from, to);
    FUZZ_CHECK(verdict.failed == failureWord);
    if (verdict.failed) {
        FUZZ_CHECK(verdict.progress == -1);
        FUZZ_CHECK(!verdict.reachedHundred);
        FUZZ_CHECK(!verdict.markerSeen);
        return;
    }

    const QVector<Percentage> found = percentagesIn(stream, from, to);
    if (found.isEmpty()) {
        FUZZ_CHECK(verdict.progress == -1);
        FUZZ_CHECK(!verdict.reachedHundred);
    } else {
        // Digits in front of the carry were never seen by the interpreter.
        const int visibleFrom = from - carrySize;
        const bool firstWhole = found.first().digitsFrom >= visibleFrom;
        bool hundred = false;
        for (int i = 0; i < found.size(); ++i) {
            if (i == 0 && !firstWhole)
                continue;
            const int value = digitValue(stream, found.at(i).digitsFrom, found.at(i).percentAt);
            if (i == 0)
                FUZZ_CHECK(verdict.progress == value);
            if (value == 100)
                hundred = true;
        }
        FUZZ_CHECK(verdict.progress >= 0);
        if (hundred)
            FUZZ_CHECK(verdict.reachedHundred);
        else if (firstWhole)
            FUZZ_CHECK(!verdict.reachedHundred);
    }

    const bool markerEnds = occurrenceEndingIn(stream, marker, from, to);
    if (!marker.contains(QLatin1Char('\n')))
        FUZZ_CHECK(verdict.markerSeen == markerEnds);
    else if (verdict.markerSeen)
        FUZZ_CHECK(markerEnds);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const CodePage page = selectLocalCodePage(input.byte());

    // Mostly markers shaped like the real ones, "<port>->Okay"; any text
    // otherwise.
    const uint8_t markerShape = input.byte();
    QString marker = QString::fromUtf8(input.bytes(markerShape & 0x1f));
    if (markerShape & 0x80)
        marker += QLatin1String("->Okay");

    const int readCount = input.byte() % 16;
    QVector<int> readSizes;
    for (int i = 0; i < readCount; ++i)
        readSizes.append(input.byte());
    const QByteArray raw = input.rest();
    QVector<QByteArray> reads;
    int position = 0;
    for (int readSize : readSizes) {
        const int n = std::min(readSize, raw.size() - position);
        reads.append(raw.mid(position, n));
        position += n;
    }
    reads.append(raw.mid(position));

    const int keep = carryLengthFor(marker);
    // Enough to finish the marker, a failure word or an int's digits.
    FUZZ_CHECK(keep >= marker.size() - 1);
    FUZZ_CHECK(keep >= 4);
    FUZZ_CHECK(keep >= 10);

    QString stream;
    QString carry;
    QByteArray effective;
    for (const QByteArray &read : reads) {
        const QString text = decodeOutputChunk(read);
        FUZZ_CHECK(!text.contains(QChar(0)));
        FUZZ_CHECK(firstPercentage(text) == referenceFirstPercentage(text));

        QByteArray blanked = read;
        effective += blanked.replace('\0', ' ');
        const int from = stream.size();
        stream += text;

        const ChunkVerdict verdict = interpretChunk(carry, text, marker);
        checkRead(verdict, stream, from, stream.size(), carry.size(), marker);

        carry = nextCarry(carry, text, keep);
        const int lineStart = stream.lastIndexOf(QLatin1Char('\n')) + 1;
        FUZZ_CHECK(carry.size() <= keep);
        FUZZ_CHECK(carry == stream.right(std::min(keep, stream.size() - lineStart)));
    }

    if (keepsAsciiBytes(page)) {
        for (const char *word : {"ERROR", "Fail"}) {
            if (effective.contains(word))
                FUZZ_CHECK(stream.contains(QLatin1String(word)));
        }
        if (!marker.isEmpty() && isAscii(marker) && effective.contains(marker.toLatin1()))
            FUZZ_CHECK(stream.contains(marker));
        if (page != CodePage::Utf8)
            FUZZ_CHECK(stream == QTextCodec::codecForLocale()->toUnicode(effective));
    }
    return 0;
}
