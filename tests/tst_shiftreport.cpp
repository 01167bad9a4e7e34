#include "flashing/shiftreport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QtTest>

// The shift report: a journal's text in, figures, text and CSV out.
class TestShiftReport : public QObject
{
    Q_OBJECT

private slots:
    void figuresEqualWhatWasWritten();
    void suspectPorts_data();
    void suspectPorts();
    void tornLastLine();
    void notAJournal_data();
    void notAJournal();
    void windowsJournal();
    void csvRows();
    void since();
    void renderedText();
    void portOrder();
};

namespace {

const QDateTime ShiftStart(QDate(2026, 12, 9), QTime(6, 0), Qt::UTC);
const char *const Outcomes[] = {"finished", "failed", "stopped", "lost", "not-started"};

QJsonObject station(const QString &host = QStringLiteral("line-a-04"),
                    const QString &folder = QStringLiteral("/srv/velmora/station-1"))
{
    return QJsonObject{{"host", host}, {"folder", folder}};
}

QByteArray line(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QByteArray eventLine(const char *event, const QString &session, const QDateTime &time)
{
    return line({{"event", event},
                 {"schema", 1},
                 {"station", station()},
                 {"session", session},
                 {"time", time.toString(Qt::ISODateWithMs)}});
}

struct Written
{
    QString session;
    int seq = 0;
    QString port;
    QDateTime started;
    double seconds = 0;
    QString outcome;
    QString reason = QStringLiteral("failure word seen");
};

QByteArray attemptLine(const Written &a, const QJsonObject &where = station())
{
    const QString logPath = QStringLiteral("logs/history/2026-12-09/%1_%2_%3.txt").arg(a.port, a.session).arg(a.seq);
    return line(
        {{"event", "attempt"},
         {"schema", 1},
         {"station", where},
         {"session", a.session},
         {"seq", a.seq},
         {"port", a.port},
         {"mode", "Image"},
         {"image", QJsonObject{{"path", "/srv/images/vb200-release.img"}, {"size", 4096}, {"sha256", QJsonValue()}}},
         {"started", a.started.toString(Qt::ISODateWithMs)},
         {"ended", a.started.addMSecs(qint64(a.seconds * 1000)).toString(Qt::ISODateWithMs)},
         {"seconds", a.seconds},
         {"outcome", a.outcome},
         {"reason", a.outcome == QLatin1String("finished") ? QString() : a.reason},
         {"progress", 100},
         {"log", QJsonObject{{"path", logPath}, {"size", 10}, {"sha256", QString(64, '0')}}},
         {"argv", QJsonArray{"-d", "-m", a.port, "scripts/emmc/image_uuu.auto"}}});
}

// A journal of the given outcomes, one letter per attempt (f finished,
// F failed, S stopped, L lost, N not started), each port's string in turn
// one attempt a minute.
QByteArray journalOf(const QMap<QString, QString> &portOutcomes)
{
    static const QHash<QChar, QString> names = {
        {'f', "finished"}, {'F', "failed"}, {'S', "stopped"}, {'L', "lost"}, {'N', "not-started"}};
    QByteArray text = eventLine("start", "s1", ShiftStart);
    int seq = 0;
    for (auto it = portOutcomes.cbegin(); it != portOutcomes.cend(); ++it) {
        for (const QChar letter : it.value()) {
            ++seq;
            text += attemptLine({"s1", seq, it.key(), ShiftStart.addSecs(60 * seq), 30, names.value(letter)});
        }
    }
    return text;
}

// The non-zero counts by outcome name.
QMap<QString, int> countsOf(const OutcomeCounts &counts)
{
    const QList<QPair<QString, int>> named = {{"finished", counts.finished},
                                              {"failed", counts.failed},
                                              {"stopped", counts.stopped},
                                              {"lost", counts.lost},
                                              {"not-started", counts.notStarted}};
    QMap<QString, int> map;
    for (const auto &pair : named) {
        if (pair.second > 0)
            map.insert(pair.first, pair.second);
    }
    return map;
}

double mean(const QList<double> &values)
{
    return std::accumulate(values.begin(), values.end(), 0.0) / values.size();
}

const PortSummary *portIn(const ShiftReport &report, const QString &port)
{
    for (const PortSummary &summary : report.ports) {
        if (summary.port == port)
            return &summary;
    }
    return nullptr;
}

} // namespace

void TestShiftReport::figuresEqualWhatWasWritten()
{
    // Three sessions of a seeded mix; the test keeps its own tally.
    QRandomGenerator random(1709);
    const QStringList ports = {"1:11", "1:12", "2:3", "2:4", "3:1"};
    QByteArray text;
    QMap<QString, QMap<QString, int>> perSession;
    QMap<QString, int> failures;
    QMap<QString, QList<double>> finishedSeconds;
    QList<double> allSeconds;
    QDateTime time = ShiftStart;
    for (const QString session : {"a1f3", "b2e4", "c3d5"}) {
        text += eventLine("start", session, time);
        for (int seq = 1, count = 10 + random.bounded(20); seq <= count; ++seq) {
            Written a{session,
                      seq,
                      ports.at(random.bounded(ports.size())),
                      time,
                      20 + random.bounded(400) / 10.0,
                      Outcomes[random.bounded(5)]};
            time = time.addSecs(7);
            text += attemptLine(a);
            ++perSession[session][a.outcome];
            failures[a.port] += a.outcome == "failed" || a.outcome == "lost";
            if (a.outcome == "finished") {
                finishedSeconds[a.port] << a.seconds;
                allSeconds << a.seconds;
            }
        }
        if (session != QLatin1String("c3d5")) // the last one was killed: no end line
            text += eventLine("end", session, time);
    }

    const Journal journal = parseJournal(text);
    QVERIFY(journal.error.isEmpty());
    QCOMPARE(journal.warnings, QStringList());
    const ShiftReport report = computeShiftReport(journal);
    QCOMPARE(report.sessions.size(), 3);
    QMap<QString, int> all;
    for (const SessionSummary &summary : report.sessions) {
        QCOMPARE(countsOf(summary.outcomes), perSession.value(summary.session.id));
        QCOMPARE(summary.session.ended.isValid(), summary.session.id != QLatin1String("c3d5"));
        for (auto it = perSession[summary.session.id].cbegin(); it != perSession[summary.session.id].cend(); ++it)
            all[it.key()] += it.value();
    }
    QCOMPARE(countsOf(report.all), all);
    QCOMPARE(report.passRate, 100.0 * all["finished"] / (all["finished"] + all["failed"] + all["lost"]));
    for (const QString &port : ports) {
        const PortSummary *summary = portIn(report, port);
        QVERIFY2(summary, qPrintable(port));
        QCOMPARE(summary->failures, failures.value(port));
        const QList<double> seconds = finishedSeconds.value(port);
        QCOMPARE(summary->outcomes.finished, seconds.size());
        if (!seconds.isEmpty()) {
            QCOMPARE(summary->longestSeconds, *std::max_element(seconds.begin(), seconds.end()));
            QVERIFY(qFuzzyCompare(summary->meanSeconds, mean(seconds)));
        }
    }
    QCOMPARE(report.timedBoards, allSeconds.size());
    QCOMPARE(report.longest.seconds, *std::max_element(allSeconds.begin(), allSeconds.end()));
    QVERIFY(qFuzzyCompare(report.meanSeconds, mean(allSeconds)));
}

void TestShiftReport::suspectPorts_data()
{
    // Outcomes of port 1:1, a space, then those of port 1:2.
    QTest::addColumn<QString>("outcomes");
    QTest::addColumn<int>("run");
    QTest::addColumn<bool>("suspect");
    QTest::newRow("three failures") << "fFFF f" << 3 << true;
    QTest::newRow("two are not enough") << "fFF f" << 2 << false;
    QTest::newRow("lost counts as a failure") << "FLF f" << 3 << true;
    QTest::newRow("a stop does not break the run") << "FFSF f" << 3 << true;
    QTest::newRow("a refused start does not break it") << "FNFF f" << 3 << true;
    QTest::newRow("a finished board breaks it") << "FFfFF f" << 2 << false;
    QTest::newRow("no other port passes") << "FFF FS" << 3 << false;
    QTest::newRow("stops are not failures") << "SSSS f" << 0 << false;
}

void TestShiftReport::suspectPorts()
{
    QFETCH(QString, outcomes);
    QFETCH(int, run);
    QFETCH(bool, suspect);
    const QStringList ports = outcomes.split(' ');
    const ShiftReport report = computeShiftReport(parseJournal(journalOf({{"1:1", ports[0]}, {"1:2", ports[1]}})));
    const PortSummary *port = portIn(report, "1:1");
    QVERIFY(port);
    QCOMPARE(port->longestFailureRun, run);
    QCOMPARE(port->suspect, suspect);
    QVERIFY(!portIn(report, "1:2")->suspect);
}

void TestShiftReport::tornLastLine()
{
    const QByteArray whole = journalOf({{"1:1", "fFf"}});
    const QByteArray torn = whole + attemptLine({"s1", 4, "1:1", ShiftStart.addSecs(600), 3, "failed"}).left(57);
    const Journal journal = parseJournal(torn);
    QVERIFY(journal.error.isEmpty());
    QCOMPARE(journal.attempts.size(), 3);
    QCOMPARE(journal.warnings.size(), 1);
    QVERIFY2(journal.warnings.first().contains("line 5"), qPrintable(journal.warnings.first()));

    // Killed while writing the first line: an empty journal, not a foreign file.
    const Journal first = parseJournal(eventLine("start", "s2", ShiftStart).left(30));
    QVERIFY(first.error.isEmpty());
    QCOMPARE(first.warnings.size(), 1);

    // Only the last line may be torn: one in the middle is skipped and said.
    const Journal middle =
        parseJournal(torn + '\n' + attemptLine({"s1", 5, "1:1", ShiftStart.addSecs(700), 3, "failed"}));
    QCOMPARE(middle.attempts.size(), 4);
    QCOMPARE(middle.warnings.size(), 1);
    QVERIFY(middle.error.isEmpty());
}

void TestShiftReport::notAJournal_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::newRow("csv") << QByteArray("session,seq,port\ns1,1,1:1\n");
    QTest::newRow("a board log") << QByteArray("VB100 1:11 write 42%\nOkay\n");
    QTest::newRow("json array") << QByteArray("[1,2,3]\n");
    QTest::newRow("json object of another kind") << QByteArray("{\"name\":\"velmora\",\"version\":1}\n{\"a\":1}\n");
    QTest::newRow("binary") << QByteArray("\x7f"
                                          "ELF\x02\x01\x01\0\0\0\0",
                                          11);
}

