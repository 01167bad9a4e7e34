#include "app/widget.h"
#include "discovery/devicesourcefactory.h"
#include "testsupport.h"

#include <QElapsedTimer>
#include <QLineEdit>
#include <QTableWidget>
#include <QtTest>

// The window with the platform's own device-change source: a real kernel
// event reaches it and costs one listing. Needs root (a write to a device's
// uevent file); the other window tests use a fake source.
class TestKernelEvents : public QObject
{
    Q_OBJECT

private slots:
    void realDeviceEventRescansOnce();

private:
    int listingRuns(const ToolDir &dir) const;
};

int TestKernelEvents::listingRuns(const ToolDir &dir) const
{
    int runs = 0;
    for (const ToolCall &call : dir.toolCalls())
        runs += call.args.value(0) == QLatin1String("-lsusb");
    return runs;
}

void TestKernelEvents::realDeviceEventRescansOnce()
{
    const QString device = writableUeventDevice();
    if (device.isEmpty())
        QSKIP("no serial port's uevent file accepts a write (needs root)");

    ToolDir dir;
    QVERIFY(dir.isValid());
    setDeviceChangeSourceFactoryForTesting({});
    QScopedPointer<Widget> w(dir.openWindow("board 1:1\n"));
    QTest::qWait(200); // let the probe's own event pass
    const int before = listingRuns(dir);
    dir.writeScenario("log tool.log\nboard 1:1\nboard 1:2\n");
    QVERIFY(raiseUevent(device, "add"));
    QElapsedTimer wait;
    wait.start();
    while (listingRuns(dir) == before && wait.elapsed() < 3000)
        QTest::qWait(20);
    if (listingRuns(dir) == before)
        QSKIP("no device event reached the window (netlink blocked here)");
    QTest::qWait(1000);
    QCOMPARE(listingRuns(dir), before + 1);
    QCOMPARE(w->findChild<QTableWidget *>("tableWidget")->rowCount(), 2);
    QCOMPARE(w->findChild<QLineEdit *>("lineEdit")->text(), QString::fromUtf8("Connected Devices\xEF\xBC\x9A"
                                                                              "2"));
}

QTEST_MAIN(TestKernelEvents)
#include "tst_kernelevents.moc"
