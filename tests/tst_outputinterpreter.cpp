#include "flashing/outputinterpreter.h"

#include <QtTest>

class TestOutputInterpreter : public QObject
{
    Q_OBJECT

private slots:
    void firstPercentage_data();
    void firstPercentage();
    void failureWords_data();
    void failureWords();
    void progressAndMarker();
    void splitAcrossReads();
    void carryIsBounded();
    void nulBytesHideNothing();
    void highBytesHideNothing();
    void scannerMatchesThePattern();
};

void TestOutputInterpreter::firstPercentage_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::newRow("none") << "writing" << -1;
    QTest::newRow("percent without digits") << "100 % done" << -1;
    QTest::newRow("first of two") << "35% then 80%" << 35;
    QTest::newRow("zero") << "0%" << 0;
    QTest::newRow("too large for int") << "99999999999999999999%" << 0;
    QTest::newRow("above 100") << "150%" << 150;
    QTest::newRow("digits inside a word") << "abc12%def" << 12;
}

void TestOutputInterpreter::firstPercentage()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    QCOMPARE(::firstPercentage(text), value);
}

void TestOutputInterpreter::failureWords_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("failed");
    QTest::newRow("ERROR") << "ERROR: write" << true;
    QTest::newRow("Fail") << "Fail" << true;
    QTest::newRow("Failed") << "step Failed at 20%" << true;
    QTest::newRow("lower case error") << "error: ignored" << false;
    QTest::newRow("Error") << "Error: ignored" << false;
    QTest::newRow("FAIL") << "FAIL" << false;
    QTest::newRow("fail") << "failsafe" << false;
    QTest::newRow("marker with ERROR fails") << "100% 1:1->Okay ERROR" << true;
}

void TestOutputInterpreter::failureWords()
{
    QFETCH(QString, text);
    QFETCH(bool, failed);
    const ChunkVerdict verdict = interpretChunk(QString(), text, QStringLiteral("1:1->Okay"));
    QCOMPARE(verdict.failed, failed);
    if (failed) {
        // A failure wins over everything else in the read.
        QCOMPARE(verdict.progress, -1);
        QVERIFY(!verdict.markerSeen);
    }
}

void TestOutputInterpreter::progressAndMarker()
{
    const QString marker = QStringLiteral("1:1->Okay");
    ChunkVerdict v = interpretChunk(QString(), QStringLiteral("99%\n100%\n1:1->Okay\n"), marker);
    QCOMPARE(v.progress, 99);
    QVERIFY(v.reachedHundred);
    QVERIFY(v.markerSeen);

    v = interpretChunk(QString(), QStringLiteral("1:10->Okay 2:1->Okay"), marker);
    QVERIFY(!v.markerSeen);
    v = interpretChunk(QString(), QStringLiteral("100%"), marker);
    QCOMPARE(v.progress, 100);
    QVERIFY(v.reachedHundred);
    v = interpretChunk(QString(), QStringLiteral("1000% 150%"), marker);
    QCOMPARE(v.progress, 1000);
    QVERIFY(!v.reachedHundred);
    QCOMPARE(v.lastProgress, -1);

    // How far the tool got is its last percentage, not its first nor its
    // highest; one above 100 tells nothing.
    v = interpretChunk(QString(), QStringLiteral("stage 1: 100%, stage 2: 30%"), marker);
    QCOMPARE(v.lastProgress, 30);
    QVERIFY(v.reachedHundred);
    v = interpretChunk(QString(), QStringLiteral("30%\n100% of 4096%"), marker);
    QCOMPARE(v.lastProgress, 100);
}

void TestOutputInterpreter::splitAcrossReads()
{
    const QString marker = QStringLiteral("2:14->Okay");
    const int keep = carryLengthFor(marker);

    // Marker split in the middle.
    QString carry = nextCarry(QString(), QStringLiteral("100%\n2:1"), keep);
    ChunkVerdict v = interpretChunk(carry, QStringLiteral("4->Okay\n"), marker);
    QVERIFY(v.markerSeen);

    // A failure word split in two.
    carry = nextCarry(QString(), QStringLiteral("50% ER"), keep);
    QVERIFY(interpretChunk(carry, QStringLiteral("ROR"), marker).failed);

    // Digits of a percentage split from their sign.
    carry = nextCarry(QString(), QStringLiteral("writing 10"), keep);
    v = interpretChunk(carry, QStringLiteral("0%"), marker);
    QCOMPARE(v.progress, 100);
    QVERIFY(v.reachedHundred);

    // What the carry held is not found a second time.
    carry = nextCarry(QString(), QStringLiteral("2:14->Okay 40%"), keep);
    v = interpretChunk(carry, QStringLiteral(" more"), marker);
    QVERIFY(!v.markerSeen);
    QCOMPARE(v.lastProgress, -1);
    QCOMPARE(v.progress, -1);

    // A finished line is not carried.
    QCOMPARE(nextCarry(QStringLiteral("abc"), QStringLiteral("def\n"), keep), QString());
    QCOMPARE(nextCarry(QStringLiteral("abc"), QStringLiteral("def"), keep), QStringLiteral("abcdef"));
}