void TestShiftReport::notAJournal()
{
    QFETCH(QByteArray, text);
    const Journal journal = parseJournal(text + journalOf({{"1:1", "f"}}));
    QVERIFY(journal.error.contains("not a Velmora journal"));
    QVERIFY(journal.attempts.isEmpty());

    // An empty file is an empty journal, not an error.
    QVERIFY(parseJournal(QByteArray()).error.isEmpty());
    QVERIFY(parseJournal("\n\n").error.isEmpty());
}

void TestShiftReport::windowsJournal()
{
    const QJsonObject windowsStation = station("LINE-B-07", "C:\\Velmora\\station 2");
    QByteArray text = attemptLine({"w1", 1, "1:11", ShiftStart, 31.5, "finished"}, windowsStation) +
                      attemptLine({"w1", 2, "1:12", ShiftStart.addSecs(5), 2, "failed"}, windowsStation);
    text.replace("\n", "\r\n");
    const Journal journal = parseJournal(text);
    QVERIFY(journal.error.isEmpty());
    QCOMPARE(journal.warnings, QStringList());
    QCOMPARE(journal.attempts.size(), 2);
    QCOMPARE(journal.attempts.at(0).folder, QStringLiteral("C:\\Velmora\\station 2"));
    QCOMPARE(journal.attempts.at(1).outcome, QStringLiteral("failed"));
    QCOMPARE(journal.attempts.at(1).reason, QStringLiteral("failure word seen"));
    const ShiftReport report = computeShiftReport(journal);
    QCOMPARE(report.passRate, 50.0);
    // A session known only from its attempts takes its station from them.
    QCOMPARE(report.sessions.size(), 1);
    QCOMPARE(report.sessions.first().session.host, QStringLiteral("LINE-B-07"));
}

