// The records case of velmora_bench: what the window pays for what the
// application adds around it, each variant in a fresh child process (this
// program again, with --records-child) in a fresh folder, against the
// simulator:
//
//   off       the window and the image fingerprint only (StationSession)
//   records   plus StationRecords: logs/journal.jsonl and logs/history/
//   metrics   plus StationMetrics writing metrics.prom
//   hash-off  64 boards, nothing hashed while they flash
//   hash-on   64 boards, and the SHA-256 of a 2 GiB sparse image started
//             right after StartAll (the boards flash a small image)
//
// A round runs off, records and metrics one after the other (reversed every
// other round), then hash-off and hash-on (likewise): the machine is shared,
// so what counts is the ratio of variants run next to each other, and the
// tables give the median over the rounds of each round's ratio.
//
// Each child measures from StartAll until every attempt has ended (and, for
// hash-on, the hash is known): the CPU time of its own process (user+system,
// the tools excluded) and the longest gap of a 5 ms timer after StartAll
// returned (FreezeProbe), so StartAll's own spawning of the tools is left out
// of the freeze.

#include "bench/records_bench.h"

#include "app/commandline.h"
#include "app/stationmetrics.h"
#include "app/stationrecords.h"
#include "app/stationsession.h"
#include "app/widget.h"
#include "bench/freezeprobe.h"
#include "bench/procfs.h"
#include "discovery/devicechangesource.h"
#include "flashing/attemptsignals.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>

#include <time.h>

bool installStationFiles(const QDir &d);

namespace {

constexpr int LinesPerSecond = 20;
constexpr qint64 BigImageBytes = 2LL * 1024 * 1024 * 1024;

struct Settings
{
    int rounds = 5;
    int boards = 128;
    int hashBoards = 64;
    double flashS = 4;
    double hashFlashS = 20;
};

const char *argValue(int argc, char **argv, const char *name)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], name) == 0)
            return argv[i + 1];
    }
    return nullptr;
}

Settings settingsFrom(int argc, char **argv)
{
    Settings s;
    if (const char *v = argValue(argc, argv, "--records-rounds"))
        s.rounds = std::max(1, std::atoi(v));
    if (const char *v = argValue(argc, argv, "--records-duration"))
        s.flashS = std::max(0.5, std::atof(v));
    if (const char *v = argValue(argc, argv, "--records-hash-duration"))
        s.hashFlashS = std::max(0.5, std::atof(v));
    return s;
}

// ---------------------------------------------------------------------------
// Child: one variant in the current folder

struct ChildRun
{
    int ended = 0, finished = 0;
    qint64 hashMs = -1;
};

qint64 threadCpuNs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// The CPU time the GUI thread spends in the slots that attach() connects to
// the window's attempt signals: a connection made before it and one made
// after it bracket them, since a signal calls its slots in the order
// connected. Unlike the process's CPU time, it does not vary with what
// else the machine runs.
class SlotClock
{
public:
    struct Cost
    {
        qint64 totalNs = 0, longestNs = 0;
    };

    void bracket(const AttemptSignals *announced, const std::function<void()> &attach)
    {
        const auto begin = [this] {
            m_beganNs = threadCpuNs();
        };
        QObject::connect(announced, &AttemptSignals::attemptStarted, begin);
        QObject::connect(announced, &AttemptSignals::attemptLogged, begin);
        QObject::connect(announced, &AttemptSignals::attemptEnded, begin);
        attach();
        QObject::connect(announced, &AttemptSignals::attemptStarted, [this] {
            add(started);
        });
        QObject::connect(announced, &AttemptSignals::attemptLogged, [this] {
            add(logged);
        });
        QObject::connect(announced, &AttemptSignals::attemptEnded, [this] {
            add(ended);
        });
    }

    Cost started, logged, ended;

private:
    void add(Cost &cost)
    {
        const qint64 ns = threadCpuNs() - m_beganNs;
        cost.totalNs += ns;
        cost.longestNs = std::max(cost.longestNs, ns);
    }

