#include "app/widget.h"
#include "flashing/jobdescriptors.h"
#include "testsupport.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTableWidget>
#include <QToolButton>
#include <QtTest>

// Flashing jobs driven end to end through the simulator.
class TestFlashing : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void successWithProgressAndLog();
    void modesPickTheirScripts();
    void failedDevicesListedAndCleared();
    void startAllOnEmptyTable();
    void duplicatePaths();
    void scriptGeneration();
    void imagePathsArriveIntact();
    void portArrivesAsOneArgument_data();
    void portArrivesAsOneArgument();
    void refusedImagePaths();
    void cancelledFileDialogEmptiesImagePath();
    void logNamesAndTruncation();
    void teardownWithRunningJobs();
    void staysResponsiveWhileJobsEnd();

private:
    Widget *makeWidget(const QByteArray &scenario);
    QString status(int row) { return w->statusLabelAt(row)->text(); }
    QStringList toolInvocations();
    QList<qint64> flashPids();
    QPushButton *button(const char *name) { return w->findChild<QPushButton *>(name); }
    QString failedText() { return w->findChild<QLineEdit *>("lineEdit_2")->text(); }

    ToolDir *dir = nullptr;
    Widget *w = nullptr;
};

void TestFlashing::init()
{
    dir = new ToolDir;
    QVERIFY(dir->isValid());
}

void TestFlashing::cleanup()
{
    delete w;
    w = nullptr;
    delete dir;
    dir = nullptr;
}

Widget *TestFlashing::makeWidget(const QByteArray &scenario)
{
    w = dir->openWindow(scenario);
    return w;
}

QStringList TestFlashing::toolInvocations()
{
    QStringList lines;
    for (const ToolCall &call : dir->toolCalls())
        lines << call.args.join(QLatin1Char(' '));
    return lines;
}

QList<qint64> TestFlashing::flashPids()
{
    QList<qint64> pids;
    for (const ToolCall &call : dir->toolCalls()) {
        if (call.args.value(0) == QLatin1String("-d"))
            pids << call.pid;
    }
    return pids;
}

void TestFlashing::successWithProgressAndLog()
{
    makeWidget("board 1:1 duration_ms=600 rate=20\n");
    QSignalSpy valueSpy(w->progressBarAt(0), &QProgressBar::valueChanged);
    w->runOrStopDevice("1:1");
    QCOMPARE(status(0), QStringLiteral("Running"));
    QCOMPARE(w->actionButtonAt(0)->text(), QStringLiteral("Stop"));
    QTRY_COMPARE(status(0), QStringLiteral("Finished"));
    QCOMPARE(w->actionButtonAt(0)->text(), QStringLiteral("Run"));
    QCOMPARE(w->progressBarAt(0)->value(), 100);
    QCOMPARE(w->progressBarAt(0)->format(), QStringLiteral("Finished"));
    QVERIFY(valueSpy.count() >= 2); // the bar moved on its way to 100
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 0"));
    QTRY_VERIFY(!button("stopAllButton")->isEnabled());

    QVERIFY(toolInvocations().contains(QStringLiteral("-d -m 1:1 all_uuu_temp.auto")));
    const QByteArray log = dir->readFile("logs/1_1_log.txt");
    QVERIFY(log.contains("50%"));
    QVERIFY(log.contains("1:1->Okay"));
    QVERIFY(dir->readFile("all_uuu_temp.auto").contains("\"" + dir->filePath("sample.img").toUtf8() + "\""));
}

void TestFlashing::modesPickTheirScripts()
{
    makeWidget("board 1:1 duration_ms=100\nboard 1:2 duration_ms=100\nboard 1:3 duration_ms=100\n");
    w->modeComboAt(1)->setCurrentText("Kernel");
    w->modeComboAt(2)->setCurrentText("FileSystem");
    QCOMPARE(w->getDeviceMode("1:2"), QStringLiteral("Kernel"));
    QCOMPARE(w->getDeviceMode("9:9"), QString());
    QTest::mouseClick(button("startAllButton"), Qt::LeftButton);
    for (int row = 0; row < 3; ++row)
        QTRY_COMPARE(status(row), QStringLiteral("Finished"));
    const QStringList calls = toolInvocations();
    QVERIFY(calls.contains("-d -m 1:1 all_uuu_temp.auto"));
    QVERIFY(calls.contains("-d -m 1:2 image_uuu_temp.auto"));
    QVERIFY(calls.contains("-d -m 1:3 root_uuu_temp.auto"));
    QVERIFY(dir->readFile("image_uuu_temp.auto").contains("sample.img\""));
    QVERIFY(dir->readFile("root_uuu_temp.auto").contains("sample.img\""));
}

