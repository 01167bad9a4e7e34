#include "app/stationmetrics.h"
#include "app/widget.h"
#include "flashing/attemptsignals.h"
#include "metricsparser.h"
#include "testsupport.h"

#include <QAtomicInt>
#include <QLabel>
#include <QProcess>
#include <QPushButton>
#include <QStandardPaths>
#include <QRegularExpression>
#include <QThread>
#include <QTimer>
#include <QtTest>

namespace {

int warningCount = 0;
QtMessageHandler previousHandler = nullptr;

void countWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message.contains(QLatin1String("metrics file")))
        ++warningCount;
    previousHandler(type, context, message);
}

// Reads the file over and over on a thread of its own and keeps the first
// read that is not a whole exposition.
class FileReader : public QThread
{
public:
    explicit FileReader(const QString &fileName)
        : m_fileName(fileName)
    {}
    ~FileReader() override { stop(); }

    void run() override
    {
        while (!m_stop.loadAcquire()) {
            QFile file(m_fileName);
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QByteArray text = file.readAll();
            const ParsedMetrics parsed = parseExposition(text);
            // The histogram's count is the last line written: a torn file
            // lacks it even when it was cut at a line end.
            if (!parsed.error.isEmpty() || parsed.find("velmora_attempt_duration_seconds_count").isEmpty()) {
                if (m_partial.isEmpty())
                    m_partial = text.isEmpty() ? QByteArray("(empty)") : text;
            }
            m_reads.fetchAndAddRelaxed(1);
        }
    }

    void stop()
    {
        m_stop.storeRelease(1);
        wait();
    }
    int reads() const { return m_reads.loadRelaxed(); }
    QByteArray partial() const { return m_partial; }

private:
    QString m_fileName;
    QAtomicInt m_stop;
    QAtomicInt m_reads;
    QByteArray m_partial;
};

} // namespace

// The metrics file a window keeps, read directly and through the node
// exporter's textfile collector.
class TestStationMetrics : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startingListingIsCounted();
    void endsTogetherCostOneWrite();
    void unwritableFileSaidOnce();
    void windowEndCounted();
    void exporterServesTheRows();

private:
    bool startExporter(const QString &directory);
    QByteArray scrape();
    QMap<QString, int> rowStatuses() const;
    static QByteArray promtoolErrors(const QByteArray &text);

    ToolDir *dir = nullptr;
    Widget *w = nullptr;
    QProcess *exporter = nullptr;
    QString exporterUrl;
};

void TestStationMetrics::initTestCase()
{
    previousHandler = qInstallMessageHandler(countWarnings);
}

void TestStationMetrics::init()
{
    dir = new ToolDir;
    QVERIFY(dir->isValid());
}

void TestStationMetrics::cleanup()
{
    if (exporter) {
        exporter->terminate();
        if (!exporter->waitForFinished(5000))
            exporter->kill();
        exporter->waitForFinished();
        delete exporter;
        exporter = nullptr;
    }
    delete w;
    w = nullptr;
    delete dir;
    dir = nullptr;
}

QMap<QString, int> TestStationMetrics::rowStatuses() const
{
    QMap<QString, int> statuses;
    for (int row = 0; w->statusLabelAt(row); ++row)
        ++statuses[w->statusLabelAt(row)->text()];
    return statuses;
}

// The window lists before anything can attach to it; what it found is in
// the first file.
void TestStationMetrics::startingListingIsCounted()
{
    w = dir->openWindow("board 1:11\nboard 1:12\nboard 2:3\n");
    StationMetrics metrics(dir->filePath("station.prom"));
    metrics.attach(w);
    const ParsedMetrics parsed = parseExposition(dir->readFile("station.prom"));
    QVERIFY2(parsed.error.isEmpty(), qPrintable(parsed.error));
    QCOMPARE(parsed.value("velmora_boards_listed"), 3.0);
    QCOMPARE(parsed.value("velmora_last_listing_success"), 1.0);
    QCOMPARE(parsed.value("velmora_jobs_running"), 0.0);
    const QMap<QString, QString> station = parsed.samples.first().labels;
    QCOMPARE(station.value("folder"), QDir(dir->path()).canonicalPath());
    QVERIFY(!station.value("host").isEmpty());
}

