#include "app/descriptorlimit.h"
#include "app/widget.h"
#include "testsupport.h"

#include "bench/procfs.h"
#include "discovery/toolprocess.h"
#include "flashing/flashprocess.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

// A station short of file descriptors: StartAll with a limit just above what
// the window needs. Jobs that get their descriptors flash, the others fail;
// nothing hangs, nothing leaks, and no process but the window's own tools is
// ever signalled.
//
// Run only through run-in-pidns.sh: a failed start followed by a kill can
// become kill(-1, SIGKILL) in the toolkit, which outside a PID namespace of
// its own would end every process root may signal. main() refuses to run
// anywhere else.
class TestFdLimit : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void startAllShortOfDescriptors();
    void everyPointOfExhaustion_data();
    void everyPointOfExhaustion();
    void rescanShortOfDescriptors();
    void startupRaisesSoftLimit();

private:
    void makeWidget(const QStringList &ports);
    QString status(int row) const { return w->statusLabelAt(row)->text(); }
    QString port(int row) const { return w->findChild<QTableWidget *>("tableWidget")->item(row, 0)->text(); }
    QString failedText() const { return w->findChild<QLineEdit *>("lineEdit_2")->text(); }
    int flashRuns(const QString &port) const;
    // Starts all jobs with the soft descriptor limit slack above the highest
    // descriptor in use, waits for every row to end, and puts the limit back.
    void startAllWithLimit(int slack);
    void checkNothingLeft();

    QProcess sentinel;
    ToolDir *dir = nullptr;
    Widget *w = nullptr;
    rlimit original{};
    int fdsBefore = 0;
};

namespace {

QList<int> openFdNumbers()
{
    const std::vector<int> fds = procfs::descriptors();
    return QList<int>(fds.begin(), fds.end());
}

// Running or sleeping, not a zombie and not gone.
bool livesOn(qint64 pid)
{
    if (pid <= 0 || ::kill(pid_t(pid), 0) != 0)
        return false;
    const char state = procfs::stat(pid_t(pid)).state;
    return state != 0 && state != 'Z';
}

// The soft limit under which exactly free descriptor numbers are unused:
// new descriptors take the lowest free numbers below the limit, and open ones
// above it stay usable.
int limitWithFree(const QList<int> &open, int free)
{
    int limit = 0;
    for (int unused = 0; unused < free || open.contains(limit); ++limit) {
        if (!open.contains(limit))
            ++unused;
    }
    return limit;
}

const char *const Ended[] = {"Finished", "Failed"};

bool ended(const QString &status)
{
    return status == QLatin1String(Ended[0]) || status == QLatin1String(Ended[1]);
}

} // namespace

void TestFdLimit::initTestCase()
{
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &original) == 0);
    // Any kill(-1) from this process would end it too.
    sentinel.start("sleep", {"300"});
    QVERIFY(sentinel.waitForStarted());
    // The undefined-behaviour sanitizer checks an object's dynamic type the
    // first time a call meets that type, and the check needs a pipe: out of
    // descriptors it fails and reports a call on a live object as one on no
    // object. The types the jobs' error paths meet are met here first.
    ToolProcess tool;
    FlashProcess job{Attempt()};
    QVERIFY(!tool.startError().isNull() && !job.startError().isNull());
}

void TestFdLimit::cleanupTestCase()
{
    QVERIFY(livesOn(sentinel.processId()));
    sentinel.kill();
    sentinel.waitForFinished();
}

void TestFdLimit::init()
{
    dir = new ToolDir;
    QVERIFY(dir->isValid());
}

void TestFdLimit::cleanup()
{
    ::setrlimit(RLIMIT_NOFILE, &original);
    delete w;
    w = nullptr;
    QTest::qWait(20);
    QVERIFY(livesOn(sentinel.processId()));
    delete dir;
    dir = nullptr;
}

void TestFdLimit::makeWidget(const QStringList &ports)
{
    QByteArray scenario;
    for (const QString &port : ports)
        scenario += "board " + port.toUtf8() + " duration_ms=600\n";
    w = dir->openWindow(scenario);
}

int TestFdLimit::flashRuns(const QString &port) const
{
    int runs = 0;
    for (const ToolCall &call : dir->toolCalls())
        runs += call.args.value(0) == QLatin1String("-d") && call.args.value(2) == port ? 1 : 0;
    return runs;
}

void TestFdLimit::startAllWithLimit(int slack)
{
    QTableWidget *table = w->findChild<QTableWidget *>("tableWidget");
    QVERIFY(w->generateScript("Image"));
    QTest::qWait(20);
    const QList<int> fds = openFdNumbers();
    fdsBefore = fds.size();
    rlimit starved = original;
    starved.rlim_cur = rlim_t(limitWithFree(fds, slack));
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &starved) == 0);
    QTest::mouseClick(w->findChild<QPushButton *>("startAllButton"), Qt::LeftButton);
    for (int row = 0; row < table->rowCount(); ++row)
        QTRY_VERIFY2_WITH_TIMEOUT(ended(status(row)), qPrintable(port(row) + ": " + status(row)), 60000);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &original) == 0);
}

void TestFdLimit::checkNothingLeft()
{
    // Only the sentinel is left of our children; the descriptors are back.
    QTRY_COMPARE(childPids(), QList<int>{int(sentinel.processId())});
    QTRY_VERIFY(w->findChildren<QProcess *>().isEmpty());
    QTRY_VERIFY2(openFdNumbers().size() <= fdsBefore, qPrintable(QString::number(openFdNumbers().size())));
    QVERIFY(livesOn(sentinel.processId()));
}