// Failed rows are listed by their paths, colons and all, and a row flashed
// again loses the red of its failure.
void TestFlashing::failedDevicesListedAndCleared()
{
    makeWidget("board 1:11 duration_ms=400 outcome=fail@50\nboard 2:3 duration_ms=400 outcome=fail@10\n");
    w->runOrStopDevice("1:11");
    QTRY_COMPARE(status(0), QStringLiteral("Failed"));
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 1 (Device #1:11)"));
    w->runOrStopDevice("2:3");
    QTRY_COMPARE(status(1), QStringLiteral("Failed"));
    QVERIFY2(failedText().startsWith(QStringLiteral("Failed Devices: 2 (")) &&
                 failedText().contains(QStringLiteral("Device #1:11")) &&
                 failedText().contains(QStringLiteral("Device #2:3")),
             qPrintable(failedText()));

    dir->writeScenario("log tool.log\nboard 1:11 duration_ms=400\nboard 2:3 duration_ms=400\n");
    w->runOrStopDevice("1:11");
    QCOMPARE(status(0), QStringLiteral("Running"));
    QCOMPARE(w->statusLabelAt(0)->styleSheet(), QString());
    QTRY_COMPARE(status(0), QStringLiteral("Finished"));
    QCOMPARE(w->statusLabelAt(0)->styleSheet(), QString());
}

// An empty table: nothing to start, and StartAll ends disabled.
void TestFlashing::startAllOnEmptyTable()
{
    makeWidget("board 2:1 duration_ms=100\n");
    QVERIFY(button("startAllButton")->isEnabled());
    dir->writeScenario("log tool.log\n");
    QTest::mouseClick(button("listButton"), Qt::LeftButton);
    QMetaObject::invokeMethod(w, "runAll");
    QVERIFY(!button("startAllButton")->isEnabled());
    QVERIFY(flashPids().isEmpty());
}

void TestFlashing::duplicatePaths()
{
    makeWidget("board 1:1 outcome=hang@10\n");
    w->populateDeviceTable("Path\n1:1\tc\tp\tv\tp\tb\n1:1\tc\tp\tv\tp\tb\n");
    QCOMPARE(w->findChild<QTableWidget *>("tableWidget")->rowCount(), 2);
    QMetaObject::invokeMethod(w, "runAll");
    QTRY_COMPARE(flashPids().size(), 1);
    QCOMPARE(status(0), QStringLiteral("Running"));
    QCOMPARE(status(1), QStringLiteral("Idle"));
    QTRY_VERIFY(button("stopAllButton")->isEnabled());
    QMetaObject::invokeMethod(w, "stopAll");
    QTRY_COMPARE(status(0), QStringLiteral("Stopped"));
    QCOMPARE(status(1), QStringLiteral("Idle"));
}

void TestFlashing::scriptGeneration()
{
    makeWidget("board 1:1 duration_ms=100\n");
    auto *image = w->findChild<QLineEdit *>("lineEdit_All");

    // No image: the error box, once, and the row ends "Stopped" without a job.
    image->clear();
    {
        MessageBoxCloser closer;
        w->runOrStopDevice("1:1");
        QCOMPARE(closer.closedCount(), 1);
        QCOMPARE(closer.lastText(), QStringLiteral("Please select a Image file!"));
    }
    QCOMPARE(status(0), QStringLiteral("Stopped"));
    QVERIFY(flashPids().isEmpty());

    // Several placeholders, one inside a word, and a NUL byte cutting the rest.
    image->setText("/img/a.img");
    dir->writeFile("scripts/emmc/all_uuu.auto", QByteArray("one _file\ntwo boot_file _FILE\n\0three _file\n", 43));
    dir->writeFile("all_uuu_temp.auto", QByteArray(5000, 'z'));
    QVERIFY(w->generateScript("Image"));
    // Written with the platform's line end.
    QByteArray expected("one \"/img/a.img\"\ntwo boot\"/img/a.img\" _FILE\n");
#ifdef Q_OS_WIN
    expected.replace("\n", "\r\n");
#endif
    QCOMPARE(dir->readFile("all_uuu_temp.auto"), expected);

    // A missing template writes nothing and starts no job.
    QFile::remove(dir->filePath("scripts/emmc/root_uuu.auto"));
    QVERIFY(!w->generateScript("FileSystem"));
    QVERIFY(!QFile::exists(dir->filePath("root_uuu_temp.auto")));
    w->modeComboAt(0)->setCurrentText("FileSystem");
    w->runOrStopDevice("1:1");
    QCOMPARE(status(0), QStringLiteral("Stopped"));
    QVERIFY(flashPids().isEmpty());

    // A script that cannot be written is a failure of the job: no tool runs
    // on a stale script, and the row says so.
    w->modeComboAt(0)->setCurrentText("Kernel");
    QVERIFY(QDir(dir->path()).mkdir("image_uuu_temp.auto"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression("cannot write image_uuu_temp.auto"));
    w->runOrStopDevice("1:1");
    QCOMPARE(status(0), QStringLiteral("Failed"));
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 1 (Device #1:1)"));
    QVERIFY(flashPids().isEmpty());
    QVERIFY(QDir(dir->path()).rmdir("image_uuu_temp.auto"));

    // The clean-up removes all five temporary names, and nothing else.
    dir->writeFile("uboot_uuu_temp.auto", "x");
    dir->writeFile("spl_uuu_temp.auto", "x");
    QVERIFY(w->generateScript("Kernel"));
    QVERIFY(QMetaObject::invokeMethod(w, "doProcessFinished"));
    for (const char *name : {"uboot_uuu_temp.auto", "spl_uuu_temp.auto", "image_uuu_temp.auto", "all_uuu_temp.auto"})
        QVERIFY2(!QFile::exists(dir->filePath(name)), name);
    QVERIFY(QFile::exists(dir->filePath("scripts/emmc/image_uuu.auto")));
    // The next toggle writes its script again.
    QVERIFY(w->generateScript("Kernel"));
    QVERIFY(QFile::exists(dir->filePath("image_uuu_temp.auto")));
}

void TestFlashing::imagePathsArriveIntact()
{
    makeWidget("board 1:1 duration_ms=100\n");
    const QString image = dir->filePath(QString::fromUtf8("my image \xC3\xA9t\xC3\xA9 \xE9\x95\x9C\xE5\x83\x8F's.img"));
    dir->writeFile(image, "data");
    w->findChild<QLineEdit *>("lineEdit_All")->setText(image);
    w->runOrStopDevice("1:1");
    QTRY_COMPARE(status(0), QStringLiteral("Finished"));
    // The simulator reads the path back out of the script and checks the file.
    QVERIFY(dir->readFile("logs/1_1_log.txt").contains("Image: \"" + image.toUtf8() + "\" 4 bytes"));
}

void TestFlashing::portArrivesAsOneArgument_data()
{
    QTest::addColumn<QString>("port");
    QTest::newRow("blank and a quoted word") << QStringLiteral("2:1 \"rack A\"");
    QTest::newRow("unbalanced quote before the script") << QStringLiteral("2:2 \"x");
    QTest::newRow("tripled quotes") << QStringLiteral("2:3\"\"\"x y");
}

void TestFlashing::portArrivesAsOneArgument()
{
    QFETCH(QString, port);
    makeWidget("");
    w->populateDeviceTable(QStringLiteral("Path\tChip\tPro\tVid\tPid\tBcdVersion\n====\n\t%1\tVB100\tLOAD:\t"
                                          "0xFFF0\t0xFFF1\t0x0001\n")
                               .arg(port));
    QCOMPARE(w->findRowByPath(port), 0);
    w->runOrStopDevice(port);
    // The simulator prints its marker with the port it was given.
    QTRY_COMPARE(status(0), QStringLiteral("Finished"));
    QCOMPARE(failedText(), QStringLiteral("Failed Devices: 0"));
    QList<QStringList> flashes;
    for (const ToolCall &call : dir->toolCalls()) {
        if (call.args.value(0) == QLatin1String("-d"))
            flashes << call.args;
    }
    QCOMPARE(flashes, QList<QStringList>({{"-d", "-m", port, "all_uuu_temp.auto"}}));
}

void TestFlashing::refusedImagePaths()
{
    makeWidget("board 1:1 duration_ms=100\n");
    w->findChild<QLineEdit *>("lineEdit_All")->setText("/tmp/a\"b.img");
    {
        MessageBoxCloser closer;
        w->runOrStopDevice("1:1");
        QCOMPARE(closer.closedCount(), 1);
        QVERIFY(closer.lastText().contains("double quote"));
    }
    QCOMPARE(status(0), QStringLiteral("Stopped"));
    QVERIFY(flashPids().isEmpty());
}

void TestFlashing::cancelledFileDialogEmptiesImagePath()
{
    makeWidget("");
    QTimer::singleShot(200, [] {
        if (QWidget *dialog = QApplication::activeModalWidget())
            QMetaObject::invokeMethod(dialog, "reject");
    });
    QTest::mouseClick(w->findChild<QToolButton *>("tBtnSelectAll"), Qt::LeftButton);
    QCOMPARE(w->findChild<QLineEdit *>("lineEdit_All")->text(), QString());
}

void TestFlashing::logNamesAndTruncation()
{
    makeWidget("board 1/2\\3:4 duration_ms=100\nboard 7 duration_ms=100 rate=200\n");
    w->runOrStopDevice("1/2\\3:4");
    QTRY_COMPARE(status(0), QStringLiteral("Finished"));
    QVERIFY(dir->readFile("logs/1_2_3_4_log.txt").contains("1/2\\3:4->Okay"));

    w->runOrStopDevice("7");
    QTRY_COMPARE(status(1), QStringLiteral("Finished"));
    const QByteArray first = dir->readFile("logs/7_log.txt");
    dir->writeScenario("log tool.log\nboard 7 duration_ms=100 rate=10\n");
    w->runOrStopDevice("7");
    QTRY_COMPARE(status(1), QStringLiteral("Finished"));
    const QByteArray second = dir->readFile("logs/7_log.txt");
    QVERIFY(second.size() < first.size());
    QCOMPARE(second.count("7->Okay"), 1);
}

void TestFlashing::teardownWithRunningJobs()
{
    QByteArray scenario;
    for (int i = 1; i <= 4; ++i)
        scenario += "board 3:" + QByteArray::number(i) + " outcome=hang@50 duration_ms=200\n";
    makeWidget(scenario);
    QMetaObject::invokeMethod(w, "runAll");
    QTRY_COMPARE(flashPids().size(), 4);
    QTRY_VERIFY(dir->readFile("logs/3_4_log.txt").contains("50%"));
    const QList<qint64> pids = flashPids();
    for (qint64 pid : pids)
        QVERIFY(processAlive(pid));
        // Each running job's output pipe and end notifier are watched through the
        // shared epoll set, not walked by poll() on every wake-up.
#ifdef Q_OS_LINUX
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) {
        QVERIFY(JobDescriptorWatch::isInstalled());
        QTRY_COMPARE(jobDescriptorsServedByEpoll(), 2 * 4);
    }
#endif
    delete w;
    w = nullptr;
    // Every tool is reaped by the time the window is gone.
    for (qint64 pid : pids)
        QVERIFY2(!processAlive(pid), qPrintable(QString::number(pid)));
    QVERIFY(!QFile::exists(dir->filePath("all_uuu_temp.auto")));
    // No log is left open.
    QVERIFY(!logHeldOpen());
    QTest::qWait(50); // late signals of the killed tools must find nothing
}

void TestFlashing::staysResponsiveWhileJobsEnd()
{
    QByteArray scenario;
    for (int i = 1; i <= 8; ++i)
        scenario += "board 6:" + QByteArray::number(i) + " outcome=okhang duration_ms=300\n";
    makeWidget(scenario);
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longestGap = 0;
    QTimer probe;
    probe.setInterval(10);
    connect(&probe, &QTimer::timeout, [&] {
        const qint64 now = clock.elapsed();
        longestGap = qMax(longestGap, now - last);
        last = now;
    });
    QMetaObject::invokeMethod(w, "runAll");
    clock.start();
    probe.start();
    for (int row = 0; row < 8; ++row)
        QTRY_COMPARE(status(row), QStringLiteral("Finished"));
    QTest::qWait(100);
    // Ending eight lingering tools must not freeze the window for seconds
    // (a wait for each killed tool would).
    QVERIFY2(longestGap < 1000, qPrintable(QString::number(longestGap)));
}

QTEST_MAIN(TestFlashing)
#include "tst_flashing.moc"
