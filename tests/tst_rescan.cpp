#include "testsupport.h"
#include "widget.h"

#include <QComboBox>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QtTest>

#ifdef Q_OS_LINUX
#include <unistd.h>
#endif

// Rescans keep statuses and running jobs, and end the jobs of boards that
// are gone.
class TestRescan : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void statusesSurvive();
    void vanishedRunningDevicesLeaveFailRows();
    void vanishedIdleDevicesLeaveNoRow();
    void missingToolDuringRescan();
    void realDeviceEventRescansOnce();

private:
    Widget *makeWidget(const QByteArray &boards);
    QTableWidget *table() { return w->findChild<QTableWidget *>("tableWidget"); }
    QString status(int row) { return w->statusLabelAt(row)->text(); }
    QPushButton *button(const char *name) { return w->findChild<QPushButton *>(name); }
    QMap<QString, qint64> flashPids();
    int listingRuns();

    ToolDir *dir = nullptr;
    Widget *w = nullptr;
};

void TestRescan::init()
{
    dir = new ToolDir;
    QVERIFY(dir->isValid());
}

void TestRescan::cleanup()
{
    delete w;
    w = nullptr;
    delete dir;
    dir = nullptr;
}

Widget *TestRescan::makeWidget(const QByteArray &boards)
{
    w = dir->openWindow(boards);
    return w;
}

QMap<QString, qint64> TestRescan::flashPids()
{
    QMap<QString, qint64> pids;
    for (const ToolCall &call : dir->toolCalls()) {
        if (call.args.value(0) == QLatin1String("-d"))
            pids.insert(call.args.value(2), call.pid);
    }
    return pids;
}

int TestRescan::listingRuns()
{
    int runs = 0;
    for (const ToolCall &call : dir->toolCalls())
        runs += call.args.value(0) == QLatin1String("-lsusb");
    return runs;
}

void TestRescan::statusesSurvive()
{
    makeWidget("board 1:1 duration_ms=100\nboard 1:2 outcome=hang@40 duration_ms=200\n");
    w->runOrStopDevice("1:1");
    QTRY_COMPARE(status(0), QStringLiteral("Finished"));
    w->runOrStopDevice("1:2");
    QTRY_VERIFY(dir->readFile("logs/1_2_log.txt").contains("40%"));
    w->modeComboAt(0)->setCurrentText("Kernel");

    dir->writeScenario("log tool.log\nboard 1:1\nboard 1:2 outcome=hang@40\nboard 1:5\n");
    w->rescanDevices();
    QCOMPARE(table()->rowCount(), 3);
    QCOMPARE(status(0), QStringLiteral("Finished"));
    QCOMPARE(w->actionButtonAt(0)->text(), QStringLiteral("Run"));
    QCOMPARE(w->progressBarAt(0)->value(), 0);
    QCOMPARE(w->modeComboAt(0)->currentText(), QStringLiteral("Image"));
    QCOMPARE(status(1), QStringLiteral("Running"));
    QCOMPARE(w->actionButtonAt(1)->text(), QStringLiteral("Stop"));
    QCOMPARE(status(2), QStringLiteral("Idle"));
    QVERIFY(processAlive(flashPids().value("1:2")));
    QVERIFY(button("stopAllButton")->isEnabled());

    // The job goes on and can still be stopped from the rebuilt row.
    QTest::mouseClick(w->actionButtonAt(1), Qt::LeftButton);
    QTRY_COMPARE(status(1), QStringLiteral("Stopped"));
    QTRY_VERIFY(!processAlive(flashPids().value("1:2")));
}

