#include "flashing/journal.h"
#include "flashing/loghistory.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

Q_DECLARE_METATYPE(Attempt)
Q_DECLARE_METATYPE(JournalImage)
Q_DECLARE_METATYPE(KeptLog)

// The journal's lines, its append-only file and the kept copies of logs.
class TestJournal : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void attemptLine_data();
    void attemptLine();
    void sessionLines();
    void tornLastLine_data();
    void tornLastLine();
    void syncsAreBatched();
    void unwritableJournalSaidOnce_data();
    void unwritableJournalSaidOnce();
    void keptLogs();
    void keptLogThatCannotBeWritten();

private:
    QString path(const QString &name) const { return dir->filePath(name); }
    QByteArray read(const QString &name) const;
    void write(const QString &name, const QByteArray &bytes) const;

    QTemporaryDir *dir = nullptr;
};

namespace {

QStringList warnings;
QtMessageHandler previousHandler = nullptr;

void collectWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg)
        warnings << message;
    previousHandler(type, context, message);
}

const JournalContext Context{{QStringLiteral("rack-7.velmora.test"), QStringLiteral("/srv/station 1")},
                             QStringLiteral("0a1b2c3d4e5f")};

QJsonObject parsed(const QByteArray &line)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    return error.error == QJsonParseError::NoError ? document.object() : QJsonObject();
}

QDateTime utc(const char *text)
{
    return QDateTime::fromString(QString::fromLatin1(text), Qt::ISODateWithMs);
}

} // namespace

void TestJournal::init()
{
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    warnings.clear();
    previousHandler = qInstallMessageHandler(collectWarnings);
}

void TestJournal::cleanup()
{
    qInstallMessageHandler(previousHandler);
    delete dir;
    dir = nullptr;
}

QByteArray TestJournal::read(const QString &name) const
{
    QFile file(path(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

void TestJournal::write(const QString &name, const QByteArray &bytes) const
{
    QFile file(path(name));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
}

void TestJournal::attemptLine_data()
{
    QTest::addColumn<Attempt>("attempt");
    QTest::addColumn<JournalImage>("image");
    QTest::addColumn<KeptLog>("log");
    QTest::addColumn<QByteArray>("expected"); // the line's JSON, keys in any order

    Attempt finished;
    finished.port = "1:11";
    finished.mode = "Image";
    finished.imagePath = "/srv/images/vb100 \"rel\".img";
    finished.arguments = QStringList{"-d", "-m", "1:11", "all_uuu_temp.auto"};
    // Not in UTC: the line is.
    finished.started = QDateTime(QDate(2026, 12, 9), QTime(7, 59, 58, 7), Qt::OffsetFromUTC, 3600);
    finished.ended = utc("2026-12-09T07:00:10.250Z");
    finished.outcome = AttemptOutcome::Finished;
    finished.progress = 100;
    finished.logPath = "logs/1_11_log.txt";
    const QString sha(64, QLatin1Char('a'));
    QTest::newRow("finished, everything known")
        << finished << JournalImage{finished.imagePath, 4096, sha}
        << KeptLog{"logs/history/2026-12-09/1_11_0a1b2c3d4e5f_2.txt", 123, sha}
        << QByteArray(R"({"image":{"path":"/srv/images/vb100 \"rel\".img","size":4096,"sha256":")" + sha.toLatin1() +
                      R"("},"started":"2026-12-09T06:59:58.007Z","ended":"2026-12-09T07:00:10.250Z","seconds":12.243,)"
                      R"("outcome":"finished","reason":null,"progress":100,"port":"1:11","mode":"Image",)"
                      R"("log":{"path":"logs/history/2026-12-09/1_11_0a1b2c3d4e5f_2.txt","size":123,"sha256":")" +
                      sha.toLatin1() + R"("},"argv":["-d","-m","1:11","all_uuu_temp.auto"]})");

    Attempt refused;
    refused.port = "2:3";
    refused.mode = "Kernel";
    refused.started = utc("2026-12-09T07:01:00.000Z");
    refused.ended = refused.started;
    refused.reason = "image checksum mismatch";
    QTest::newRow("not started: no tool, no log, image unknown")
        << refused << JournalImage{} << KeptLog{}
        << QByteArray(R"({"image":{"path":"","size":null,"sha256":null},"started":"2026-12-09T07:01:00.000Z",)"
                      R"("ended":"2026-12-09T07:01:00.000Z","seconds":0,"outcome":"not-started",)"
                      R"("reason":"image checksum mismatch","progress":null,"port":"2:3","mode":"Kernel","log":null,)"
                      R"("argv":[]})");

    Attempt lost = finished;
    lost.outcome = AttemptOutcome::Lost;
    lost.reason = "board vanished";
    lost.progress = 0;
    lost.started = QDateTime();
    // A port and an argument with a line end stay on one line.
    lost.port = "C:\\usb\n4";
    lost.arguments = QStringList{"-m", "C:\\usb\n4"};
    QTest::newRow("lost, start unknown, line end in the port")
        << lost << JournalImage{finished.imagePath, 4096, QString()} << KeptLog{}
        << QByteArray(R"({"image":{"path":"/srv/images/vb100 \"rel\".img","size":4096,"sha256":null},)"
                      R"("started":null,"ended":"2026-12-09T07:00:10.250Z","seconds":0,"outcome":"lost",)"
                      R"("reason":"board vanished","progress":0,"port":"C:\\usb\n4","mode":"Image","log":null,)"
                      R"("argv":["-m","C:\\usb\n4"]})");
}

