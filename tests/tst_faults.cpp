#include "app/widget.h"
#include "testsupport.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QtTest>

#include "discovery/toolcontract.h"
#include "discovery/toolprocess.h"

// The flashing jobs against a misbehaving tool, a misbehaving station and a
// hasty operator. Every case checks the row's final status, the failed-device
// summary, the job's log against the bytes the simulator prints for the same
// board (it is deterministic), and that no tool, descriptor or log handle is
// left behind.
class TestFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void toolEndsByItself_data();
    void toolEndsByItself();
    void hungToolIsStopped_data();
    void hungToolIsStopped();
    void quickToggles_data();
    void quickToggles();
    void failureWordSplitBetweenReads_data();
    void failureWordSplitBetweenReads();
    void toolCannotBeStarted_data();
    void toolCannotBeStarted();
    void deviceVanishesMidFlash_data();
    void deviceVanishesMidFlash();
    void rescanStormWhileJobsRun();
    void startAllPressedTwice();
    void windowClosedWhileJobsRun_data();
    void windowClosedWhileJobsRun();
    void logFolderNotWritable();
    void templateMissingOrUnreadable_data();
    void templateMissingOrUnreadable();
    void workingDirectoryNotWritable();
    void hugeListings_data();
    void hugeListings();
    void imagePaths_data();
    void imagePaths();
    void stopsNeverWait_data();
    void stopsNeverWait();
    void stopAllReachesJobsWithoutRow();
    void logsOnFullDisk_data();
    void logsOnFullDisk();
    void scriptOnFullDisk();
    void scriptsStayWhileJobsRun_data();
    void scriptsStayWhileJobsRun();

private:
    Widget *makeWidget(const QByteArray &boards);
    QByteArray reference(const QString &port, const QByteArray &keys, const QString &script = "all_uuu_temp.auto");
    QMap<QString, QByteArray> references(const QStringList &ports, const QByteArray &keys);
    QByteArray logOf(const QString &port) const;
    int flashRuns(const QString &port) const;
    qint64 flashPid(const QString &port) const;
    QList<qint64> allToolPids() const;
    bool installStandIn(const QByteArray &output);
    int rowOf(const QString &port) const { return w->findRowByPath(port); }
    QString status(const QString &port) const { return w->statusLabelAt(rowOf(port))->text(); }
    QPushButton *button(const char *name) const { return w->findChild<QPushButton *>(name); }
    QString failedText() const { return w->findChild<QLineEdit *>("lineEdit_2")->text(); }
    QTableWidget *table() const { return w->findChild<QTableWidget *>("tableWidget"); }

    ToolDir *dir = nullptr;
    Widget *w = nullptr;
    int baselineFds = -1;
};

namespace {

const QByteArray FailureTrailer = "[Process Failed Detected]\n";

// Reads of the tool's output as Velmora reports them ("Debug Print Log:").
// They are kept out of the test log (some cases print megabytes) and, while
// recording, collected for the cases that look at how output was cut.
bool recordReads = false;
QStringList recordedReads;
// Every other debug line while set.
bool recordDebug = false;
QStringList recordedDebug;
QtMessageHandler previousHandler = nullptr;

void messageFilter(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg) {
        if (recordDebug && !message.startsWith(QLatin1String("Debug Print Log:")))
            recordedDebug << message;
        if (message.startsWith(QLatin1String("Debug Print Log:"))) {
            if (recordReads)
                recordedReads << message;
            return;
        }
        if (message.startsWith(QLatin1String("Print Mode")) || message.startsWith(QLatin1String("Debug CMD")))
            return;
    }
    previousHandler(type, context, message);
}

// Where two byte strings first differ, for failure messages.
QByteArray difference(const QByteArray &actual, const QByteArray &expected)
{
    int at = 0;
    while (at < actual.size() && at < expected.size() && actual.at(at) == expected.at(at))
        ++at;
    return "sizes " + QByteArray::number(actual.size()) + " and " + QByteArray::number(expected.size()) +
           ", first difference at " + QByteArray::number(at) + ": actual \"" + actual.mid(at, 40).toPercentEncoding() +
           "\" expected \"" + expected.mid(at, 40).toPercentEncoding() + "\"";
}

QByteArray board(const QString &port, const QByteArray &keys)
{
    return "board " + port.toUtf8() + " " + keys + "\n";
}

// Title and text of every message box shown while it lives.
class MessageBoxWatcher : public QObject
{
public:
    MessageBoxWatcher() { qApp->installEventFilter(this); }
    QStringList titles;
    QStringList texts;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::Show) {
            if (auto *box = qobject_cast<QMessageBox *>(object)) {
                titles << box->windowTitle();
                texts << box->text();
            }
        }
        return false;
    }
};

} // namespace

void TestFaults::initTestCase()
{
    previousHandler = qInstallMessageHandler(messageFilter);
    // One window with one finished job first, so that whatever the toolkit
    // opens once per process is open before the descriptors are counted.
    init();
    makeWidget("board 1:1 duration_ms=50\n");
    w->runOrStopDevice("1:1");
    QTRY_COMPARE(status("1:1"), QStringLiteral("Finished"));
    delete w;
    w = nullptr;
    QTest::qWait(50);
    delete dir;
    dir = nullptr;
    baselineFds = openDescriptors().size();
}

void TestFaults::init()
{
    dir = new ToolDir;
    QVERIFY(dir->isValid());
}

void TestFaults::cleanup()
{
    delete w;
    w = nullptr;
    restoreTestFolders();
    QTest::qWait(20); // deferred deletions
    // Nothing of the window outlives it: no tool (zombies count), no log
    // handle, no descriptor.
    QTRY_VERIFY2(childPids().isEmpty(), qPrintable(QString::number(childPids().size())));
    if (dir) {
        for (qint64 pid : allToolPids())
            QVERIFY2(!processAlive(pid), qPrintable(QString::number(pid)));
    }
    QVERIFY(!logHeldOpen());
    delete dir;
    dir = nullptr;
    recordReads = false;
    recordedReads.clear();
    recordDebug = false;
    recordedDebug.clear();
    if (baselineFds >= 0) {
        QElapsedTimer clock;
        clock.start();
        while (openDescriptors().size() > baselineFds && clock.elapsed() < 3000)
            QTest::qWait(20);
        const QStringList fds = openDescriptors();
        if (fds.size() > baselineFds) {
            // Counted once: the cases after this one compare with what is
            // open now.
            baselineFds = fds.size();
            QFAIL(qPrintable("descriptors left open:\n" + fds.join('\n')));
        }
    }
}

Widget *TestFaults::makeWidget(const QByteArray &boards)
{
    w = dir->openWindow(boards);
    return w;
}

// What the tool prints for a board with these keys, run outside Velmora on
// the script Velmora generated. keys must make the run end by itself.
QByteArray TestFaults::reference(const QString &port, const QByteArray &keys, const QString &script)
{
    const QString scenario = dir->filePath("reference_scenario.txt");
    dir->writeFile(scenario, board(port, keys));
    // Started as Velmora starts its tools: a start that the station refuses
    // for a moment is tried again, and only a live child is ever signalled.
    ToolProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("UUU_SIM_SCENARIO", scenario);
    tool.setProcessEnvironment(environment);
    tool.setWorkingDirectory(dir->path());
    tool.setStandardErrorFile(QProcess::nullDevice());
    if (!tool.startTool(ToolContract::program(), {"-d", "-m", port, script})) {
        qWarning("reference run for %s not started: %s", qPrintable(port), qPrintable(tool.startError()));
        return QByteArray();
    }
    const bool ended = tool.waitForFinished(60000);
    if (!ended && tool.killChild())
        tool.waitForFinished();
    return ended ? tool.readAllStandardOutput() : QByteArray();
}

QMap<QString, QByteArray> TestFaults::references(const QStringList &ports, const QByteArray &keys)
{
    QMap<QString, QByteArray> result;
    for (const QString &port : ports)
        result.insert(port, reference(port, keys));
    return result;
}

