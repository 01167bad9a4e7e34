#include "app/station.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <sys/time.h>
#include <unistd.h>

namespace {

// A ./uuu that runs the simulator (SIM) as its child, as a script that sets up
// the environment does; and one whose child leaves its session.
const char WrapperScript[] = "#!/bin/sh\nSIM \"$@\"\n";
const char SetsidWrapperScript[] = "#!/bin/sh\nsetsid SIM \"$@\"\n";

} // namespace

// The real velmora binary on a real X server (Xvfb), driven with xdotool as an
// operator would: it is ended by signals mid-flash, and a second one is
// started in the same station folder.
//
// Signals and kills reach only processes of this test, and it runs only
// through run-in-pidns.sh, in a PID namespace of its own, where any tool that
// a velmora left behind is found and ended with the namespace.
class TestStation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void terminationSignalEndLikeClosing_data();
    void terminationSignalEndLikeClosing();
    void terminationSignalDuringDialog_data();
    void terminationSignalDuringDialog();
    void terminationSignalDuringHungListing_data();
    void terminationSignalDuringHungListing();
    void killedVelmoraLeavesNoTool_data();
    void killedVelmoraLeavesNoTool();
    void killedVelmoraLeavesNoListing();
    void killedVelmoraLeavesWholeJournalLines();
    void secondVelmoraIsRefused();
    void copiedStationFolderRuns();

private:
    QProcess *startVelmora(const QString &folder = QString());
    // Puts a shell script that runs the simulator in place of ./uuu.
    void installWrapper(const QByteArray &script);
    QString windowOf(QProcess *velmora, const QString &title);
    QByteArray xdotool(const QStringList &arguments);
    // Types the image path into the window and presses StartAll, then waits
    // until every board's tool runs.
    void startAllFlashing(QProcess *velmora);
    // Types the image path (none when empty) and presses StartAll.
    void clickStartAll(QProcess *velmora, const QString &image);
    // Clicks into the main window at a share of its width and a distance
    // from its top.
    void clickAt(QProcess *velmora, int percentOfWidth, int fromTop);
    QList<qint64> flashPids() const;
    // How many tools run for each port now.
    QMap<QString, int> liveToolsPerPort() const;
    // Sends the signal to that velmora if it is a live child of this test.
    bool signalVelmora(QProcess *velmora, int signalNumber);
    int listingRuns() const;
    // Whether the last listing run logged is still running.
    bool lastListingAlive() const;
    bool anyToolAlive() const;

    QProcess xvfb;
    QString display;
    ToolDir *dir = nullptr;
    QList<QProcess *> velmoras;
    const QStringList ports = {"6:1", "6:2", "6:3", "6:4"};
};

