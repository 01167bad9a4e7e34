#include "app/stationrecords.h"
#include "app/widget.h"
#include "flashing/attemptsignals.h"
#include "flashing/imagefingerprint.h"
#include "flashing/loghistory.h"
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <random>

#ifdef Q_OS_LINUX
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>
#endif

// The journal and the kept logs of a window flashing through the simulator.
class TestRecords : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rackOfFifty_data();
    void rackOfFifty();
    void windowClosedWhileJobsRun();
    void restartInTheSamePort();
    void attemptsWaitForTheImageHash();
    void hashOfTheFingerprint();
    void tornLastLineRepairedAtStart();
    void fullDisk();

private:
    void checkRackJournal(const QMap<QString, int> &kindOf, const QString &session);
    void openWindow(const QByteArray &scenario);
    void endSession();
    QString status(const QString &port) const { return w->statusLabelAt(w->findRowByPath(port))->text(); }
    QString failedText() const { return w->findChild<QLineEdit *>("lineEdit_2")->text(); }
    QString mountSmallFileSystem(const QString &path);

    ToolDir *dir = nullptr;
    Widget *w = nullptr;
    StationRecords *records = nullptr;
    MessageBoxCloser *boxes = nullptr;
    QStringList mounted;
};

namespace {

#ifdef Q_OS_LINUX
// Set by main() when the process has a mount namespace of its own.
bool privateMounts = false;
#endif

QStringList warnings;
QtMessageHandler previousHandler = nullptr;

void collectWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg)
        warnings << message;
    if (type != QtDebugMsg)
        previousHandler(type, context, message);
}

QByteArray board(const QString &port, const QByteArray &keys)
{
    return "board " + port.toUtf8() + " chip=VB200 vid=0xFFF0 pid=0xFFF2 " + keys + "\n";
}

QString perPortLog(const QString &port)
{
    return "logs/" + QString(port).replace(':', '_') + "_log.txt";
}

QString sha256(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

} // namespace

void TestRecords::init()
{
    dir = new ToolDir;
    QVERIFY(dir->isValid());
    boxes = new MessageBoxCloser;
    warnings.clear();
    previousHandler = qInstallMessageHandler(collectWarnings);
}

void TestRecords::cleanup()
{
    delete w;
    w = nullptr;
    delete records;
    records = nullptr;
    delete boxes;
    boxes = nullptr;
    qInstallMessageHandler(previousHandler);
#ifdef Q_OS_LINUX
    for (const QString &path : qAsConst(mounted))
        ::umount2(QFile::encodeName(path).constData(), MNT_DETACH);
#endif
    mounted.clear();
    delete dir;
    dir = nullptr;
}

void TestRecords::openWindow(const QByteArray &scenario)
{
    records = new StationRecords;
    w = dir->openWindow(scenario);
    records->attach(w);
}

// Closes the window, then the records: the end line is written.
void TestRecords::endSession()
{
    delete w;
    w = nullptr;
    delete records;
    records = nullptr;
}