QByteArray TestFaults::logOf(const QString &port) const
{
    QString name = port;
    name.replace(':', '_');
    return dir->readFile("logs/" + name + "_log.txt");
}

int TestFaults::flashRuns(const QString &port) const
{
    int runs = 0;
    for (const ToolCall &call : dir->toolCalls())
        runs += call.args.value(0) == QLatin1String("-d") && call.args.value(2) == port ? 1 : 0;
    return runs;
}

qint64 TestFaults::flashPid(const QString &port) const
{
    for (const ToolCall &call : dir->toolCalls()) {
        if (call.args.value(0) == QLatin1String("-d") && call.args.value(2) == port)
            return call.pid;
    }
    return 0;
}

QList<qint64> TestFaults::allToolPids() const
{
    QList<qint64> pids;
    for (const ToolCall &call : dir->toolCalls())
        pids << call.pid;
    return pids;
}

// Puts a shell script in place of the tool: it lists board 1:1, logs its
// runs as the simulator does, and for anything else prints output and exits
// 0. False where no shell script can be the tool.
bool TestFaults::installStandIn(const QByteArray &output)
{
    dir->removeTool();
    dir->writeFile("standin_output.txt", output);
    return writeShellScript(
        dir->filePath(toolFileName()),
        "#!/bin/sh\n"
        "{ printf '0\\t%s\\t%s' \"$$\" \"$PWD\"; for a; do printf '\\t%s' \"$a\"; done; echo; } >>tool.log\n"
        "if [ \"$1\" = -lsusb ]; then\n"
        "    printf 'Boards:\\n\\tPath\\tChip\\tPro\\tVid\\tPid\\tBcdVersion\\n'\n"
        "    printf '\\t1:1\\tVB100\\tLOAD:\\t0xFFF0\\t0xFFF1\\t0x0001\\n'\n"
        "    exit 0\n"
        "fi\n"
        "cat standin_output.txt\n"
        "exit 0\n");
}

namespace {

// One row of toolEndsByItself. upTo: where the job ends on a failure word
// the tool printed, the log may stop anywhere after it.
void addEnding(const char *name, const QByteArray &keys, const QString &final, const QString &bar,
               const QByteArray &upTo = QByteArray(), const QByteArray &standIn = QByteArray())
{
    QTest::newRow(name) << keys << final << bar << upTo << standIn;
}

} // namespace

void TestFaults::toolEndsByItself_data()
{
    // linger=1 keeps the tool running after its marker; the reference run
    // goes without it, so that it ends by itself with the same output.
    QTest::addColumn<QByteArray>("keys");
    // "Running": the tool has printed all it will, stays, and the job waits
    // until it is stopped.
    QTest::addColumn<QString>("final");
    // The progress bar's text at the end, or empty where it keeps whatever it
    // showed last.
    QTest::addColumn<QString>("bar");
    QTest::addColumn<QByteArray>("upTo");
    // Not empty: ./uuu is a shell script that lists board 1:1 and prints
    // this for anything else, then exits 0.
    QTest::addColumn<QByteArray>("standIn");

    // Ends of the tool's own: exit codes and crashes. A clean end without
    // the marker leaves the bar as it was.
    addEnding("crash mid-flash", "outcome=crash@40", "Failed", "");
    // Exit code 0 is no evidence: the output must show the flash complete.
    addEnding("exit code 0 at 30%", "outcome=exit@30:0", "Failed", "");
    addEnding("100% of one stage, exit code 0 at 30% of the next",
              "line=\"{port}>stage 1: 100%, stage 2: {pct}%\" outcome=exit@30:0", "Failed", "");
    addEnding("another program as the tool: usage text, exit code 0", QByteArray(), "Failed", "", QByteArray(),
              "usage: flash [-d] [-m PORT] SCRIPT\n");
    addEnding("exit code 3 mid-flash", "outcome=exit@60:3", "Failed", "");
    addEnding("marker, then exit code 5", "duration_ms=300 exit_code=5", "Finished", "Finished");
    addEnding("100%, then exit code 0 without a marker", "duration_ms=300 outcome=exit@100:0", "Finished",
              "100% (waiting Okay...)");

    // Failure words.
    addEnding("Fail", "duration_ms=400 outcome=fail@50", "Failed", "", "1:1>Fail");
    addEnding("ERROR", "duration_ms=400 outcome=error@30", "Failed", "", "1:1>ERROR");
    addEnding("failure words in other letter cases", "duration_ms=400 outcome=lookalike", "Finished", "Finished");
    addEnding("ERROR in the marker's line", "line=\"{pct}% {port}->Okay ERROR\" duration_ms=200", "Failed", "",
              "1:1->Okay ERROR");

    // The marker ends a job whose tool stays after it.
    addEnding("marker, tool stays", "duration_ms=300 linger=1", "Finished", "Finished");
    addEnding("marker split across two reads", "duration_ms=300 marker=split split_ms=200 linger=1", "Finished",
              "Finished");
    addEnding("99%, 100% and marker in one read", "duration_ms=300 marker=burst linger=1", "Finished", "Finished");
    addEnding("marker before 100% only", "duration_ms=300 marker=early marker_at=50 linger=1", "Running",
              "100% (waiting Okay...)");
    addEnding("marker before and after 100%", "duration_ms=300 marker=early marker_at=50 marker_again=1 linger=1",
              "Finished", "Finished");
    addEnding("output in tiny pieces", "duration_ms=300 chunk=3 split_ms=1 linger=1", "Finished", "Finished");
    addEnding("CRLF and colour", "duration_ms=300 crlf=1 color=1 linger=1", "Finished", "Finished");

    // Output that is hard to read.
    addEnding("binary garbage", "garbage=1 seed=11 linger=1", "Finished", "Finished");
    addEnding("NUL bytes", "nul=1", "Finished", "Finished");
    // Every progress line starts with a NUL, and the tool stays after its
    // marker: only its 100% line lets the marker end the job.
    addEnding("NUL bytes, tool stays after its marker", "nul=1 linger=1", "Finished", "Finished");
    addEnding("8 MiB line without a line end", "bigline=8388608 linger=1", "Finished", "Finished");
    addEnding("NUL, garbage, CRLF and a 200 KB line at once", "duration_ms=200 nul=1 garbage=1 bigline=200000 crlf=1",
              "Finished", "Finished");
    addEnding("10,000 chunks per second", "rate=10000 duration_ms=1000 linger=1", "Finished", "Finished");
    // An early marker and a tool that stays: only a real 100% may let the
    // marker end the job, so a wrapped huge number would cut the log short.
    addEnding("percentage beyond 64 bits after the real one",
              "line=\"{port}>{pct}% of 99999999999999999999999%\" marker=early marker_at=10 marker_again=1 linger=1",
              "Finished", "Finished");
    addEnding("2^32 + 100 percent after the real one",
              "line=\"{port}>{pct}% then 4294967396%\" marker=early marker_at=10 marker_again=1 linger=1", "Finished",
              "Finished");
    addEnding("only huge percentages", "line=\"{port}> {pct}99999999999%\"", "Finished", "");
}