    qint64 m_beganNs = 0;
};

// What the variant adds around the window, made in the order the application
// makes it: records and metrics before the window, so that they outlive it.
struct Station
{
    std::unique_ptr<StationRecords> records;
    std::unique_ptr<StationMetrics> metrics;
    std::unique_ptr<Widget> window;
    std::unique_ptr<StationSession> session;
    SlotClock handlers;

    explicit Station(const QString &variant)
    {
        if (variant == QLatin1String("records"))
            records = std::make_unique<StationRecords>();
        if (variant == QLatin1String("metrics"))
            metrics = std::make_unique<StationMetrics>(QDir::current().filePath(QStringLiteral("metrics.prom")));
        window = std::make_unique<Widget>();
        // Kernel events of the shared machine would rescan the table meanwhile.
        if (auto *source = window->findChild<DeviceChangeSource *>())
            QObject::disconnect(source, &DeviceChangeSource::deviceChanged, window.get(), nullptr);
        handlers.bracket(window->attemptSignals(), [this] {
            session = std::make_unique<StationSession>(window.get(), Options(), records.get());
            if (metrics)
                metrics->attach(window.get());
        });
        window->setImagePath(QDir::current().filePath(QStringLiteral("sample.img")));
    }
    ~Station()
    {
        session.reset();
        window.reset(); // before the records and the metrics, as in the application
    }
};

int runChild(int argc, char **argv, const QString &variant)
{
    const int boards = std::atoi(argValue(argc, argv, "--records-boards"));
    const QString bigImage = QString::fromLocal8Bit(argValue(argc, argv, "--records-image"));
    qInstallMessageHandler(discardMessages);
    QApplication app(argc, argv);
    Station station(variant);
    station.window->show();
    spinEventLoop(300); // painted, and the small image hashed

    ChildRun run;
    QElapsedTimer clock;
    const bool hashing = variant == QLatin1String("hash-on");
    QObject::connect(station.window->attemptSignals(), &AttemptSignals::attemptEnded, [&run](const Attempt &a) {
        ++run.ended;
        run.finished += a.outcome == AttemptOutcome::Finished;
    });
    QObject::connect(station.session->fingerprint(), &ImageFingerprint::hashed, [&](const QString &path) {
        if (path == bigImage)
            run.hashMs = clock.elapsed();
    });
    FreezeProbe probe;
    const long long cpu0 = procfs::cpuNs();
    clock.start();
    QMetaObject::invokeMethod(station.window.get(), "runAll", Qt::DirectConnection);
    probe.start();
    if (hashing)
        station.session->fingerprint()->setImage(bigImage);
    while ((run.ended < boards || (hashing && run.hashMs < 0)) && clock.elapsed() < 180000)
        spinEventLoop(20);
    const double freezeMs = probe.stop();
    const long long cpuNs = procfs::cpuNs() - cpu0;
    const SlotClock &c = station.handlers;
    std::printf("cpu_ns %lld freeze_ms %.3f ended %d finished %d hash_ms %lld wall_ms %lld started_ns %lld "
                "started_max_ns %lld logged_ns %lld logged_max_ns %lld ended_ns %lld ended_max_ns %lld\n",
                cpuNs, freezeMs, run.ended, run.finished, run.hashMs, clock.elapsed(), c.started.totalNs,
                c.started.longestNs, c.logged.totalNs, c.logged.longestNs, c.ended.totalNs, c.ended.longestNs);
    std::fflush(stdout);
    return run.ended == boards ? 0 : 2;
}

// ---------------------------------------------------------------------------
// Parent: the rounds

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

bool prepareFolder(const QDir &d, int boards, double flashS)
{
    bool ok = installStationFiles(d);
    ok &= writeFile(d.filePath(QStringLiteral("sample.img")), QByteArray(256 * 1024, '\x5a'));
    QByteArray scenario = "defaults duration_ms=" + QByteArray::number(qint64(flashS * 1000)) +
                          " rate=" + QByteArray::number(LinesPerSecond) + "\n";
    for (int i = 0; i < boards; ++i)
        scenario += "board " + boardPort(i).toLatin1() + "\n";
    return ok && writeFile(d.filePath(QStringLiteral("uuu_scenario.txt")), scenario);
}