void TestStationMetrics::endsTogetherCostOneWrite()
{
    w = dir->openWindow("");
    StationMetrics metrics(dir->filePath("station.prom"));
    metrics.attach(w);
    const int before = metrics.writeCount();
    Attempt attempt;
    attempt.outcome = AttemptOutcome::Stopped;
    for (int i = 0; i < 128; ++i) {
        attempt.port = QStringLiteral("1:%1").arg(i);
        emit w->attemptSignals()->attemptEnded(attempt);
    }
    QCOMPARE(metrics.writeCount(), before);
    QTRY_COMPARE(
        parseExposition(dir->readFile("station.prom")).value("velmora_attempts_total", {{"outcome", "stopped"}}),
        128.0);
    // One write for the burst; a second only if the heartbeat fell in.
    QVERIFY2(metrics.writeCount() - before <= 2, qPrintable(QString::number(metrics.writeCount() - before)));
}

void TestStationMetrics::unwritableFileSaidOnce()
{
    w = dir->openWindow("");
    warningCount = 0;
    StationMetrics metrics(dir->filePath("missing/station.prom"));
    metrics.attach(w);
    QVERIFY(!metrics.writeNow());
    QVERIFY(!metrics.writeNow());
    QCOMPARE(warningCount, 1);
    QCOMPARE(metrics.writeCount(), 0);
    QVERIFY(QDir(dir->path()).mkdir("missing"));
    QVERIFY(metrics.writeNow());
    QVERIFY(QDir(dir->filePath("missing")).removeRecursively());
    QVERIFY(!metrics.writeNow());
    QCOMPARE(warningCount, 2);
}

// Metrics made before the window and ended after it count the jobs that
// the window's end stops.
void TestStationMetrics::windowEndCounted()
{
    {
        StationMetrics metrics(dir->filePath("station.prom"));
        w = dir->openWindow("defaults outcome=hang@30\nboard 1:1\nboard 1:2\n");
        metrics.attach(w);
        w->findChild<QPushButton *>("startAllButton")->click();
        QTRY_COMPARE(w->runningJobCount(), 2);
        delete w;
        w = nullptr;
    }
    const ParsedMetrics parsed = parseExposition(dir->readFile("station.prom"));
    QVERIFY2(parsed.error.isEmpty(), qPrintable(parsed.error));
    QCOMPARE(parsed.value("velmora_attempts_total", {{"outcome", "stopped"}}), 2.0);
    QCOMPARE(parsed.value("velmora_jobs_running"), 0.0);
}

// On a port of its own choosing, which it says when it listens.
bool TestStationMetrics::startExporter(const QString &directory)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("prometheus-node-exporter"));
    if (program.isEmpty())
        return false;
    exporter = new QProcess;
    exporter->setReadChannel(QProcess::StandardError);
    exporter->start(program, {QStringLiteral("--web.listen-address=127.0.0.1:0"),
                              QStringLiteral("--collector.disable-defaults"), QStringLiteral("--collector.textfile"),
                              QStringLiteral("--collector.textfile.directory=") + directory});
    const QRegularExpression listening(QStringLiteral("Listening on\" address=(127\\.0\\.0\\.1:[0-9]+)"));
    QByteArray said;
    while (exporter->waitForReadyRead(10000)) {
        said += exporter->readAllStandardError();
        const QRegularExpressionMatch match = listening.match(QString::fromUtf8(said));
        if (match.hasMatch()) {
            exporterUrl = QStringLiteral("http://%1/metrics").arg(match.captured(1));
            return true;
        }
    }
    qWarning().noquote() << "the node exporter did not say where it listens:" << said;
    return false;
}

// The exporter's page through curl: the toolkit's network module is not in
// every build of it.
QByteArray TestStationMetrics::scrape()
{
    QProcess curl;
    curl.start(QStringLiteral("curl"),
               {QStringLiteral("-sf"), QStringLiteral("--max-time"), QStringLiteral("5"), exporterUrl});
    if (!curl.waitForFinished(10000) || curl.exitStatus() != QProcess::NormalExit || curl.exitCode() != 0)
        return {};
    return curl.readAllStandardOutput();
}

QByteArray TestStationMetrics::promtoolErrors(const QByteArray &text)
{
    QProcess check;
    check.start(QStringLiteral("promtool"), {QStringLiteral("check"), QStringLiteral("metrics")});
    if (!check.waitForStarted())
        return "promtool did not start";
    check.write(text);
    check.closeWriteChannel();
    check.waitForFinished();
    if (check.exitStatus() == QProcess::NormalExit && check.exitCode() == 0)
        return {};
    return check.readAllStandardOutput() + check.readAllStandardError();
}