void TestFaults::toolEndsByItself()
{
    QFETCH(QByteArray, keys);
    QFETCH(QString, final);
    QFETCH(QString, bar);
    QFETCH(QByteArray, upTo);
    QFETCH(QByteArray, standIn);

    if (!standIn.isEmpty() && !installStandIn(standIn))
        QSKIP("needs a shell script as the tool");
    makeWidget(board("1:1", keys));
    QVERIFY(w->generateScript("Image"));
    const QByteArray expected =
        standIn.isEmpty() ? reference("1:1", QByteArray(keys).replace(" linger=1", "")) : standIn;
    QVERIFY(!standIn.isEmpty() || expected.contains("1:1>"));
    QVERIFY(expected.contains(upTo));
    QProgressBar *progress = w->progressBarAt(rowOf("1:1"));

    recordDebug = true;
    w->runOrStopDevice("1:1");
    if (final == QLatin1String("Running")) {
        QTRY_VERIFY2_WITH_TIMEOUT(logOf("1:1") == expected, difference(logOf("1:1"), expected).constData(), 15000);
        QTest::qWait(100);
        QCOMPARE(status("1:1"), final);
        QCOMPARE(progress->format(), bar);
        w->runOrStopDevice("1:1");
        final = QStringLiteral("Stopped");
    }
    QTRY_COMPARE_WITH_TIMEOUT(status("1:1"), final, 15000);
    QTest::qWait(20);
    QCOMPARE(status("1:1"), final);
    QCOMPARE(w->actionButtonAt(rowOf("1:1"))->text(), QStringLiteral("Run"));
    const bool failed = final == QLatin1String("Failed");
    QCOMPARE(w->statusLabelAt(rowOf("1:1"))->styleSheet(), failed ? QStringLiteral("color: red;") : QString());
    QCOMPARE(failedText(),
             failed ? QStringLiteral("Failed Devices: 1 (Device #1:1)") : QStringLiteral("Failed Devices: 0"));
    QVERIFY(progress->value() >= 0 && progress->value() <= 100);
    if (!bar.isEmpty()) {
        QCOMPARE(progress->format(), bar);
        QCOMPARE(progress->value(), 100);
    }
    // A failure the tool did not print says why, once.
    QCOMPARE(recordedDebug.filter(QRegularExpression("^Device 1:1: ")).size(), failed && upTo.isEmpty() ? 1 : 0);

    // Every byte the tool printed, in order, and nothing else but the note of
    // a failure; a failure word ends the job wherever its read ends.
    const QByteArray log = logOf("1:1");
    const int marker = expected.indexOf("1:1->Okay");
    if (final == QLatin1String("Finished") && marker >= 0) {
        // The job ends with the read that completes its marker: what the
        // tool prints after it (the marker's own line end, when it comes in
        // a read of its own) belongs to no job any more.
        const QByteArray throughMarker = expected.left(marker + int(qstrlen("1:1->Okay")));
        QVERIFY2(log.startsWith(throughMarker), difference(log, throughMarker).constData());
        QVERIFY2(expected.startsWith(log), difference(log, expected).constData());
    } else if (upTo.isEmpty()) {
        const QByteArray wanted = failed ? expected + FailureTrailer : expected;
        QVERIFY2(log == wanted, difference(log, wanted).constData());
    } else {
        QVERIFY2(log.endsWith(FailureTrailer), log.right(60).constData());
        const QByteArray printed = log.left(log.size() - FailureTrailer.size());
        QVERIFY2(expected.startsWith(printed), difference(printed, expected).constData());
        QVERIFY2(printed.contains(upTo), printed.right(60).constData());
    }
    QCOMPARE(flashRuns("1:1"), 1);
    QTRY_VERIFY(!processAlive(flashPid("1:1")));
    QTRY_VERIFY(!button("stopAllButton")->isEnabled());
}

void TestFaults::hungToolIsStopped_data()
{
    QTest::addColumn<QByteArray>("outcome");
    QTest::addColumn<QString>("how");
    // Started with each row's Run rather than StartAll.
    QTest::addColumn<bool>("byRows");
    QTest::newRow("hang, Stop") << QByteArray("hang@30") << "Stop" << false;
    QTest::newRow("hang, StopAll") << QByteArray("hang@30") << "StopAll" << false;
    QTest::newRow("hang, Stop pressed twice") << QByteArray("hang@30") << "Stop twice" << false;
    QTest::newRow("hang, Stop then StopAll") << QByteArray("hang@30") << "Stop, StopAll" << false;
    // The tool closes its output and keeps running: the job is not over
    // until it is stopped.
    QTest::newRow("output closed, Stop") << QByteArray("closeout@30") << "Stop" << false;
    QTest::newRow("output closed, StopAll") << QByteArray("closeout@30") << "StopAll" << false;
    // However the tools were started, StopAll can stop them.
    QTest::newRow("hang, rows' Run, StopAll") << QByteArray("hang@30") << "StopAll" << true;
    QTest::newRow("output closed, rows' Run, StopAll") << QByteArray("closeout@30") << "StopAll" << true;
}

void TestFaults::hungToolIsStopped()
{
    QFETCH(QByteArray, outcome);
    QFETCH(QString, how);
    QFETCH(bool, byRows);
    const QStringList ports = {"2:1", "2:2", "2:3"};
    QByteArray boards;
    for (const QString &port : ports)
        boards += board(port, "outcome=" + outcome);
    makeWidget(boards);
    QVERIFY(w->generateScript("Image"));
    // The same output up to the point where the tool stops talking.
    const QMap<QString, QByteArray> expected = references(ports, "outcome=exit@30:0");

    if (byRows) {
        for (const QString &port : ports)
            QTest::mouseClick(w->actionButtonAt(rowOf(port)), Qt::LeftButton);
    } else {
        QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
    }
    for (const QString &port : ports)
        QCOMPARE(status(port), QStringLiteral("Running"));

    for (const QString &port : ports)
        QTRY_VERIFY2_WITH_TIMEOUT(logOf(port) == expected.value(port),
                                  difference(logOf(port), expected.value(port)).constData(), 15000);
    if (outcome.startsWith("closeout")) {
        // The tool's standard output is closed (the toolkit reports the end
        // of a read channel only together with the end of the process).
        for (const QString &port : ports)
            QTRY_VERIFY_WITH_TIMEOUT(standardOutputClosed(flashPid(port)), 15000);
    }
    QTest::qWait(100);
    for (const QString &port : ports) {
        QCOMPARE(status(port), QStringLiteral("Running"));
        QCOMPARE(w->actionButtonAt(rowOf(port))->text(), QStringLiteral("Stop"));
    }
    QTRY_VERIFY(button("stopAllButton")->isEnabled());

    if (how == QLatin1String("StopAll")) {
        QTest::mouseClick(button("stopAllButton"), Qt::LeftButton);
    } else {
        for (const QString &port : ports) {
            QTest::mouseClick(w->actionButtonAt(rowOf(port)), Qt::LeftButton);
            if (how == QLatin1String("Stop twice"))
                QTest::mouseClick(w->actionButtonAt(rowOf(port)), Qt::LeftButton);
        }
        if (how == QLatin1String("Stop, StopAll"))
            QTest::mouseClick(button("stopAllButton"), Qt::LeftButton);
    }
    // The row says so at once; its end comes once the tool is gone.
    for (const QString &port : ports) {
        QCOMPARE(status(port), QStringLiteral("Stop"));
        QCOMPARE(w->actionButtonAt(rowOf(port))->text(), QStringLiteral("Run"));
    }

    for (const QString &port : ports)
        QTRY_COMPARE(status(port), QStringLiteral("Stopped"));
    QTest::qWait(100); // late signals of the killed tools change nothing
    for (const QString &port : ports) {
        QCOMPARE(status(port), QStringLiteral("Stopped"));
        QCOMPARE(w->actionButtonAt(rowOf(port))->text(), QStringLiteral("Run"));
        QCOMPARE(w->statusLabelAt(rowOf(port))->styleSheet(), QString());
        // A stop is no new start.
        QCOMPARE(flashRuns(port), 1);
        QTRY_VERIFY(!processAlive(flashPid(port)));
        QVERIFY2(logOf(port) == expected.value(port), difference(logOf(port), expected.value(port)).constData());
    }
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 0"));
    QTRY_VERIFY(!button("stopAllButton")->isEnabled());
    QVERIFY(!logHeldOpen());
}

void TestFaults::quickToggles_data()
{
    QTest::addColumn<int>("presses");
    QTest::addColumn<QString>("final");
    // Presses of the row's button in one go, before the tool has even started.
    QTest::newRow("Run, Stop") << 2 << "Stopped";
#ifdef Q_OS_WIN
    // Here a tool runs as soon as it is started, so the first Stop kills it
    // and the job lasts until its end is reported: the next press stops it
    // again instead of starting a new job.
    QTest::newRow("Run, Stop, Run") << 3 << "Stopped";
#else
    QTest::newRow("Run, Stop, Run") << 3 << "Finished";
#endif
    QTest::newRow("Run, Stop, Run, Stop") << 4 << "Stopped";
}