void TestRescan::vanishedRunningDevicesLeaveFailRows()
{
    makeWidget("board 1:1 outcome=hang@30\nboard 2:5 outcome=hang@30\nboard 1:3 outcome=hang@30\n");
    QMetaObject::invokeMethod(w, "runAll");
    QTRY_COMPARE(flashPids().size(), 3);
    QTRY_VERIFY(dir->readFile("logs/2_5_log.txt").contains("30%"));
    const QMap<QString, qint64> pids = flashPids();

    dir->writeScenario("log tool.log\nboard 1:1 outcome=hang@30\n");
    QTest::ignoreMessage(QtDebugMsg, "Target Will Kill uuu.exe");
    QTest::ignoreMessage(QtDebugMsg, "Target Will Kill uuu.exe");
    w->rescanDevices();
    QCOMPARE(table()->rowCount(), 3);
    QCOMPARE(status(0), QStringLiteral("Running"));
    const QStringList lost = {"1:3", "2:5"}; // ascending order of their paths
    for (int i = 0; i < 2; ++i) {
        const int row = 1 + i;
        QCOMPARE(table()->item(row, 0)->text(), lost.at(i));
        QCOMPARE(table()->item(row, 6)->text(), QStringLiteral("N/A"));
        QCOMPARE(status(row), QStringLiteral("Fail"));
        QVERIFY(!w->actionButtonAt(row));
        QVERIFY(!w->progressBarAt(row));
        QVERIFY(!w->modeComboAt(row));
        QVERIFY(!table()->item(row, 1));
    }
    QTRY_VERIFY(!processAlive(pids.value("2:5")));
    QTRY_VERIFY(!processAlive(pids.value("1:3")));
    QVERIFY(processAlive(pids.value("1:1")));
    QTest::qWait(50);
    // The killed jobs are ended without touching their rows, and count as no
    // failure of the tool.
    QCOMPARE(status(1), QStringLiteral("Fail"));
    QCOMPARE(status(2), QStringLiteral("Fail"));
    QCOMPARE(w->findChild<QLineEdit *>("lineEdit_2")->text(), QStringLiteral("Failed Devices: 0"));
    QVERIFY(button("startAllButton")->isEnabled());

    // StartAll passes over the lost-job rows.
    QMetaObject::invokeMethod(w, "runAll");
    QCOMPARE(flashPids().size(), 3);

    // Stopping the last job closes the last log.
    w->runOrStopDevice("1:1");
    QTRY_COMPARE(status(0), QStringLiteral("Stopped"));
    QVERIFY(!logHeldOpen());
    QTRY_VERIFY(!button("stopAllButton")->isEnabled());

    // The next rescan drops the lost-job rows and acts on no job.
    w->rescanDevices();
    QCOMPARE(table()->rowCount(), 1);
    QCOMPARE(status(0), QStringLiteral("Stopped"));

    // A lost device that is listed again shows "Fail" with the caption "Run".
    dir->writeScenario("log tool.log\nboard 1:1\nboard 2:5 outcome=hang@10\n");
    w->rescanDevices();
    QCOMPARE(status(1), QStringLiteral("Idle"));
    w->runOrStopDevice("2:5");
    QTRY_VERIFY((w->updateButtonStates(), button("stopAllButton")->isEnabled()));
    dir->writeScenario("log tool.log\nboard 1:1\n");
    QTest::ignoreMessage(QtDebugMsg, "Target Will Kill uuu.exe");
    w->rescanDevices();
    QCOMPARE(status(1), QStringLiteral("Fail"));
    dir->writeScenario("log tool.log\nboard 1:1\nboard 2:5\n");
    w->rescanDevices();
    QCOMPARE(table()->rowCount(), 2);
    QCOMPARE(status(1), QStringLiteral("Fail"));
    QCOMPARE(w->actionButtonAt(1)->text(), QStringLiteral("Run"));
    QTRY_VERIFY(!button("stopAllButton")->isEnabled());
}

void TestRescan::vanishedIdleDevicesLeaveNoRow()
{
    makeWidget("board 1:1 duration_ms=100\nboard 1:2\nboard 1:3\n");
    w->runOrStopDevice("1:1");
    QTRY_COMPARE(status(0), QStringLiteral("Finished"));
    w->statusLabelAt(2)->setText("Failed");
    dir->writeScenario("log tool.log\n");
    w->rescanDevices();
    QCOMPARE(table()->rowCount(), 0);
    QVERIFY(!button("startAllButton")->isEnabled());

    // A rescan on an empty table only lists.
    dir->writeScenario("log tool.log\nboard 1:1\nboard 1:2\n");
    w->rescanDevices();
    QCOMPARE(table()->rowCount(), 2);
    QCOMPARE(status(0), QStringLiteral("Idle"));
    QCOMPARE(status(1), QStringLiteral("Idle"));
}

void TestRescan::missingToolDuringRescan()
{
    makeWidget("board 1:1 outcome=hang@10\nboard 1:2\n");
    w->runOrStopDevice("1:1");
    QTRY_VERIFY((w->updateButtonStates(), button("stopAllButton")->isEnabled()));
    QTRY_VERIFY(flashPids().value("1:1") > 0);
    const qint64 pid = flashPids().value("1:1");
    dir->removeTool();
    QTest::ignoreMessage(QtDebugMsg, "Target Will Kill uuu.exe");
    w->rescanDevices();
    QCOMPARE(table()->rowCount(), 1);
    QCOMPARE(table()->item(0, 0)->text(), QStringLiteral("1:1"));
    QCOMPARE(status(0), QStringLiteral("Fail"));
    QTRY_VERIFY(!processAlive(pid));
    QTRY_VERIFY(!button("stopAllButton")->isEnabled());
    QVERIFY(!logHeldOpen());
}

void TestRescan::realDeviceEventRescansOnce()
{
#ifndef Q_OS_LINUX
    QSKIP("raises a kernel device event through /sys");
#else
    if (::geteuid() != 0)
        QSKIP("raising a kernel device event needs root");
    QString sysPath;
    for (const QString &candidate : QDir("/sys/class/tty").entryList({"ttyS*"}, QDir::AllEntries | QDir::System)) {
        QFile probe("/sys/class/tty/" + candidate + "/uevent");
        if (probe.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && probe.write("change") == 6) {
            sysPath = "/sys/class/tty/" + candidate;
            break;
        }
    }
    if (sysPath.isEmpty())
        QSKIP("no serial port's uevent file accepts a write");

    makeWidget("board 1:1\n");
    QTest::qWait(200); // let the probe's own event pass
    QCOMPARE(table()->rowCount(), 1);
    const int before = listingRuns();

    dir->writeScenario("log tool.log\nboard 1:1\nboard 1:2\n");
    QFile uevent(sysPath + "/uevent");
    QVERIFY(uevent.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    QVERIFY(uevent.write("add") == 3);
    uevent.close();
    QTest::qWait(1000);
    if (listingRuns() == before)
        QSKIP("no device event reached the window (netlink blocked here)");
    QCOMPARE(listingRuns(), before + 1);
    QCOMPARE(table()->rowCount(), 2);
    QCOMPARE(w->findChild<QLineEdit *>("lineEdit")->text(), QString::fromUtf8("Connected Devices\xEF\xBC\x9A"
                                                                              "2"));
#endif
}

QTEST_MAIN(TestRescan)
#include "tst_rescan.moc"
