#include "app/commandline.h"
#include "app/station.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The command line: what it asks for, what it refuses, and the real binary
// reporting on a journal without a display.
class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void badCommandLines_data();
    void badCommandLines();
    void optionValues();
    void noOptionsOpensTheWindow_data();
    void noOptionsOpensTheWindow();
    void helpListsTheExitCodes();
    void binary_data();
    void binary();
};

namespace {

CommandLine parse(const QStringList &arguments)
{
    return parseCommandLine(QStringList{"velmora"} + arguments);
}

const QString Hex = QStringLiteral("3f9c2a1b") + QString(56, 'D');

} // namespace

void TestCommandLine::badCommandLines_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("message");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << "Unknown option 'bogus'";
    QTest::newRow("unknown single dash") << QStringList{"-x"} << "Unknown option 'x'";
    QTest::newRow("value after a flag") << QStringList{"--report=old.jsonl"} << "Unexpected value after '--report'";
    QTest::newRow("missing value") << QStringList{"--image"} << "Missing value after '--image'";
    QTest::newRow("stray word") << QStringList{"journal.jsonl"} << "unexpected argument 'journal.jsonl'";
    QTest::newRow("two journals") << QStringList{"--report", "a", "b"} << "one journal";
    QTest::newRow("csv without report") << QStringList{"--csv"} << "--csv needs --report";
    QTest::newRow("report does not flash") << QStringList{"--report", "--headless"} << "--headless does not go";
    QTest::newRow("expect: a word") << QStringList{"--expect", "many"} << "--expect: 'many'";
    QTest::newRow("expect: zero") << QStringList{"--expect", "0"} << "--expect: '0'";
    QTest::newRow("expect: negative") << QStringList{"--expect", "-3"} << "--expect: '-3'";
    QTest::newRow("expect: fraction") << QStringList{"--expect", "2.5"} << "--expect: '2.5'";
    QTest::newRow("timeout: a word") << QStringList{"--timeout", "soon"} << "--timeout: 'soon'";
    QTest::newRow("timeout: zero") << QStringList{"--timeout", "0"} << "--timeout: '0'";
    QTest::newRow("timeout: infinite") << QStringList{"--timeout", "inf"} << "--timeout: 'inf'";
    QTest::newRow("sha256: short") << QStringList{"--expect-sha256", Hex.left(63)} << "not a SHA-256";
    QTest::newRow("sha256: long") << QStringList{"--expect-sha256", Hex + "0"} << "not a SHA-256";
    QTest::newRow("sha256: not hex") << QStringList{"--expect-sha256", Hex.left(63) + "g"} << "not a SHA-256";
    QTest::newRow("since: no such day") << QStringList{"--report", "--since", "2026-02-30"} << "--since: '2026-02-30'";
    QTest::newRow("since: a word") << QStringList{"--report", "--since", "yesterday"} << "--since: 'yesterday'";
    QTest::newRow("mode") << QStringList{"--mode", "Bootloader"} << "--mode: 'Bootloader'";
}

void TestCommandLine::badCommandLines()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, message);
    const CommandLine commandLine = parse(arguments);
    QCOMPARE(commandLine.action, CommandLineAction::Exit);
    QCOMPARE(commandLine.exitCode, 2);
    QVERIFY2(commandLine.error.contains(message), qPrintable(commandLine.error));
    QVERIFY(commandLine.error.startsWith("velmora: "));
    QVERIFY(commandLine.output.isEmpty());
}

void TestCommandLine::optionValues()
{
    const CommandLine flash =
        parse({"--headless", "--image", "/srv/images/vb300 rc1.img", "--mode", "kernel", "--expect", "16", "--timeout",
               "90.5", "--expect-sha256", Hex, "--json", "--auto-start", "--metrics", "velmora.prom"});
    QCOMPARE(flash.action, CommandLineAction::OpenWindow);
    const Options &o = flash.options;
    QVERIFY(o.headless && o.json && o.autoStart && !o.report);
    QCOMPARE(o.image, QStringLiteral("/srv/images/vb300 rc1.img"));
    QCOMPARE(o.mode, QStringLiteral("Kernel"));
    QCOMPARE(o.expectBoards, 16);
    QCOMPARE(o.timeoutSeconds, 90.5);
    QCOMPARE(o.expectSha256, Hex.toLower());
    QCOMPARE(o.metricsFile, QStringLiteral("velmora.prom"));

    const CommandLine report = parse({"--report", "other/journal.jsonl", "--since", "2026-12-09", "--csv"});
    QCOMPARE(report.action, CommandLineAction::Report);
    QCOMPARE(report.options.journal, QStringLiteral("other/journal.jsonl"));
    QVERIFY(report.options.csv);
    // A day alone is the station's midnight; a time with its zone is that moment.
    QCOMPARE(report.options.since, QDateTime(QDate(2026, 12, 9), QTime(0, 0), Qt::LocalTime));
    QCOMPARE(parse({"--report", "--since", "2026-12-09T06:30:00Z"}).options.since,
             QDateTime(QDate(2026, 12, 9), QTime(6, 30), Qt::UTC));
    QCOMPARE(parse({"--report", "--since", "2026-12-09 07:30+01:00"}).options.since,
             QDateTime(QDate(2026, 12, 9), QTime(6, 30), Qt::UTC));
    QCOMPARE(parse({"--report"}).options.journal, QString());
}

