// The flashing tool's process on Windows.
//
// A start that fails for lack of a transient resource is tried again, a few
// times at most; other failures are not.
//
// A job is its whole process tree. The flashing tool here is a launcher
// (uuu_wrapper.exe as uuu.exe) that runs the simulator as its own child; no
// simulator may outlive its job, whether the job is stopped, the window
// closes or Velmora is killed from outside. With "--station DIR" this program
// is that Velmora: it opens the window in DIR and starts every board, and
// its first tool start binds its children as in the application.

#include "app/widget.h"
#include "discovery/toolprocess.h"
#include "testsupport.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <windows.h>

namespace {

const QByteArray twoHungBoards = "board 1:1 outcome=hang@10\nboard 1:2 outcome=hang@10\n";

int runStation(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QDir::setCurrent(QString::fromLocal8Bit(argv[2]));
    Widget w;
    w.findChild<QLineEdit *>(QStringLiteral("lineEdit_All"))->setText(QStringLiteral("sample.img"));
    QMetaObject::invokeMethod(&w, "runAll");
    return app.exec();
}

// Starts this program as the station above, working in dir.
HANDLE startStation(const QString &dir)
{
    const QString self = QDir::toNativeSeparators(QCoreApplication::applicationFilePath());
    std::wstring commandLine = QStringLiteral("\"%1\" --station \"%2\" -platform offscreen")
                                   .arg(self, QDir::toNativeSeparators(dir))
                                   .toStdWString();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
        return nullptr;
    CloseHandle(info.hThread);
    return info.hProcess;
}

bool stillActive(HANDLE process)
{
    DWORD code = 0;
    return GetExitCodeProcess(process, &code) && code == STILL_ACTIVE;
}

// A tool whose first starts fail as a station reports the given error.
class RefusedStarts : public ToolProcess
{
public:
    RefusedStarts(int refusals, int errorCode)
        : m_refusals(refusals)
        , m_errorCode(errorCode)
    {}
    int attempts = 0;

protected:
    void startOnce(const QString &program, const QStringList &arguments, OpenMode mode) override
    {
        if (++attempts > m_refusals) {
            ToolProcess::startOnce(program, arguments, mode);
            return;
        }
        // A real failed start, with the station's error in its text.
        ToolProcess::startOnce(QStringLiteral("no_such_tool.exe"), arguments, mode);
        setErrorString(QProcess::tr("Process failed to start: %1").arg(qt_error_string(m_errorCode)));
    }

private:
    int m_refusals;
    int m_errorCode;
};

} // namespace

class TestToolProcess : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void transientStartFailures_data();
    void transientStartFailures();
    void wrappedToolEndsWithJob_data();
    void wrappedToolEndsWithJob();

private:
    bool openSimulators(const QStringList &ports);
    QStringList simulatorsLeft() const;

    ToolDir *dir = nullptr;
    Widget *w = nullptr;
    HANDLE station = nullptr;
    QMap<QString, HANDLE> simulators;
};

void TestToolProcess::init()
{
    dir = new ToolDir;
    QVERIFY(dir->isValid());
    QVERIFY(installSimulatorAs(QStringLiteral(VELMORA_WRAPPER_PATH), dir->filePath(toolFileName())));
    QVERIFY(QFile::copy(QStringLiteral(VELMORA_SIM_PATH), dir->filePath(QStringLiteral("uuu_sim.exe"))));
}

void TestToolProcess::cleanup()
{
    delete w;
    w = nullptr;
    if (station) {
        TerminateProcess(station, 1);
        WaitForSingleObject(station, 10000);
        CloseHandle(station);
        station = nullptr;
    }
    // A simulator that a failed case leaves running would flash on.
    for (HANDLE simulator : qAsConst(simulators)) {
        TerminateProcess(simulator, 1);
        WaitForSingleObject(simulator, 10000);
        CloseHandle(simulator);
    }
    simulators.clear();
    delete dir;
    dir = nullptr;
}

// Takes a handle on the simulator of each port once it runs, so that a
// process id reused after its end cannot pass for it.
bool TestToolProcess::openSimulators(const QStringList &ports)
{
    const QMap<QString, qint64> pids = dir->flashPids();
    for (const QString &port : ports) {
        const qint64 pid = pids.value(port);
        if (simulators.contains(port) || pid <= 0)
            continue;
        HANDLE process =
            OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_TERMINATE, FALSE, DWORD(pid));
        if (process && stillActive(process))
            simulators.insert(port, process);
        else if (process)
            CloseHandle(process);
    }
    return simulators.size() == ports.size();
}

