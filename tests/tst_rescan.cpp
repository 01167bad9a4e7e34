#include "app/widget.h"
#include "discovery/fakedevicesource.h"
#include "discovery/listingrun.h"
#include "flashing/attemptsignals.h"
#include "testsupport.h"

#include <QComboBox>
#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QtTest>

#include <chrono>
#include <thread>

namespace {

// Resident memory of this process in KiB, now or at its peak ("VmRSS",
// "VmHWM"); -1 where /proc says nothing.
long memoryKib(const char *key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(QByteArray(key) + ':'))
            return line.mid(int(qstrlen(key)) + 1).trimmed().split(' ').first().toLong();
    }
    return -1;
}

// Makes the peak start again from the memory in use now.
bool resetMemoryPeak()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

} // namespace

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
    void failedListingChangesNothing_data();
    void failedListingChangesNothing();
    void overlongListingChangesNothing_data();
    void overlongListingChangesNothing();
    void choicesSurviveDeviceEvents();
    void listingCellsAreReadOnly();
    void eventBurstCostsFewListings();

private:
    Widget *makeWidget(const QByteArray &boards);
    QTableWidget *table() { return w->findChild<QTableWidget *>("tableWidget"); }
    QString status(int row) { return w->statusLabelAt(row)->text(); }
    QPushButton *button(const char *name) { return w->findChild<QPushButton *>(name); }
    QMap<QString, QString> flashScripts();
    int listingRuns();
    // Plugs a board in through the window's device-change source and waits
    // for the rescan it causes; false when none came.
    bool rescanThroughDeviceEvent();
    // Waits until no listing has run for a second.
    void waitForListingsToSettle();
    // Starts a job for every row and waits until each tool has printed.
    void startAllAndWait(int boards, const QByteArray &percent);

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
    setListingTimeoutForTesting(0);
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

QMap<QString, QString> TestRescan::flashScripts()
{
    QMap<QString, QString> scripts;
    for (const ToolCall &call : dir->toolCalls()) {
        if (call.args.value(0) == QLatin1String("-d"))
            scripts.insert(call.args.value(2), call.args.value(3));
    }
    return scripts;
}

bool TestRescan::rescanThroughDeviceEvent()
{
    // Every listing the window runs is announced once it has been applied
    // (or has failed).
    QSignalSpy listings(w->attemptSignals(), &AttemptSignals::listingFinished);
    fakeDeviceSource(w)->plug(QStringLiteral("USB#VID_FFF0&PID_FFF1#plugged"));
    return listings.wait(15000) || !listings.isEmpty();
}

void TestRescan::waitForListingsToSettle()
{
    QElapsedTimer total;
    total.start();
    int seen = -1;
    while (seen != listingRuns() && total.elapsed() < 30000) {
        seen = listingRuns();
        QTest::qWait(1000);
    }
}

void TestRescan::startAllAndWait(int boards, const QByteArray &percent)
{
    QMetaObject::invokeMethod(w, "runAll");
    QTRY_COMPARE(dir->flashPids().size(), boards);
    for (const QString &port : dir->flashPids().keys())
        QTRY_VERIFY(dir->readFile("logs/" + port.toUtf8().replace(':', '_') + "_log.txt").contains(percent));
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
    QCOMPARE(w->modeComboAt(0)->currentText(), QStringLiteral("Kernel"));
    QCOMPARE(w->modeComboAt(2)->currentText(), QStringLiteral("Image"));
    QCOMPARE(status(1), QStringLiteral("Running"));
    QCOMPARE(w->actionButtonAt(1)->text(), QStringLiteral("Stop"));
    QCOMPARE(status(2), QStringLiteral("Idle"));
    QVERIFY(processAlive(dir->flashPids().value("1:2")));
    QVERIFY(button("stopAllButton")->isEnabled());

    // The job goes on and can still be stopped from the rebuilt row.
    QTest::mouseClick(w->actionButtonAt(1), Qt::LeftButton);
    QTRY_COMPARE(status(1), QStringLiteral("Stopped"));
    QTRY_VERIFY(!processAlive(dir->flashPids().value("1:2")));
}

