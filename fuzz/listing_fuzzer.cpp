// Fuzz target for reading the tool's device listing: decodeToolOutput,
// stripEscapeSequences and parseListing on arbitrary bytes.
//
// Checked on every input:
//  - the decoded text holds no NUL, and ASCII bytes (up to the first NUL)
//    decode to themselves in code pages that keep them;
//  - stripEscapeSequences removes exactly the sequences ESC '[' [0-9;?]* and
//    one ASCII letter, leftmost first, compared with a plain scanner;
//  - colour sequences put into text without ESC are all removed again;
//  - every listed device has six or seven fields, each trimmed, without tab
//    or line break and taken from the text, the path never empty (a field of
//    blanks only is kept as an empty one, so that the columns stay in
//    place); there are no more devices than tab-holding lines after a
//    header;
//  - CRLF and LF line ends give the same devices.

#include "discovery/listingparser.h"
#include "fuzzsupport.h"

#include <QPair>
#include <QVector>

#include <algorithm>

namespace {

bool isAsciiLetter(QChar c)
{
    const ushort u = c.unicode();
    return (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z');
}

QString plainStrip(const QString &text)
{
    QString out;
    const int n = text.size();
    int i = 0;
    while (i < n) {
        if (text.at(i).unicode() == 0x1b && i + 1 < n && text.at(i + 1) == QLatin1Char('[')) {
            int j = i + 2;
            while (j < n &&
                   (isAsciiDigit(text.at(j)) || text.at(j) == QLatin1Char(';') || text.at(j) == QLatin1Char('?')))
                ++j;
            if (j < n && isAsciiLetter(text.at(j))) {
                i = j + 1;
                continue;
            }
        }
        out += text.at(i);
        ++i;
    }
    return out;
}

bool isAscii(const QByteArray &bytes)
{
    for (char c : bytes) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

void checkDevices(const QVector<ListedDevice> &devices, const QString &text)
{
    int candidates = 0;
    bool header = false;
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        const QString trimmed = line.trimmed();
        if (trimmed.startsWith(QLatin1String("Path")))
            header = true;
        else if (header && trimmed.contains(QLatin1Char('\t')))
            ++candidates;
    }
    FUZZ_CHECK(devices.size() <= candidates);

    for (const ListedDevice &device : devices) {
        FUZZ_CHECK(device.fields.size() >= 6 && device.fields.size() <= 7);
        FUZZ_CHECK(device.portPath() == device.fields.first());
        // A column of blanks only stays in place as an empty field; the
        // path starts the trimmed line, so it is never empty.
        FUZZ_CHECK(!device.portPath().isEmpty());
        for (const QString &field : device.fields) {
            FUZZ_CHECK(field == field.trimmed());
            FUZZ_CHECK(!field.contains(QLatin1Char('\t')) && !field.contains(QLatin1Char('\n')));
            FUZZ_CHECK(text.contains(field));
        }
    }
}

bool sameDevices(const QVector<ListedDevice> &a, const QVector<ListedDevice> &b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a.at(i).fields != b.at(i).fields)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzInput input(data, size);
    const CodePage page = selectLocalCodePage(input.byte());
    const int colourCount = input.byte() % 8;
    QVector<uint8_t> colourBytes;
    for (int i = 0; i < colourCount * 2; ++i)
        colourBytes.append(input.byte());
    const QByteArray raw = input.rest();

    const QString text = decodeToolOutput(raw);
    FUZZ_CHECK(!text.contains(QChar(0)));
    const QByteArray beforeNul = upToNul(raw);
    if (keepsAsciiBytes(page) && isAscii(beforeNul))
        FUZZ_CHECK(text == QString::fromLatin1(beforeNul));

    const QString stripped = stripEscapeSequences(text);
    FUZZ_CHECK(stripped == plainStrip(text));

    // Colour and cursor sequences as terminals get them, put at positions
    // taken from the input into text that holds no ESC.
    static const char *const sequences[] = {"\x1b[0m", "\x1b[1;31m",     "\x1b[?25l", "\x1b[2K",
                                            "\x1b[K",  "\x1b[38;5;208m", "\x1b[m",    "\x1b[?1049h"};
    QString plain = text;
    plain.remove(QChar(0x1b));
    QVector<QPair<int, const char *>> insertions;
    for (int i = 0; i < colourCount; ++i) {
        int at = colourBytes.at(2 * i) * (plain.size() + 1) / 256;
        // Decoded output is valid UTF-16: never split a surrogate pair.
        if (at > 0 && at < plain.size() && plain.at(at).isLowSurrogate() && plain.at(at - 1).isHighSurrogate())
            --at;
        insertions.append(qMakePair(at, sequences[colourBytes.at(2 * i + 1) % 8]));
    }
    std::stable_sort(insertions.begin(), insertions.end(),
                     [](const QPair<int, const char *> &a, const QPair<int, const char *> &b) {
                         return a.first > b.first;
                     });
    QString coloured = plain;
    for (const auto &insertion : insertions)
        coloured.insert(insertion.first, QLatin1String(insertion.second));
    FUZZ_CHECK(stripEscapeSequences(coloured) == plain);

    const QVector<ListedDevice> devices = parseListing(stripped);
    checkDevices(devices, stripped);
    checkDevices(parseListing(text), text);

    QString lineFeeds = stripped;
    lineFeeds.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    FUZZ_CHECK(sameDevices(devices, parseListing(lineFeeds)));
    return 0;
}
