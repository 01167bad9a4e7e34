#include "app/headless.h"
#include "app/terminationsignals.h"
#include "app/widget.h"
#include "flashing/attemptsignals.h"
#include "flashing/imagefingerprint.h"
#include "flashing/scripttext.h"
#include "testsupport.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimer>
#include <QtTest>

#ifdef Q_OS_UNIX
#include <csignal>
#include <unistd.h>
#endif

// Racks flashed without a window through the simulator: the exit code, the
// lines on standard output and what is said on standard error.
class TestHeadless : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void racks_data();
    void racks();
    void jsonSummary();
    void refusedStartIsStationError();
    void checksumAwaitedBeforeStart_data();
    void checksumAwaitedBeforeStart();
#ifdef Q_OS_UNIX
    void terminationSignalMidRack();
#endif
    void summaryTexts_data();
    void summaryTexts();

private:
    HeadlessExitCode run(const HeadlessOptions &options);

    ToolDir *dir = nullptr;
    Widget *w = nullptr;
    QBuffer out;
    QBuffer err;
};

void TestHeadless::init()
{
    dir = new ToolDir;
    QVERIFY(dir->isValid());
    out.setData({});
    err.setData({});
    out.open(QIODevice::WriteOnly);
    err.open(QIODevice::WriteOnly);
}

void TestHeadless::cleanup()
{
    out.close();
    err.close();
    delete w;
    w = nullptr;
    delete dir;
    dir = nullptr;
}

HeadlessExitCode TestHeadless::run(const HeadlessOptions &options)
{
    HeadlessRun headless(*w, options, &out, &err, false);
    return headless.exec();
}

namespace {

// "PORT=OUTCOME" for each board line of the output, sorted.
QStringList boardOutcomes(const QByteArray &output)
{
    QStringList outcomes;
    for (const QByteArray &line : output.split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() == 5)
            outcomes << QString::fromUtf8(fields.at(0) + '=' + fields.at(1));
    }
    outcomes.sort();
    return outcomes;
}

} // namespace

void TestHeadless::racks_data()
{
    QTest::addColumn<QByteArray>("scenario");
    QTest::addColumn<QString>("image");
    QTest::addColumn<int>("expect");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("toolMissing");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("outcomes");
    QTest::addColumn<QString>("said"); // on standard error

    const QByteArray four = "board 1:1\nboard 1:2\nboard 1:3\nboard 1:4\n";
    const QStringList fourFinished{"1:1=finished", "1:2=finished", "1:3=finished", "1:4=finished"};
    QTest::newRow("all finish") << four << "sample.img" << 4 << -1 << "" << false << 0 << fourFinished << "";
    QTest::newRow("one failure word") << QByteArray("board 1:1\nboard 1:2 outcome=fail@50\nboard 1:3\n") << "sample.img"
                                      << -1 << -1 << "" << false << 1
                                      << QStringList{"1:1=finished", "1:2=failed", "1:3=finished"} << "";
    QTest::newRow("one crash") << QByteArray("board 1:1 outcome=crash@40\nboard 1:2\n") << "sample.img" << -1 << -1
                               << "" << false << 1 << QStringList{"1:1=failed", "1:2=finished"} << "";
    QTest::newRow("tool missing") << four << "sample.img" << -1 << -1 << "" << true << 2 << QStringList{}
                                  << "flashing tool";
    QTest::newRow("listing crashes") << QByteArray("listing crash=1\n") + four << "sample.img" << -1 << -1 << ""
                                     << false << 2 << QStringList{} << "listing failed";
    QTest::newRow("image missing") << four << "missing.img" << -1 << -1 << "" << false << 2 << QStringList{}
                                   << "cannot be read";
    QTest::newRow("no image") << four << "" << -1 << -1 << "" << false << 2 << QStringList{} << "no image";
    QTest::newRow("fewer boards than expected")
        << four << "sample.img" << 5 << -1 << "" << false << 3 << QStringList{} << "";
    QTest::newRow("no boards, none expected")
        << QByteArray() << "sample.img" << -1 << -1 << "" << false << 0 << QStringList{} << "";
    QTest::newRow("bad mode") << four << "sample.img" << -1 << -1 << "Everything" << false << 2 << QStringList{}
                              << "no mode";
    QTest::newRow("mode given") << QByteArray("board 1:1\n") << "sample.img" << -1 << -1 << "kernel" << false << 0
                                << QStringList{"1:1=finished"} << "";
    QTest::newRow("hang, time-out 3") << QByteArray("board 1:1\nboard 1:2 outcome=hang@50 duration_ms=2000\n")
                                      << "sample.img" << -1 << 3 << "" << false << 4
                                      << QStringList{"1:1=finished", "1:2=stopped"} << "time-out";
}