// 16 boards: 8 finish, 4 fail, 4 hang until StopAll. What the exporter
// serves matches the rows at each steady point; every file written passes
// promtool, and a reader never sees half of one.
void TestStationMetrics::exporterServesTheRows()
{
    if (QStandardPaths::findExecutable(QStringLiteral("promtool")).isEmpty())
        QSKIP("promtool is not installed (scripts/install-deps.sh prometheus)");
    if (QStandardPaths::findExecutable(QStringLiteral("curl")).isEmpty())
        QSKIP("curl is not installed");
    QByteArray scenario = "defaults duration_ms=4000 rate=10\n";
    for (int i = 1; i <= 16; ++i) {
        const char *outcome = i <= 8 ? "ok" : i <= 12 ? "fail@50" : "hang@30";
        scenario += QStringLiteral("board 1:%1 outcome=%2\n").arg(i).arg(QLatin1String(outcome)).toUtf8();
    }
    QVERIFY(QDir(dir->path()).mkdir("textfile"));
    const QString fileName = dir->filePath("textfile/velmora.prom");
    if (QStandardPaths::findExecutable(QStringLiteral("prometheus-node-exporter")).isEmpty())
        QSKIP("prometheus-node-exporter is not installed (scripts/install-deps.sh prometheus-node-exporter)");
    QVERIFY(startExporter(dir->filePath("textfile")));
    QTRY_VERIFY_WITH_TIMEOUT(!scrape().isEmpty(), 10000);

    w = dir->openWindow(scenario);
    QStringList rejected; // outlives the metrics, whose end may still write
    StationMetrics metrics(fileName);
    metrics.attach(w);
    connect(&metrics, &StationMetrics::written, this, [&](const QString &name) {
        QFile file(name);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray errors = promtoolErrors(file.readAll());
        if (!errors.isEmpty())
            rejected << QString::fromUtf8(errors);
    });
    FileReader reader(fileName);
    reader.start();

    const auto served = [this](const char *name, const QMap<QString, QString> &labels = {}) {
        const ParsedMetrics parsed = parseExposition(scrape());
        return parsed.error.isEmpty() ? parsed.value(QLatin1String(name), labels) : -2;
    };
    const auto outcome = [&](const char *name) {
        return served("velmora_attempts_total", {{"outcome", name}});
    };
    w->findChild<QPushButton *>("startAllButton")->click();
    QTRY_COMPARE_WITH_TIMEOUT(served("velmora_jobs_running"), 16.0, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(outcome("finished") + outcome("failed"), 12.0, 20000);
    QCOMPARE(rowStatuses().value("Finished"), 8);
    QCOMPARE(rowStatuses().value("Failed"), 4);
    QCOMPARE(rowStatuses().value("Running"), 4);
    QCOMPARE(outcome("finished"), 8.0);
    QCOMPARE(served("velmora_jobs_running"), 4.0);
    QCOMPARE(served("velmora_boards_listed"), 16.0);
    QCOMPARE(served("velmora_port_attempts_total", {{"port", "1:9"}, {"outcome", "failed"}}), 1.0);
    QCOMPARE(served("velmora_attempt_duration_seconds_count"), 12.0);
    QCOMPARE(served("node_textfile_scrape_error"), 0.0);

    w->findChild<QPushButton *>("stopAllButton")->click();
    QTRY_COMPARE_WITH_TIMEOUT(outcome("stopped"), 4.0, 10000);
    QCOMPARE(rowStatuses().value("Stopped"), 4);
    QCOMPARE(served("velmora_jobs_running"), 0.0);
    QCOMPARE(served("velmora_attempt_duration_seconds_bucket", {{"le", "+Inf"}}), 16.0);

    reader.stop();
    QVERIFY2(reader.partial().isEmpty(), reader.partial().constData());
    QVERIFY(reader.reads() > 0);
    QVERIFY(metrics.writeCount() >= 3);
    QVERIFY2(rejected.isEmpty(), qPrintable(rejected.join('\n')));
}

QTEST_MAIN(TestStationMetrics)
#include "tst_stationmetrics.moc"
