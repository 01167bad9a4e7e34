#include "app/widget.h"
#include "discovery/toolprocess.h"
#include "testsupport.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QScopeGuard>
#include <QtTest>

// Listing against the simulator, the device table and the button-state rule.
class TestListing : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void startupListsDevices();
    void listButtonRebuildsRows();
    void colouredCrlfListing();
    void missingOrFailingTool();
    void toolOnlyFromCurrentFolder();
    void whiteSpaceProIsNotCounted();
    void findRowByPath();
    void listingKeepsRunningJobs();
    void listingEndsJobsOfVanishedBoards();

private:
    QTableWidget *table(Widget &w) { return w.findChild<QTableWidget *>("tableWidget"); }
    QPushButton *button(Widget &w, const char *name) { return w.findChild<QPushButton *>(name); }
    QString countText(Widget &w) { return w.findChild<QLineEdit *>("lineEdit")->text(); }
    ToolDir *dir = nullptr;
};

static QString connected(int n)
{
    return QString::fromUtf8("Connected Devices\xEF\xBC\x9A") + QString::number(n);
}

void TestListing::init()
{
    dir = new ToolDir;
    QVERIFY(dir->isValid());
}

void TestListing::cleanup()
{
    delete dir;
    dir = nullptr;
}

void TestListing::startupListsDevices()
{
    dir->writeScenario("board 1:11 chip=VB100 pro=LOAD: vid=0xFFF0 pid=0xFFF1 bcd=0x0001 serial=S1\n"
                       "board 1:12\nboard 2:3 serial=\"\"\n");
    Widget w;
    QTableWidget *t = table(w);
    QCOMPARE(t->rowCount(), 3);
    const QStringList first = {"1:11", "VB100", "LOAD:", "0xFFF0", "0xFFF1", "0x0001", "S1"};
    for (int c = 0; c < first.size(); ++c)
        QCOMPARE(t->item(0, c)->text(), first.at(c));
    for (int row = 0; row < 3; ++row) {
        QCOMPARE(w.statusLabelAt(row)->text(), QStringLiteral("Idle"));
        QCOMPARE(w.statusLabelAt(row)->alignment(), Qt::AlignHCenter | Qt::AlignVCenter);
        QCOMPARE(w.actionButtonAt(row)->text(), QStringLiteral("Run"));
        QCOMPARE(w.modeComboAt(row)->currentText(), QStringLiteral("Image"));
        QCOMPARE(w.modeComboAt(row)->count(), 3);
        QCOMPARE(w.progressBarAt(row)->value(), 0);
        QCOMPARE(w.progressBarAt(row)->maximum(), 100);
    }
    // Six fields: the mode selector, but no item under it.
    QVERIFY(!t->item(2, 6));
    QVERIFY(w.modeComboAt(2));
    QVERIFY(button(w, "startAllButton")->isEnabled());
    QVERIFY(!button(w, "stopAllButton")->isEnabled());
    QCOMPARE(countText(w), connected(3));
}

void TestListing::listButtonRebuildsRows()
{
    dir->writeScenario("board 1:1\n");
    Widget w;
    QCOMPARE(table(w)->rowCount(), 1);
    w.statusLabelAt(0)->setText("Finished");
    w.modeComboAt(0)->setCurrentIndex(2);

    dir->writeScenario("board 1:1\nboard 1:2\n");
    QTest::mouseClick(button(w, "listButton"), Qt::LeftButton);
    QCOMPARE(table(w)->rowCount(), 2);
    // A listing starts every row's status afresh, but keeps the chosen mode.
    QCOMPARE(w.statusLabelAt(0)->text(), QStringLiteral("Idle"));
    QCOMPARE(w.modeComboAt(0)->currentText(), QStringLiteral("FileSystem"));
    QCOMPARE(w.modeComboAt(1)->currentText(), QStringLiteral("Image"));
    QCOMPARE(countText(w), connected(2));
}

