#include "flashing/metrics.h"
#include "metricsparser.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// The station's metrics text, read back with a parser of the exposition
// format (and with promtool where it is installed).
class TestMetrics : public QObject
{
    Q_OBJECT

private slots:
    void labelsRoundTrip_data();
    void labelsRoundTrip();
    void familiesAndCounters();
    void histogramBuckets_data();
    void histogramBuckets();
    void listingSuccessUnknownUntilSeen();
    void attemptsCounted();

private:
    static StationMetricsState sampleState();
    static QByteArray promtoolErrors(const QByteArray &text);
};

// What promtool says against the text, or "" when it accepts it or is not
// installed.
QByteArray TestMetrics::promtoolErrors(const QByteArray &text)
{
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty())
        return {};
    QProcess check;
    check.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    check.waitForStarted();
    check.write(text);
    check.closeWriteChannel();
    if (check.waitForFinished() && check.exitStatus() == QProcess::NormalExit && check.exitCode() == 0)
        return {};
    return "promtool: " + check.readAllStandardOutput() + check.readAllStandardError();
}

StationMetricsState TestMetrics::sampleState()
{
    StationMetricsState state;
    state.host = QStringLiteral("line3-velmora-07");
    state.folder = QStringLiteral("/srv/velmora/station 7");
    state.sessionStartSeconds = 1765266000.25;
    state.updateSeconds = 1765266123.5;
    state.boardsListed = 16;
    state.jobsRunning = 3;
    state.lastListingSucceeded = 1;
    return state;
}

void TestMetrics::labelsRoundTrip_data()
{
    QTest::addColumn<QString>("value");
    QTest::newRow("plain") << "1:11";
    QTest::newRow("backslashes") << "C:\\usb\\2/4";
    QTest::newRow("trailing backslash") << "C:\\stations\\";
    QTest::newRow("double quote") << "say \"hi\"";
    QTest::newRow("line feed") << "two\nlines";
    QTest::newRow("escape lookalike") << "a\\nb";
    QTest::newRow("brace and comma") << "x},y=\"z";
    QTest::newRow("unicode") << QString::fromUtf8("\xE5\xB7\xA5\xE4\xBD\x8D 7");
    QTest::newRow("empty") << "";
}

// Host, folder and port each survive the escaping intact, on every series,
// for this reader and for Prometheus's own (promtool, where installed).
void TestMetrics::labelsRoundTrip()
{
    QFETCH(QString, value);
    StationMetricsState state = sampleState();
    state.host = value;
    state.folder = value + QStringLiteral("/f");
    Attempt attempt;
    attempt.port = value;
    attempt.outcome = AttemptOutcome::Failed;
    attempt.started = QDateTime::currentDateTimeUtc();
    attempt.ended = attempt.started.addSecs(31);
    state.countAttempt(attempt);
    const QByteArray text = renderStationMetrics(state);
    const QByteArray rejected = promtoolErrors(text);
    QVERIFY2(rejected.isEmpty(), rejected.constData());
    const ParsedMetrics parsed = parseExposition(text);
    QVERIFY2(parsed.error.isEmpty(), qPrintable(parsed.error));
    QVERIFY(parsed.samples.size() > 10);
    for (const MetricSample &sample : parsed.samples) {
        QCOMPARE(sample.labels.value("host"), value);
        QCOMPARE(sample.labels.value("folder"), value + QStringLiteral("/f"));
    }
    const QVector<MetricSample> port = parsed.find("velmora_port_attempts_total");
    QCOMPARE(port.size(), 1);
    QCOMPARE(port.first().labels.value("port"), value);
    QCOMPARE(port.first().labels.value("outcome"), QStringLiteral("failed"));
    QCOMPARE(port.first().value, 1.0);
}

void TestMetrics::familiesAndCounters()
{
    const ParsedMetrics parsed = parseExposition(renderStationMetrics(sampleState()));
    QVERIFY2(parsed.error.isEmpty(), qPrintable(parsed.error));
    const QMap<QString, QString> types{{"velmora_session_start_time_seconds", "gauge"},
                                       {"velmora_last_update_time_seconds", "gauge"},
                                       {"velmora_boards_listed", "gauge"},
                                       {"velmora_jobs_running", "gauge"},
                                       {"velmora_last_listing_success", "gauge"},
                                       {"velmora_attempts_total", "counter"},
                                       {"velmora_port_attempts_total", "counter"},
                                       {"velmora_attempt_duration_seconds", "histogram"}};
    QCOMPARE(parsed.types, types);
    for (const QString &family : types.keys())
        QVERIFY2(!parsed.help.value(family).isEmpty(), qPrintable(family));
    QCOMPARE(parsed.value("velmora_session_start_time_seconds"), 1765266000.25);
    QCOMPARE(parsed.value("velmora_last_update_time_seconds"), 1765266123.5);
    QCOMPARE(parsed.value("velmora_boards_listed"), 16.0);
    QCOMPARE(parsed.value("velmora_jobs_running"), 3.0);
    QCOMPARE(parsed.value("velmora_last_listing_success"), 1.0);
    // Every outcome has its counter from the start, so that rates of a
    // station with no failure yet are 0 rather than missing.
    QStringList outcomes;
    for (const MetricSample &sample : parsed.find("velmora_attempts_total")) {
        outcomes << sample.labels.value("outcome");
        QCOMPARE(sample.value, 0.0);
    }
    QCOMPARE(outcomes, (QStringList{"finished", "failed", "stopped", "lost", "not-started"}));
}