void TestFdLimit::startAllShortOfDescriptors()
{
    QStringList ports;
    for (int i = 1; i <= 32; ++i)
        ports << QStringLiteral("1:%1").arg(i);
    makeWidget(ports);
    QTableWidget *table = w->findChild<QTableWidget *>("tableWidget");
    QCOMPARE(table->rowCount(), 32);

    // Room for a few jobs, not for 32.
    startAllWithLimit(24);
    if (QTest::currentTestFailed())
        return;

    int finished = 0;
    QStringList failed;
    for (int row = 0; row < table->rowCount(); ++row) {
        if (status(row) == QLatin1String("Finished")) {
            // The boards that got their descriptors come first, and flashed.
            QVERIFY2(failed.isEmpty(), qPrintable(port(row) + " finished after a failed one"));
            QCOMPARE(flashRuns(port(row)), 1);
            ++finished;
        } else {
            failed << port(row);
        }
    }
    qInfo("%d of 32 boards flashed, %d failed", finished, int(failed.size()));
    QVERIFY(finished >= 1);
    QVERIFY(!failed.isEmpty());
    QVERIFY(failedText().startsWith(QStringLiteral("Failed Devices: %1 (").arg(failed.size())));
    for (const QString &port : qAsConst(failed))
        QVERIFY(failedText().contains("Device #" + port + ",") || failedText().contains("Device #" + port + ")"));
    checkNothingLeft();

    // With descriptors back, the failed boards flash on the next StartAll.
    QTest::mouseClick(w->findChild<QPushButton *>("startAllButton"), Qt::LeftButton);
    for (int row = 0; row < table->rowCount(); ++row)
        QTRY_COMPARE_WITH_TIMEOUT(status(row), QStringLiteral("Finished"), 60000);
    checkNothingLeft();
}

void TestFdLimit::everyPointOfExhaustion_data()
{
    // Each step of one more descriptor lets the jobs get one step further:
    // the template, the script, the tool's pipes and process handle, the log.
    QTest::addColumn<int>("slack");
    for (int slack = 0; slack <= 20; ++slack)
        QTest::newRow(qPrintable(QStringLiteral("%1 spare").arg(slack))) << slack;
}

void TestFdLimit::everyPointOfExhaustion()
{
    QFETCH(int, slack);
    const QStringList ports = {"2:1", "2:2", "2:3", "2:4"};
    makeWidget(ports);
    startAllWithLimit(slack);
    if (QTest::currentTestFailed())
        return;
    int failed = 0;
    for (int row = 0; row < ports.size(); ++row) {
        if (status(row) == QLatin1String("Failed"))
            ++failed;
        else
            QCOMPARE(flashRuns(port(row)), 1);
    }
    qInfo("%d of %d boards failed", failed, int(ports.size()));
    QCOMPARE(failedText().section(' ', 0, 2), QStringLiteral("Failed Devices: %1").arg(failed));
    checkNothingLeft();
}

void TestFdLimit::rescanShortOfDescriptors()
{
    // The boards are all there and flashing, but the window cannot start the
    // listing: that says nothing about the boards, and no job may end for it.
    const QStringList ports = {"3:1", "3:2", "3:3", "3:4"};
    QByteArray scenario;
    for (const QString &port : ports)
        scenario += "board " + port.toUtf8() + " duration_ms=1500\n";
    w = dir->openWindow(scenario);
    QTableWidget *table = w->findChild<QTableWidget *>("tableWidget");
    QVERIFY(w->generateScript("Image"));
    QTest::qWait(20);
    fdsBefore = openFdNumbers().size();
    QTest::mouseClick(w->findChild<QPushButton *>("startAllButton"), Qt::LeftButton);
    for (const QString &port : ports)
        QTRY_COMPARE(flashRuns(port), 1);

    rlimit starved = original;
    starved.rlim_cur = rlim_t(limitWithFree(openFdNumbers(), 0));
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &starved) == 0);
    w->rescanDevices();
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &original) == 0);

    QCOMPARE(table->rowCount(), ports.size());
    for (int row = 0; row < ports.size(); ++row) {
        QCOMPARE(port(row), ports.at(row));
        QTRY_COMPARE_WITH_TIMEOUT(status(row), QStringLiteral("Finished"), 10000);
    }
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 0"));
    checkNothingLeft();
}

int main(int argc, char *argv[])
{
    if (!inOwnPidNamespace()) {
        std::fprintf(stderr,
                     "SKIP: tst_fdlimit runs only in a PID namespace of its own "
                     "(tests/run-in-pidns.sh %s)\n",
                     argv[0]);
        return 77;
    }
    QApplication app(argc, argv);
    app.setAttribute(Qt::AA_Use96Dpi, true);
    TestFdLimit test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

// The desktop default soft limit leaves a full rack short; the application
// lifts it to the hard limit before anything else.
void TestFdLimit::startupRaisesSoftLimit()
{
    if (original.rlim_max == RLIM_INFINITY || original.rlim_max <= 64)
        QSKIP("needs a finite hard limit above 64");
    rlimit lowered = original;
    lowered.rlim_cur = 64;
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &lowered) == 0);
    QCOMPARE(raiseDescriptorLimit(), long(original.rlim_max));
    rlimit now{};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &now) == 0);
    QCOMPARE(now.rlim_cur, original.rlim_max);
    QCOMPARE(now.rlim_max, original.rlim_max);
}

#include "tst_fdlimit.moc"