struct Sample
{
    bool ok = false;
    double cpuS = 0, freezeMs = 0, hashS = -1, wallS = 0;
    int finished = 0, journalLines = 0, historyFiles = 0, metricsFiles = 0;
    double handlerMs[6] = {}; // in the order of HandlerKeys
};

constexpr int HandlerFigures = 6;
const char *const HandlerKeys[HandlerFigures] = {"started_ns",    "started_max_ns", "logged_ns",
                                                 "logged_max_ns", "ended_ns",       "ended_max_ns"};

// What the records and the metrics left in the folder: proof they ran.
void countOutputs(const QDir &d, Sample &s)
{
    QFile journal(d.filePath(QStringLiteral("logs/journal.jsonl")));
    if (journal.open(QIODevice::ReadOnly))
        s.journalLines = int(journal.readAll().count('\n'));
    QDirIterator kept(d.filePath(QStringLiteral("logs/history")), QDir::Files, QDirIterator::Subdirectories);
    while (kept.hasNext()) {
        kept.next();
        ++s.historyFiles;
    }
    s.metricsFiles = QFile::exists(d.filePath(QStringLiteral("metrics.prom"))) ? 1 : 0;
}

Sample runVariant(const QString &variant, int boards, double flashS, const QString &bigImage)
{
    Sample s;
    QTemporaryDir dir;
    if (!dir.isValid() || !prepareFolder(QDir(dir.path()), boards, flashS))
        return s;
    QProcess child;
    child.setWorkingDirectory(dir.path());
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--records"), QStringLiteral("--records-child"), variant,
                 QStringLiteral("--records-boards"), QString::number(boards), QStringLiteral("--records-image"),
                 bigImage});
    if (!child.waitForFinished(int(flashS * 1000) + 240000))
        child.kill();
    child.waitForFinished(5000);
    // The first line is the child's; the window may print after it as it ends.
    const QList<QByteArray> f = child.readAllStandardOutput().split('\n').value(0).simplified().split(' ');
    QHash<QByteArray, double> values;
    for (int i = 0; i + 1 < f.size(); i += 2)
        values.insert(f.at(i), f.at(i + 1).toDouble());
    s.ok = child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0 && values.contains("cpu_ns");
    s.cpuS = values.value("cpu_ns") / 1e9;
    s.freezeMs = values.value("freeze_ms");
    s.finished = int(values.value("finished"));
    s.hashS = values.value("hash_ms", -1) / 1e3;
    s.wallS = values.value("wall_ms") / 1e3;
    for (int i = 0; i < HandlerFigures; ++i)
        s.handlerMs[i] = values.value(HandlerKeys[i]) / 1e6;
    countOutputs(QDir(dir.path()), s);
    return s;
}

using Samples = QHash<QString, QVector<Sample>>;

// Each round runs the variants of a group next to each other, every other
// round in the reverse order.
void runRound(Samples &samples, const QStringList &group, int round, int boards, double flashS, const QString &bigImage)
{
    QStringList order = group;
    if (round % 2)
        std::reverse(order.begin(), order.end());
    for (const QString &variant : qAsConst(order)) {
        samples[variant] << runVariant(variant, boards, flashS, bigImage);
        std::fprintf(stderr, "velmora_bench: round %d %s done\n", round + 1, qPrintable(variant));
    }
}

// ---------------------------------------------------------------------------
// Parent: the tables

template <typename T> QVector<double> field(const QVector<Sample> &v, T Sample::*member)
{
    QVector<double> out;
    for (const Sample &s : v)
        out << s.*member;
    return out;
}

