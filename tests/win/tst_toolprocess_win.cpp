// The flashing tool's process on Windows.
//
// A start that fails for lack of a transient resource is tried again, a few
// times at most; other failures are not.

#include "testsupport.h"
#include "toolprocess.h"

#include <QApplication>
#include <QtTest>

#include <windows.h>

namespace {

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

private:
    ToolDir *dir = nullptr;
};

void TestToolProcess::init()
{
    dir = new ToolDir;
    QVERIFY(dir->isValid());
}

void TestToolProcess::cleanup()
{
    delete dir;
    dir = nullptr;
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

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    TestToolProcess test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_toolprocess_win.moc"