void TestRescan::vanishedRunningDevicesLeaveFailRows()
{
    makeWidget("board 1:1 outcome=hang@30\nboard 2:5 outcome=hang@30\nboard 1:3 outcome=hang@30\n");
    QMetaObject::invokeMethod(w, "runAll");
    QTRY_COMPARE(dir->flashPids().size(), 3);
    QTRY_VERIFY(dir->readFile("logs/2_5_log.txt").contains("30%"));
    const QMap<QString, qint64> pids = dir->flashPids();

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
    QCOMPARE(dir->flashPids().size(), 3);

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
    QTRY_VERIFY(dir->flashPids().value("1:1") > 0);
    const qint64 pid = dir->flashPids().value("1:1");
    dir->removeTool();
    // A job's tool is there while it runs: its absence from the listing says
    // nothing about the boards.
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Device listing failed .*missing"));
    w->rescanDevices();
    QCOMPARE(table()->rowCount(), 2);
    QCOMPARE(status(0), QStringLiteral("Running"));
    QVERIFY(processAlive(pid));

    // With no job left, no tool means no boards.
    w->runOrStopDevice("1:1");
    QTRY_COMPARE(status(0), QStringLiteral("Stopped"));
    QTRY_VERIFY(!processAlive(pid));
    w->rescanDevices();
    QCOMPARE(table()->rowCount(), 0);
    QTRY_VERIFY(!button("stopAllButton")->isEnabled());
    QVERIFY(!logHeldOpen());
}

void TestRescan::failedListingChangesNothing_data()
{
    QTest::addColumn<QByteArray>("fault");
    QTest::addColumn<QString>("via");

    const char *const faults[][2] = {{"error exit", "listing exit_code=2"},
                                     {"crash", "listing crash=1"},
                                     {"no header", "listing header=0"},
                                     {"time-out", "listing hang=1"}};
    for (const auto &fault : faults) {
        for (const char *via : {"rescan", "device event", "List"})
            QTest::addRow("%s, %s", fault[0], via) << QByteArray(fault[1]) << QString::fromLatin1(via);
    }
}

// A listing that failed says nothing about the boards, even when it printed
// some of them: every job and every row stays as it was.
void TestRescan::failedListingChangesNothing()
{
    QFETCH(QByteArray, fault);
    QFETCH(QString, via);

    QByteArray boards;
    for (int i = 1; i <= 8; ++i)
        boards += "board 1:" + QByteArray::number(i) + " outcome=hang@30\n";
    makeWidget(boards);
    startAllAndWait(8, "30%");
    const QMap<QString, qint64> pids = dir->flashPids();

    setListingTimeoutForTesting(300);
    dir->writeScenario("log tool.log\n" + fault + "\nboard 1:1 outcome=hang@30\nboard 1:2 outcome=hang@30\n");
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Device listing failed \\(.+\\); the device table is left"));
    if (via == QLatin1String("rescan")) {
        w->rescanDevices();
    } else if (via == QLatin1String("List")) {
        QTest::mouseClick(button("listButton"), Qt::LeftButton);
    } else {
        QVERIFY(rescanThroughDeviceEvent());
    }
    setListingTimeoutForTesting(0);

    QTest::qWait(100);
    QCOMPARE(table()->rowCount(), 8);
    for (int row = 0; row < 8; ++row) {
        QCOMPARE(table()->item(row, 0)->text(), QStringLiteral("1:%1").arg(row + 1));
        QCOMPARE(status(row), QStringLiteral("Running"));
        QCOMPARE(w->actionButtonAt(row)->text(), QStringLiteral("Stop"));
        QVERIFY(processAlive(pids.value(w->portAt(row))));
    }
    QVERIFY(button("stopAllButton")->isEnabled());
    // The listing tool that hung is gone.
    for (const ToolCall &call : dir->toolCalls()) {
        if (call.args.value(0) == QLatin1String("-lsusb"))
            QVERIFY(!processAlive(call.pid));
    }

    // Every job can still be stopped from its row.
    QMetaObject::invokeMethod(w, "stopAll");
    for (int row = 0; row < 8; ++row)
        QTRY_COMPARE(status(row), QStringLiteral("Stopped"));
    for (qint64 pid : pids)
        QTRY_VERIFY(!processAlive(pid));
}

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool builtWithAddressSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool builtWithAddressSanitizer = true;
#else
constexpr bool builtWithAddressSanitizer = false;
#endif
#else
constexpr bool builtWithAddressSanitizer = false;
#endif

} // namespace