// Per round: on/off - 1 in percent, for a CPU figure; on - off for a freeze.
QVector<double> perRound(const QVector<Sample> &off, const QVector<Sample> &on, double Sample::*member, bool relative)
{
    QVector<double> out;
    for (int i = 0; i < std::min(off.size(), on.size()); ++i) {
        const double a = off.at(i).*member, b = on.at(i).*member;
        out << (relative ? (a > 0 ? (b / a - 1) * 100 : 0) : b - a);
    }
    return out;
}

int totalFinished(const QVector<Sample> &v)
{
    int n = 0;
    for (const Sample &s : v)
        n += s.ok ? s.finished : 0;
    return n;
}

void cpuRow(const char *label, const QVector<Sample> &off, const QVector<Sample> &on, double targetPct, bool *met)
{
    const QVector<double> cost = perRound(off, on, &Sample::cpuS, true);
    const bool ok = medianOf(cost) < targetPct;
    *met &= ok;
    std::printf("| %s | %.3f | %.3f | %+.1f (%s) | under %.0f %% | %s |\n", label, medianOf(field(off, &Sample::cpuS)),
                medianOf(field(on, &Sample::cpuS)), medianOf(cost), qPrintable(numberList(cost, 1)), targetPct,
                ok ? "met" : "**missed**");
}

void freezeRow(const char *label, const QVector<Sample> &off, const QVector<Sample> &on, bool *met)
{
    const QVector<double> added = perRound(off, on, &Sample::freezeMs, false);
    const bool ok = medianOf(added) <= 20;
    *met &= ok;
    std::printf("| %s | %.1f (%s) | %.1f (%s) | %+.1f (%s) | at most 20 ms added | %s |\n", label,
                medianOf(field(off, &Sample::freezeMs)), qPrintable(numberList(field(off, &Sample::freezeMs), 1)),
                medianOf(field(on, &Sample::freezeMs)), qPrintable(numberList(field(on, &Sample::freezeMs), 1)),
                medianOf(added), qPrintable(numberList(added, 1)), ok ? "met" : "**missed**");
}

void printTables(const Settings &st, const Samples &s, bool *met)
{
    const int rounds = int(s.value(QStringLiteral("off")).size());
    std::printf("### Records, image hash and metrics\n\n");
    std::printf("%d rounds; each variant in a fresh process and folder, %d progress lines/s per board. Medians over "
                "the rounds; the cost is the median of each round's on/off ratio (every round in brackets). CPU: "
                "user+system of the window's process from StartAll to the last ended attempt, the tools excluded "
                "(the 5 ms freeze probe runs in every variant).\n\n",
                rounds, LinesPerSecond);
    std::printf("#### CPU time, %d boards flashing %.0f s each\n\n", st.boards, st.flashS);
    std::printf("| added | CPU s without | CPU s with | cost %% | target | |\n| --- | ---: | ---: | ---: | --- | --- "
                "|\n");
    cpuRow("records (journal + history)", s.value("off"), s.value("records"), 5, met);
    cpuRow("metrics file", s.value("off"), s.value("metrics"), 2, met);
    std::printf("\n#### Longest freeze of the GUI thread after StartAll (ms)\n\n");
    std::printf("| added | without | with | added ms | target | |\n| --- | ---: | ---: | ---: | --- | --- |\n");
    freezeRow("records, 128 boards", s.value("off"), s.value("records"), met);
    freezeRow("metrics, 128 boards", s.value("off"), s.value("metrics"), met);
    freezeRow("hash of a 2 GiB sparse image, 64 boards", s.value("hash-off"), s.value("hash-on"), met);
}

