#include "app/station.h"
#include "app/widget.h"
#include "testsupport.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/inotify.h>
#include <unistd.h>

// A ./uuu that is a wrapper (a script that sets up the environment, or goes
// through sudo) and runs the real tool as its child. However a job ends, the
// real tool ends with it and nothing is left to reap; a Velmora that takes
// over the lock of one that was killed ends the tools it left behind.
//
// It signals processes, so it runs only through run-in-pidns.sh, in a PID
// namespace of its own.
class TestProcessTree : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    // First: the helpers of these cases must not meet a sweep of adopted
    // processes, which later cases start.
    void takeoverEndsLeftoverTools_data();
    void takeoverEndsLeftoverTools();
    void copiedLockDoesNotHoldTheCopy();
    void everyJobEndEndsTheWrappedTool_data();
    void everyJobEndEndsTheWrappedTool();
    void wrapperExitingEndsItsChild_data();
    void wrapperExitingEndsItsChild();
    void recordFollowsRunningTools();

private:
    // Puts a shell script in place of ./uuu; SIM in it names the simulator.
    void installWrapper(const QByteArray &script);
    void openWindow(const QByteArray &boardKeys);
    // Presses StartAll and waits until every board's tool has printed text.
    void startAll(const QByteArray &text);
    QList<qint64> liveTools() const;
    // A process of its own group, working in folder: the simulator flashing
    // a board, or a sleep.
    void startLeftover(const QString &folder, bool flashing, QProcess **leftover);
    // Writes the lock and its record as a Velmora that has ended left them.
    void writeStaleLock(const QByteArray &recordLines);

    ToolDir *dir = nullptr;
    Widget *w = nullptr;
    QString simulator;
    QList<QProcess *> helpers;
    const QStringList ports = {"6:1", "6:2", "6:3", "6:4"};
};

namespace {

const char RecordName[] = "velmora-station.lock.record";

qint64 groupOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2).split(' ').value(2).toLongLong();
}

// A process id that no process has now.
qint64 endedPid()
{
    QProcess process;
    process.start(QStringLiteral("true"), QStringList());
    process.waitForStarted();
    const qint64 pid = process.processId();
    process.waitForFinished();
    return pid;
}

QByteArray bootId()
{
    QFile file(QStringLiteral("/proc/sys/kernel/random/boot_id"));
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

QByteArray folderLines(const QString &folder)
{
    const QFileInfo info(folder);
    QProcess stat;
    stat.start(QStringLiteral("stat"), {"-c", "%d %i", folder});
    stat.waitForFinished();
    return "folder " + QFile::encodeName(info.canonicalFilePath()) + "\ninode " +
           stat.readAllStandardOutput().trimmed() + "\n";
}

} // namespace

void TestProcessTree::init()
{
    dir = new ToolDir;
    QVERIFY(dir->isValid());
    simulator = QFileInfo(dir->filePath("uuu")).symLinkTarget();
    QVERIFY(!simulator.isEmpty());
}

void TestProcessTree::cleanup()
{
    delete w;
    w = nullptr;
    for (const ToolCall &call : dir->toolCalls()) {
        if (processAlive(call.pid))
            ::kill(pid_t(call.pid), SIGKILL);
    }
    for (QProcess *helper : qAsConst(helpers)) {
        if (helper->state() != QProcess::NotRunning && helper->processId() > 0) {
            helper->kill();
            helper->waitForFinished(5000);
        }
        delete helper;
    }
    helpers.clear();
    delete dir;
    dir = nullptr;
}