void TestOutputInterpreter::carryIsBounded()
{
    const QString marker = QStringLiteral("1:1->Okay");
    QString carry;
    const QString line(100000, QLatin1Char('x'));
    for (int i = 0; i < 10; ++i)
        carry = nextCarry(carry, line, carryLengthFor(marker));
    QVERIFY(carry.size() <= carryLengthFor(marker));
    // A marker at the end of a very long line is still found.
    QVERIFY(interpretChunk(carry, QStringLiteral("1:1->Okay"), marker).markerSeen);
}

void TestOutputInterpreter::nulBytesHideNothing()
{
    const QString marker = QStringLiteral("1:1->Okay");
    const QString text = decodeOutputChunk(QByteArray("\0"
                                                      "100%\0\n1:1->Okay\0",
                                                      18));
    const ChunkVerdict verdict = interpretChunk(QString(), text, marker);
    QCOMPARE(verdict.progress, 100);
    QVERIFY(verdict.markerSeen);
    QVERIFY(interpretChunk(QString(), decodeOutputChunk(QByteArray("50%\0ERROR", 9)), marker).failed);
}

void TestOutputInterpreter::highBytesHideNothing()
{
    // In a double-byte code page (Windows in Chinese or Japanese) a byte
    // above 0x80 and the letter after it read as one character. Binary
    // noise or text of another encoding just before a word must not hide it.
    const QString marker = QStringLiteral("1:1->Okay");
    for (int high = 0x81; high <= 0xFE; ++high) {
        const QByteArray noise(1, char(high));
        QVERIFY2(interpretChunk(QString(), decodeOutputChunk(noise + "ERROR"), marker).failed,
                 qPrintable(QString::number(high, 16)));
        QVERIFY2(interpretChunk(QString(), decodeOutputChunk(noise + "Fail"), marker).failed,
                 qPrintable(QString::number(high, 16)));
        const ChunkVerdict verdict =
            interpretChunk(QString(), decodeOutputChunk(noise + "100%" + noise + "1:1->Okay"), marker);
        QCOMPARE(verdict.progress, 100);
        QVERIFY2(verdict.markerSeen, qPrintable(QString::number(high, 16)));
    }
}

void TestOutputInterpreter::scannerMatchesThePattern()
{
    // The percentage scanner must agree with the pattern (\d+)% on any text.
    const QRegularExpression pattern(QStringLiteral("(\\d+)\\%"));
    const QString alphabet = QStringLiteral("0123456789%% a\n") + QChar(0x0663); // and an Arabic-Indic digit
    quint32 seed = 12345;
    for (int round = 0; round < 20000; ++round) {
        QString text;
        seed = seed * 1103515245u + 12345u;
        const int length = int((seed >> 16) % 24);
        for (int i = 0; i < length; ++i) {
            seed = seed * 1103515245u + 12345u;
            text += alphabet.at(int((seed >> 16) % quint32(alphabet.size())));
        }
        if (round % 97 == 0)
            text += QStringLiteral("4294967296%");
        const QRegularExpressionMatch match = pattern.match(text);
        const int expected = match.hasMatch() ? match.captured(1).toInt() : -1;
        QCOMPARE(::firstPercentage(text), expected);

        bool hundred = false;
        QRegularExpressionMatchIterator it = pattern.globalMatch(text);
        while (it.hasNext())
            hundred |= it.next().captured(1).toInt() == 100;
        QCOMPARE(interpretChunk(QString(), text, QStringLiteral("x->Okay")).reachedHundred, hundred);
    }
}

QTEST_GUILESS_MAIN(TestOutputInterpreter)
#include "tst_outputinterpreter.moc"
