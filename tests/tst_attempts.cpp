// Every job the window is asked for is announced once as it ends, with how
// and why, and its log bytes are announced as they are written.
#include "testsupport.h"

#include "app/widget.h"
#include "flashing/attemptsignals.h"

#include <QLabel>
#include <QSignalSpy>
#include <QtTest>

Q_DECLARE_METATYPE(Attempt)

class TestAttempts : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void everyEndingIsAnnouncedOnce_data();
    void everyEndingIsAnnouncedOnce();
    void listingsAreAnnounced();

private:
    ToolDir *dir = nullptr;
    Widget *w = nullptr;
};

void TestAttempts::init()
{
    qRegisterMetaType<Attempt>();
    dir = new ToolDir;
    QVERIFY(dir->isValid());
}

void TestAttempts::cleanup()
{
    delete w;
    w = nullptr;
    delete dir;
    dir = nullptr;
}

enum class Step { None, Stop, Unlist, RemoveTool, Refuse, CloseWindow };
Q_DECLARE_METATYPE(Step)

void TestAttempts::everyEndingIsAnnouncedOnce_data()
{
    QTest::addColumn<QByteArray>("board");
    QTest::addColumn<Step>("step");
    QTest::addColumn<QString>("outcome");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("progress");

    QTest::newRow("finished") << QByteArray("duration_ms=200") << Step::None << "finished"
                              << "" << 100;
    QTest::newRow("failure word") << QByteArray("outcome=fail@50") << Step::None << "failed"
                                  << "failure word seen" << 50;
#ifdef Q_OS_WIN
    // A raised SIGSEGV ends a MinGW program with exit code 3.
    const QString crashed = QStringLiteral("the flashing tool exited with code 3");
#else
    const QString crashed = QStringLiteral("the flashing tool crashed");
#endif
    QTest::newRow("crash") << QByteArray("outcome=crash@40") << Step::None << "failed" << crashed << 40;
    QTest::newRow("exit code") << QByteArray("outcome=exit@30:3") << Step::None << "failed"
                               << "the flashing tool exited with code 3" << 30;
    QTest::newRow("exit 0 short") << QByteArray("outcome=exit@60:0") << Step::None << "failed"
                                  << "the flashing tool exited with code 0 at 60% without completing" << 60;
    QTest::newRow("stopped") << QByteArray("outcome=hang@30") << Step::Stop << "stopped"
                             << "stopped by the operator" << 30;
    QTest::newRow("board pulled") << QByteArray("outcome=hang@30") << Step::Unlist << "lost"
                                  << "board vanished" << 30;
    QTest::newRow("tool missing") << QByteArray() << Step::RemoveTool << "not-started"
                                  << "the flashing tool could not be started" << -1;
    QTest::newRow("refused") << QByteArray() << Step::Refuse << "not-started"
                             << "image checksum mismatch" << -1;
    QTest::newRow("window closed") << QByteArray("outcome=hang@30") << Step::CloseWindow << "stopped"
                                   << "Velmora ended" << 30;
}

void TestAttempts::everyEndingIsAnnouncedOnce()
{
    QFETCH(QByteArray, board);
    QFETCH(Step, step);
    QFETCH(QString, outcome);
    QFETCH(QString, reason);
    QFETCH(int, progress);

    w = dir->openWindow("board 1:1 " + board + "\nboard 1:2 outcome=hang@10\n");
    AttemptSignals *announced = w->attemptSignals();
    QSignalSpy started(announced, &AttemptSignals::attemptStarted);
    QSignalSpy ended(announced, &AttemptSignals::attemptEnded);
    QByteArray logged;
    connect(announced, &AttemptSignals::attemptLogged, this, [&logged](const QString &port, const QByteArray &bytes) {
        if (port == QLatin1String("1:1"))
            logged += bytes;
    });
    if (step == Step::RemoveTool)
        dir->removeTool();
    if (step == Step::Refuse) {
        w->setStartCheck([](const QString &) {
            return StartRefusal{QStringLiteral("image checksum mismatch"), QStringLiteral("The image differs.")};
        });
    }
    MessageBoxCloser boxes;
    const QDateTime before = QDateTime::currentDateTimeUtc();
    w->runOrStopDevice("1:1");
    if (progress > 0 && step != Step::None)
        QTRY_VERIFY(dir->readFile("logs/1_1_log.txt").contains(QByteArray::number(progress) + "%"));
    if (step == Step::Stop)
        w->runOrStopDevice("1:1");
    if (step == Step::Unlist) {
        dir->writeScenario("log tool.log\nboard 1:2\n");
        w->rescanDevices();
    }
    if (step == Step::CloseWindow) {
        delete w;
        w = nullptr;
    }
    QTRY_COMPARE(ended.count(), 1);
    QTest::qWait(100); // a second announcement would come now
    QCOMPARE(ended.count(), 1);
    QCOMPARE(boxes.closedCount(), step == Step::Refuse ? 1 : 0);

    const Attempt attempt = ended.at(0).at(0).value<Attempt>();
    QCOMPARE(attempt.port, QStringLiteral("1:1"));
    QCOMPARE(attempt.mode, QStringLiteral("Image"));
    QCOMPARE(attempt.imagePath, dir->filePath("sample.img"));
    QCOMPARE(attemptOutcomeName(attempt.outcome), outcome);
    if (reason.isEmpty())
        QVERIFY2(attempt.reason.isEmpty(), qPrintable(attempt.reason));
    else
        QVERIFY2(attempt.reason.startsWith(reason), qPrintable(attempt.reason));
    // The failure line takes the place of its percentage: the last one
    // printed comes before it.
    if (outcome == QLatin1String("failed") && step == Step::None && !reason.contains(QLatin1String("code")))
        QVERIFY2(attempt.progress >= 0 && attempt.progress <= progress, qPrintable(QString::number(attempt.progress)));
    else
        QCOMPARE(attempt.progress, progress);
    QVERIFY(attempt.started >= before.addMSecs(-1));
    QVERIFY(attempt.ended >= attempt.started);
    QCOMPARE(attempt.started.timeSpec(), Qt::UTC);

    const bool toolRan = step != Step::RemoveTool && step != Step::Refuse;
    QCOMPARE(started.count(), step == Step::Refuse ? 0 : 1);
    if (toolRan) {
        QCOMPARE(attempt.arguments, QStringList({"-d", "-m", "1:1", "all_uuu_temp.auto"}));
        QCOMPARE(attempt.logPath, QStringLiteral("logs/1_1_log.txt"));
        // Everything the log holds was announced, in order.
        QCOMPARE(logged, dir->readFile("logs/1_1_log.txt"));
    }
    // The other board's row is untouched.
    if (w)
        QCOMPARE(w->statusLabelAt(w->findRowByPath("1:2"))->text(), QStringLiteral("Idle"));
}

void TestAttempts::listingsAreAnnounced()
{
    w = dir->openWindow("board 1:1\nboard 1:2\nboard 1:3\n");
    QSignalSpy listings(w->attemptSignals(), &AttemptSignals::listingFinished);
    w->rescanDevices();
    dir->writeScenario("listing exit_code=2\n");
    w->rescanDevices();
    QCOMPARE(listings.count(), 2);
    QCOMPARE(listings.at(0), QVariantList({true, 3}));
    QCOMPARE(listings.at(1), QVariantList({false, 0}));
}

QTEST_MAIN(TestAttempts)
#include "tst_attempts.moc"
