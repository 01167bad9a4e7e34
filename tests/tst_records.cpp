#include "app/stationrecords.h"
#include "app/widget.h"
#include "flashing/attemptsignals.h"
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
    void tornLastLineRepairedAtStart();
    void fullDisk();

private:
    // Every line of the journal, parsed; fails the case on a line that is no object.
    QVector<QJsonObject> journal();
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

QVector<QJsonObject> TestRecords::journal()
{
    QVector<QJsonObject> lines;
    const QByteArray text = dir->readFile("logs/journal.jsonl");
    if (!text.isEmpty() && !text.endsWith('\n'))
        QTest::qFail("the journal's last line has no line end", __FILE__, __LINE__);
    for (const QByteArray &line : text.split('\n')) {
        if (line.isEmpty())
            continue;
        const QJsonDocument document = QJsonDocument::fromJson(line);
        if (!document.isObject())
            QTest::qFail(line.left(200).constData(), __FILE__, __LINE__);
        lines << document.object();
    }
    return lines;
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

// Fifty boards ending every way there is give one line each, in the order
// they were written, with their outcome as the rows show it and a kept copy
// of exactly what their log received.
void TestRecords::rackOfFifty()
{
    QFETCH(unsigned, seed);
    struct Kind
    {
        const char *name;
        QByteArray keys;
        const char *outcome;
    };
    const QVector<Kind> kinds = {
        {"finished", "duration_ms=300", "finished"},
        {"failure word", "outcome=fail@40", "failed"},
        {"crash", "outcome=crash@50", "failed"},
        {"exit code", "outcome=exit@60:3", "failed"},
        {"stop", "outcome=hang@30", "stopped"},
        {"board pulled", "outcome=hang@30", "lost"},
        {"tool missing", "duration_ms=300", "not-started"},
    };
    std::mt19937 random(seed);
    QMap<QString, int> kindOf;
    QStringList ports;
    QByteArray scenario;
    for (int i = 0; i < 50; ++i) {
        const QString port = QStringLiteral("%1:%2").arg(20 + i / 10).arg(i % 10 + 1);
        // Every kind at least once, then any.
        const int kind = i < kinds.size() ? i : int(random() % unsigned(kinds.size()));
        kindOf.insert(port, kind);
        ports << port;
    }
    const auto scenarioListing = [&](const QSet<int> &unlisted) {
        QByteArray text = "log tool.log\n";
        for (const QString &port : ports)
            text += board(port, kinds[kindOf[port]].keys + (unlisted.contains(kindOf[port]) ? " listed=0" : ""));
        return text;
    };
    const int stop = 4, pulled = 5, toolMissing = 6;
    openWindow(scenarioListing({toolMissing}));
    QTest::mouseClick(w->findChild<QPushButton *>("startAllButton"), Qt::LeftButton);
    for (const QString &port : ports) {
        const int kind = kindOf[port];
        if (kind == stop || kind == pulled)
            QTRY_VERIFY_WITH_TIMEOUT(dir->readFile(perPortLog(port)).contains("30%"), 60000);
        else if (kind != toolMissing)
            QTRY_VERIFY_WITH_TIMEOUT(status(port) != QLatin1String("Running"), 60000);
    }
    for (const QString &port : ports) {
        if (kindOf[port] == stop)
            w->runOrStopDevice(port);
    }
    dir->writeScenario(scenarioListing({pulled}));
    w->rescanDevices();
    dir->removeTool();
    for (const QString &port : ports) {
        if (kindOf[port] == toolMissing)
            w->runOrStopDevice(port);
    }
    dir->installTool();
    QTRY_COMPARE_WITH_TIMEOUT(records->attemptCount(), 50, 30000);
    QCOMPARE(w->runningJobCount(), 0);

    QMap<QString, QString> rows;
    for (const QString &port : ports) {
        const int row = w->findRowByPath(port);
        rows.insert(port, row >= 0 ? w->statusLabelAt(row)->text() : QString());
    }
    const QString failed = failedText();
    const QString session = records->session();
    endSession();

    const QVector<QJsonObject> lines = journal();
    QCOMPARE(lines.size(), 52);
    QCOMPARE(lines.first().value("event").toString(), QStringLiteral("start"));
    QCOMPARE(lines.last().value("event").toString(), QStringLiteral("end"));
    QCOMPARE(lines.last().value("attempts").toInt(), 50);
    QMap<QString, QSet<QString>> reasonsOfKind;
    QSet<QString> seen;
    QMap<QString, QString> outcomes;
    int kept = 0;
    for (int i = 0; i < lines.size(); ++i) {
        const QJsonObject &line = lines[i];
        QCOMPARE(line.value("seq").toInt(), i + 1);
        QCOMPARE(line.value("session").toString(), session);
        QCOMPARE(line.value("schema").toInt(), 1);
        if (i == 0 || i == lines.size() - 1)
            continue;
        QCOMPARE(line.value("event").toString(), QStringLiteral("attempt"));
        const QString port = line.value("port").toString();
        QVERIFY2(ports.contains(port) && !seen.contains(port), qPrintable(port));
        seen.insert(port);
        outcomes.insert(port, line.value("outcome").toString());
        const Kind &kind = kinds[kindOf[port]];
        QVERIFY2(line.value("outcome").toString() == QLatin1String(kind.outcome),
                 qPrintable(port + " " + kind.name + ": " + line.value("outcome").toString()));
        QCOMPARE(line.value("image").toObject().value("path").toString(), dir->filePath("sample.img"));
        QCOMPARE(line.value("image").toObject().value("size").toInt(), 4096);
        if (kindOf[port] == 0)
            QVERIFY(line.value("reason").isNull());
        else
            reasonsOfKind[kind.name] << line.value("reason").toString();
        const QStringList argv = line.value("argv").toVariant().toStringList();
        // The tool was asked for every one of them, present or not.
        QVERIFY2(argv.contains(port), qPrintable(argv.join(' ')));

        const QJsonObject log = line.value("log").toObject();
        if (kindOf[port] == toolMissing && log.isEmpty())
            continue;
        const QString keptName = log.value("path").toString();
        QCOMPARE(keptName, "logs/history/" + QDateTime::currentDateTimeUtc().date().toString(Qt::ISODate) + "/" +
                               QString(port).replace(':', '_') + "_" + session + "_" + QString::number(i + 1) + ".txt");
        const QByteArray copy = dir->readFile(keptName);
        QCOMPARE(log.value("sha256").toString(), sha256(copy));
        QCOMPARE(log.value("size").toInt(), copy.size());
        // One attempt in each port: the per-port log holds the same bytes.
        QCOMPARE(copy, dir->readFile(perPortLog(port)));
        ++kept;
    }
    QCOMPARE(seen.size(), 50);
    // Each way of failing says why in its own words.
    for (const char *name : {"failure word", "crash", "exit code", "stop", "board pulled", "tool missing"}) {
        QVERIFY2(reasonsOfKind[name].size() == 1 && !reasonsOfKind[name].values().first().isEmpty(),
                 qPrintable(name + QStringLiteral(": ") + reasonsOfKind[name].values().join(" | ")));
    }
    QCOMPARE(QSet<QString>({*reasonsOfKind["failure word"].begin(), *reasonsOfKind["crash"].begin(),
                            *reasonsOfKind["exit code"].begin()})
                 .size(),
             3);
    // The rows and the summary line say what the journal says: a lost board
    // leaves a "Fail" row and is not counted among the failed devices.
    const QMap<QString, QPair<QString, bool>> shown = {{"finished", {"Finished", false}},
                                                       {"failed", {"Failed", true}},
                                                       {"stopped", {"Stopped", false}},
                                                       {"lost", {"Fail", false}},
                                                       {"not-started", {"Failed", true}}};
    QSet<QString> listedAsFailed;
    for (auto match = QRegularExpression("Device #([^,)]+)").globalMatch(failed); match.hasNext();)
        listedAsFailed << match.next().captured(1);
    QVERIFY2(failed.startsWith(QStringLiteral("Failed Devices: %1 (").arg(listedAsFailed.size())), qPrintable(failed));
    for (const QString &port : ports) {
        const QString outcome = outcomes[port];
        QCOMPARE(rows[port], shown[outcome].first);
        QCOMPARE(listedAsFailed.contains(port), shown[outcome].second);
    }
    // Nothing is left under a partial name.
    const QDir history(dir->filePath(historyFolder(QDateTime::currentDateTimeUtc().date())));
    QCOMPARE(history.entryList(QDir::Files | QDir::Hidden).size(), kept);
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

    const QVector<QJsonObject> lines = journal();
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
    const QVector<QJsonObject> lines = journal();
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
    QCOMPARE(journal().size(), 1);
    records->setImageHash(image, 4096, sum);
    QVector<QJsonObject> lines = journal();
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
    QTRY_COMPARE_WITH_TIMEOUT(journal().size(), 4, 15000);
    QCOMPARE(journal().last().value("image").toObject(),
             QJsonObject({{"path", other}, {"size", 13}, {"sha256", QJsonValue::Null}}));
    endSession();
    lines = journal();
    QCOMPARE(lines.size(), 6);
    QCOMPARE(lines[4].value("port").toString(), QStringLiteral("31:1"));
    QCOMPARE(lines[4].value("seq").toInt(), 5);
    QCOMPARE(lines[4].value("image").toObject(),
             QJsonObject({{"path", image}, {"size", 4096}, {"sha256", QJsonValue::Null}}));
    QCOMPARE(lines[5].value("event").toString(), QStringLiteral("end"));
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
    const QVector<QJsonObject> lines = journal();
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