void TestListing::colouredCrlfListing()
{
    dir->writeScenario("listing color=1 crlf=1 double_tab=1 lines=5\nboard 3:7 chip=VB200\n");
    Widget w;
    QCOMPARE(table(w)->rowCount(), 1);
    QCOMPARE(table(w)->item(0, 0)->text(), QStringLiteral("3:7"));
    QCOMPARE(table(w)->item(0, 1)->text(), QStringLiteral("VB200"));
    for (int c = 0; c < 6; ++c)
        QVERIFY(!table(w)->item(0, c)->text().contains(QChar(0x1b)));
}

void TestListing::missingOrFailingTool()
{
    dir->writeScenario("board 1:1\n");
    Widget w;
    QCOMPARE(table(w)->rowCount(), 1);

    dir->removeTool();
    QTest::mouseClick(button(w, "listButton"), Qt::LeftButton);
    QCOMPARE(table(w)->rowCount(), 0);
    QVERIFY(!button(w, "startAllButton")->isEnabled());
    QVERIFY(!button(w, "stopAllButton")->isEnabled());
    QCOMPARE(countText(w), connected(0));

    // Random bytes and junk before the header: only real device lines count.
    dir->installTool();
    dir->writeScenario("listing random_bytes=4000 seed=7\nboard 1:1\n");
    QTest::mouseClick(button(w, "listButton"), Qt::LeftButton);
    QVERIFY(table(w)->rowCount() <= 1);
}

void TestListing::toolOnlyFromCurrentFolder()
{
    // A tool beside the program and one on the search path are not the
    // station's: with none in the current folder nothing is listed.
    dir->writeScenario("board 1:1\n");
    const QString simulator = QFileInfo(dir->filePath(toolFileName())).canonicalFilePath();
    QTemporaryDir onPath;
    QVERIFY(onPath.isValid());
    const QString besideProgram = QDir(QCoreApplication::applicationDirPath()).filePath(toolFileName());
    QVERIFY(installSimulatorAs(simulator, besideProgram));
    QVERIFY(installSimulatorAs(simulator, QDir(onPath.path()).filePath(toolFileName())));
    const QByteArray path = qgetenv("PATH");
    qputenv("PATH", QDir::toNativeSeparators(onPath.path()).toLocal8Bit() + QDir::listSeparator().toLatin1() + path);
    const auto restore = qScopeGuard([&] {
        qputenv("PATH", path);
        removeToolFile(besideProgram);
    });
    dir->removeTool();

    // Either of them lists the board when it is run.
    ToolProcess decoy;
    QVERIFY2(decoy.startTool(besideProgram, {"-lsusb"}), qPrintable(decoy.startError()));
    QVERIFY(decoy.waitForFinished(30000));
    QVERIFY(decoy.readAllStandardOutput().contains("1:1"));

    {
        Widget w;
        QCOMPARE(table(w)->rowCount(), 0);
        QCOMPARE(countText(w), connected(0));
    }
}

void TestListing::whiteSpaceProIsNotCounted()
{
    dir->writeScenario("board 1:1 pro=\" \"\nboard 1:2\n");
    Widget w;
    QCOMPARE(table(w)->rowCount(), 2);
    QCOMPARE(countText(w), connected(1));
}

void TestListing::findRowByPath()
{
    dir->writeScenario("board 1:1\nboard 1:2\n");
    Widget w;
    QTableWidget *t = table(w);
    QCOMPARE(w.findRowByPath("1:2"), 1);
    QCOMPARE(w.findRowByPath("1:3"), -1);
    QCOMPARE(w.findRowByPath("1:"), -1);

    // Rows that come and go are followed at once, and the first row of a
    // path wins; the text a cell shows is not its port.
    t->item(1, 0)->setText("1:1");
    QCOMPARE(w.findRowByPath("1:1"), 0);
    QCOMPARE(w.findRowByPath("1:2"), 1);
    QCOMPARE(w.portAt(1), QStringLiteral("1:2"));
    t->insertRow(0);
    QCOMPARE(w.findRowByPath("1:1"), 1);
    t->removeRow(0);
    t->removeRow(0);
    QCOMPARE(w.findRowByPath("1:1"), -1);
    QCOMPARE(w.findRowByPath("1:2"), 0);
    QCOMPARE(w.findRowByPath("1:2 "), -1);

    // The button-state rule counts rows of any kind.
    t->setRowCount(0);
    w.updateButtonStates();
    QVERIFY(!button(w, "startAllButton")->isEnabled());
    t->setRowCount(1);
    t->setItem(0, 0, new QTableWidgetItem("x"));
    w.updateButtonStates();
    QVERIFY(button(w, "startAllButton")->isEnabled());
    QVERIFY(!button(w, "stopAllButton")->isEnabled());
}