void TestRescan::overlongListingChangesNothing_data()
{
    QTest::addColumn<QByteArray>("listing");
    QTest::addColumn<bool>("viaList");
    const char *const listings[][2] = {{"an error line for ever", "listing spew=1"},
                                       {"16 MiB of short lines", "listing lines=900000"}};
    for (const auto &listing : listings) {
        QTest::addRow("%s, rescan", listing[0]) << QByteArray(listing[1]) << false;
        QTest::addRow("%s, List", listing[0]) << QByteArray(listing[1]) << true;
    }
}

// A listing far longer than any real one is a failed listing, cut off as
// soon as it is too long: the rows and jobs stay, and the window's memory
// barely moves.
void TestRescan::overlongListingChangesNothing()
{
    QFETCH(QByteArray, listing);
    QFETCH(bool, viaList);
    QByteArray boards;
    for (int i = 1; i <= 4; ++i)
        boards += "board 1:" + QByteArray::number(i) + " outcome=hang@30\n";
    makeWidget(boards);
    startAllAndWait(4, "30%");
    const QMap<QString, qint64> pids = dir->flashPids();

    // Only a safety net: a listing that is not cut off would fill memory
    // for the whole 30 s. It must not end the listing before its first MiB
    // has come, which under Wine on a loaded machine took more than 3 s.
    setListingTimeoutForTesting(15000);
    dir->writeScenario("log tool.log\n" + listing + "\nboard 1:1 outcome=hang@30\nboard 1:9\n");
    const bool peakReset = resetMemoryPeak();
    const long before = memoryKib("VmRSS");
    QTest::ignoreMessage(QtDebugMsg, "Device listing failed (the listing is longer than 1 MiB); the device table is "
                                     "left as it is");
    if (viaList)
        QTest::mouseClick(button("listButton"), Qt::LeftButton);
    else
        w->rescanDevices();
    const long peak = memoryKib("VmHWM");
    const long after = memoryKib("VmRSS");
    setListingTimeoutForTesting(0);

    for (const ToolCall &call : dir->toolCalls()) {
        if (call.args.value(0) == QLatin1String("-lsusb"))
            QVERIFY(!processAlive(call.pid));
    }
    QCOMPARE(table()->rowCount(), 4);
    for (int row = 0; row < 4; ++row) {
        QCOMPARE(w->portAt(row), QStringLiteral("1:%1").arg(row + 1));
        QCOMPARE(status(row), QStringLiteral("Running"));
        QCOMPARE(w->actionButtonAt(row)->text(), QStringLiteral("Stop"));
        QVERIFY(processAlive(pids.value(w->portAt(row))));
    }
    QVERIFY(button("stopAllButton")->isEnabled());
    // AddressSanitizer keeps freed memory in quarantine and adds its own:
    // resident sizes say nothing there.
    if (!builtWithAddressSanitizer && before > 0 && after > 0) {
        QVERIFY2(after - before < 16 * 1024, qPrintable(QStringLiteral("%1 KiB kept").arg(after - before)));
        if (peakReset && peak > 0)
            QVERIFY2(peak - before < 64 * 1024, qPrintable(QStringLiteral("%1 KiB at the peak").arg(peak - before)));
    }
}