void TestStation::initTestCase()
{
    for (int number = 150; number < 250 && display.isEmpty(); ++number) {
        if (QFileInfo::exists(QStringLiteral("/tmp/.X%1-lock").arg(number)) ||
            QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            continue;
        xvfb.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        xvfb.setStandardOutputFile(QProcess::nullDevice());
        xvfb.start(QStringLiteral("Xvfb"),
                   {QStringLiteral(":%1").arg(number), "-screen", "0", "1024x768x24", "-nolisten", "tcp", "-noreset"});
        if (!xvfb.waitForStarted(5000))
            QSKIP("Xvfb cannot be started");
        QElapsedTimer clock;
        clock.start();
        while (xvfb.state() == QProcess::Running && clock.elapsed() < 10000 &&
               !QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            QTest::qWait(20);
        if (xvfb.state() == QProcess::Running && QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(number)))
            display = QStringLiteral(":%1").arg(number);
        else if (xvfb.state() == QProcess::Running && xvfb.processId() > 0)
            xvfb.kill();
        xvfb.waitForFinished(100);
    }
    QVERIFY2(!display.isEmpty(), "no display for Xvfb");
}

void TestStation::cleanupTestCase()
{
    if (xvfb.state() != QProcess::NotRunning && xvfb.processId() > 0) {
        xvfb.terminate();
        xvfb.waitForFinished(5000);
    }
}

void TestStation::init()
{
    dir = new ToolDir;
    QVERIFY(dir->isValid());
    QByteArray scenario = "log tool.log\n";
    for (const QString &port : ports)
        scenario += "board " + port.toUtf8() + " chip=VB100 pro=LOAD: vid=0xFFF0 pid=0xFFF1 outcome=hang@30\n";
    dir->writeScenario(scenario);
}

void TestStation::cleanup()
{
    // Whatever a failed case left behind: velmoras of this test, and the
    // tools they started (their pids are in the simulator's log).
    for (QProcess *velmora : qAsConst(velmoras)) {
        if (velmora->state() != QProcess::NotRunning && velmora->processId() > 0) {
            velmora->kill();
            velmora->waitForFinished(5000);
        }
        delete velmora;
    }
    velmoras.clear();
    for (const ToolCall &call : dir->toolCalls()) {
        if (processAlive(call.pid))
            ::kill(pid_t(call.pid), SIGKILL);
    }
    QTRY_VERIFY(!anyToolAlive());
    delete dir;
    dir = nullptr;
}

QProcess *TestStation::startVelmora(const QString &folder)
{
    auto *velmora = new QProcess;
    velmoras << velmora;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", display);
    environment.insert("QT_QPA_PLATFORM", "xcb");
    velmora->setProcessEnvironment(environment);
    velmora->setWorkingDirectory(folder.isEmpty() ? dir->path() : folder);
    velmora->start(QStringLiteral(VELMORA_APP_PATH), QStringList());
    velmora->waitForStarted(10000);
    return velmora;
}

void TestStation::installWrapper(const QByteArray &script)
{
    const QString simulator = QFileInfo(dir->filePath("uuu")).symLinkTarget();
    QVERIFY(!simulator.isEmpty());
    dir->removeTool();
    dir->writeFile("uuu", QByteArray(script).replace("SIM", QFile::encodeName(simulator)));
    QVERIFY(QFile::setPermissions(dir->filePath("uuu"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

QByteArray TestStation::xdotool(const QStringList &arguments)
{
    QProcess tool;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("DISPLAY", display);
    tool.setProcessEnvironment(environment);
    tool.setStandardErrorFile(QProcess::nullDevice());
    tool.start(QStringLiteral("xdotool"), arguments);
    if (!tool.waitForFinished(10000) && tool.state() != QProcess::NotRunning && tool.processId() > 0) {
        tool.kill();
        tool.waitForFinished();
    }
    return tool.readAllStandardOutput().trimmed();
}

// The visible window of that velmora whose title starts with title, or "".
QString TestStation::windowOf(QProcess *velmora, const QString &title)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 15000 && velmora->state() == QProcess::Running) {
        // --all: by default a window that meets any one of the conditions matches.
        const QByteArray found = xdotool({"search", "--all", "--onlyvisible", "--pid",
                                          QString::number(velmora->processId()), "--name", "^" + title});
        if (!found.isEmpty())
            return QString::fromLatin1(found.split('\n').first());
        QTest::qWait(100);
    }
    return QString();
}

void TestStation::startAllFlashing(QProcess *velmora)
{
    clickStartAll(velmora, dir->filePath("sample.img"));
    if (QTest::currentTestFailed())
        return;
    QTRY_COMPARE_WITH_TIMEOUT(flashPids().size(), ports.size(), 10000);
    // Each tool has reached the point where it hangs silently: from here on
    // no write to a closed pipe could end it.
    for (const QString &port : ports) {
        const QString log = "logs/" + QString(port).replace(':', '_') + "_log.txt";
        QTRY_VERIFY_WITH_TIMEOUT(dir->readFile(log).contains("30%"), 10000);
    }
    for (qint64 pid : flashPids())
        QVERIFY(processAlive(pid));
    QVERIFY(QFileInfo::exists(dir->filePath("all_uuu_temp.auto")));
}

void TestStation::clickAt(QProcess *velmora, int percentOfWidth, int fromTop)
{
    const QString window = windowOf(velmora, QStringLiteral("Velmora"));
    QVERIFY2(!window.isEmpty(), qPrintable(QStringLiteral("the window did not show (%1, exit code %2): %3")
                                               .arg(velmora->state() == QProcess::Running ? "running" : "ended")
                                               .arg(velmora->exitCode())
                                               .arg(QString::fromLocal8Bit(velmora->readAllStandardError()))));
    int width = 0;
    int height = 0;
    for (const QByteArray &line : xdotool({"getwindowgeometry", "--shell", window}).split('\n')) {
        if (line.startsWith("WIDTH="))
            width = line.mid(6).toInt();
        if (line.startsWith("HEIGHT="))
            height = line.mid(7).toInt();
    }
    QVERIFY(width > 0 && height > 0);
    // A negative distance counts from the bottom.
    const int y = fromTop >= 0 ? fromTop : height + fromTop;
    xdotool({"mousemove", "--window", window, QString::number(width * percentOfWidth / 100), QString::number(y),
             "click", "1"});
}

void TestStation::clickStartAll(QProcess *velmora, const QString &image)
{
    // The image path field is the wide one right of the mode selector on the
    // top line; StartAll is the left one of the two buttons at the bottom.
    if (!image.isEmpty()) {
        clickAt(velmora, 66, 23);
        xdotool({"type", "--delay", "5", image}); // takes all its arguments as text
    }
    if (!QTest::currentTestFailed())
        clickAt(velmora, 25, -24);
}

bool TestStation::signalVelmora(QProcess *velmora, int signalNumber)
{
    // processId() is 0 once it has ended, and kill(0) would signal this test.
    const qint64 pid = velmora->processId();
    return velmora->state() == QProcess::Running && pid > 0 && ::kill(pid_t(pid), signalNumber) == 0;
}

QList<qint64> TestStation::flashPids() const
{
    QList<qint64> pids;
    for (const ToolCall &call : dir->toolCalls()) {
        if (call.args.value(0) == QLatin1String("-d"))
            pids << call.pid;
    }
    return pids;
}

QMap<QString, int> TestStation::liveToolsPerPort() const
{
    QMap<QString, int> tools;
    for (const ToolCall &call : dir->toolCalls()) {
        if (call.args.value(0) == QLatin1String("-d") && processAlive(call.pid))
            ++tools[call.args.value(2)];
    }
    return tools;
}

int TestStation::listingRuns() const
{
    int runs = 0;
    for (const ToolCall &call : dir->toolCalls())
        runs += call.args.value(0) == QLatin1String("-lsusb") ? 1 : 0;
    return runs;
}

bool TestStation::lastListingAlive() const
{
    qint64 pid = 0;
    for (const ToolCall &call : dir->toolCalls()) {
        if (call.args.value(0) == QLatin1String("-lsusb"))
            pid = call.pid;
    }
    return pid > 0 && processAlive(pid);
}

bool TestStation::anyToolAlive() const
{
    for (const ToolCall &call : dir->toolCalls()) {
        if (processAlive(call.pid))
            return true;
    }
    return false;
}

void TestStation::terminationSignalEndLikeClosing_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<QByteArray>("wrapper");
    QTest::newRow("SIGTERM") << int(SIGTERM) << QByteArray();
    QTest::newRow("SIGHUP") << int(SIGHUP) << QByteArray();
    QTest::newRow("SIGINT") << int(SIGINT) << QByteArray();
    // ./uuu is a script that runs the real tool as its child.
    QTest::newRow("SIGTERM, wrapped tool") << int(SIGTERM) << QByteArray(WrapperScript);
    QTest::newRow("SIGTERM, wrapped tool in a session of its own") << int(SIGTERM) << QByteArray(SetsidWrapperScript);
}

void TestStation::terminationSignalEndLikeClosing()
{
    QFETCH(int, signalNumber);
    QFETCH(QByteArray, wrapper);
    if (!wrapper.isEmpty())
        installWrapper(wrapper);
    QProcess *velmora = startVelmora();
    startAllFlashing(velmora);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(signalVelmora(velmora, signalNumber));
    QVERIFY(velmora->waitForFinished(15000));
    // Teardown ran: the tools were killed and reaped, the scripts removed.
    QTRY_VERIFY_WITH_TIMEOUT(!anyToolAlive(), 5000);

    QVERIFY(!QFileInfo::exists(dir->filePath("all_uuu_temp.auto")));
    QCOMPARE(velmora->exitStatus(), QProcess::NormalExit);
    QCOMPARE(velmora->exitCode(), 0);
    QVERIFY(velmora->readAllStandardOutput().contains("Do delete tempfile"));
    QVERIFY(!QFileInfo::exists(dir->filePath(QLatin1String(StationLockFileName))));
}

void TestStation::terminationSignalDuringDialog_data()
{
    QTest::addColumn<bool>("fileDialog");
    QTest::addColumn<QString>("title");
    QTest::newRow("StartAll's error box, no image chosen") << false << "Error$";
    // The dialog has no parent window: closing the main window alone would
    // leave it, and Velmora, running.
    QTest::newRow("the image file dialog") << true << "File$";
}

// The signal comes while a dialog runs an event loop of its own: Velmora
// ends all the same.
void TestStation::terminationSignalDuringDialog()
{
    QFETCH(bool, fileDialog);
    QFETCH(QString, title);
    QProcess *velmora = startVelmora();
    if (fileDialog)
        clickAt(velmora, 83, 23); // the select button right of the image path
    else
        clickStartAll(velmora, QString());
    QVERIFY(!windowOf(velmora, title).isEmpty());
    QVERIFY(signalVelmora(velmora, SIGTERM));
    QVERIFY(velmora->waitForFinished(15000));
    QCOMPARE(velmora->exitStatus(), QProcess::NormalExit);
    QCOMPARE(velmora->exitCode(), 0);
    QVERIFY(velmora->readAllStandardOutput().contains("Do delete tempfile"));
    QVERIFY(flashPids().isEmpty());
    QVERIFY(!QFileInfo::exists(dir->filePath(QLatin1String(StationLockFileName))));
}

void TestStation::terminationSignalDuringHungListing_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("the first listing, before the window shows") << "start-up";
    QTest::newRow("List, while the boards flash") << "List";
    QTest::newRow("a rescan on a device event, while the boards flash") << "device event";
}

// A listing that never ends blocks the window for up to 30 s; a signal that
// comes meanwhile ends Velmora all the same, at once and the usual way.
void TestStation::terminationSignalDuringHungListing()
{
    QFETCH(QString, when);
    const bool atStartUp = when == QLatin1String("start-up");
    const QString device = writableUeventDevice();
    if (when == QLatin1String("device event") && device.isEmpty())
        QSKIP("no serial port's uevent file accepts a write (needs root)");
    QByteArray hungListing = "log tool.log\nlisting hang=1\n";
    for (const QString &port : ports)
        hungListing += "board " + port.toUtf8() + " outcome=hang@30\n";
    if (atStartUp)
        dir->writeScenario(hungListing);
    QProcess *velmora = startVelmora();
    int before = 0;
    if (!atStartUp) {
        startAllFlashing(velmora);
        if (QTest::currentTestFailed())
            return;
        dir->writeScenario(hungListing);
        // Every listing from here on hangs, whatever starts it (device
        // events of the shared machine included).
        before = listingRuns();
        if (when == QLatin1String("List"))
            clickAt(velmora, 96, 23); // right of the select button
        else
            QVERIFY(raiseUevent(device, "add"));
    }
    QTRY_VERIFY_WITH_TIMEOUT(listingRuns() > before && lastListingAlive(), 10000);
    QTest::qWait(200);
    QVERIFY(lastListingAlive());

    QVERIFY(signalVelmora(velmora, SIGTERM));
    // Far less than the listing's limit of 30 s.
    QVERIFY2(velmora->waitForFinished(10000), "velmora still waits for its listing");
    QTRY_VERIFY_WITH_TIMEOUT(!anyToolAlive(), 5000);
    QCOMPARE(velmora->exitStatus(), QProcess::NormalExit);
    QCOMPARE(velmora->exitCode(), 0);
    QVERIFY(velmora->readAllStandardOutput().contains("Do delete tempfile"));
    QVERIFY(!QFileInfo::exists(dir->filePath("all_uuu_temp.auto")));
    QVERIFY(!QFileInfo::exists(dir->filePath(QLatin1String(StationLockFileName))));
    QCOMPARE(flashPids().size(), atStartUp ? 0 : ports.size());
}

void TestStation::killedVelmoraLeavesNoTool_data()
{
    QTest::addColumn<QByteArray>("wrapper");
    QTest::newRow("the tool itself") << QByteArray();
    // The kernel ends the wrapper with Velmora, not the wrapper's child.
    QTest::newRow("a wrapped tool") << QByteArray(WrapperScript);
    QTest::newRow("a wrapped tool in a session of its own") << QByteArray(SetsidWrapperScript);
}

void TestStation::killedVelmoraLeavesNoTool()
{
    QFETCH(QByteArray, wrapper);
    if (!wrapper.isEmpty())
        installWrapper(wrapper);
    QProcess *velmora = startVelmora();
    startAllFlashing(velmora);
    if (QTest::currentTestFailed())
        return;
    const QList<qint64> killedTools = flashPids();
    QVERIFY(signalVelmora(velmora, SIGKILL));
    QVERIFY(velmora->waitForFinished(5000));
    if (wrapper.isEmpty())
        QTRY_VERIFY_WITH_TIMEOUT(!anyToolAlive(), 5000);

    // The lock it left behind is stale: the next velmora takes the station,
    // and ends what the killed one left running before it lists.
    const int listings = listingRuns();
    QProcess *next = startVelmora();
    const QString window = windowOf(next, QStringLiteral("Velmora"));
    const QByteArray said = next->readAllStandardError();
    QVERIFY2(!window.isEmpty(), said.constData());
    // More than one when a device event from elsewhere on the machine came.
    QVERIFY(listingRuns() > listings);
    for (qint64 pid : killedTools)
        QVERIFY2(!processAlive(pid), "a tool of the killed Velmora still runs");
    if (!wrapper.isEmpty())
        QVERIFY2(said.contains("left running in this station folder"), said.constData());

    // Flashing again puts one tool on each board, not a second one.
    clickStartAll(next, dir->filePath("sample.img"));
    QTRY_COMPARE_WITH_TIMEOUT(flashPids().size(), killedTools.size() + ports.size(), 10000);
    QMap<QString, int> onePerPort;
    for (const QString &port : ports)
        onePerPort.insert(port, 1);
    QCOMPARE(liveToolsPerPort(), onePerPort);
    QVERIFY(signalVelmora(next, SIGTERM));
    QVERIFY(next->waitForFinished(15000));
    QCOMPARE(next->exitCode(), 0);
}

// Killed while it waits for a listing that does not end.
void TestStation::killedVelmoraLeavesNoListing()
{
    dir->writeScenario("log tool.log\nlisting hang=1\nboard 6:1\n");
    QProcess *velmora = startVelmora();
    QTRY_COMPARE_WITH_TIMEOUT(listingRuns(), 1, 10000);
    QTRY_VERIFY(dir->toolCalls().size() == 1 && processAlive(dir->toolCalls().first().pid));
    QTest::qWait(100);
    QVERIFY(signalVelmora(velmora, SIGKILL));
    QVERIFY(velmora->waitForFinished(5000));
    QTRY_VERIFY_WITH_TIMEOUT(!anyToolAlive(), 5000);
}

// Killed while some boards of the rack have ended and others flash: the
// journal holds the lines written so far, whole, and the next Velmora
// appends its own after them.
void TestStation::killedVelmoraLeavesWholeJournalLines()
{
    QByteArray scenario = "log tool.log\n";
    for (const QString &port : ports) {
        scenario += "board " + port.toUtf8() + " chip=VB100 pro=LOAD: vid=0xFFF0 pid=0xFFF1 " +
                    (port < "6:3" ? "duration_ms=100\n" : "outcome=hang@30\n");
    }
    dir->writeScenario(scenario);
    QProcess *velmora = startVelmora();
    clickStartAll(velmora, dir->filePath("sample.img"));
    QTRY_COMPARE_WITH_TIMEOUT(dir->journalLines(true).size(), 3, 15000);
    QVERIFY(signalVelmora(velmora, SIGKILL));
    QVERIFY(velmora->waitForFinished(5000));
    const QVector<QJsonObject> killed = dir->journalLines(true);
    QCOMPARE(killed.size(), 3);
    QCOMPARE(killed[0].value("event").toString(), QStringLiteral("start"));
    for (int i = 1; i < 3; ++i) {
        QCOMPARE(killed[i].value("outcome").toString(), QStringLiteral("finished"));
        // The image's hash, as the window's fingerprint computed it.
        QCOMPARE(killed[i].value("image").toObject().value("sha256").toString(),
                 QString(QCryptographicHash::hash(dir->readFile("sample.img"), QCryptographicHash::Sha256).toHex()));
        QVERIFY(QFileInfo::exists(dir->filePath(killed[i].value("log").toObject().value("path").toString())));
    }
    // The shift report reads it: one row per attempt line.
    QProcess report;
    report.setWorkingDirectory(dir->path());
    report.start(QStringLiteral(VELMORA_APP_PATH), {"--report", "--csv"});
    QVERIFY(report.waitForFinished(15000));
    QCOMPARE(report.exitCode(), 0);
    const QList<QByteArray> rows = report.readAllStandardOutput().trimmed().split('\n');
    QCOMPARE(rows.size(), 3);
    for (const QByteArray &row : rows.mid(1))
        QVERIFY2(row.contains(",finished,"), row.constData());

    QProcess *next = startVelmora();
    QVERIFY(!windowOf(next, QStringLiteral("Velmora")).isEmpty());
    QVERIFY(signalVelmora(next, SIGTERM));
    QVERIFY(next->waitForFinished(15000));
    const QVector<QJsonObject> lines = dir->journalLines();
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines.mid(0, 3), killed);
    QCOMPARE(lines[3].value("event").toString(), QStringLiteral("start"));
    QCOMPARE(lines[4].value("event").toString(), QStringLiteral("end"));
    QVERIFY(lines[3].value("session") != killed[0].value("session"));
    QCOMPARE(lines[4].value("session"), lines[3].value("session"));
}