void TestFaults::quickToggles()
{
    QFETCH(int, presses);
    QFETCH(QString, final);
    makeWidget(board("2:9", "duration_ms=300"));
    QVERIFY(w->generateScript("Image"));
    const QByteArray expected = reference("2:9", "duration_ms=300");
    for (int i = 0; i < presses; ++i)
        QTest::mouseClick(w->actionButtonAt(rowOf("2:9")), Qt::LeftButton);
    QTRY_COMPARE(status("2:9"), final);
    QTest::qWait(final == QLatin1String("Stopped") ? 500 : 50); // the tool would be done by now
    QCOMPARE(status("2:9"), final);
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 0"));
    QVERIFY(flashRuns("2:9") <= (presses + 1) / 2);
    if (final == QLatin1String("Finished")) {
        // The later job's log is not mixed with the stopped one's.
        QVERIFY2(logOf("2:9") == expected, difference(logOf("2:9"), expected).constData());
    }
    QTRY_VERIFY(childPids().isEmpty());
}

void TestFaults::failureWordSplitBetweenReads_data()
{
    QTest::addColumn<QByteArray>("outcome");
    QTest::addColumn<QByteArray>("word");
    QTest::addColumn<int>("chunk");
    // The failure line of board 7:1 starts "7:1>ERROR" or "7:1>Fail", and
    // every write of the tool is cut into pieces of chunk bytes.
    QTest::newRow("E|RROR") << QByteArray("error@0") << QByteArray("ERROR") << 5;
    QTest::newRow("ERRO|R") << QByteArray("error@0") << QByteArray("ERROR") << 8;
    QTest::newRow("ER|RO|R") << QByteArray("error@0") << QByteArray("ERROR") << 2;
    QTest::newRow("F|ail") << QByteArray("fail@0") << QByteArray("Fail") << 5;
    QTest::newRow("Fai|l") << QByteArray("fail@0") << QByteArray("Fail") << 7;
}

void TestFaults::failureWordSplitBetweenReads()
{
    QFETCH(QByteArray, outcome);
    QFETCH(QByteArray, word);
    QFETCH(int, chunk);
    const QByteArray keys =
        "outcome=" + outcome + " duration_ms=0 line={pct}% split_ms=20 chunk=" + QByteArray::number(chunk);
    makeWidget(board("7:1", keys));
    QVERIFY(w->generateScript("Image"));
    const QByteArray expected = reference("7:1", keys);
    QVERIFY(expected.contains("7:1>" + word));

    // Reads are cut where the tool's writes were unless the window falls
    // behind by a pause between two pieces; then the word may arrive whole,
    // and the run is repeated.
    bool split = false;
    for (int attempt = 0; attempt < 3 && !split; ++attempt) {
        recordedReads.clear();
        recordedDebug.clear();
        recordReads = recordDebug = true;
        w->runOrStopDevice("7:1");
        QTRY_COMPARE_WITH_TIMEOUT(status("7:1"), QStringLiteral("Failed"), 15000);
        recordReads = recordDebug = false;
        split = true;
        for (const QString &read : qAsConst(recordedReads))
            split &= !read.contains(QLatin1String(word));
    }
    QVERIFY2(split, "the word always arrived in one read");
    // The word ended the job, not the exit code 1 that follows it: Velmora
    // gave no reason of its own.
    QCOMPARE(recordedDebug.filter(QRegularExpression("^Device 7:1: ")).size(), 0);

    QCOMPARE(w->statusLabelAt(rowOf("7:1"))->styleSheet(), QStringLiteral("color: red;"));
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 1 (Device #7:1)"));
    // The log holds what came before the end of the job, in order: at least
    // the whole word, then the note of the failure.
    const QByteArray log = logOf("7:1");
    QVERIFY(log.endsWith(FailureTrailer));
    const QByteArray printed = log.left(log.size() - FailureTrailer.size());
    QVERIFY2(expected.startsWith(printed), difference(printed, expected).constData());
    QVERIFY(printed.contains("7:1>" + word));
    QTRY_VERIFY(!processAlive(flashPid("7:1")));
}

void TestFaults::toolCannotBeStarted_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("missing") << "missing";
    QTest::newRow("not executable") << "not executable";
    QTest::newRow("a folder") << "folder";
}

void TestFaults::toolCannotBeStarted()
{
    QFETCH(QString, how);
    makeWidget(board("3:1", "") + board("3:2", "") + board("3:3", ""));
    QCOMPARE(table()->rowCount(), 3);
    dir->removeTool();
    if (how == QLatin1String("not executable"))
        dir->writeFile(toolFileName(), notAProgram());
    else if (how == QLatin1String("folder"))
        QVERIFY(QDir(dir->path()).mkdir(toolFileName()));

    recordDebug = true;
    QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
    for (const QString &port : QStringList{"3:1", "3:2", "3:3"}) {
        QTRY_COMPARE(status(port), QStringLiteral("Failed"));
        const QRegularExpression said("^Device " + QRegularExpression::escape(port) + ": .*could not be started");
        QCOMPARE(recordedDebug.filter(said).size(), 1);
        QCOMPARE(w->actionButtonAt(rowOf(port))->text(), QStringLiteral("Run"));
        // The tool printed nothing, so the log holds nothing of it.
        const QByteArray log = logOf(port);
        QVERIFY2(log.isEmpty() || log == FailureTrailer, log.constData());
    }
    QVERIFY(failedText().startsWith(QStringLiteral("Failed Devices: 3 (")));
    for (const QString &port : QStringList{"3:1", "3:2", "3:3"})
        QVERIFY2(failedText().contains("Device #" + port), qPrintable(failedText()));
    QTest::qWait(50);
    QVERIFY(!button("stopAllButton")->isEnabled());
    QTRY_VERIFY(w->findChildren<QProcess *>().isEmpty());
    QCOMPARE(flashRuns("3:1") + flashRuns("3:2") + flashRuns("3:3"), 0);

    // The row can be started again once the tool is back.
    if (how == QLatin1String("folder"))
        QVERIFY(QDir(dir->path()).rmdir(toolFileName()));
    dir->installTool();
    w->runOrStopDevice("3:1");
    QTRY_COMPARE(status("3:1"), QStringLiteral("Finished"));
    QCOMPARE(w->statusLabelAt(rowOf("3:1"))->styleSheet(), QString());
}

void TestFaults::deviceVanishesMidFlash_data()
{
    QTest::addColumn<bool>("returns");
    QTest::newRow("gone") << false;
    // A board that resets shows up again at once: its device events come in
    // one burst, so the second rescan runs before the killed tool is reaped.
    QTest::newRow("gone, and back before its tool has ended") << true;
}