// What the operator chose for a board, and the red of a failure, survive the
// rebuilds of the table; the board is flashed with its mode.
void TestRescan::choicesSurviveDeviceEvents()
{
    makeWidget("board 1:1 duration_ms=100\nboard 1:2 outcome=fail@20\nboard 1:3\n");
    w->runOrStopDevice("1:2");
    QTRY_COMPARE(status(1), QStringLiteral("Failed"));
    w->modeComboAt(0)->setCurrentText("Kernel");
    w->modeComboAt(1)->setCurrentText("FileSystem");

    // A new board listed first moves every other row down.
    dir->writeScenario("log tool.log\nboard 1:4\nboard 1:1 duration_ms=100\nboard 1:2 outcome=fail@20\nboard 1:3\n");
    QVERIFY(rescanThroughDeviceEvent());
    QCOMPARE(table()->rowCount(), 4);
    const auto modeOf = [this](const char *port) {
        return w->modeComboAt(w->findRowByPath(port))->currentText();
    };
    QCOMPARE(modeOf("1:1"), QStringLiteral("Kernel"));
    QCOMPARE(modeOf("1:2"), QStringLiteral("FileSystem"));
    QCOMPARE(modeOf("1:3"), QStringLiteral("Image"));
    QCOMPARE(modeOf("1:4"), QStringLiteral("Image"));
    const QLabel *failed = w->statusLabelAt(w->findRowByPath("1:2"));
    QCOMPARE(failed->text(), QStringLiteral("Failed"));
    QCOMPARE(failed->styleSheet(), QStringLiteral("color: red;"));
    QVERIFY(w->statusLabelAt(w->findRowByPath("1:3"))->styleSheet().isEmpty());

    // "List" keeps the modes as well, and StartAll flashes each board with
    // its own.
    QTest::mouseClick(button("listButton"), Qt::LeftButton);
    QCOMPARE(modeOf("1:1"), QStringLiteral("Kernel"));
    QCOMPARE(modeOf("1:2"), QStringLiteral("FileSystem"));
    QMetaObject::invokeMethod(w, "runAll");
    // Four runs after the first one of 1:2, which logged its call long ago:
    // the tools log theirs in any order.
    const auto flashRuns = [this] {
        int runs = 0;
        for (const ToolCall &call : dir->toolCalls())
            runs += call.args.value(0) == QLatin1String("-d");
        return runs;
    };
    QTRY_COMPARE(flashRuns(), 5);
    QCOMPARE(flashScripts().value("1:1"), QStringLiteral("image_uuu_temp.auto"));
    QCOMPARE(flashScripts().value("1:2"), QStringLiteral("root_uuu_temp.auto"));
    QCOMPARE(flashScripts().value("1:4"), QStringLiteral("all_uuu_temp.auto"));
}