void TestStation::secondVelmoraIsRefused()
{
    QProcess *first = startVelmora();
    startAllFlashing(first);
    if (QTest::currentTestFailed())
        return;
    const QString lockFile = dir->filePath(QLatin1String(StationLockFileName));
    // The first has been running for an hour: a lock's age says nothing.
    const timeval anHourAgo[2] = {{::time(nullptr) - 3600, 0}, {::time(nullptr) - 3600, 0}};
    ::utimes(QFile::encodeName(lockFile).constData(), anHourAgo);
    const QByteArray script = dir->readFile("all_uuu_temp.auto");
    const QList<qint64> tools = flashPids();
    const int calls = dir->toolCalls().size();

    QProcess *second = startVelmora();
    QByteArray error;
    QElapsedTimer clock;
    clock.start();
    while (!error.contains("already running") && second->state() == QProcess::Running && clock.elapsed() < 15000) {
        second->waitForReadyRead(100);
        error += second->readAllStandardError();
    }
    QVERIFY2(error.contains("already running"), error.constData());
    QVERIFY2(error.contains(QFile::encodeName(dir->path())), error.constData());
    QVERIFY2(error.contains("process " + QByteArray::number(first->processId())), error.constData());
    // It says so in an "Error" box too, and ends when that is closed.
    const QString box = windowOf(second, QStringLiteral("Error$"));
    QVERIFY(!box.isEmpty());
    xdotool({"windowfocus", "--sync", box, "key", "Return"});
    QVERIFY(second->waitForFinished(10000));
    QVERIFY(second->exitCode() != 0);
    QVERIFY(!second->readAllStandardOutput().contains("Do delete tempfile"));

    // The first goes on undisturbed: nothing listed or flashed since, its
    // tools running, its script in place.
    QCOMPARE(dir->toolCalls().size(), calls);
    for (qint64 pid : tools)
        QVERIFY(processAlive(pid));
    QCOMPARE(dir->readFile("all_uuu_temp.auto"), script);
    QCOMPARE(first->state(), QProcess::Running);

    QVERIFY(signalVelmora(first, SIGTERM));
    QVERIFY(first->waitForFinished(15000));
    QTRY_VERIFY_WITH_TIMEOUT(!anyToolAlive(), 5000);
}