void TestFaults::deviceVanishesMidFlash()
{
    QFETCH(bool, returns);
    const QByteArray logLine = "log tool.log\n";
    makeWidget(board("4:1", "outcome=hang@30") + board("4:2", "outcome=hang@30"));
    QVERIFY(w->generateScript("Image"));
    const QMap<QString, QByteArray> expected = references({"4:1", "4:2"}, "outcome=exit@30:0");
    QMetaObject::invokeMethod(w, "runAll");
    for (const QString &port : QStringList{"4:1", "4:2"})
        QTRY_VERIFY_WITH_TIMEOUT(logOf(port) == expected.value(port), 15000);
    const qint64 gone = flashPid("4:2");
    const qint64 stays = flashPid("4:1");

    dir->writeScenario(logLine + board("4:1", "outcome=hang@30"));
    w->rescanDevices();
    QCOMPARE(table()->rowCount(), 2);
    QCOMPARE(status("4:1"), QStringLiteral("Running"));
    QCOMPARE(status("4:2"), QStringLiteral("Fail"));
    if (returns) {
        dir->writeScenario(logLine + board("4:1", "outcome=hang@30") + board("4:2", "outcome=hang@30"));
        w->rescanDevices();
        QCOMPARE(table()->rowCount(), 2);
        QCOMPARE(status("4:2"), QStringLiteral("Fail"));
        QCOMPARE(w->actionButtonAt(rowOf("4:2"))->text(), QStringLiteral("Run"));
    }
    QTRY_VERIFY(!processAlive(gone));
    QTest::qWait(50);
    // Its flash was cut short: whatever the row shows, it is no success.
    QCOMPARE(status("4:2"), QStringLiteral("Fail"));
    QVERIFY(processAlive(stays));
    QCOMPARE(status("4:1"), QStringLiteral("Running"));
    // The board went away; its tool did not fail.
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 0"));
    QVERIFY2(logOf("4:2") == expected.value("4:2"), difference(logOf("4:2"), expected.value("4:2")).constData());
    QCOMPARE(flashRuns("4:2"), 1);

    w->runOrStopDevice("4:1");
    QTRY_COMPARE(status("4:1"), QStringLiteral("Stopped"));
    QTRY_VERIFY(!processAlive(stays));
    QVERIFY(logOf("4:1") == expected.value("4:1"));
}

void TestFaults::rescanStormWhileJobsRun()
{
    // Sixteen jobs that end in four ways, at different times, while the
    // device list is rebuilt 200 times without the event loop in between.
    QByteArray boards;
    QMap<QString, QString> expected;
    for (int i = 0; i < 16; ++i) {
        const QString port = QStringLiteral("5:%1").arg(i + 1);
        const QByteArray duration = " duration_ms=" + QByteArray::number(300 + 100 * i);
        switch (i % 4) {
        case 0:
            boards += board(port, "outcome=fail@60" + duration);
            expected.insert(port, "Failed");
            break;
        case 1:
            boards += board(port, "outcome=crash@50" + duration);
            expected.insert(port, "Failed");
            break;
        case 2:
            boards += board(port, "outcome=ok" + duration);
            expected.insert(port, "Finished");
            break;
        default:
            boards += board(port, "outcome=hang@40" + duration);
            expected.insert(port, "Stopped");
            break;
        }
    }
    makeWidget(boards);
    QCOMPARE(table()->rowCount(), 16);
    QTest::qWait(20);
    const int fdsBefore = openDescriptors().size();

    QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
    QTRY_COMPARE(flashRuns("5:16"), 1);
    for (int i = 0; i < 200; ++i)
        w->rescanDevices();
    QCOMPARE(table()->rowCount(), 16);

    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (it.value() != QLatin1String("Stopped"))
            QTRY_COMPARE_WITH_TIMEOUT(status(it.key()), it.value(), 20000);
    }
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (it.value() == QLatin1String("Stopped")) {
            QCOMPARE(status(it.key()), QStringLiteral("Running"));
            QTRY_VERIFY_WITH_TIMEOUT(logOf(it.key()).contains(it.key().toUtf8() + ">write all: 40%"), 20000);
        }
    }
    w->updateButtonStates();
    QTest::mouseClick(button("stopAllButton"), Qt::LeftButton);
    QStringList failedPorts;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        QTRY_COMPARE(status(it.key()), it.value());
        QCOMPARE(flashRuns(it.key()), 1);
        QTRY_VERIFY(!processAlive(flashPid(it.key())));
        const QByteArray log = logOf(it.key());
        if (it.value() == QLatin1String("Finished"))
            QVERIFY2(log.endsWith(it.key().toUtf8() + "->Okay\n"), it.key().toUtf8().constData());
        else if (it.value() == QLatin1String("Failed"))
            QVERIFY2(log.endsWith(FailureTrailer), it.key().toUtf8().constData());
        else
            QVERIFY2(log.endsWith(it.key().toUtf8() + ">write all: 40% (1/4 KiB)\n"), log.right(60).constData());
        if (it.value() == QLatin1String("Failed"))
            failedPorts << it.key();
    }
    QVERIFY(failedText().startsWith(QStringLiteral("Failed Devices: 8 (")));
    for (const QString &port : failedPorts) {
        QVERIFY2(failedText().contains("Device #" + port + ",") || failedText().contains("Device #" + port + ")"),
                 qPrintable(failedText()));
    }

    // Nothing is left of 16 jobs and 200 listing runs.
    QTRY_VERIFY(w->findChildren<QProcess *>().isEmpty());
    QTRY_VERIFY(childPids().isEmpty());
    QVERIFY(!logHeldOpen());
    QTRY_VERIFY2(openDescriptors().size() <= fdsBefore, qPrintable(openDescriptors().join("\n")));
    int listings = 0;
    for (const ToolCall &call : dir->toolCalls())
        listings += call.args == QStringList{"-lsusb"} ? 1 : 0;
    QVERIFY(listings >= 201);
}

void TestFaults::startAllPressedTwice()
{
    const QStringList ports = {"6:1", "6:2", "6:3", "6:4"};
    QByteArray boards;
    for (const QString &port : ports)
        boards += board(port, "duration_ms=1500");
    makeWidget(boards);
    QVERIFY(w->generateScript("Image"));
    // Long enough that every press below comes while the first jobs run,
    // also when starts are slow (Wine on a loaded machine): a press after a
    // job has finished rightly starts the board again.
    const QMap<QString, QByteArray> expected = references(ports, "duration_ms=1500");

    QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
    QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
    QTest::qWait(50);
    QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
    for (const QString &port : ports)
        QTRY_COMPARE(status(port), QStringLiteral("Finished"));
    for (const QString &port : ports) {
        QCOMPARE(flashRuns(port), 1);
        // A second job would have truncated the log.
        QVERIFY2(logOf(port) == expected.value(port), difference(logOf(port), expected.value(port)).constData());
    }
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 0"));
}

void TestFaults::windowClosedWhileJobsRun_data()
{
    QTest::addColumn<bool>("started");
    QTest::newRow("tools running") << true;
    QTest::newRow("right after StartAll, tools still starting") << false;
}

void TestFaults::windowClosedWhileJobsRun()
{
    QFETCH(bool, started);
    QByteArray boards;
    QStringList ports;
    for (int i = 1; i <= 32; ++i) {
        const QString port = QStringLiteral("8:%1").arg(i);
        ports << port;
        boards += board(port, i % 2 ? "outcome=hang@50 duration_ms=400" : "duration_ms=60000");
    }
    makeWidget(boards);
    QCOMPARE(table()->rowCount(), 32);
    QMetaObject::invokeMethod(w, "runAll");
    QList<qint64> pids;
    if (started) {
        for (const QString &port : ports)
            QTRY_VERIFY_WITH_TIMEOUT(logOf(port).contains(port.toUtf8() + ">write all: 0%"), 20000);
        for (const QString &port : ports)
            pids << flashPid(port);
        for (qint64 pid : pids)
            QVERIFY(processAlive(pid));
    }

    delete w;
    w = nullptr;
    // Gone with the window: every tool reaped, every log closed, the
    // generated script removed.
    QVERIFY(childPids().isEmpty());
    for (qint64 pid : pids)
        QVERIFY2(!processAlive(pid), qPrintable(QString::number(pid)));
    QVERIFY(!logHeldOpen());
    QVERIFY(!QFile::exists(dir->filePath("all_uuu_temp.auto")));
    QTest::qWait(50); // late signals of the killed tools find nothing
    if (started) {
        for (const QString &port : ports)
            QVERIFY(logOf(port).startsWith("uuu_sim 1.0"));
    }
}