void TestProcessTree::installWrapper(const QByteArray &script)
{
    dir->removeTool();
    dir->writeFile("uuu", QByteArray(script).replace("SIM", QFile::encodeName(simulator)));
    QVERIFY(QFile::setPermissions(dir->filePath("uuu"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

void TestProcessTree::openWindow(const QByteArray &boardKeys)
{
    QByteArray scenario;
    for (const QString &port : ports)
        scenario += "board " + port.toUtf8() + " " + boardKeys + "\n";
    w = dir->openWindow(scenario);
    QCOMPARE(w->findRowByPath(ports.last()), ports.size() - 1);
}

void TestProcessTree::startAll(const QByteArray &text)
{
    QVERIFY(QMetaObject::invokeMethod(w, "runAll"));
    QTRY_COMPARE(dir->flashPids().size(), ports.size());
    for (const QString &port : ports) {
        const QString log = "logs/" + QString(port).replace(':', '_') + "_log.txt";
        QTRY_VERIFY2(dir->readFile(log).contains(text), qPrintable(log));
    }
}

QList<qint64> TestProcessTree::liveTools() const
{
    QList<qint64> pids;
    for (const ToolCall &call : dir->toolCalls()) {
        if (processAlive(call.pid))
            pids << call.pid;
    }
    return pids;
}

void TestProcessTree::startLeftover(const QString &folder, bool flashing, QProcess **leftover)
{
    auto *helper = new QProcess;
    *leftover = helper;
    helpers << helper;
    helper->setWorkingDirectory(folder);
    if (flashing) {
        QFile::remove(folder + "/all_uuu_temp.auto");
        QVERIFY(QFile::copy(dir->filePath("scripts/emmc/all_uuu.auto"), folder + "/all_uuu_temp.auto"));
        const QByteArray image = '"' + QFile::encodeName(dir->filePath("sample.img")) + '"';
        dir->writeFile(folder + "/all_uuu_temp.auto",
                       dir->readFile(folder + "/all_uuu_temp.auto").replace("_file", image));
        dir->writeFile(folder + "/uuu_scenario.txt", "board 6:1 outcome=hang@30\n");
        helper->start(QStringLiteral("setsid"), {simulator, "-d", "-m", "6:1", "all_uuu_temp.auto"});
    } else {
        helper->start(QStringLiteral("setsid"), {"sleep", "60"});
    }
    helper->waitForStarted();
    QTRY_COMPARE(groupOf(helper->processId()), helper->processId());
}

void TestProcessTree::writeStaleLock(const QByteArray &recordLines)
{
    const qint64 holder = endedPid();
    dir->writeFile(QLatin1String(StationLockFileName), QByteArray::number(holder) + "\n" +
                                                           QCoreApplication::applicationName().toUtf8() + "\n" +
                                                           QSysInfo::machineHostName().toUtf8() + "\n");
    dir->writeFile(RecordName, "velmora-station-record 1\npid " + QByteArray::number(holder) + "\nstarted 1\nhost " +
                                   QSysInfo::machineHostName().toUtf8() + "\n" + recordLines + "end\n");
}

void TestProcessTree::takeoverEndsLeftoverTools_data()
{
    QTest::addColumn<bool>("inThisFolder");
    QTest::addColumn<bool>("thisBoot");
    QTest::addColumn<bool>("recordOfThisFolder");
    QTest::addColumn<bool>("inRecordedGroup");
    QTest::addColumn<bool>("flashing");
    QTest::addColumn<bool>("ended");
    QTest::newRow("a process of a recorded group") << true << true << true << true << false << true;
    // Its id may have been reused by a process that is none of ours.
    QTest::newRow("a process of the group working elsewhere") << false << true << true << true << false << false;
    QTest::newRow("a record of an earlier boot") << true << false << true << true << false << false;
    QTest::newRow("a record copied from another folder") << true << true << false << true << false << false;
    QTest::newRow("a flashing tool that left its group") << true << true << true << false << true << true;
    QTest::newRow("a process here that is no flashing tool") << true << true << true << false << false << false;
    QTest::newRow("a flashing tool elsewhere") << false << true << true << false << true << false;
}

void TestProcessTree::takeoverEndsLeftoverTools()
{
    QFETCH(bool, inThisFolder);
    QFETCH(bool, thisBoot);
    QFETCH(bool, recordOfThisFolder);
    QFETCH(bool, inRecordedGroup);
    QFETCH(bool, flashing);
    QFETCH(bool, ended);
    QTemporaryDir elsewhere;
    QProcess *leftover = nullptr;
    startLeftover(inThisFolder ? dir->path() : elsewhere.path(), flashing, &leftover);
    if (QTest::currentTestFailed())
        return;
    const qint64 pid = leftover->processId();
    const qint64 group = inRecordedGroup ? pid : endedPid();
    writeStaleLock("boot " + (thisBoot ? bootId() : QByteArray("0-earlier-boot")) + "\n" +
                   folderLines(recordOfThisFolder ? dir->path() : elsewhere.path()) + "group " +
                   QByteArray::number(group) + "\n");

    // What claim() says on standard error.
    QTemporaryFile errors;
    QVERIFY(errors.open());
    std::fflush(stderr);
    const int savedStderr = ::dup(STDERR_FILENO);
    ::dup2(errors.handle(), STDERR_FILENO);
    MessageBoxCloser boxes;
    bool claimed = false;
    {
        StationLock station;
        claimed = station.claim();
    }
    std::fflush(stderr);
    ::dup2(savedStderr, STDERR_FILENO);
    ::close(savedStderr);
    QFile saidFile(errors.fileName());
    QVERIFY(saidFile.open(QIODevice::ReadOnly));
    const QByteArray said = saidFile.readAll();

    QVERIFY2(claimed, said.constData());
    QCOMPARE(boxes.closedCount(), 0);
    if (ended) {
        QVERIFY(leftover->waitForFinished(5000));
        QCOMPARE(leftover->exitStatus(), QProcess::CrashExit);
        QVERIFY2(said.contains("left running in this station folder"), said.constData());
        QVERIFY2(said.contains(": " + QByteArray::number(pid) + ";") ||
                     said.contains(": " + QByteArray::number(pid) + ")"),
                 said.constData());
    } else {
        QTest::qWait(200);
        QCOMPARE(leftover->state(), QProcess::Running);
        QVERIFY2(!said.contains("left running"), said.constData());
    }
}

// A station folder copied with its lock (cp -a for a second rack) is a
// station of its own; the original stays held.
void TestProcessTree::copiedLockDoesNotHoldTheCopy()
{
    MessageBoxCloser boxes;
    StationLock original;
    QVERIFY(original.claim());
    QTemporaryDir copies;
    const QString copy = copies.filePath("rack-2");
    QCOMPARE(QProcess::execute(QStringLiteral("cp"), {"-a", dir->path(), copy}), 0);
    QVERIFY(QFileInfo::exists(copy + "/" + StationLockFileName));

    QVERIFY(QDir::setCurrent(copy));
    {
        StationLock inCopy;
        QVERIFY2(inCopy.claim(), qPrintable(inCopy.refusal()));
        StationLock second;
        QVERIFY(!second.claim());
    }
    QVERIFY(QDir::setCurrent(dir->path()));
    StationLock again;
    QVERIFY(!again.claim());
    QCOMPARE(boxes.closedCount(), 2);
}

void TestProcessTree::everyJobEndEndsTheWrappedTool_data()
{
    QTest::addColumn<QByteArray>("wrapper");
    QTest::addColumn<QString>("ending");
    const QByteArray child = "#!/bin/sh\nSIM \"$@\"\n";
    // The real tool leaves the wrapper's group (and session).
    const QByteArray escaping = "#!/bin/sh\nsetsid SIM \"$@\"\n";
    for (const char *ending : {"Stop", "StopAll", "board vanishes", "completion", "failure word", "teardown"}) {
        QTest::addRow("child, %s", ending) << child << QString::fromLatin1(ending);
        QTest::addRow("setsid child, %s", ending) << escaping << QString::fromLatin1(ending);
    }
}

void TestProcessTree::everyJobEndEndsTheWrappedTool()
{
    QFETCH(QByteArray, wrapper);
    QFETCH(QString, ending);
    installWrapper(wrapper);
    if (ending == "completion") {
        openWindow("outcome=okhang");
        startAll("->Okay");
        QTRY_COMPARE(w->statusLabelAt(0)->text(), QStringLiteral("Finished"));
    } else if (ending == "failure word") {
        // The tool stays after its failure line, silent.
        openWindow("outcome=hang@0 line=\"{port}>Fail: {pct}%\"");
        startAll("Fail: 0%");
        QTRY_COMPARE(w->statusLabelAt(0)->text(), QStringLiteral("Failed"));
    } else {
        openWindow("outcome=hang@30");
        startAll("30%");
        QCOMPARE(liveTools().size(), ports.size());
    }

    if (ending == "Stop") {
        for (const QString &port : ports)
            w->actionButtonAt(w->findRowByPath(port))->click();
    } else if (ending == "StopAll") {
        QVERIFY(QMetaObject::invokeMethod(w, "stopAll"));
    } else if (ending == "board vanishes") {
        QByteArray scenario = "log tool.log\n";
        for (const QString &port : ports)
            scenario += "board " + port.toUtf8() + " listed=0\n";
        dir->writeScenario(scenario);
        w->rescanDevices();
    } else if (ending == "teardown") {
        delete w;
        w = nullptr;
        // Teardown returns once everything has been ended and reaped.
        QCOMPARE(liveTools(), QList<qint64>());
        return;
    }
    // Gone, and reaped: a zombie still counts as alive here.
    QTRY_COMPARE(liveTools(), QList<qint64>());
}

void TestProcessTree::wrapperExitingEndsItsChild_data()
{
    QTest::addColumn<QByteArray>("wrapper");
    QTest::newRow("child") << QByteArray("#!/bin/sh\n[ \"$1\" = -d ] || exec SIM \"$@\"\nSIM \"$@\" &\nsleep 0.5\n");
    QTest::newRow("setsid child") << QByteArray(
        "#!/bin/sh\n[ \"$1\" = -d ] || exec SIM \"$@\"\nsetsid SIM \"$@\" &\nsleep 0.5\n");
}

// The wrapper exits by itself while the real tool still runs: the job is over
// (failed: an exit code 0 at 30 % is no completion), and so is the tool.
void TestProcessTree::wrapperExitingEndsItsChild()
{
    QFETCH(QByteArray, wrapper);
    installWrapper(wrapper);
    openWindow("outcome=hang@30");
    startAll("30%");
    for (const QString &port : ports)
        QTRY_COMPARE(w->statusLabelAt(w->findRowByPath(port))->text(), QStringLiteral("Failed"));
    QTRY_COMPARE(liveTools(), QList<qint64>());
}

// The lock's record names the groups of the running tools, written once for
// a whole StartAll rather than once per board.
void TestProcessTree::recordFollowsRunningTools()
{
    MessageBoxCloser boxes;
    StationLock station;
    QVERIFY(station.claim());
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    QVERIFY(watch >= 0);
    QVERIFY(::inotify_add_watch(watch, QFile::encodeName(dir->path()).constData(), IN_MOVED_TO | IN_CLOSE_WRITE) >= 0);
    const auto recordWrites = [watch] {
        int writes = 0;
        alignas(inotify_event) char buffer[64 * 1024];
        ssize_t length = 0;
        while ((length = ::read(watch, buffer, sizeof buffer)) > 0) {
            for (char *at = buffer; at < buffer + length;) {
                const auto *event = reinterpret_cast<const inotify_event *>(at);
                writes += event->len && qstrcmp(event->name, RecordName) == 0 ? 1 : 0;
                at += sizeof(inotify_event) + event->len;
            }
        }
        return writes;
    };
    const auto recordedGroups = [this] {
        QList<qint64> groups;
        for (const QByteArray &line : dir->readFile(RecordName).split('\n')) {
            if (line.startsWith("group "))
                groups << line.mid(6).toLongLong();
        }
        return groups;
    };

    QStringList many;
    for (int board = 1; board <= 16; ++board)
        many << QStringLiteral("7:%1").arg(board);
    QByteArray scenario;
    for (const QString &port : many)
        scenario += "board " + port.toUtf8() + " outcome=hang@30\n";
    w = dir->openWindow(scenario);
    QTest::qWait(50);
    recordWrites(); // the listing's
    QVERIFY(QMetaObject::invokeMethod(w, "runAll"));
    QTRY_COMPARE(dir->flashPids().size(), many.size());
    QList<qint64> groups;
    for (qint64 pid : dir->flashPids())
        groups << groupOf(pid);
    std::sort(groups.begin(), groups.end());
    QTRY_COMPARE(recordedGroups(), groups);
    // One write for the StartAll; a device event from elsewhere on the
    // machine may add a rescan's two.
    const int writes = recordWrites();
    QVERIFY2(writes < many.size() / 2, qPrintable(QStringLiteral("%1 writes for one StartAll").arg(writes)));

    QVERIFY(QMetaObject::invokeMethod(w, "stopAll"));
    QTRY_COMPARE(liveTools(), QList<qint64>());
    QTRY_COMPARE(recordedGroups(), QList<qint64>());
    ::close(watch);
    delete w;
    w = nullptr;
}

int main(int argc, char *argv[])
{
    if (!inOwnPidNamespace()) {
        std::fprintf(stderr,
                     "SKIP: tst_processtree runs only in a PID namespace of its own (tests/run-in-pidns.sh %s)\n",
                     argv[0]);
        return 77;
    }
    QApplication app(argc, argv);
    TestProcessTree test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_processtree.moc"
