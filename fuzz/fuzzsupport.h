#pragma once

// Helpers shared by the fuzz targets: reading structured values from the
// fuzzer's bytes, choosing the local 8-bit code page, and failing loudly.

#include <QByteArray>
#include <QString>
#include <QTextCodec>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// A broken property is a crash for libFuzzer: print what broke and abort,
// so that the input is saved as a reproducer.
#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "property violated: %s (%s:%d)\n", #condition, __FILE__, __LINE__);                   \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

// Takes values from the front of the fuzzer's input; once it is used up
// every value is zero or empty.
class FuzzInput
{
public:
    FuzzInput(const uint8_t *data, size_t size)
        : m_data(data)
        , m_size(size)
    {}

    uint8_t byte()
    {
        if (m_pos >= m_size)
            return 0;
        return m_data[m_pos++];
    }

    QByteArray bytes(size_t count)
    {
        if (count > m_size - m_pos)
            count = m_size - m_pos;
        const QByteArray result(reinterpret_cast<const char *>(m_data + m_pos), static_cast<int>(count));
        m_pos += count;
        return result;
    }

    QByteArray rest() { return bytes(m_size - m_pos); }
    size_t remaining() const { return m_size - m_pos; }

private:
    const uint8_t *m_data;
    size_t m_size;
    size_t m_pos = 0;
};

// Local 8-bit code pages the tool output is decoded with on users' machines.
// The first three map every ASCII byte to itself whatever surrounds it; in
// Shift_JIS an ASCII byte can be the second half of a two-byte character.
enum class CodePage { Utf8, Latin1, Windows1252, ShiftJis };

inline CodePage selectLocalCodePage(uint8_t selector)
{
    static const char *const names[] = {"UTF-8", "ISO-8859-1", "windows-1252", "Shift_JIS"};
    const int index = selector % 4;
    QTextCodec *codec = QTextCodec::codecForName(names[index]);
    FUZZ_CHECK(codec != nullptr);
    QTextCodec::setCodecForLocale(codec);
    return static_cast<CodePage>(index);
}

inline bool keepsAsciiBytes(CodePage page)
{
    return page != CodePage::ShiftJis;
}

inline bool isAsciiDigit(QChar c)
{
    return c.unicode() >= '0' && c.unicode() <= '9';
}

// The value of a run of ASCII digits, or 0 when it does not fit in an int.
inline int digitValue(const QString &text, int from, int to)
{
    long long value = 0;
    for (int i = from; i < to; ++i) {
        value = value * 10 + (text.at(i).unicode() - '0');
        if (value > 2147483647LL)
            return 0;
    }
    return static_cast<int>(value);
}

inline QByteArray upToNul(const QByteArray &bytes)
{
    const int nul = bytes.indexOf('\0');
    return nul < 0 ? bytes : bytes.left(nul);
}