void TestFaults::logFolderNotWritable()
{
    // A regular file where the folder should be; root may write anywhere, so
    // permissions would not do.
    dir->writeFile("logs", "not a folder\n");
    makeWidget(board("9:1", "duration_ms=200") + board("9:2", "outcome=fail@50 duration_ms=200") +
               board("9:3", "outcome=hang@50 duration_ms=200"));
    QMetaObject::invokeMethod(w, "runAll");
    QTRY_COMPARE(status("9:1"), QStringLiteral("Finished"));
    QTRY_COMPARE(status("9:2"), QStringLiteral("Failed"));
    QTRY_VERIFY(flashPid("9:3") > 0);
    QTest::qWait(200);
    QCOMPARE(status("9:3"), QStringLiteral("Running"));
    w->runOrStopDevice("9:3");
    QTRY_COMPARE(status("9:3"), QStringLiteral("Stopped"));
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 1 (Device #9:2)"));
    QCOMPARE(dir->readFile("logs"), QByteArray("not a folder\n"));
    for (const QString &port : QStringList{"9:1", "9:2", "9:3"})
        QTRY_VERIFY(!processAlive(flashPid(port)));
}

void TestFaults::templateMissingOrUnreadable_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("missing") << "missing";
    QTest::newRow("a folder in its place") << "folder";
}

void TestFaults::templateMissingOrUnreadable()
{
    QFETCH(QString, how);
    makeWidget(board("10:1", "duration_ms=100") + board("10:2", "duration_ms=100"));
    // A script generated earlier for another image must not be flashed.
    w->findChild<QLineEdit *>("lineEdit_All")->setText(dir->filePath("old.img"));
    dir->writeFile("old.img", "old");
    QVERIFY(w->generateScript("Image"));
    w->findChild<QLineEdit *>("lineEdit_All")->setText(dir->filePath("sample.img"));

    const QString templ = dir->filePath("scripts/emmc/all_uuu.auto");
    QVERIFY(QFile::remove(templ));
    if (how == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(templ));

    QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
    QTest::qWait(100);
    for (const QString &port : QStringList{"10:1", "10:2"}) {
        QCOMPARE(status(port), QStringLiteral("Stopped"));
        QCOMPARE(w->actionButtonAt(rowOf(port))->text(), QStringLiteral("Run"));
        QVERIFY(logOf(port).isEmpty());
    }
    QCOMPARE(flashRuns("10:1") + flashRuns("10:2"), 0);
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 0"));
    QVERIFY(!button("stopAllButton")->isEnabled());

    // Other modes keep working.
    w->modeComboAt(rowOf("10:2"))->setCurrentText("Kernel");
    w->runOrStopDevice("10:2");
    QTRY_COMPARE(status("10:2"), QStringLiteral("Finished"));
}

void TestFaults::workingDirectoryNotWritable()
{
    const QString unavailable = readOnlyFolderUnavailable();
    if (!unavailable.isEmpty())
        QSKIP(qPrintable(unavailable));
    makeWidget(board("11:1", "duration_ms=200") + board("11:2", "duration_ms=200"));
    w->modeComboAt(rowOf("11:2"))->setCurrentText("Kernel");
    // 11:1 has its script from before, 11:2 would need a new one.
    QVERIFY(w->generateScript("Image"));
    QVERIFY(!QFile::exists(dir->filePath("image_uuu_temp.auto")));

    // The simulator logs its runs through a link to a writable place.
    QTemporaryDir writable;
    QVERIFY(writable.isValid());
    QVERIFY(QFile::rename(dir->filePath("tool.log"), writable.filePath("tool.log")));
    QVERIFY(QFile::link(writable.filePath("tool.log"), dir->filePath("tool.log")));

    const QString notReadOnly = makeFolderReadOnly(dir->path());
    if (!notReadOnly.isEmpty())
        QSKIP(qPrintable(notReadOnly));
    {
        QFile probe(dir->filePath("probe"));
        if (probe.open(QIODevice::WriteOnly)) {
            probe.remove();
            QSKIP("the working directory stays writable");
        }
    }

    QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
    // No new script, no job: a failure of this station.
    QCOMPARE(status("11:2"), QStringLiteral("Failed"));
    QCOMPARE(flashRuns("11:2"), 0);
    // The script that is there already is the one needed: the job runs,
    // without a log.
    QTRY_COMPARE(status("11:1"), QStringLiteral("Finished"));
    QCOMPARE(flashRuns("11:1"), 1);
    QVERIFY(!QFileInfo::exists(dir->filePath("logs")));
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 1 (Device #11:2)"));
}

void TestFaults::hugeListings_data()
{
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<bool>("allListed");
    // About 0.7 MiB, within the listing's bound.
    QTest::newRow("40,000 junk lines") << QByteArray("listing lines=40000") << true;
    // Random bytes before the header (NULs among them): no made-up board.
    QTest::newRow("64 KiB of random bytes") << QByteArray("listing random_bytes=65536 seed=3") << false;
    // Beyond the listing's bound: a failed listing, no row.
    QTest::newRow("8 MiB of random bytes") << QByteArray("listing random_bytes=8388608 seed=9") << false;
}

void TestFaults::hugeListings()
{
    QFETCH(QByteArray, listing);
    QFETCH(bool, allListed);
    const QStringList ports = {"12:1", "12:2", "12:3"};
    QByteArray boards = listing + "\n";
    for (const QString &port : ports)
        boards += board(port, "duration_ms=100");

    // A listing that is never read to its end would keep the window waiting
    // for the listing limit and then be given up as hung.
    static QStringList debugLines;
    debugLines.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &text) {
            debugLines << text;
        });
    makeWidget(boards);
    QMetaObject::invokeMethod(w, "listdevices");
    qInstallMessageHandler(previous);
    QVERIFY2(debugLines.filter(QStringLiteral("did not end within")).isEmpty(), qPrintable(debugLines.join('\n')));

    if (allListed)
        QCOMPARE(table()->rowCount(), ports.size());
    QVERIFY(table()->rowCount() <= ports.size());
    for (int row = 0; row < table()->rowCount(); ++row) {
        QVERIFY(ports.contains(table()->item(row, 0)->text()));
        QCOMPARE(table()->item(row, 1)->text(), QStringLiteral("VB100"));
        QCOMPARE(table()->item(row, 5)->text(), QStringLiteral("0x0001"));
    }
    QCOMPARE(w->findChild<QLineEdit *>("lineEdit")->text(),
             QString::fromUtf8("Connected Devices\xEF\xBC\x9A") + QString::number(table()->rowCount()));
    QCOMPARE(button("startAllButton")->isEnabled(), table()->rowCount() > 0);
    QMetaObject::invokeMethod(w, "runAll");
    for (int row = 0; row < table()->rowCount(); ++row)
        QTRY_COMPARE(w->statusLabelAt(row)->text(), QStringLiteral("Finished"));
}

void TestFaults::imagePaths_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("refusal"); // part of the error text, or empty
    QTest::newRow("blanks") << "my  image file.img" << QString();
#ifdef Q_OS_WIN
    // Windows drops trailing blanks from file names when it opens them.
    QTest::newRow("leading blank") << " padded .img" << QString();
#else
    QTest::newRow("leading and trailing blanks") << " padded .img " << QString();
#endif
    QTest::newRow("non-ASCII letters") << QString::fromUtf8("\xD0\xBE\xD0\xB1\xD1\x80\xD0\xB0\xD0\xB7-"
                                                            "\xE6\x98\xA0\xE5\x83\x8F-\xC3\xA9t\xC3\xA9.img")
                                       << QString();
    QTest::newRow("single quotes") << "board's 'v2'.img" << QString();
    QTest::newRow("double quote") << "say \"cheese\".img"
                                  << "double quote";
    QTest::newRow("line break") << "two\nlines.img"
                                << "line break";
}