void TestJournal::attemptLine()
{
    QFETCH(Attempt, attempt);
    QFETCH(JournalImage, image);
    QFETCH(KeptLog, log);
    QFETCH(QByteArray, expected);
    const QByteArray line = attemptRecord(Context, 7, attempt, image, log);
    QVERIFY(line.endsWith('\n'));
    QCOMPARE(line.count('\n'), 1);
    QJsonObject want = parsed(expected);
    QVERIFY(!want.isEmpty());
    want.insert("schema", 1);
    want.insert("event", "attempt");
    want.insert("station", QJsonObject{{"host", "rack-7.velmora.test"}, {"folder", "/srv/station 1"}});
    want.insert("session", "0a1b2c3d4e5f");
    want.insert("seq", 7);
    QCOMPARE(parsed(line), want);
}

void TestJournal::sessionLines()
{
    const QDateTime at = utc("2026-12-09T06:00:00.001Z");
    QCOMPARE(parsed(sessionRecord(Context, 1, "start", at)),
             parsed(R"({"schema":1,"event":"start","station":{"host":"rack-7.velmora.test","folder":"/srv/station 1"},)"
                    R"("session":"0a1b2c3d4e5f","seq":1,"time":"2026-12-09T06:00:00.001Z"})"));
    QCOMPARE(parsed(sessionRecord(Context, 52, "end", at, 50)).value("attempts"), QJsonValue(50));

    const QRegularExpression hex("^[0-9a-f]{12}$");
    const QString one = newJournalSession();
    const QString two = newJournalSession();
    QVERIFY2(hex.match(one).hasMatch() && hex.match(two).hasMatch(), qPrintable(one + " " + two));
    QVERIFY(one != two);
}

void TestJournal::tornLastLine_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("keep"); // bytes that stay in the journal; the rest is moved aside

    const QByteArray a = R"({"seq":1})"
                         "\n";
    const QByteArray b = R"({"seq":2,"event":"attempt"})"
                         "\n";
    // Longer than the blocks the end of the file is read back in.
    const QByteArray big = R"({"seq":3,"argv":[")" + QByteArray(100000, 'x') + "\"]}\n";
    QTest::newRow("no journal yet") << QByteArray() << 0;
    QTest::newRow("whole lines") << a + b << int((a + b).size());
    QTest::newRow("CRLF line ends") << QByteArray(R"({"seq":1})"
                                                  "\r\n{\"seq\":2}\r\n")
                                    << 22;
    QTest::newRow("cut in the middle") << a + b.left(10) << int(a.size());
    QTest::newRow("whole object, line end missing") << a + b.chopped(1) << int(a.size());
    QTest::newRow("only a torn line") << b.left(5) << 0;
    QTest::newRow("line end but no object") << a + "seq 2\n" << int(a.size());
    QTest::newRow("zeros after a power loss") << a + QByteArray(4096, '\0') << int(a.size());
    QTest::newRow("long whole line last") << a + big << int((a + big).size());
    QTest::newRow("long torn line last") << a + big.left(90000) << int(a.size());
    QTest::newRow("long line before a torn one") << big + a.left(3) << int(big.size());
}

void TestJournal::tornLastLine()
{
    QFETCH(QByteArray, content);
    QFETCH(int, keep);
    if (!content.isEmpty())
        write("journal.jsonl", content);
    {
        JournalFile journal(path("journal.jsonl"));
        QVERIFY(journal.open());
        QVERIFY(journal.append("{\"seq\":9}\n"));
        QCOMPARE(journal.tornCopy().isEmpty(), keep == content.size());
        if (!journal.tornCopy().isEmpty()) {
            QFile copy(journal.tornCopy());
            QVERIFY(copy.open(QIODevice::ReadOnly));
            QCOMPARE(copy.readAll(), content.mid(keep));
            QVERIFY2(QFileInfo(copy).fileName().startsWith("journal.jsonl.torn-"), qPrintable(copy.fileName()));
        }
    }
    QCOMPARE(read("journal.jsonl"), content.left(keep) + "{\"seq\":9}\n");
    QCOMPARE(warnings.filter("torn").size(), keep == content.size() ? 0 : 1);
    QCOMPARE(warnings.size(), keep == content.size() ? 0 : 1);
}