// Ports whose simulator is still running after a while to end.
QStringList TestToolProcess::simulatorsLeft() const
{
    QStringList left;
    for (auto it = simulators.cbegin(); it != simulators.cend(); ++it) {
        if (WaitForSingleObject(it.value(), 10000) != WAIT_OBJECT_0)
            left << it.key();
    }
    return left;
}

void TestToolProcess::transientStartFailures_data()
{
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<int>("refusals");
    QTest::addColumn<int>("attempts");
    QTest::addColumn<bool>("started");
    // Wine's report when the host could not make the new process.
    QTest::newRow("no room for a process, twice") << int(ERROR_INTERNAL_ERROR) << 2 << 3 << true;
    QTest::newRow("out of memory, once") << int(ERROR_NOT_ENOUGH_MEMORY) << 1 << 2 << true;
    QTest::newRow("commit limit, three times") << int(ERROR_COMMITMENT_LIMIT) << 3 << 4 << true;
    QTest::newRow("no system resources, for good") << int(ERROR_NO_SYSTEM_RESOURCES) << 100 << 4 << false;
    QTest::newRow("access denied") << int(ERROR_ACCESS_DENIED) << 1 << 1 << false;
    QTest::newRow("no program image") << int(ERROR_BAD_EXE_FORMAT) << 1 << 1 << false;
}

void TestToolProcess::transientStartFailures()
{
    QFETCH(int, errorCode);
    QFETCH(int, refusals);
    QFETCH(int, attempts);
    QFETCH(bool, started);
    const QRegularExpression retried(QStringLiteral("^Start of .*uuu\\.exe retried after: .*%1$")
                                         .arg(QRegularExpression::escape(qt_error_string(errorCode))));
    for (int i = 1; i < attempts; ++i)
        QTest::ignoreMessage(QtDebugMsg, retried);
    RefusedStarts tool(refusals, errorCode);
    QCOMPARE(tool.startTool(QStringLiteral(".\\uuu.exe"), {QStringLiteral("-lsusb")}), started);
    QCOMPARE(tool.attempts, attempts);
    if (started) {
        QVERIFY(tool.waitForFinished(15000));
        QVERIFY(tool.readAllStandardOutput().contains("uuu_sim"));
    } else {
        QCOMPARE(tool.state(), QProcess::NotRunning);
        QVERIFY(tool.startError().endsWith(qt_error_string(errorCode)));
    }
}

void TestToolProcess::wrappedToolEndsWithJob_data()
{
    QTest::addColumn<QString>("end");
    QTest::newRow("each row's Stop") << "Stop";
    QTest::newRow("window closed") << "close";
    QTest::newRow("Velmora killed") << "kill";
}

void TestToolProcess::wrappedToolEndsWithJob()
{
    QFETCH(QString, end);
    const QStringList ports = {"1:1", "1:2"};
    if (end == QLatin1String("kill")) {
        dir->writeScenario("log tool.log\n" + twoHungBoards);
        station = startStation(dir->path());
        QVERIFY(station);
    } else {
        w = dir->openWindow(twoHungBoards);
        QMetaObject::invokeMethod(w, "runAll");
    }
    QTRY_VERIFY_WITH_TIMEOUT(openSimulators(ports), 15000);
    QTRY_VERIFY(dir->readFile(QStringLiteral("logs/1_2_log.txt")).contains("10%"));
    // The simulators are grandchildren: what Velmora started is the launcher.
    const QList<int> children = childPids();
    for (const QString &port : ports)
        QVERIFY(!children.contains(int(dir->flashPids().value(port))));

    if (end == QLatin1String("Stop")) {
        for (const QString &port : ports)
            QTest::mouseClick(w->actionButtonAt(w->findRowByPath(port)), Qt::LeftButton);
        for (const QString &port : ports)
            QTRY_COMPARE(w->statusLabelAt(w->findRowByPath(port))->text(), QStringLiteral("Stopped"));
    } else if (end == QLatin1String("close")) {
        w->close();
        delete w;
        w = nullptr;
    } else {
        // As the task manager ends a program: no chance to clean up.
        QVERIFY(TerminateProcess(station, 1));
        QCOMPARE(WaitForSingleObject(station, 10000), DWORD(WAIT_OBJECT_0));
    }
    QCOMPARE(simulatorsLeft(), QStringList());
}

int main(int argc, char *argv[])
{
    if (argc > 2 && qstrcmp(argv[1], "--station") == 0)
        return runStation(argc, argv);
    QApplication app(argc, argv);
    TestToolProcess test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_toolprocess_win.moc"