void TestFaults::imagePaths()
{
    QFETCH(QString, name);
    QFETCH(QString, refusal);
    makeWidget(board("13:1", "duration_ms=100") + board("13:2", "duration_ms=100"));
    const QString image = dir->filePath(name);
    if (refusal.isEmpty())
        dir->writeFile(name, "data");
    w->findChild<QLineEdit *>("lineEdit_All")->setText(image);

    if (refusal.isEmpty()) {
        QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
        for (const QString &port : QStringList{"13:1", "13:2"}) {
            QTRY_COMPARE(status(port), QStringLiteral("Finished"));
            // The tool found the path in the script, byte for byte.
            QVERIFY2(logOf(port).contains(port.toUtf8() + ">Image: \"" + image.toUtf8() + "\" 4 bytes\n"),
                     logOf(port).constData());
        }
        QCOMPARE(failedText(), QStringLiteral("Failed Devices: 0"));
        return;
    }

    MessageBoxWatcher watcher;
    {
        MessageBoxCloser closer;
        QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
        QVERIFY(closer.closedCount() >= 1);
    }
    QVERIFY(!watcher.titles.isEmpty());
    for (const QString &title : qAsConst(watcher.titles))
        QCOMPARE(title, QStringLiteral("Error"));
    QVERIFY2(watcher.texts.first().contains(refusal), qPrintable(watcher.texts.first()));
    for (const QString &port : QStringList{"13:1", "13:2"}) {
        QCOMPARE(status(port), QStringLiteral("Stopped"));
        QVERIFY(logOf(port).isEmpty());
    }
    QCOMPARE(flashRuns("13:1") + flashRuns("13:2"), 0);
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 0"));
    QVERIFY(!button("stopAllButton")->isEnabled());
}

namespace {

// Message boxes that are up among the top-level widgets.
int visibleMessageBoxes()
{
    int boxes = 0;
    for (QWidget *widget : QApplication::topLevelWidgets())
        boxes += qobject_cast<QMessageBox *>(widget) && widget->isVisible() ? 1 : 0;
    return boxes;
}

} // namespace

void TestFaults::stopsNeverWait_data()
{
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("how");
    QTest::newRow("empty image path, StopAll") << QString() << "StopAll";
    QTest::newRow("empty image path, each row's Stop") << QString() << "Stop";
    QTest::newRow("refused image path, StopAll") << "/tmp/a\"b.img"
                                                 << "StopAll";
    QTest::newRow("another image chosen, StopAll") << "other.img"
                                                   << "StopAll";
}

// A stop kills at once: it neither writes a script nor checks the image path,
// so no error box holds a tool flashing while it waits to be closed.
void TestFaults::stopsNeverWait()
{
    QFETCH(QString, image);
    QFETCH(QString, how);
    QStringList ports;
    QByteArray boards;
    for (int i = 1; i <= 8; ++i) {
        ports << QStringLiteral("14:%1").arg(i);
        boards += board(ports.last(), "outcome=hang@30");
    }
    makeWidget(boards);
    QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
    for (const QString &port : ports)
        QTRY_VERIFY_WITH_TIMEOUT(processAlive(flashPid(port)) && status(port) == QLatin1String("Running"), 15000);
    QTRY_VERIFY(button("stopAllButton")->isEnabled());
    const QByteArray script = dir->readFile("all_uuu_temp.auto");
    if (image == QLatin1String("other.img"))
        dir->writeFile(image, "other");
    w->findChild<QLineEdit *>("lineEdit_All")->setText(image.isEmpty() ? image : dir->filePath(image));

    MessageBoxWatcher watcher;
    // Closes any box, so that the old behaviour fails here rather than hangs.
    MessageBoxCloser closer;
    QElapsedTimer clock;
    clock.start();
    if (how == QLatin1String("StopAll")) {
        QTest::mouseClick(button("stopAllButton"), Qt::LeftButton);
    } else {
        for (const QString &port : ports)
            QTest::mouseClick(w->actionButtonAt(rowOf(port)), Qt::LeftButton);
    }
    QCOMPARE(visibleMessageBoxes(), 0);
    const auto toolsLeft = [&] {
        QStringList left;
        for (const QString &port : ports) {
            if (processAlive(flashPid(port)))
                left << port;
        }
        return left;
    };
    while (!toolsLeft().isEmpty() && clock.elapsed() < 1000)
        QTest::qWait(10);
    QVERIFY2(toolsLeft().isEmpty(), qPrintable("still flashing after a second: " + toolsLeft().join(' ')));
    for (const QString &port : ports)
        QTRY_COMPARE(status(port), QStringLiteral("Stopped"));
    QVERIFY2(watcher.texts.isEmpty(), qPrintable(watcher.texts.join(" | ")));
    QCOMPARE(closer.closedCount(), 0);
    // The script the tools were started with is left as it was.
    QCOMPARE(dir->readFile("all_uuu_temp.auto"), script);
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 0"));
}

// A listing that no longer shows a flashing board leaves its job without a
// row; StopAll still stops it.
void TestFaults::stopAllReachesJobsWithoutRow()
{
    makeWidget(board("15:1", "outcome=hang@30") + board("15:2", "outcome=hang@30"));
    QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
    for (const QString &port : QStringList{"15:1", "15:2"})
        QTRY_VERIFY_WITH_TIMEOUT(processAlive(flashPid(port)) && status(port) == QLatin1String("Running"), 15000);
    QTRY_VERIFY(button("stopAllButton")->isEnabled());
    // A listing that drops a running board ends its job; a job can still
    // lose its row in other ways (here the row is taken out of the table).
    table()->removeRow(rowOf("15:1"));
    QCOMPARE(rowOf("15:1"), -1);
    QVERIFY(button("stopAllButton")->isEnabled());

    QTest::mouseClick(button("stopAllButton"), Qt::LeftButton);
    QTRY_VERIFY(!processAlive(flashPid("15:1")));
    QTRY_VERIFY(!processAlive(flashPid("15:2")));
    QTRY_COMPARE(status("15:2"), QStringLiteral("Stopped"));
    QTRY_VERIFY(!button("stopAllButton")->isEnabled());
    QVERIFY(!logHeldOpen());
    QCOMPARE(flashRuns("15:1"), 1);
}

namespace {

// Fills the file system of a folder: its space, or its inodes.
void fillFileSystem(const QString &path, bool inodes)
{
    for (int i = 0;; ++i) {
        QFile filler(QStringLiteral("%1/filler%2").arg(path).arg(i));
        if (!filler.open(QIODevice::WriteOnly))
            break;
        if (inodes)
            continue;
        const QByteArray block(4096, 'f');
        while (filler.write(block) == block.size() && filler.flush()) {
        }
        break;
    }
}

} // namespace

void TestFaults::logsOnFullDisk_data()
{
    QTest::addColumn<QByteArray>("options");
    QTest::addColumn<bool>("inodes");
    QTest::newRow("no space left") << QByteArray("size=64k") << false;
    QTest::newRow("no inodes left") << QByteArray("size=1m,nr_inodes=8") << true;
}

