#include "discovery/listingparser.h"

#include <QtTest>

class TestListingParser : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void fieldsAreTrimmedAndCapped();
    void escapeSequences_data();
    void escapeSequences();
    void decodeStopsAtNul();
};

static QString rows(const QVector<ListedDevice> &devices)
{
    QStringList out;
    for (const ListedDevice &device : devices)
        out << device.fields.join(QLatin1Char('|'));
    return out.join(QLatin1Char('/'));
}

void TestListingParser::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");

    QTest::newRow("header, separator, six fields") << "Path\tChip\n=====\na\tb\tc\td\te\tf\n"
                                                   << "a|b|c|d|e|f";
    QTest::newRow("device line before the header") << "a\tb\tc\td\te\tf\nPath\n"
                                                   << "";
    QTest::newRow("no header at all") << "a\tb\tc\td\te\tf\n"
                                      << "";
    QTest::newRow("empty fields are dropped") << "Path\na\t\tb\tc\td\te\tf\n"
                                              << "a|b|c|d|e|f";
    QTest::newRow("seventh field kept, eighth dropped") << "Path\na\tb\tc\td\te\tf\tg\th\n"
                                                        << "a|b|c|d|e|f|g";
    QTest::newRow("five fields") << "Path\na\tb\tc\td\te\n"
                                 << "";
    QTest::newRow("blanks are no separators") << "Path\na b c d e f g\n"
                                              << "";
    QTest::newRow("CRLF line ends") << "Path\r\na\tb\tc\td\te\tf\r\nx\ty\tz\tu\tv\tw\r\n"
                                    << "a|b|c|d|e|f/x|y|z|u|v|w";
    QTest::newRow("leading blanks before the header") << "   Path  \na\tb\tc\td\te\tf\n"
                                                      << "a|b|c|d|e|f";
    QTest::newRow("lower-case header does not open") << "path\na\tb\tc\td\te\tf\n"
                                                     << "";
    QTest::newRow("separator after devices is skipped") << "Path\n=\ta\tb\tc\td\te\tf\na\tb\tc\td\te\tf\n=====\n"
                                                        << "a|b|c|d|e|f";
    QTest::newRow("second header changes nothing") << "Path\na\tb\tc\td\te\tf\nPath again\nx\ty\tz\tu\tv\tw\n"
                                                   << "a|b|c|d|e|f/x|y|z|u|v|w";
    QTest::newRow("duplicate paths give two devices") << "Path\n1:1\tb\tc\td\te\tf\n1:1\tB\tC\tD\tE\tF\n"
                                                      << "1:1|b|c|d|e|f/1:1|B|C|D|E|F";
    QTest::newRow("line without newline at the end") << "Path\na\tb\tc\td\te\tf"
                                                     << "a|b|c|d|e|f";
    QTest::newRow("tabs only") << "Path\n\t\t\t\t\t\t\n"
                               << "";
    QTest::newRow("empty text") << ""
                                << "";
}

void TestListingParser::parse()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QCOMPARE(rows(parseListing(text)), expected);
}

void TestListingParser::fieldsAreTrimmedAndCapped()
{
    const QVector<ListedDevice> devices = parseListing(QStringLiteral("Path\n 2:3 \t VB1 \t LOAD: \tv\tp\tb\t s \n"));
    QCOMPARE(devices.size(), 1);
    QCOMPARE(devices.first().portPath(), QStringLiteral("2:3"));
    QCOMPARE(devices.first().fields, QStringList({"2:3", "VB1", "LOAD:", "v", "p", "b", "s"}));
}

void TestListingParser::escapeSequences_data()
{
    QTest::addColumn<QString>("raw");
    QTest::addColumn<QString>("clean");
    const QString esc(QChar(0x1b));
    QTest::newRow("colour around a field") << esc + "[1;32m1:11" + esc + "[0m"
                                           << "1:11";
    QTest::newRow("cursor hide and show") << esc + "[?25lPath" + esc + "[?25h"
                                          << "Path";
    QTest::newRow("erase line") << esc + "[2K" + esc + "[Aabc"
                                << "abc";
    QTest::newRow("no letter: kept") << esc + "[12" << esc + "[12";
    QTest::newRow("other escape kept") << esc + "]0;title" << esc + "]0;title";
}

void TestListingParser::escapeSequences()
{
    QFETCH(QString, raw);
    QFETCH(QString, clean);
    QCOMPARE(stripEscapeSequences(raw), clean);
}

void TestListingParser::decodeStopsAtNul()
{
    QCOMPARE(decodeToolOutput(QByteArray("Path\n\0a\tb\tc\td\te\tf\n", 18)), QStringLiteral("Path\n"));
    QCOMPARE(decodeToolOutput(QByteArray("abc")), QStringLiteral("abc"));

    // A whole coloured listing comes out clean.
    const QString esc(QChar(0x1b));
    const QString text = stripEscapeSequences(esc + "[?25l" + "Path\tChip\r\n" + esc + "[1m====" + esc + "[0m\r\n" +
                                              esc + "[32m1:11\tVB100\tLOAD:\t0xFFF0\t0xFFF1\t0x0001" + esc + "[0m\r\n");
    QCOMPARE(rows(parseListing(text)), QStringLiteral("1:11|VB100|LOAD:|0xFFF0|0xFFF1|0x0001"));
}

QTEST_GUILESS_MAIN(TestListingParser)
#include "tst_listingparser.moc"