// Double-clicks and keys (a barcode scanner types into whatever has the
// focus) leave the listing's cells as the tool printed them, and each row's
// button still reaches its own board's job.
void TestRescan::listingCellsAreReadOnly()
{
    makeWidget("board 1:1 outcome=hang@20\nboard 1:2 outcome=hang@20\n");
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w));
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
    QTableWidget *t = table();
    const auto typeInto = [t](const char *keys) {
        QWidget *focus = QApplication::focusWidget();
        QTest::keyClicks(focus ? focus : t, keys);
        focus = QApplication::focusWidget();
        QTest::keyClick(focus ? focus : t, Qt::Key_Return);
    };
    const QPoint elsewhere = t->visualItemRect(t->item(1, 0)).center();
    for (int column = 0; column < 6; ++column) {
        const QString before = t->item(0, column)->text();
        const QPoint centre = t->visualItemRect(t->item(0, column)).center();
        QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, centre);
        QTest::mouseDClick(t->viewport(), Qt::LeftButton, {}, centre);
        typeInto("9:9");
        QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, centre);
        QTest::keyClick(t, Qt::Key_F2);
        typeInto("7");
        QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, centre);
        typeInto("8");
        // Leaving the cell would commit an editor still open.
        QTest::mouseClick(t->viewport(), Qt::LeftButton, {}, elsewhere);
        QCOMPARE(t->item(0, column)->text(), before);
    }
    QCOMPARE(w->findRowByPath("1:1"), 0);

    // The row's Run and Stop reach the board it was listed for.
    QTest::mouseClick(w->actionButtonAt(0), Qt::LeftButton);
    QTRY_COMPARE(dir->flashPids().keys(), QStringList{"1:1"});
    QCOMPARE(status(0), QStringLiteral("Running"));
    QTRY_VERIFY(dir->readFile("logs/1_1_log.txt").contains("20%"));
    QTest::mouseClick(w->actionButtonAt(0), Qt::LeftButton);
    QTRY_COMPARE(status(0), QStringLiteral("Stopped"));
    QTRY_VERIFY(!processAlive(dir->flashPids().value("1:1")));

    // A lost-job row cannot be edited either.
    w->runOrStopDevice("1:2");
    QTRY_VERIFY(dir->readFile("logs/1_2_log.txt").contains("20%"));
    dir->writeScenario("log tool.log\nboard 1:1\n");
    QTest::ignoreMessage(QtDebugMsg, "Target Will Kill uuu.exe");
    w->rescanDevices();
    QCOMPARE(status(1), QStringLiteral("Fail"));
    for (int row = 0; row < t->rowCount(); ++row) {
        for (int column = 0; column < t->columnCount(); ++column) {
            if (const QTableWidgetItem *item = t->item(row, column))
                QVERIFY2(!(item->flags() & Qt::ItemIsEditable),
                         qPrintable(QStringLiteral("row %1 column %2").arg(row).arg(column)));
        }
    }
}

// A rack powered on at once: 40 plug events at hand cost one listing, and 40
// that come while a listing runs cost one more, not one each.
void TestRescan::eventBurstCostsFewListings()
{
    QByteArray boards = "listing delay_ms=300\n";
    for (int i = 1; i <= 16; ++i)
        boards += "board 2:" + QByteArray::number(i) + " outcome=hang@30\n";
    makeWidget(boards);
    startAllAndWait(16, "30%");
    FakeDeviceChangeSource *source = fakeDeviceSource(w);
    const auto plugRack = [source] {
        for (int i = 0; i < 40; ++i)
            source->plug(QStringLiteral("USB#VID_FFF0&PID_FFF1#%1").arg(i));
    };

    int before = listingRuns();
    plugRack();
    waitForListingsToSettle();
    QCOMPARE(listingRuns(), before + 1);

    // The second burst comes from another thread, as the kernel's would,
    // once the listing of the first event is under way.
    before = listingRuns();
    source->plug(QStringLiteral("USB#VID_FFF0&PID_FFF1#first"));
    std::thread rack([this, before, plugRack] {
        QElapsedTimer wait;
        wait.start();
        while (listingRuns() == before && wait.elapsed() < 10000)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        plugRack();
    });
    QTest::qWait(100);
    rack.join();
    waitForListingsToSettle();
    const int listings = listingRuns() - before;
    // Two, or three when the burst straddled the start of the second.
    QVERIFY2(listings >= 2 && listings <= 3, qPrintable(QStringLiteral("%1 listings").arg(listings)));
    for (int row = 0; row < 16; ++row)
        QCOMPARE(status(row), QStringLiteral("Running"));
    QCOMPARE(dir->flashPids().size(), 16);
    for (qint64 pid : dir->flashPids())
        QVERIFY(processAlive(pid));
}

QTEST_MAIN(TestRescan)
#include "tst_rescan.moc"