void TestHeadless::racks()
{
    QFETCH(QByteArray, scenario);
    QFETCH(QString, image);
    QFETCH(int, expect);
    QFETCH(int, timeout);
    QFETCH(QString, mode);
    QFETCH(bool, toolMissing);
    QFETCH(int, exitCode);
    QFETCH(QStringList, outcomes);
    QFETCH(QString, said);

    w = dir->openWindow(scenario);
    if (toolMissing)
        dir->removeTool();
    HeadlessOptions options;
    options.image = image.isEmpty() ? QString() : dir->filePath(image);
    options.expect = expect;
    options.timeoutSeconds = timeout;
    options.mode = mode;
    QCOMPARE(int(run(options)), exitCode);

    QCOMPARE(boardOutcomes(out.data()), outcomes);
    const QList<QByteArray> lines = out.data().trimmed().split('\n');
    QVERIFY2(lines.last().contains(QStringLiteral("exit code %1").arg(exitCode).toUtf8()), lines.last());
    QCOMPARE(lines.size(), outcomes.size() + 1);
    if (!said.isEmpty())
        QVERIFY2(err.data().contains(said.toUtf8()), err.data());
    if (!mode.isEmpty() && !outcomes.isEmpty()) {
        const QStringList args = dir->toolCalls().last().args;
        QCOMPARE(args.last(), generatedScriptForMode(QStringLiteral("Kernel")));
    }
    // Nothing flashed unless every board could be. The run ends with no job
    // running; a tool that has exited may still wait to be reaped until the
    // window goes, as it does when Velmora ends.
    QCOMPARE(w->runningJobCount(), 0);
    delete w;
    w = nullptr;
    const QMap<QString, qint64> flashed = dir->flashPids();
    QCOMPARE(flashed.size(), outcomes.size());
    for (qint64 pid : flashed)
        QVERIFY(!processAlive(pid));
}

void TestHeadless::jsonSummary()
{
    w = dir->openWindow("board 1:1\nboard 2:3 outcome=error@30\n");
    HeadlessOptions options;
    options.image = dir->filePath("sample.img");
    options.json = true;
    options.expect = 2;
    QCOMPARE(run(options), ExitBoardFailed);
    const QList<QByteArray> lines = out.data().trimmed().split('\n');
    QCOMPARE(lines.size(), 1);
    QJsonParseError error;
    const QJsonObject summary = QJsonDocument::fromJson(lines.first(), &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(summary.value("exitCode").toInt(), 1);
    QCOMPARE(summary.value("listed").toInt(), 2);
    QCOMPARE(summary.value("expected").toInt(), 2);
    QCOMPARE(summary.value("outcomes").toObject().value("failed").toInt(), 1);
    QCOMPARE(summary.value("outcomes").toObject().value("finished").toInt(), 1);
    const QJsonArray boards = summary.value("boards").toArray();
    QCOMPARE(boards.size(), 2);
    for (const QJsonValue &board : boards) {
        const QJsonObject b = board.toObject();
        const bool failed = b.value("port").toString() == QLatin1String("2:3");
        QCOMPARE(b.value("outcome").toString(), failed ? QStringLiteral("failed") : QStringLiteral("finished"));
        QVERIFY(!b.value("log").toString().isEmpty());
        QVERIFY(QFile::exists(b.value("log").toString()));
    }
}

// A start that the station refuses (a checksum mismatch) flashes nothing
// and is the station's error, not the boards'.
void TestHeadless::refusedStartIsStationError()
{
    w = dir->openWindow("board 1:1\nboard 1:2\n");
    w->setStartCheck([](const QString &) {
        return StartRefusal{QStringLiteral("image checksum mismatch"),
                            QStringLiteral("The image is not the one expected.")};
    });
    HeadlessOptions options;
    options.image = dir->filePath("sample.img");
    QCOMPARE(run(options), ExitStationError);
    QCOMPARE(boardOutcomes(out.data()), (QStringList{"1:1=not-started", "1:2=not-started"}));
    QVERIFY(out.data().contains("image checksum mismatch"));
    QVERIFY2(err.data().contains("The image is not the one expected."), err.data());
    QVERIFY(dir->flashPids().isEmpty());
}

void TestHeadless::checksumAwaitedBeforeStart_data()
{
    QTest::addColumn<bool>("matches");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("outcomes");
    QTest::newRow("matching image") << true << int(ExitAllFinished) << QStringList{"1:1=finished", "1:2=finished"};
    QTest::newRow("other image") << false << int(ExitStationError) << QStringList{"1:1=not-started", "1:2=not-started"};
}

// With a checksum expected, the run waits for the image's hash (computed off
// the GUI thread) instead of refusing the boards while it is unknown.
void TestHeadless::checksumAwaitedBeforeStart()
{
    QFETCH(bool, matches);
    QFETCH(int, exitCode);
    QFETCH(QStringList, outcomes);
    w = dir->openWindow("board 1:1\nboard 1:2\n");
    ImageFingerprint fingerprint;
    const QByteArray image = matches ? dir->readFile("sample.img") : QByteArray("another image");
    fingerprint.setExpectedSha256(
        QString::fromLatin1(QCryptographicHash::hash(image, QCryptographicHash::Sha256).toHex()));
    connect(w->attemptSignals(), &AttemptSignals::imagePathChanged, &fingerprint, &ImageFingerprint::setImage);
    w->setStartCheck([&fingerprint](const QString &path) {
        return fingerprint.startRefusal(path);
    });
    HeadlessOptions options;
    options.image = dir->filePath("sample.img");
    HeadlessRun headless(*w, options, &out, &err, false);
    headless.setImageFingerprint(&fingerprint);
    QCOMPARE(int(headless.exec()), exitCode);
    QCOMPARE(boardOutcomes(out.data()), outcomes);
}

#ifdef Q_OS_UNIX
// A SIGTERM to Velmora itself once the boards run: every tool is stopped,
// each board still gets its line, and the run says it was stopped.
void TestHeadless::terminationSignalMidRack()
{
    w = dir->openWindow("defaults outcome=hang@40 duration_ms=1000\nboard 1:1\nboard 1:2\nboard 1:3\n");
    TerminationSignals termination;
    HeadlessOptions options;
    options.image = dir->filePath("sample.img");
    HeadlessRun headless(*w, options, &out, &err, false);
    connect(&termination, &TerminationSignals::received, &headless, &HeadlessRun::stop);
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (dir->readFile("logs/1_3_log.txt").contains("40%")) {
            poll.stop();
            ::kill(::getpid(), SIGTERM);
        }
    });
    poll.start(20);
    QCOMPARE(headless.exec(), ExitBoardFailed);
    QCOMPARE(boardOutcomes(out.data()), (QStringList{"1:1=stopped", "1:2=stopped", "1:3=stopped"}));
    QVERIFY(headless.tally().interrupted);
    QCOMPARE(w->runningJobCount(), 0);
    delete w;
    w = nullptr;
    const QMap<QString, qint64> flashed = dir->flashPids();
    QCOMPARE(flashed.size(), 3);
    for (qint64 pid : flashed)
        QVERIFY(!processAlive(pid));
}
#endif