void TestShiftReport::csvRows()
{
    Written quoted{"s1", 2, "2:3", ShiftStart.addSecs(60), 4, "failed", "exit code 3, \"image not found\""};
    const Journal journal =
        parseJournal(attemptLine({"s1", 1, "1:11", ShiftStart, 12.25, "finished"}, station("line-a-04", "C:\\st 1")) +
                     attemptLine(quoted));
    const QStringList rows = renderAttemptsCsv(journal).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(rows.size(), 3);
    QVERIFY(rows.at(0).startsWith("session,seq,host,folder,port,mode,started,ended,seconds,outcome,reason"));
    QCOMPARE(rows.at(1).section(',', 0, 10),
             QStringLiteral("s1,1,line-a-04,C:\\st 1,1:11,Image,2026-12-09T06:00:00.000Z,2026-12-09T06:00:12.250Z,"
                            "12.250,finished,"));
    QVERIFY2(rows.at(2).contains(",failed,\"exit code 3, \"\"image not found\"\"\",100,"), qPrintable(rows.at(2)));
}

void TestShiftReport::since()
{
    const Journal journal = parseJournal(journalOf({{"1:1", "fFfFf"}})); // at 06:01 ... 06:05
    const QDateTime at0603(QDate(2026, 12, 9), QTime(6, 3), Qt::UTC);
    const Journal recent = journalSince(journal, at0603);
    QCOMPARE(recent.attempts.size(), 3); // the one started at 06:03 itself is in
    QCOMPARE(recent.attempts.first().seq, 3);
    QCOMPARE(recent.sessions.size(), 1);
    // The same moment in another zone.
    QCOMPARE(journalSince(journal, at0603.toOffsetFromUtc(3600)).attempts.size(), 3);
    QVERIFY(journalSince(journal, at0603.addDays(1)).attempts.isEmpty());
    QVERIFY(journalSince(journal, at0603.addDays(1)).sessions.isEmpty());
    QCOMPARE(journalSince(journal, QDateTime()).attempts.size(), 5);
}