// The time in what records and metrics connect to the window's attempt
// signals: where their cost on the GUI thread goes.
void printHandlers(const Samples &s)
{
    std::printf("\n#### CPU time of the GUI thread in the added handlers of the attempt signals (ms)\n\n");
    std::printf("Median over the runs: all calls of a run together / the longest single call; then all handlers "
                "of a run as a share of that run's CPU time. \"off\" adds no handler: its figures are what the "
                "bracketing connections cost themselves.\n\n");
    std::printf("| added | attemptStarted | attemptLogged | attemptEnded | share of the CPU |\n| --- | ---: | ---: | "
                "---: | ---: |\n");
    for (const char *variant : {"off", "records", "metrics"}) {
        QStringList cells;
        QVector<double> share;
        for (const Sample &one : s.value(QLatin1String(variant)))
            share << (one.handlerMs[0] + one.handlerMs[2] + one.handlerMs[4]) / (one.cpuS * 10);
        for (int i = 0; i < HandlerFigures; i += 2) {
            QVector<double> total, longest;
            for (const Sample &one : s.value(QLatin1String(variant))) {
                total << one.handlerMs[i];
                longest << one.handlerMs[i + 1];
            }
            cells << QStringLiteral("%1 / %2").arg(medianOf(total), 0, 'f', 1).arg(medianOf(longest), 0, 'f', 2);
        }
        std::printf("| %s | %s | %.1f %% |\n", variant, qPrintable(cells.join(QStringLiteral(" | "))), medianOf(share));
    }
}

void printChecks(const Settings &st, const Samples &s)
{
    const QVector<Sample> &rec = s.value(QStringLiteral("records"));
    const QVector<Sample> &hash = s.value(QStringLiteral("hash-on"));
    std::printf("\nRows Finished, all runs: off %d, records %d, metrics %d (of %d each); hash-off %d, hash-on %d "
                "(of %d each).\n",
                totalFinished(s.value("off")), totalFinished(rec), totalFinished(s.value("metrics")),
                st.boards * int(rec.size()), totalFinished(s.value("hash-off")), totalFinished(hash),
                st.hashBoards * int(hash.size()));
    std::printf("Records written per records run: journal lines %s; kept logs %s. Metrics file present: %s.\n",
                qPrintable(numberList(field(rec, &Sample::journalLines), 0)),
                qPrintable(numberList(field(rec, &Sample::historyFiles), 0)),
                qPrintable(numberList(field(s.value("metrics"), &Sample::metricsFiles), 0)));
    std::printf("Hash of the 2 GiB image, s after StartAll: %s; the boards flashed for %.0f s (runs lasted %s s).\n",
                qPrintable(numberList(field(hash, &Sample::hashS), 1)), st.hashFlashS,
                qPrintable(numberList(field(hash, &Sample::wallS), 1)));
}

bool allRan(const Samples &s)
{
    for (const QVector<Sample> &v : s) {
        for (const Sample &one : v) {
            if (!one.ok)
                return false;
        }
    }
    return true;
}

} // namespace

int runRecordsBench(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qunsetenv("UUU_SIM_SCENARIO");
    if (const char *variant = argValue(argc, argv, "--records-child"))
        return runChild(argc, argv, QString::fromLatin1(variant));
    const Settings st = settingsFrom(argc, argv);
    QCoreApplication app(argc, argv);
    QTemporaryDir base;
    QFile big(base.path() + QStringLiteral("/big.img"));
    if (!base.isValid() || !big.open(QIODevice::WriteOnly) || !big.resize(BigImageBytes)) {
        std::fprintf(stderr, "velmora_bench: cannot make the sparse image\n");
        return 1;
    }
    big.close();
    Samples samples;
    for (int round = 0; round < st.rounds; ++round) {
        runRound(samples, {QStringLiteral("off"), QStringLiteral("records"), QStringLiteral("metrics")}, round,
                 st.boards, st.flashS, big.fileName());
        runRound(samples, {QStringLiteral("hash-off"), QStringLiteral("hash-on")}, round, st.hashBoards, st.hashFlashS,
                 big.fileName());
    }
    bool met = true;
    printTables(st, samples, &met);
    printHandlers(samples);
    printChecks(st, samples);
    const bool ran = allRan(samples);
    std::printf("\nEvery run completed: %s. Every target met: %s.\n", ran ? "yes" : "NO", met ? "yes" : "no");
    return ran ? 0 : 2;
}