void TestHeadless::summaryTexts_data()
{
    QTest::addColumn<QStringList>("outcomes");
    QTest::addColumn<int>("listed");
    QTest::addColumn<int>("expected");
    QTest::addColumn<bool>("timedOut");
    QTest::addColumn<QString>("stationError");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("all finished") << QStringList{"finished", "finished"} << 2 << -1 << false << "" << 0;
    QTest::newRow("a stop counts against the run") << QStringList{"finished", "stopped"} << 2 << -1 << false << "" << 1;
    QTest::newRow("lost") << QStringList{"lost"} << 1 << -1 << false << "" << 1;
    QTest::newRow("not started beats failed") << QStringList{"failed", "not-started"} << 2 << -1 << false << "" << 2;
    QTest::newRow("time-out beats failed") << QStringList{"failed", "stopped"} << 2 << -1 << true << "" << 4;
    QTest::newRow("too few beats the rest") << QStringList{} << 1 << 2 << true << "" << 3;
    QTest::newRow("station error first") << QStringList{} << 0 << 2 << false << "the board listing failed" << 2;
    QTest::newRow("exactly as many as expected") << QStringList{"finished"} << 1 << 1 << false << "" << 0;
}

// The precedence of the exit codes when several reasons meet.
void TestHeadless::summaryTexts()
{
    QFETCH(QStringList, outcomes);
    QFETCH(int, listed);
    QFETCH(int, expected);
    QFETCH(bool, timedOut);
    QFETCH(QString, stationError);
    QFETCH(int, exitCode);
    HeadlessTally tally;
    tally.listed = listed;
    tally.expected = expected;
    tally.timedOut = timedOut;
    tally.stationError = stationError;
    for (const QString &name : outcomes) {
        Attempt attempt;
        for (int i = 0; i < 5; ++i) {
            if (attemptOutcomeName(AttemptOutcome(i)) == name)
                attempt.outcome = AttemptOutcome(i);
        }
        tally.attempts << attempt;
    }
    QCOMPARE(int(headlessExitCode(tally)), exitCode);
    QVERIFY(headlessSummary(tally).contains(QStringLiteral("exit code %1").arg(exitCode)));
    QCOMPARE(QJsonDocument::fromJson(headlessJson(tally)).object().value("exitCode").toInt(), exitCode);
}

QTEST_MAIN(TestHeadless)
#include "tst_headless.moc"