QString TestRecords::mountSmallFileSystem(const QString &path)
{
#ifdef Q_OS_LINUX
    if (!privateMounts)
        return QStringLiteral("no mount namespace of our own for a small file system (needs root)");
    if (!QDir().mkpath(path) ||
        ::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=64k") != 0)
        return QStringLiteral("cannot mount a tmpfs");
    mounted << path;
    // Filled up to the last block.
    for (int i = 0;; ++i) {
        QFile filler(QStringLiteral("%1/filler%2").arg(path).arg(i));
        if (!filler.open(QIODevice::WriteOnly))
            break;
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        break;
    }
    return QString();
#else
    Q_UNUSED(path)
    return QStringLiteral("needs a mount namespace");
#endif
}

void TestRecords::rackOfFifty_data()
{
    QTest::addColumn<unsigned>("seed");
    QTest::newRow("seed 17") << 17u;
    QTest::newRow("seed 4242") << 4242u;
}

namespace {

// The ways a rack's board ends, the outcome its line must give, and how its
// row and the failed-devices line show it (a lost board leaves a "Fail" row
// and is not counted as failed).
struct Kind
{
    const char *name;
    QByteArray keys;
    QString outcome;
    QString row;
    bool listedAsFailed;
};
const QVector<Kind> Kinds = {
    {"finished", "duration_ms=300", "finished", "Finished", false},
    {"failure word", "outcome=fail@40", "failed", "Failed", true},
    {"crash", "outcome=crash@50", "failed", "Failed", true},
    // Not 3: a crash of a MinGW program reads as exit code 3 on Windows.
    {"exit code", "outcome=exit@60:5", "failed", "Failed", true},
    {"stop", "outcome=hang@30", "stopped", "Stopped", false},
    {"board pulled", "outcome=hang@30", "lost", "Fail", false},
    {"tool missing", "duration_ms=300", "not-started", "Failed", true},
};
enum { Stop = 4, Pulled = 5, ToolMissing = 6 };

QSet<QString> portsListedAsFailed(const QString &failedText)
{
    QSet<QString> ports;
    for (auto match = QRegularExpression("Device #([^,)]+)").globalMatch(failedText); match.hasNext();)
        ports << match.next().captured(1);
    return ports;
}

} // namespace

// Fifty boards ending every way there is give one line each, numbered in
// the order they were written, with the outcome the rows show and a kept
// copy of exactly what their log received.
void TestRecords::rackOfFifty()
{
    QFETCH(unsigned, seed);
    std::mt19937 random(seed);
    QMap<QString, int> kindOf;
    for (int i = 0; i < 50; ++i) // every kind at least once, then any
        kindOf.insert(QStringLiteral("%1:%2").arg(20 + i / 10).arg(i % 10 + 1),
                      i < Kinds.size() ? i : int(random() % unsigned(Kinds.size())));
    const auto scenario = [&](int unlisted) {
        QByteArray text = "log tool.log\n";
        for (auto board = kindOf.cbegin(); board != kindOf.cend(); ++board)
            text += ::board(board.key(), Kinds[*board].keys + (*board == unlisted ? " listed=0" : ""));
        return text;
    };
    openWindow(scenario(ToolMissing));
    QTest::mouseClick(w->findChild<QPushButton *>("startAllButton"), Qt::LeftButton);
    for (auto board = kindOf.cbegin(); board != kindOf.cend(); ++board) {
        if (*board == Stop || *board == Pulled)
            QTRY_VERIFY_WITH_TIMEOUT(dir->readFile(perPortLog(board.key())).contains("30%"), 60000);
        else if (*board != ToolMissing)
            QTRY_VERIFY_WITH_TIMEOUT(status(board.key()) != QLatin1String("Running"), 60000);
    }
    for (const QString &port : kindOf.keys(Stop))
        w->runOrStopDevice(port);
    dir->writeScenario(scenario(Pulled));
    w->rescanDevices();
    dir->removeTool();
    for (const QString &port : kindOf.keys(ToolMissing))
        w->runOrStopDevice(port);
    dir->installTool();
    QTRY_COMPARE_WITH_TIMEOUT(records->attemptCount(), 50, 30000);
    QCOMPARE(w->runningJobCount(), 0);
    const QSet<QString> listedAsFailed = portsListedAsFailed(failedText());
    QVERIFY2(failedText().startsWith(QStringLiteral("Failed Devices: %1 (").arg(listedAsFailed.size())),
             qPrintable(failedText()));
    for (auto board = kindOf.cbegin(); board != kindOf.cend(); ++board) {
        QCOMPARE(w->statusLabelAt(w->findRowByPath(board.key()))->text(), Kinds[*board].row);
        QCOMPARE(listedAsFailed.contains(board.key()), Kinds[*board].listedAsFailed);
    }
    const QString session = records->session();
    endSession();
    checkRackJournal(kindOf, session);
}

void TestRecords::checkRackJournal(const QMap<QString, int> &kindOf, const QString &session)
{
    const QVector<QJsonObject> lines = dir->journalLines();
    QCOMPARE(lines.size(), 52);
    QCOMPARE(lines.first().value("event").toString(), QStringLiteral("start"));
    QCOMPARE(lines.last().value("event").toString(), QStringLiteral("end"));
    QCOMPARE(lines.last().value("attempts").toInt(), 50);
    QMap<QString, QSet<QString>> reasonsOfKind;
    QSet<QString> seen;
    for (int i = 0; i < lines.size(); ++i) {
        const QJsonObject &line = lines[i];
        QCOMPARE(line.value("seq").toInt(), i + 1);
        QCOMPARE(line.value("session").toString(), session);
        if (i == 0 || i == lines.size() - 1)
            continue;
        const QString port = line.value("port").toString();
        QVERIFY2(kindOf.contains(port) && !seen.contains(port), qPrintable(port));
        seen.insert(port);
        const Kind &kind = Kinds[kindOf[port]];
        QCOMPARE(line.value("event").toString(), QStringLiteral("attempt"));
        QVERIFY2(line.value("outcome").toString() == kind.outcome, qPrintable(port + " " + kind.name));
        QCOMPARE(line.value("image").toObject(),
                 QJsonObject({{"path", dir->filePath("sample.img")}, {"size", 4096}, {"sha256", QJsonValue::Null}}));
        reasonsOfKind[kind.name] << line.value("reason").toString();
        // The tool was asked for every one of them, present or not.
        QVERIFY(line.value("argv").toVariant().toStringList().contains(port));

        const QJsonObject log = line.value("log").toObject();
        QCOMPARE(log.value("path").toString(),
                 historyFolder(QDateTime::currentDateTimeUtc().date()) + "/" + keptLogName(port, session, i + 1));
        const QByteArray copy = dir->readFile(log.value("path").toString());
        QCOMPARE(log.value("sha256").toString(), sha256(copy));
        QCOMPARE(log.value("size").toInt(), copy.size());
        // One attempt in each port: the per-port log holds the same bytes.
        QCOMPARE(copy, dir->readFile(perPortLog(port)));
    }
    // Each way of ending says why in words of its own (a finished one, nothing).
    QSet<QString> reasons;
    for (const Kind &kind : Kinds) {
        const QStringList said = reasonsOfKind[kind.name].values();
        QVERIFY2(said.size() == 1, qPrintable(kind.name + QStringLiteral(": ") + said.join(" | ")));
        reasons << said.first();
    }
    QCOMPARE(reasons.size(), Kinds.size());
    QVERIFY(reasons.contains(QString()));
    // Nothing is left under a partial name.
    const QDir history(dir->filePath(historyFolder(QDateTime::currentDateTimeUtc().date())));
    QCOMPARE(history.entryList(QDir::Files | QDir::Hidden).size(), 50);
}

// Jobs still running when the window closes end as stopped, before the
// session's end line, and their kept logs hold what their logs received.
void TestRecords::windowClosedWhileJobsRun()
{
    openWindow(board("30:1", "duration_ms=100") + board("30:2", "outcome=hang@30") + board("30:3", "outcome=hang@30"));
    QTest::mouseClick(w->findChild<QPushButton *>("startAllButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(status("30:1"), QStringLiteral("Finished"), 15000);
    for (const QString port : {"30:2", "30:3"})
        QTRY_VERIFY_WITH_TIMEOUT(dir->readFile(perPortLog(port)).contains("30%"), 15000);
    endSession();

    const QVector<QJsonObject> lines = dir->journalLines();
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines[1].value("port").toString(), QStringLiteral("30:1"));
    QCOMPARE(lines[1].value("outcome").toString(), QStringLiteral("finished"));
    QCOMPARE(lines[1].value("progress").toInt(), 100);
    QSet<QString> stopped;
    for (int i = 2; i < 4; ++i) {
        QCOMPARE(lines[i].value("outcome").toString(), QStringLiteral("stopped"));
        QCOMPARE(lines[i].value("progress").toInt(), 30);
        const QString port = lines[i].value("port").toString();
        stopped << port;
        const QJsonObject log = lines[i].value("log").toObject();
        QCOMPARE(dir->readFile(log.value("path").toString()), dir->readFile(perPortLog(port)));
        QCOMPARE(log.value("sha256").toString(), sha256(dir->readFile(perPortLog(port))));
    }
    QCOMPARE(stopped, QSet<QString>({"30:2", "30:3"}));
    QCOMPARE(lines[4].value("event").toString(), QStringLiteral("end"));
    QCOMPARE(lines[4].value("attempts").toInt(), 3);
}

// A board flashed again in its port the moment its attempt ended: each
// attempt's copy holds its own run only.
void TestRecords::restartInTheSamePort()
{
    openWindow(board("34:1", "duration_ms=100"));
    int restarts = 0;
    connect(w->attemptSignals(), &AttemptSignals::attemptEnded, w, [&] {
        if (restarts++ == 0)
            QTimer::singleShot(0, w, [this] {
                w->runOrStopDevice("34:1");
            });
    });
    w->runOrStopDevice("34:1");
    QTRY_COMPARE_WITH_TIMEOUT(records->attemptCount(), 2, 15000);
    QCOMPARE(restarts, 2);
    const QVector<QJsonObject> lines = dir->journalLines();
    QCOMPARE(lines.size(), 3);
    QByteArray both;
    for (int i = 1; i < 3; ++i) {
        const QByteArray copy = dir->readFile(lines[i].value("log").toObject().value("path").toString());
        QCOMPARE(copy.count("34:1->Okay"), 1);
        QCOMPARE(copy.count("34:1>write all: 0%"), 1);
        both += copy;
    }
    QVERIFY(both.endsWith(dir->readFile(perPortLog("34:1"))));
}

// An attempt that ends while its image is still being hashed is written
// when the hash comes, or, at the latest, at the end without it; others are
// written at once.
void TestRecords::attemptsWaitForTheImageHash()
{
    const QString image = dir->filePath("sample.img");
    const QString sum = sha256(dir->readFile("sample.img"));
    const QString other = dir->filePath("other.img");
    dir->writeFile("other.img", "another image");
    openWindow(board("31:1", "duration_ms=100") + board("31:2", "duration_ms=100"));
    records->setImageHashPending(image);
    QTest::mouseClick(w->findChild<QPushButton *>("startAllButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(records->attemptCount(), 2, 15000);
    QCOMPARE(dir->journalLines().size(), 1);
    records->setImageHash(image, 4096, sum);
    QVector<QJsonObject> lines = dir->journalLines();
    QCOMPARE(lines.size(), 3);
    for (int i = 1; i < 3; ++i) {
        QCOMPARE(lines[i].value("seq").toInt(), i + 1);
        QCOMPARE(lines[i].value("image").toObject(), QJsonObject({{"path", image}, {"size", 4096}, {"sha256", sum}}));
    }

    records->setImageHashPending(image);
    w->runOrStopDevice("31:1");
    QTRY_COMPARE_WITH_TIMEOUT(records->attemptCount(), 3, 15000);
    w->findChild<QLineEdit *>("lineEdit_All")->setText(other);
    w->runOrStopDevice("31:2");
    QTRY_COMPARE_WITH_TIMEOUT(dir->journalLines().size(), 4, 15000);
    QCOMPARE(dir->journalLines().last().value("image").toObject(),
             QJsonObject({{"path", other}, {"size", 13}, {"sha256", QJsonValue::Null}}));
    // Another image is hashed now: the waiting attempt goes without its hash.
    records->setImageHashPending(other);
    lines = dir->journalLines();
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines[4].value("port").toString(), QStringLiteral("31:1"));
    QCOMPARE(lines[4].value("image").toObject(),
             QJsonObject({{"path", image}, {"size", 4096}, {"sha256", QJsonValue::Null}}));
    // One that waits when Velmora ends is written before the end line.
    w->runOrStopDevice("31:2");
    QTRY_COMPARE_WITH_TIMEOUT(records->attemptCount(), 5, 15000);
    endSession();
    lines = dir->journalLines();
    QCOMPARE(lines.size(), 7);
    QCOMPARE(lines[5].value("port").toString(), QStringLiteral("31:2"));
    QCOMPARE(lines[5].value("seq").toInt(), 6);
    QCOMPARE(lines[5].value("image").toObject().value("path").toString(), other);
    QCOMPARE(lines[6].value("event").toString(), QStringLiteral("end"));
}

// Attached to the window's image fingerprint, the lines carry the hash it
// computed.
void TestRecords::hashOfTheFingerprint()
{
    ImageFingerprint fingerprint;
    records = new StationRecords;
    w = dir->openWindow(board("35:1", "duration_ms=100"));
    records->attach(w, &fingerprint);
    fingerprint.setImage(w->imagePath());
    w->runOrStopDevice("35:1");
    QTRY_COMPARE_WITH_TIMEOUT(dir->journalLines().size(), 2, 15000);
    QCOMPARE(dir->journalLines().last().value("image").toObject().value("sha256").toString(),
             sha256(dir->readFile("sample.img")));
}

// A journal whose last line a crash cut short: the next Velmora moves that
// line aside, says so once, and appends its own whole lines after the last
// whole one.
void TestRecords::tornLastLineRepairedAtStart()
{
    const QByteArray earlier = R"({"schema":1,"event":"start","session":"0123456789ab","seq":1})"
                               "\n";
    const QByteArray torn = R"({"schema":1,"event":"attempt","session":"0123456789ab","seq":2,"port":"3)";
    QVERIFY(QDir().mkpath(dir->filePath("logs")));
    dir->writeFile("logs/journal.jsonl", earlier + torn);
    openWindow(board("32:1", "duration_ms=100"));
    QTest::mouseClick(w->findChild<QPushButton *>("startAllButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(records->attemptCount(), 1, 15000);
    endSession();

    QVERIFY(dir->readFile("logs/journal.jsonl").startsWith(earlier + "{"));
    const QVector<QJsonObject> lines = dir->journalLines();
    QCOMPARE(lines.size(), 4);
    QCOMPARE(lines[1].value("event").toString(), QStringLiteral("start"));
    QCOMPARE(lines[2].value("port").toString(), QStringLiteral("32:1"));
    const QStringList copies = QDir(dir->filePath("logs")).entryList({"journal.jsonl.torn-*"});
    QCOMPARE(copies.size(), 1);
    QCOMPARE(dir->readFile("logs/" + copies.first()), torn);
    QVERIFY2(warnings.filter("torn").size() == 1, qPrintable(warnings.join(" | ")));
}

// The logs folder on a full file system: every board is flashed as its
// tool says, and the journal and the kept logs each say once that they
// cannot be written.
void TestRecords::fullDisk()
{
    const QString notMounted = mountSmallFileSystem(dir->filePath("logs"));
    if (!notMounted.isEmpty())
        QSKIP(qPrintable(notMounted));
    openWindow(board("33:1", "duration_ms=200") + board("33:2", "outcome=fail@50") + board("33:3", "duration_ms=200"));
    QTest::mouseClick(w->findChild<QPushButton *>("startAllButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(records->attemptCount(), 3, 15000);
    QCOMPARE(status("33:1"), QStringLiteral("Finished"));
    QCOMPARE(status("33:2"), QStringLiteral("Failed"));
    QCOMPARE(status("33:3"), QStringLiteral("Finished"));
    QCOMPARE(dir->flashPids().size(), 3);
    endSession();
    QVERIFY2(warnings.filter("Journal").size() == 1, qPrintable(warnings.join(" | ")));
    QVERIFY2(warnings.filter("No space left on device").size() == 2, qPrintable(warnings.join(" | ")));
    QVERIFY2(warnings.filter("logs/history").size() == 1, qPrintable(warnings.join(" | ")));
    QVERIFY(dir->readFile("logs/journal.jsonl").isEmpty());
}

int main(int argc, char *argv[])
{
#ifdef Q_OS_LINUX
    // While the process has one thread it may take a mount namespace of its
    // own, whose mounts nobody else sees and which end with it.
    if (::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0)
        privateMounts = ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
#endif
    QApplication app(argc, argv);
    TestRecords test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_records.moc"