void TestShiftReport::renderedText()
{
    const ShiftReport report = computeShiftReport(parseJournal(journalOf({{"1:1", "fFFF"}, {"1:2", "ffS"}})));
    const QString text = renderShiftReport(report, "logs/journal.jsonl");
    QVERIFY2(text.contains("Pass rate: 50.0 % (3 finished of 6 flashed"), qPrintable(text));
    QVERIFY(text.contains("no end line"));
    QVERIFY(text.contains(
        QRegularExpression("\n  1:1  3 failures in a row, the last at 2026-12-09 06:04:00: failure word seen\n")));
    QVERIFY(text.contains(QRegularExpression("\n1:2 +3 +2 +0 +30.0 +30.0\n")));
    QVERIFY(renderShiftReport(computeShiftReport(parseJournal(journalOf({{"1:1", "ff"}}))), "j")
                .contains("while other ports pass): none"));
    QVERIFY(renderShiftReport(computeShiftReport(Journal()), "j").contains("No attempts."));
}

void TestShiftReport::portOrder()
{
    const QStringList ordered = {"1:2", "1:010", "1:11", "1:11.1", "2:1", "a", "b"};
    for (int i = 1; i < ordered.size(); ++i) {
        QVERIFY2(portLessThan(ordered[i - 1], ordered[i]), qPrintable(ordered[i]));
        QVERIFY(!portLessThan(ordered[i], ordered[i - 1]));
        QVERIFY(!portLessThan(ordered[i], ordered[i]));
    }
}

QTEST_GUILESS_MAIN(TestShiftReport)
#include "tst_shiftreport.moc"