void TestCommandLine::noOptionsOpensTheWindow_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("none") << QStringList();
    // The toolkit's own options go on to the application object.
    QTest::newRow("toolkit options") << QStringList{"-platform", "offscreen", "-style=fusion", "-reverse"};
}

void TestCommandLine::noOptionsOpensTheWindow()
{
    QFETCH(QStringList, arguments);
    const CommandLine commandLine = parse(arguments);
    QCOMPARE(commandLine.action, CommandLineAction::OpenWindow);
    QVERIFY(commandLine.error.isEmpty());
    const Options &o = commandLine.options;
    const Options defaults;
    QVERIFY(!o.report && !o.csv && !o.headless && !o.json && !o.autoStart);
    QVERIFY(o.journal.isEmpty() && !o.since.isValid() && o.expectSha256.isEmpty() && o.image.isEmpty() &&
            o.mode.isEmpty() && o.metricsFile.isEmpty());
    QCOMPARE(o.expectBoards, defaults.expectBoards);
    QCOMPARE(o.timeoutSeconds, defaults.timeoutSeconds);
}

void TestCommandLine::helpListsTheExitCodes()
{
    const CommandLine help = parse({"--help"});
    QCOMPARE(help.action, CommandLineAction::Exit);
    QCOMPARE(help.exitCode, 0);
    for (const char *line : {"0  every board finished", "1  at least one board failed", "2  a station error",
                             "3  fewer than N", "4  time-out", "--report [JOURNAL]", "--since <DATE>"})
        QVERIFY2(help.output.contains(QLatin1String(line)), line);
    QVERIFY(!help.output.contains("platform"));
    QCOMPARE(parse({"--help-all"}).output, help.output);
    QCOMPARE(parse({"--version"}).output, QStringLiteral("velmora 1.0\n"));
}

void TestCommandLine::binary_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");
    QTest::addColumn<QString>("err");
    QTest::newRow("unknown option") << QStringList{"--bogus"} << 2 << QString() << "velmora: Unknown option 'bogus'.";
    QTest::newRow("report of the station folder")
        << QStringList{"--report"} << 0 << "Shift report of logs/journal.jsonl" << QString();
    QTest::newRow("report of a named journal, as CSV")
        << QStringList{"--report", "logs/journal.jsonl", "--csv"} << 0 << "s1,1,line-a-04," << QString();
    QTest::newRow("not a journal") << QStringList{"--report", "notes.txt"} << 2 << QString()
                                   << "notes.txt: not a Velmora journal";
    QTest::newRow("no journal") << QStringList{"--report", "missing.jsonl"} << 2 << QString() << "missing.jsonl: ";
}

void TestCommandLine::binary()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QFETCH(QString, err);
    QTemporaryDir station;
    QVERIFY(QDir(station.path()).mkpath("logs"));
    QFile journal(station.filePath("logs/journal.jsonl"));
    QVERIFY(journal.open(QIODevice::WriteOnly));
    journal.write("{\"event\":\"attempt\",\"schema\":1,\"station\":{\"host\":\"line-a-04\",\"folder\":\"/srv/st\"},"
                  "\"session\":\"s1\",\"seq\":1,\"port\":\"1:11\",\"started\":\"2026-12-09T07:01:02.345Z\","
                  "\"seconds\":41.5,\"outcome\":\"finished\"}\n");
    journal.close();
    QFile notes(station.filePath("notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.write("rack 3: replace the hub\n");
    notes.close();

    QProcess velmora;
    velmora.setWorkingDirectory(station.path());
#ifndef Q_OS_WIN
    // No display: a window could not open here, a report needs none.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.insert("QT_QPA_PLATFORM", "xcb");
    velmora.setProcessEnvironment(environment);
#endif
    velmora.start(QStringLiteral(VELMORA_APP_PATH), arguments);
    QVERIFY(velmora.waitForFinished(30000));
    const QString stdoutText = QString::fromUtf8(velmora.readAllStandardOutput());
    const QString stderrText = QString::fromUtf8(velmora.readAllStandardError());
    QCOMPARE(velmora.exitStatus(), QProcess::NormalExit);
    QVERIFY2(velmora.exitCode() == exitCode, qPrintable(stderrText));
    QVERIFY2(stdoutText.contains(out), qPrintable(stdoutText));
    QVERIFY2(stderrText.contains(err), qPrintable(stderrText));
    if (err.isEmpty())
        QCOMPARE(stderrText, QString());
    // Neither a report nor a refusal takes the station.
    QVERIFY(!QFile::exists(station.filePath(QLatin1String(StationLockFileName))));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
