// The real velmora binary run headless, as a test farm runs it: no display,
// the results on standard output, the exit code, the journal, and no tool
// left once it has ended, also when it is ended by a signal mid-rack.
//
// It signals processes, so it runs only through run-in-pidns.sh, in a PID
// namespace of its own.
#include "testsupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QtTest>

#include <csignal>

class TestHeadlessBinary : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void rackGivesExitCodeAndJournal_data();
    void rackGivesExitCodeAndJournal();
    void terminationSignalStopsEveryTool();

private:
    QProcess *startHeadless(const QStringList &extra);

    ToolDir *dir = nullptr;
    QProcess *velmora = nullptr;
};

void TestHeadlessBinary::init()
{
    dir = new ToolDir;
    QVERIFY(dir->isValid());
}

void TestHeadlessBinary::cleanup()
{
    delete velmora;
    velmora = nullptr;
    delete dir;
    dir = nullptr;
}

QProcess *TestHeadlessBinary::startHeadless(const QStringList &extra)
{
    velmora = new QProcess;
    velmora->setWorkingDirectory(dir->path());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.insert(QStringLiteral("UUU_SIM_SCENARIO"), dir->filePath(QStringLiteral("uuu_scenario.txt")));
    velmora->setProcessEnvironment(environment);
    velmora->start(QStringLiteral(VELMORA_APP_PATH),
                   QStringList{QStringLiteral("--headless"), QStringLiteral("--image"), QStringLiteral("sample.img")} +
                       extra);
    return velmora;
}

void TestHeadlessBinary::rackGivesExitCodeAndJournal_data()
{
    QTest::addColumn<QByteArray>("boards");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("outcomes");

    QTest::newRow("all finish") << QByteArray("board 1:1 duration_ms=200\nboard 1:2 duration_ms=300\n") << QStringList()
                                << 0 << QStringList{"finished", "finished"};
    QTest::newRow("one failure word") << QByteArray("board 1:1 duration_ms=200\nboard 1:2 outcome=fail@40\n")
                                      << QStringList() << 1 << QStringList{"finished", "failed"};
    QTest::newRow("fewer than expected") << QByteArray("board 1:1 duration_ms=200\n") << QStringList{"--expect", "2"}
                                         << 3 << QStringList();
    QTest::newRow("hang past the time-out") << QByteArray("board 1:1 duration_ms=200\nboard 1:2 outcome=hang@20\n")
                                            << QStringList{"--timeout", "3"} << 4 << QStringList{"finished", "stopped"};
}

void TestHeadlessBinary::rackGivesExitCodeAndJournal()
{
    QFETCH(QByteArray, boards);
    QFETCH(QStringList, extra);
    QFETCH(int, exitCode);
    QFETCH(QStringList, outcomes);

    dir->writeScenario("log tool.log\n" + boards);
    startHeadless(extra << QStringLiteral("--json"));
    QVERIFY(velmora->waitForFinished(60000));
    QCOMPARE(velmora->exitStatus(), QProcess::NormalExit);
    QCOMPARE(velmora->exitCode(), exitCode);

    // Standard output is one JSON document, whatever the window printed as
    // it closed.
    QJsonParseError error;
    const QJsonDocument summary = QJsonDocument::fromJson(velmora->readAllStandardOutput(), &error);
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
    QStringList reported;
    for (const QJsonValue &board : summary.object().value(QStringLiteral("boards")).toArray())
        reported << board.toObject().value(QStringLiteral("outcome")).toString();
    reported.sort();
    outcomes.sort();
    QCOMPARE(reported, outcomes);

    QStringList journaled;
    for (const QJsonObject &line : dir->journalLines()) {
        if (line.value(QStringLiteral("event")).toString() == QLatin1String("attempt"))
            journaled << line.value(QStringLiteral("outcome")).toString();
    }
    journaled.sort();
    QCOMPARE(journaled, outcomes);
    for (qint64 pid : dir->flashPids())
        QVERIFY(!processAlive(pid));
}

void TestHeadlessBinary::terminationSignalStopsEveryTool()
{
    dir->writeScenario(
        "log tool.log\nboard 1:1 outcome=hang@20\nboard 1:2 outcome=hang@20\nboard 1:3 outcome=hang@20\n");
    startHeadless({});
    QTRY_COMPARE_WITH_TIMEOUT(dir->flashPids().size(), 3, 30000);
    QTRY_VERIFY_WITH_TIMEOUT(dir->readFile(QStringLiteral("logs/1_3_log.txt")).contains("20%"), 30000);
    ::kill(pid_t(velmora->processId()), SIGTERM);
    QVERIFY(velmora->waitForFinished(30000));
    QCOMPARE(velmora->exitStatus(), QProcess::NormalExit);
    QCOMPARE(velmora->exitCode(), 1);
    const QByteArray out = velmora->readAllStandardOutput();
    QCOMPARE(out.count("\tstopped\t"), 3);
    for (qint64 pid : dir->flashPids())
        QVERIFY(!processAlive(pid));
    int stopped = 0;
    for (const QJsonObject &line : dir->journalLines())
        stopped += line.value(QStringLiteral("outcome")).toString() == QLatin1String("stopped");
    QCOMPARE(stopped, 3);
}

QTEST_GUILESS_MAIN(TestHeadlessBinary)
#include "tst_headlessbinary.moc"