// The logs folder on a small file system that is full: the jobs run and end
// as their tools say, and the debug output says once per job why its log is
// short or missing.
void TestFaults::logsOnFullDisk()
{
    QFETCH(QByteArray, options);
    QFETCH(bool, inodes);
    const QString notMounted = mountSmallFileSystem(dir->filePath("logs"), options);
    if (!notMounted.isEmpty())
        QSKIP(qPrintable(notMounted));
    fillFileSystem(dir->filePath("logs"), inodes);
    const QStringList ports = {"16:1", "16:2", "16:3"};
    makeWidget(board("16:1", "duration_ms=400") + board("16:2", "outcome=fail@50") + board("16:3", "outcome=hang@30"));
    recordDebug = true;
    QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
    QTRY_COMPARE_WITH_TIMEOUT(status("16:1"), QStringLiteral("Finished"), 15000);
    QTRY_COMPARE_WITH_TIMEOUT(status("16:2"), QStringLiteral("Failed"), 15000);
    QTRY_VERIFY_WITH_TIMEOUT(processAlive(flashPid("16:3")), 15000);
    QTest::qWait(200); // the hung tool has printed up to its hang point
    QCOMPARE(status("16:3"), QStringLiteral("Running"));
    QTest::mouseClick(w->actionButtonAt(rowOf("16:3")), Qt::LeftButton);
    QTRY_COMPARE(status("16:3"), QStringLiteral("Stopped"));
    recordDebug = false;

    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 1 (Device #16:2)"));
    QCOMPARE(w->statusLabelAt(rowOf("16:2"))->styleSheet(), QStringLiteral("color: red;"));
    for (const QString &port : ports) {
        QStringList said;
        for (const QString &line : qAsConst(recordedDebug)) {
            if (line.startsWith("Device " + port + ": ") && line.contains(QLatin1String(" log ")))
                said << line;
        }
        QVERIFY2(said.size() == 1, qPrintable(port + ": " + recordedDebug.join(" | ")));
        QVERIFY2(said.first().contains(QLatin1String("No space left on device")), qPrintable(said.first()));
        QVERIFY2(said.first().contains("logs/" + QString(port).replace(':', '_') + "_log.txt"),
                 qPrintable(said.first()));
    }
}

// The station folder on a small file system that is full: a script that
// would change cannot be written, so its boards fail and no tool starts,
// and the scripts already there stay as they were.
void TestFaults::scriptOnFullDisk()
{
    const QString station = dir->filePath("station");
    const QString notMounted = mountSmallFileSystem(station, "size=64k");
    if (!notMounted.isEmpty())
        QSKIP(qPrintable(notMounted));
    QVERIFY(QDir(station).mkpath("scripts/emmc"));
    for (const QString &name : QDir(dir->filePath("scripts/emmc")).entryList(QDir::Files))
        QVERIFY(QFile::copy(dir->filePath("scripts/emmc/" + name), station + "/scripts/emmc/" + name));
    QVERIFY(QFile::link(dir->filePath(toolFileName()), station + "/" + toolFileName()));
    dir->writeFile("station/uuu_scenario.txt", "log " + dir->filePath("tool.log").toUtf8() + "\n" +
                                                   board("17:1", "duration_ms=100") + board("17:2", "duration_ms=100"));
    QVERIFY(QDir::setCurrent(station));
    w = new Widget;
    QCOMPARE(table()->rowCount(), 2);
    auto *image = w->findChild<QLineEdit *>("lineEdit_All");
    dir->writeFile("old.img", "old");
    image->setText(dir->filePath("old.img"));
    QVERIFY(w->generateScript("Image"));
    QVERIFY(w->generateScript("Kernel"));
    const QByteArray earlierImage = dir->readFile("station/all_uuu_temp.auto");
    const QByteArray earlierKernel = dir->readFile("station/image_uuu_temp.auto");
    QVERIFY(earlierImage.contains("old.img") && earlierKernel.contains("old.img"));
    fillFileSystem(station, false);

    image->setText(dir->filePath("sample.img"));
    w->modeComboAt(rowOf("17:2"))->setCurrentText("Kernel");
    recordDebug = true;
    QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
    recordDebug = false;
    for (const QString &port : QStringList{"17:1", "17:2"}) {
        QCOMPARE(status(port), QStringLiteral("Failed"));
        QCOMPARE(w->statusLabelAt(rowOf(port))->styleSheet(), QStringLiteral("color: red;"));
        QCOMPARE(w->actionButtonAt(rowOf(port))->text(), QStringLiteral("Run"));
        const QStringList said = recordedDebug.filter(QRegularExpression("^Device " + port + ": "));
        QVERIFY2(said.size() == 1, qPrintable(recordedDebug.join(" | ")));
        QVERIFY2(said.first().contains("No space left on device"), qPrintable(said.first()));
        QCOMPARE(flashRuns(port), 0);
    }
    QVERIFY2(failedText().startsWith("Failed Devices: 2 (") && failedText().contains("Device #17:1") &&
                 failedText().contains("Device #17:2"),
             qPrintable(failedText()));
    QCOMPARE(dir->readFile("station/all_uuu_temp.auto"), earlierImage);
    QCOMPARE(dir->readFile("station/image_uuu_temp.auto"), earlierKernel);
    // No half-written copy is left beside them.
    QCOMPARE(QDir(station).entryList({"*_uuu_temp*"}), QStringList({"all_uuu_temp.auto", "image_uuu_temp.auto"}));
    QVERIFY(!button("stopAllButton")->isEnabled());
}

void TestFaults::scriptsStayWhileJobsRun_data()
{
    QTest::addColumn<bool>("closeWindow");
    QTest::newRow("jobs end by themselves") << false;
    QTest::newRow("window closed while they run") << true;
}

// Tools that read their script only once their board answers, while the
// operator picks another image for each next board: every board is flashed
// with the image chosen when its Run was pressed.
void TestFaults::scriptsStayWhileJobsRun()
{
    QFETCH(bool, closeWindow);
    const QStringList ports = {"18:1", "18:2", "18:3"};
    const QByteArray keys = closeWindow ? "start_delay_ms=400 outcome=hang@50" : "start_delay_ms=400 duration_ms=100";
    QByteArray boards;
    for (const QString &port : ports)
        boards += board(port, keys);
    makeWidget(boards);
    auto *image = w->findChild<QLineEdit *>("lineEdit_All");
    QStringList images;
    recordDebug = true;
    for (const QString &port : ports) {
        images << dir->filePath("image-" + QString(port).replace(':', '-') + ".img");
        dir->writeFile(images.last(), port.toUtf8());
        image->setText(images.last());
        QTest::mouseClick(w->actionButtonAt(rowOf(port)), Qt::LeftButton);
    }
    recordDebug = false;

    // The script of the port's latest flashing run (listings may come
    // between them: device events of the machine start rescans).
    const auto scriptOf = [this](const QString &port) {
        QString script;
        for (const ToolCall &call : dir->toolCalls()) {
            if (call.args.value(0) == QLatin1String("-d") && call.args.value(2) == port)
                script = call.args.value(3);
        }
        return script;
    };
    QStringList scripts;
    for (int i = 0; i < ports.size(); ++i) {
        const QString port = ports.at(i);
        const QByteArray seen = port.toUtf8() + ">Image: \"" + images.at(i).toUtf8() + "\"";
        QTRY_VERIFY2_WITH_TIMEOUT(logOf(port).contains(seen), logOf(port).constData(), 15000);
        scripts << scriptOf(port);
        // The command line shown is the one the tool was given.
        const QRegularExpression shown("^Debug CMD: .* " + QRegularExpression::escape(port + " " + scripts.last()));
        QCOMPARE(recordedDebug.filter(shown).size(), 1);
    }
    // The first job has the mode's script; the others, started while it runs,
    // each one of their own.
    QCOMPARE(scripts.first(), QStringLiteral("all_uuu_temp.auto"));
    QCOMPARE(QSet<QString>(scripts.cbegin(), scripts.cend()).size(), 3);
    for (const QString &script : scripts)
        QVERIFY2(script.startsWith("all_uuu_temp") && script.endsWith(".auto"), qPrintable(script));

    if (closeWindow) {
        for (const QString &script : scripts)
            QVERIFY2(QFile::exists(dir->filePath(script)), qPrintable(script));
        delete w;
        w = nullptr;
        for (const QString &script : scripts)
            QVERIFY2(!QFile::exists(dir->filePath(script)), qPrintable(script));
        return;
    }
    for (const QString &port : ports)
        QTRY_COMPARE(status(port), QStringLiteral("Finished"));
    // A job's own script goes with it; the mode's script stays as it was.
    QCOMPARE(QDir(dir->path()).entryList({"*_uuu_temp*"}), QStringList{"all_uuu_temp.auto"});
    QVERIFY(dir->readFile("all_uuu_temp.auto").contains(images.first().toUtf8()));
    // With nothing running, the mode's script is written again.
    image->setText(images.last());
    w->runOrStopDevice(ports.first());
    QTRY_COMPARE(status(ports.first()), QStringLiteral("Finished"));
    QCOMPARE(flashRuns(ports.first()), 2);
    QCOMPARE(scriptOf(ports.first()), QStringLiteral("all_uuu_temp.auto"));
    QVERIFY(logOf(ports.first()).contains("\"" + images.last().toUtf8() + "\""));
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 0"));
}

int main(int argc, char *argv[])
{
    // While the process has one thread.
    takePrivateMounts();
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    TestFaults test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_faults.moc"