void TestMetrics::histogramBuckets_data()
{
    QTest::addColumn<QVector<double>>("observations");
    QTest::addColumn<QVector<double>>("expected"); // cumulative, for le=5,15,30,60,...,3600,+Inf
    QTest::newRow("none") << QVector<double>{} << QVector<double>(11, 0);
    QTest::newRow("bounds belong to their bucket")
        << QVector<double>{5, 15, 30} << QVector<double>{1, 2, 3, 3, 3, 3, 3, 3, 3, 3, 3};
    QTest::newRow("just above a bound") << QVector<double>{5.001, 3600.5}
                                        << QVector<double>{0, 1, 1, 1, 1, 1, 1, 1, 1, 1, 2};
    QTest::newRow("zero and long") << QVector<double>{0, 0.3, 7200, 45}
                                   << QVector<double>{2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 4};
}

void TestMetrics::histogramBuckets()
{
    QFETCH(QVector<double>, observations);
    QFETCH(QVector<double>, expected);
    StationMetricsState state = sampleState();
    double sum = 0;
    for (double seconds : observations) {
        state.durations.observe(seconds);
        sum += seconds;
    }
    const ParsedMetrics parsed = parseExposition(renderStationMetrics(state));
    QVERIFY2(parsed.error.isEmpty(), qPrintable(parsed.error));
    QVector<double> counts;
    QStringList bounds;
    for (const MetricSample &sample : parsed.find("velmora_attempt_duration_seconds_bucket")) {
        counts << sample.value;
        bounds << sample.labels.value("le");
    }
    QCOMPARE(bounds, (QStringList{"5", "15", "30", "60", "120", "300", "600", "1200", "1800", "3600", "+Inf"}));
    QCOMPARE(counts, expected);
    QCOMPARE(parsed.value("velmora_attempt_duration_seconds_count"), double(observations.size()));
    QCOMPARE(parsed.value("velmora_attempt_duration_seconds_sum"), sum);
}

void TestMetrics::listingSuccessUnknownUntilSeen()
{
    StationMetricsState state = sampleState();
    state.lastListingSucceeded = -1;
    ParsedMetrics parsed = parseExposition(renderStationMetrics(state));
    QVERIFY(parsed.find("velmora_last_listing_success").isEmpty());
    QVERIFY(!parsed.types.contains("velmora_last_listing_success"));
    state.lastListingSucceeded = 0;
    parsed = parseExposition(renderStationMetrics(state));
    QCOMPARE(parsed.value("velmora_last_listing_success"), 0.0);
}

// Durations come from the attempt's times; one that never ran a tool is
// counted but has no duration.
void TestMetrics::attemptsCounted()
{
    StationMetricsState state = sampleState();
    const QDateTime start = QDateTime::fromMSecsSinceEpoch(1765266000000, Qt::UTC);
    const struct
    {
        const char *port;
        AttemptOutcome outcome;
        qint64 ms;
    } attempts[] = {{"1:11", AttemptOutcome::Finished, 42000}, {"1:11", AttemptOutcome::Failed, 8000},
                    {"1:11", AttemptOutcome::Failed, 9000},    {"2:3", AttemptOutcome::Lost, 20000},
                    {"2:3", AttemptOutcome::NotStarted, 0},    {"2:3", AttemptOutcome::Stopped, 1500}};
    for (const auto &a : attempts) {
        Attempt attempt;
        attempt.port = QString::fromLatin1(a.port);
        attempt.outcome = a.outcome;
        attempt.started = start;
        attempt.ended = start.addMSecs(a.ms);
        state.countAttempt(attempt);
    }
    const ParsedMetrics parsed = parseExposition(renderStationMetrics(state));
    const auto total = [&](const char *outcome) {
        return parsed.value("velmora_attempts_total", {{"outcome", outcome}});
    };
    QCOMPARE(total("finished"), 1.0);
    QCOMPARE(total("failed"), 2.0);
    QCOMPARE(total("lost"), 1.0);
    QCOMPARE(total("stopped"), 1.0);
    QCOMPARE(total("not-started"), 1.0);
    QCOMPARE(parsed.value("velmora_port_attempts_total", {{"port", "1:11"}, {"outcome", "failed"}}), 2.0);
    QCOMPARE(parsed.value("velmora_port_attempts_total", {{"port", "2:3"}, {"outcome", "lost"}}), 1.0);
    // Outcomes a port never had are left out.
    QCOMPARE(parsed.find("velmora_port_attempts_total").size(), 5);
    QCOMPARE(parsed.value("velmora_attempt_duration_seconds_count"), 5.0);
    QCOMPARE(parsed.value("velmora_attempt_duration_seconds_sum"), 80.5);
}

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