// A copy of a running station's folder (cp -a for a second rack) carries the
// lock along; it holds only the folder it was made in.
void TestStation::copiedStationFolderRuns()
{
    QProcess *first = startVelmora();
    startAllFlashing(first);
    if (QTest::currentTestFailed())
        return;
    const QList<qint64> tools = flashPids();
    const int copiedListings = listingRuns();
    QTemporaryDir copies;
    const QString copy = copies.filePath("rack-2");
    QCOMPARE(QProcess::execute(QStringLiteral("cp"), {"-a", dir->path(), copy}), 0);
    QVERIFY(QFileInfo::exists(copy + "/" + StationLockFileName));

    QProcess *second = startVelmora(copy);
    const QString window = windowOf(second, QStringLiteral("Velmora"));
    const QByteArray said = second->readAllStandardError();
    QVERIFY2(!window.isEmpty(), said.constData());
    QVERIFY2(!said.contains("already running"), said.constData());
    // It listed the boards in its own folder; the first flashes on.
    QFile copiedLog(copy + "/tool.log");
    QVERIFY(copiedLog.open(QIODevice::ReadOnly));
    QVERIFY(copiedLog.readAll().count("\t-lsusb") > copiedListings);
    for (qint64 pid : tools)
        QVERIFY(processAlive(pid));
    QCOMPARE(first->state(), QProcess::Running);

    QVERIFY(signalVelmora(second, SIGTERM));
    QVERIFY(second->waitForFinished(15000));
    QCOMPARE(second->exitCode(), 0);
    QVERIFY(!QFileInfo::exists(copy + "/" + StationLockFileName));
    QVERIFY(QFileInfo::exists(dir->filePath(QLatin1String(StationLockFileName))));
    for (qint64 pid : tools)
        QVERIFY(processAlive(pid));
    QVERIFY(signalVelmora(first, SIGTERM));
    QVERIFY(first->waitForFinished(15000));
    QTRY_VERIFY_WITH_TIMEOUT(!anyToolAlive(), 5000);
}

int main(int argc, char *argv[])
{
    if (!inOwnPidNamespace()) {
        std::fprintf(stderr, "SKIP: tst_station runs only in a PID namespace of its own (tests/run-in-pidns.sh %s)\n",
                     argv[0]);
        return 77;
    }
    for (const char *program : {"Xvfb", "xdotool"}) {
        if (QStandardPaths::findExecutable(QLatin1String(program)).isEmpty()) {
            std::fprintf(stderr, "SKIP: %s is not installed\n", program);
            return 77;
        }
    }
    QCoreApplication app(argc, argv);
    TestStation test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_station.moc"