void TestListing::listingKeepsRunningJobs()
{
    dir->writeScenario("board 1:1 duration_ms=3000\nboard 1:2\n");
    Widget w;
    w.findChild<QLineEdit *>("lineEdit_All")->setText(dir->filePath("sample.img"));
    w.runOrStopDevice("1:1");
    QCOMPARE(w.statusLabelAt(0)->text(), QStringLiteral("Running"));
    QTRY_VERIFY((w.updateButtonStates(), button(w, "stopAllButton")->isEnabled()));

    QTest::mouseClick(button(w, "listButton"), Qt::LeftButton);
    QCOMPARE(w.statusLabelAt(0)->text(), QStringLiteral("Running"));
    QCOMPARE(w.actionButtonAt(0)->text(), QStringLiteral("Stop"));
    QCOMPARE(w.statusLabelAt(1)->text(), QStringLiteral("Idle"));
    QVERIFY(button(w, "stopAllButton")->isEnabled());

    // The button of the rebuilt row stops the job that still runs.
    QTest::mouseClick(w.actionButtonAt(0), Qt::LeftButton);
    QTRY_COMPARE(w.statusLabelAt(0)->text(), QStringLiteral("Stopped"));
    QCOMPARE(w.actionButtonAt(0)->text(), QStringLiteral("Run"));
    QTRY_VERIFY(!button(w, "stopAllButton")->isEnabled());
}

// A running board that a listing no longer shows is handled as a rescan
// handles it: its row says "Fail" and its tool is ended, so that no flash
// goes on without a row.
void TestListing::listingEndsJobsOfVanishedBoards()
{
    dir->writeScenario("log tool.log\nboard 1:1 outcome=hang@10\nboard 1:2 outcome=hang@10\n");
    Widget w;
    w.findChild<QLineEdit *>("lineEdit_All")->setText(dir->filePath("sample.img"));
    QMetaObject::invokeMethod(&w, "runAll");
    QMap<QString, qint64> pids;
    QTRY_VERIFY((pids = dir->flashPids(), pids.size() == 2));
    QTRY_VERIFY(dir->readFile("logs/1_2_log.txt").contains("10%"));

    dir->writeScenario("log tool.log\nboard 1:1 outcome=hang@10\n");
    QTest::ignoreMessage(QtDebugMsg, "Target Will Kill uuu.exe");
    QTest::mouseClick(button(w, "listButton"), Qt::LeftButton);
    QCOMPARE(table(w)->rowCount(), 2);
    QCOMPARE(w.statusLabelAt(0)->text(), QStringLiteral("Running"));
    QCOMPARE(table(w)->item(1, 0)->text(), QStringLiteral("1:2"));
    QCOMPARE(w.statusLabelAt(1)->text(), QStringLiteral("Fail"));
    QVERIFY(!w.actionButtonAt(1));
    QTRY_VERIFY(!processAlive(pids.value("1:2")));
    QVERIFY(processAlive(pids.value("1:1")));
    QTest::qWait(50);
    QCOMPARE(w.statusLabelAt(1)->text(), QStringLiteral("Fail"));

    QMetaObject::invokeMethod(&w, "stopAll");
    QTRY_COMPARE(w.statusLabelAt(0)->text(), QStringLiteral("Stopped"));
    QTRY_VERIFY(!processAlive(pids.value("1:1")));
    QVERIFY(!logHeldOpen());
}

QTEST_MAIN(TestListing)
#include "tst_listing.moc"
