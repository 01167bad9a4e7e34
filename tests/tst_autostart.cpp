// Factory mode: boards that appear are started once; a board that ended stays
// ended until it has left and a board is plugged into its port again.
#include "testsupport.h"

#include "app/autostart.h"
#include "app/widget.h"
#include "discovery/fakedevicesource.h"

#include <QLabel>
#include <QPushButton>
#include <QtTest>

class TestAutoStart : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void boardsAppearingAreStartedOnce();
    void operatorStopHoldsWhilePlugged();
    void burstStartsEachNewBoardOnce();
    void waitsForAnImage();
    void waitsForTheStartCheck();

private:
    // Flash runs per port so far.
    QMap<QString, int> runs() const;
    // Lists again through a device event, as a kernel would cause.
    void plugAndList(const QByteArray &boards);
    // The status of the port's row, or "" while it has none.
    QString status(const char *port) const;

    ToolDir *dir = nullptr;
    Widget *w = nullptr;
    AutoStart *autoStart = nullptr;
};

void TestAutoStart::init()
{
    dir = new ToolDir;
    QVERIFY(dir->isValid());
}

void TestAutoStart::cleanup()
{
    delete w; // owns autoStart
    w = nullptr;
    autoStart = nullptr;
    delete dir;
    dir = nullptr;
}

QMap<QString, int> TestAutoStart::runs() const
{
    QMap<QString, int> counts;
    for (const ToolCall &call : dir->toolCalls()) {
        if (call.args.value(0) == QLatin1String("-d"))
            ++counts[call.args.value(2)];
    }
    return counts;
}

QString TestAutoStart::status(const char *port) const
{
    const QLabel *label = w->statusLabelAt(w->findRowByPath(port));
    return label ? label->text() : QString();
}

void TestAutoStart::plugAndList(const QByteArray &boards)
{
    dir->writeScenario("log tool.log\n" + boards);
    fakeDeviceSource(w)->plug(QStringLiteral("USB#VID_FFF0&PID_FFF1#slot"));
}

void TestAutoStart::boardsAppearingAreStartedOnce()
{
    w = dir->openWindow("board 1:1 duration_ms=100\n");
    autoStart = new AutoStart(w);
    QVERIFY(w->windowTitle().contains(QLatin1String("auto-start")));
    QTRY_COMPARE(status("1:1"), QStringLiteral("Finished"));

    // A second board appears: it starts, the first stays as it ended.
    plugAndList("board 1:1 duration_ms=100\nboard 1:2 outcome=fail@20\n");
    QTRY_COMPARE(status("1:2"), QStringLiteral("Failed"));
    QTest::qWait(300); // a second start would come now
    QCOMPARE(runs(), (QMap<QString, int>{{"1:1", 1}, {"1:2", 1}}));
    QCOMPARE(status("1:1"), QStringLiteral("Finished"));

    // The failed board is pulled and a new one plugged into its port.
    plugAndList("board 1:1 duration_ms=100\n");
    QTRY_COMPARE(w->findRowByPath("1:2"), -1);
    plugAndList("board 1:1 duration_ms=100\nboard 1:2 duration_ms=100\n");
    QTRY_COMPARE(runs().value("1:2"), 2);
    QTRY_COMPARE(status("1:2"), QStringLiteral("Finished"));
    QCOMPARE(runs().value("1:1"), 1);
}

void TestAutoStart::operatorStopHoldsWhilePlugged()
{
    w = dir->openWindow("board 1:1 outcome=hang@30\n");
    autoStart = new AutoStart(w);
    QTRY_COMPARE(runs().value("1:1"), 1);
    QTRY_COMPARE(status("1:1"), QStringLiteral("Running"));
    w->runOrStopDevice("1:1");
    QTRY_COMPARE(status("1:1"), QStringLiteral("Stopped"));

    plugAndList("board 1:1 outcome=hang@30\nboard 1:2 duration_ms=100\n");
    QTRY_COMPARE(status("1:2"), QStringLiteral("Finished"));
    QCOMPARE(status("1:1"), QStringLiteral("Stopped"));
    // "List" shows it "Idle" again, as a new listing does; it is the same board.
    QTest::mouseClick(w->findChild<QPushButton *>("listButton"), Qt::LeftButton);
    QTest::qWait(300);
    QCOMPARE(runs().value("1:1"), 1);

    // Run and StartAll keep their meaning.
    w->runOrStopDevice("1:1");
    QTRY_COMPARE(runs().value("1:1"), 2);
    w->runOrStopDevice("1:1");
    QTRY_COMPARE(status("1:1"), QStringLiteral("Stopped"));
}

void TestAutoStart::burstStartsEachNewBoardOnce()
{
    w = dir->openWindow("board 2:1 duration_ms=100\n");
    autoStart = new AutoStart(w);
    QTRY_COMPARE(status("2:1"), QStringLiteral("Finished"));
    QByteArray boards;
    for (int i = 1; i <= 6; ++i)
        boards += "board 2:" + QByteArray::number(i) + " duration_ms=200\n";
    dir->writeScenario("log tool.log\n" + boards);
    for (int i = 0; i < 40; ++i)
        fakeDeviceSource(w)->plug(QStringLiteral("USB#VID_FFF0&PID_FFF1#rack%1").arg(i));
    for (int i = 2; i <= 6; ++i)
        QTRY_COMPARE(status(qPrintable(QStringLiteral("2:%1").arg(i))), QStringLiteral("Finished"));
    QTest::qWait(300);
    const QMap<QString, int> counts = runs();
    QCOMPARE(counts.size(), 6);
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        QVERIFY2(it.value() == 1, qPrintable(it.key()));
}

void TestAutoStart::waitsForAnImage()
{
    w = dir->openWindow("board 1:1 duration_ms=100\n");
    const QString image = w->imagePath();
    w->setImagePath(QString());
    MessageBoxCloser boxes;
    autoStart = new AutoStart(w);
    // Typing the path: its first letters name no image.
    w->setImagePath(image.left(image.size() - 3));
    QTest::qWait(300);
    QVERIFY(runs().isEmpty());
    QCOMPARE(boxes.closedCount(), 0);
    w->setImagePath(image);
    QTRY_COMPARE(status("1:1"), QStringLiteral("Finished"));
    QCOMPARE(runs().value("1:1"), 1);
}

void TestAutoStart::waitsForTheStartCheck()
{
    w = dir->openWindow("board 1:1 duration_ms=100\n");
    bool verified = false;
    w->setStartCheck([&verified](const QString &) {
        return verified ? StartRefusal() : StartRefusal{QStringLiteral("image checksum pending"), QStringLiteral("")};
    });
    MessageBoxCloser boxes;
    autoStart = new AutoStart(w);
    QTest::qWait(300);
    QVERIFY(runs().isEmpty());
    QCOMPARE(boxes.closedCount(), 0);
    verified = true;
    autoStart->schedulePass();
    QTRY_COMPARE(status("1:1"), QStringLiteral("Finished"));
}

QTEST_MAIN(TestAutoStart)
#include "tst_autostart.moc"