// A rack ending together writes many lines in one turn of the event loop:
// the disk is synced once for all of them, off this thread.
void TestJournal::syncsAreBatched()
{
    JournalFile journal(path("logs/journal.jsonl"));
    QVERIFY(journal.open());
    for (int i = 1; i <= 128; ++i)
        QVERIFY(journal.append(QStringLiteral("{\"seq\":%1}\n").arg(i).toLatin1()));
    QCOMPARE(journal.syncCount(), 0);
    QTRY_COMPARE(journal.syncCount(), 1);
    QTest::qWait(3 * JournalFile::syncDelayMs);
    journal.waitForSyncs();
    QCOMPARE(journal.syncCount(), 1);
    QCOMPARE(read("logs/journal.jsonl").count('\n'), 128);
    QVERIFY(journal.append("{\"seq\":129}\n"));
    QTRY_COMPARE(journal.syncCount(), 2);
}

void TestJournal::unwritableJournalSaidOnce_data()
{
    QTest::addColumn<QString>("name");
    // Even root cannot make a folder where a file is.
    QTest::newRow("its folder is a file") << "blocker/journal.jsonl";
#ifdef Q_OS_LINUX
    // Every write fails with "No space left on device".
    QTest::newRow("full disk") << "/dev/full";
#endif
}

void TestJournal::unwritableJournalSaidOnce()
{
    QFETCH(QString, name);
    write("blocker", "a file");
    const bool blocked = name.startsWith("blocker");
    JournalFile journal(blocked ? path(name) : name);
    journal.open();
    for (int i = 0; i < 3; ++i)
        QVERIFY(!journal.append("{\"seq\":1}\n"));
    // (The toolkit warns of its own that /dev/full cannot seek.)
    warnings = warnings.filter(QRegularExpression("^Journal "));
    QVERIFY2(warnings.size() == 1, qPrintable(warnings.join(" | ")));
    QVERIFY2(warnings.first().contains(journal.fileName()), qPrintable(warnings.first()));
    if (!blocked)
        QVERIFY2(warnings.first().contains("No space left on device"), qPrintable(warnings.first()));
    else {
        // Once the folder can be made, the next record goes in.
        QVERIFY(QFile::remove(path("blocker")));
        QVERIFY(journal.append("{\"seq\":4}\n"));
        QCOMPARE(read(name), QByteArray("{\"seq\":4}\n"));
        QCOMPARE(warnings.size(), 1);
        QCOMPARE(journal.fileName(), path(name));
    }
}

void TestJournal::keptLogs()
{
    QCOMPARE(historyFolder(QDate(2026, 1, 2)), QStringLiteral("logs/history/2026-01-02"));
    QCOMPARE(keptLogName("C:\\usb/2:4", "0a1b2c3d4e5f", 12), QStringLiteral("C__usb_2_4_0a1b2c3d4e5f_12.txt"));

    // Two attempts in one port, the second begun before the first is finished.
    KeptLogWriter first(dir->path(), "logs/history/2026-01-02", ".1_1_s_1.partial");
    KeptLogWriter second(dir->path(), "logs/history/2026-01-02", ".1_1_s_2.partial");
    const QByteArray one = "1:1>write all: 50%\n";
    const QByteArray two = QByteArray(300000, 'y') + "\n[Process Failed Detected]\n";
    QVERIFY(first.write(one.left(5)) && first.write(one.mid(5)));
    QVERIFY(second.write(two));
    const KeptLog kept = first.finish("1_1_s_7.txt");
    const KeptLog empty = KeptLogWriter(dir->path(), "logs/history/2026-01-02", ".x.partial").finish("1_1_s_8.txt");
    const KeptLog later = second.finish("1_1_s_9.txt");

    QCOMPARE(kept.path, QStringLiteral("logs/history/2026-01-02/1_1_s_7.txt"));
    QCOMPARE(read(kept.path), one);
    QCOMPARE(kept.size, qint64(one.size()));
    QCOMPARE(kept.sha256, QString(QCryptographicHash::hash(one, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(read(later.path), two);
    QCOMPARE(later.sha256, QString(QCryptographicHash::hash(two, QCryptographicHash::Sha256).toHex()));
    QCOMPARE(read(empty.path), QByteArray());
    QCOMPARE(empty.sha256, QString(QCryptographicHash::hash("", QCryptographicHash::Sha256).toHex()));
    QCOMPARE(QDir(path("logs/history/2026-01-02")).entryList(QDir::Files | QDir::Hidden),
             QStringList({"1_1_s_7.txt", "1_1_s_8.txt", "1_1_s_9.txt"}));
}

void TestJournal::keptLogThatCannotBeWritten()
{
    write("logs", "a file where the folder should be");
    KeptLogWriter log(dir->path(), "logs/history/2026-01-02", ".1_1_s_1.partial");
    QVERIFY(!log.write("some output\n"));
    QVERIFY(log.failed());
    QVERIFY(!log.errorString().isEmpty());
    QVERIFY(log.finish("1_1_s_1.txt").path.isEmpty());
}

QTEST_GUILESS_MAIN(TestJournal)

#include "tst_journal.moc"
