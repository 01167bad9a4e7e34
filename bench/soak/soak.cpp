// velmora_soak - flashes simulated boards in rounds, for a long time, with
// faults injected at random, and checks after every round that the window
// has left nothing behind: no tool process, no descriptor, no open log, and
// no growth of its memory beyond a small bound after a warm-up.
//
//   velmora_soak [--minutes N] [--boards N] [--seed N] [--sim PATH]
//                [--templates DIR] [--warmup-rounds N] [--rss-bound-kib N]
//
// It runs the real main window (offscreen unless QT_QPA_PLATFORM says
// otherwise) in a temporary folder with the simulator as its tool. Each round
// writes a scenario in which every board gets one fault kind, lists the
// boards again, presses StartAll and then plays the operator: it stops hung
// boards when they hang (with their row's button, or StopAll in some rounds),
// takes vanishing boards out of the listing and rescans, and rescans at
// random. Every board must end with the status its fault calls for, and the
// summary line must count the failed ones. Exit status 0 when every round
// passed, 1 otherwise.

#include "app/widget.h"
#include "bench/procfs.h"
#include "flashing/lognames.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QTableWidget>
#include <QTemporaryDir>

#include <csignal>
#include <cstdio>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Set by SIGINT or SIGTERM: the soak ends after the current round, with its
// summary, and the window kills its tools on the way out.
volatile std::sig_atomic_t stopRequested = 0;

void requestStop(int)
{
    stopRequested = 1;
}

enum Kind {
    Ok,
    OkNoisy, // binary garbage or NUL bytes in every progress line
    CleanExit,
    Crash,
    FailWord,
    ErrorWord,
    ExitCode,
    HangStop,
    CloseOutStop,
    Vanish,
    KindCount
};

const char *const KindNames[KindCount] = {"ok",    "ok-noisy",  "exit-0",    "crash",         "fail-word",
                                          "error", "exit-code", "hang+stop", "closeout+stop", "vanish"};

// Relative weights of the kinds.
const int KindWeights[KindCount] = {30, 6, 4, 8, 8, 8, 8, 10, 6, 8};

QString expectedStatus(Kind kind)
{
    switch (kind) {
    case Ok:
    case OkNoisy:
        return QStringLiteral("Finished");
    // Exit code 0 before 100% and without the marker is no completion.
    case CleanExit:
    case Crash:
    case FailWord:
    case ErrorWord:
    case ExitCode:
        return QStringLiteral("Failed");
    case HangStop:
    case CloseOutStop:
        return QStringLiteral("Stopped");
    case Vanish:
    case KindCount:
        break;
    }
    return QStringLiteral("Fail");
}

struct Board
{
    QString port;
    Kind kind = Ok;
    int at = 100;         // percentage where the fault strikes
    QByteArray keys;      // scenario keys
    bool handled = false; // stopped or taken away already
};

struct Options
{
    double minutes = 60;
    int boards = 64;
    quint32 seed = 0;
    QString sim;
    QString templates;
    int warmupRounds = 50;
    qint64 rssBoundKiB = qint64(8) * 1024;
};

void spin(int ms)
{
    QElapsedTimer clock;
    clock.start();
    do {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (ms > 0)
            ::usleep(2000);
    } while (clock.elapsed() < ms);
}

template <typename Condition> bool spinUntil(Condition condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        spin(5);
    }
    return true;
}

// "fd -> target" of every open descriptor.
QStringList openFds()
{
    QStringList fds;
    for (int fd : procfs::descriptors())
        fds << QStringLiteral("%1 -> %2").arg(fd).arg(QString::fromStdString(procfs::descriptorTarget(fd)));
    return fds;
}

QByteArray readFile(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Replaces the file in one rename: tools that start meanwhile read either the
// old or the new text, never a cut one.
bool writeFile(const QString &name, const QByteArray &content)
{
    QSaveFile file(name);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size() && file.commit();
}

bool parseOptions(const QStringList &args, Options *options)
{
    for (int i = 1; i < args.size(); ++i) {
        const QString &arg = args.at(i);
        const QString value = args.value(i + 1);
        bool ok = true;
        if (arg == QLatin1String("--minutes"))
            options->minutes = value.toDouble(&ok);
        else if (arg == QLatin1String("--boards"))
            options->boards = value.toInt(&ok);
        else if (arg == QLatin1String("--seed"))
            options->seed = value.toUInt(&ok);
        else if (arg == QLatin1String("--sim"))
            options->sim = value;
        else if (arg == QLatin1String("--templates"))
            options->templates = value;
        else if (arg == QLatin1String("--warmup-rounds"))
            options->warmupRounds = value.toInt(&ok);
        else if (arg == QLatin1String("--rss-bound-kib"))
            options->rssBoundKiB = value.toLongLong(&ok);
        else
            ok = false;
        if (!ok || value.isEmpty()) {
            std::fprintf(stderr, "usage: velmora_soak [--minutes N] [--boards N] [--seed N] [--sim PATH] "
                                 "[--templates DIR] [--warmup-rounds N] [--rss-bound-kib N]\n");
            return false;
        }
        ++i;
    }
    return options->boards > 0 && options->minutes > 0;
}

class Soak
{
public:
    Soak(const Options &options, const QString &workDir)
        : opt(options)
        , work(workDir)
        , random(options.seed)
    {}

    int run();

private:
    void planRound();
    QByteArray faultKeys(Kind kind, int at);
    QByteArray scenario(bool withVanished) const;
    void rescan();
    bool playRound(QStringList *problems);
    bool lookAtRows(bool *othersEnded);
    void stopAllOnceHung();
    void giveUp(QStringList *problems);
    void checkRound(QStringList *problems);
    void checkGrowth(QStringList *problems);
    void printRound(const QStringList &problems, qint64 elapsedMs) const;
    bool printSummary(qint64 elapsedMs, const QStringList &firstProblems, int failedRounds) const;
    QList<qint64> roundToolPids() const;
    QString status(const QString &port) const
    {
        const int row = w->findRowByPath(port);
        QLabel *label = row < 0 ? nullptr : w->statusLabelAt(row);
        return label ? label->text() : QString();
    }
    QString toolLog() const { return QStringLiteral("%1/tool-%2.log").arg(work).arg(round); }
    void clickStopAll()
    {
        w->updateButtonStates();
        w->findChild<QPushButton *>("stopAllButton")->click();
    }

    Options opt;
    QString work;
    QRandomGenerator random;
    Widget *w = nullptr;
    QVector<Board> boards;
    int round = 0;
    bool stopAllRound = false;
    int rescansThisRound = 0;
    qint64 injected[KindCount] = {};
    qint64 totalRescans = 0;
    qint64 stopAllRounds = 0;
    int baselineFds = -1;
    qint64 rssFirst = -1, rssWarm = -1, rssMax = 0, rssNow = 0;
};

void Soak::planRound()
{
    int totalWeight = 0;
    for (int weight : KindWeights)
        totalWeight += weight;
    boards.clear();
    for (int i = 0; i < opt.boards; ++i) {
        Board b;
        b.port = QStringLiteral("%1:%2").arg(1 + i / 16).arg(1 + i % 16);
        int pick = int(random.bounded(totalWeight));
        int kind = 0;
        while (pick >= KindWeights[kind])
            pick -= KindWeights[kind++];
        b.kind = Kind(kind);
        b.at = 10 + int(random.bounded(80));
        b.keys = faultKeys(b.kind, b.at);
        ++injected[b.kind];
        boards << b;
    }
    stopAllRound = random.bounded(10) == 0;
    stopAllRounds += stopAllRound ? 1 : 0;
}

// The simulator's scenario keys of one board with this fault at `at` percent.
QByteArray Soak::faultKeys(Kind kind, int at)
{
    const QByteArray percent = QByteArray::number(at);
    QByteArray keys = "duration_ms=" + QByteArray::number(200 + random.bounded(1000)) +
                      " rate=" + QByteArray::number(10 + random.bounded(40)) +
                      " seed=" + QByteArray::number(random.bounded(1000000));
    switch (kind) {
    case Ok:
        return keys + (random.bounded(2) ? " outcome=okhang" : " outcome=ok");
    case OkNoisy:
        return keys + (random.bounded(2) ? " garbage=1" : " nul=1");
    case CleanExit:
        return keys + " outcome=exit@" + percent + ":0";
    case Crash:
        return keys + " outcome=crash@" + percent;
    case FailWord:
    case ErrorWord:
        keys += (kind == FailWord ? " outcome=fail@" : " outcome=error@") + percent;
        if (random.bounded(3) == 0)
            keys += " chunk=" + QByteArray::number(2 + random.bounded(8)) + " split_ms=2";
        return keys;
    case ExitCode:
        return keys + " outcome=exit@" + percent + ":" + QByteArray::number(1 + random.bounded(255));
    case HangStop:
    case Vanish:
        return keys + " outcome=hang@" + percent;
    case CloseOutStop:
        return keys + " outcome=closeout@" + percent;
    case KindCount:
        break;
    }
    return keys;
}

QByteArray Soak::scenario(bool withVanished) const
{
    QByteArray text = "log " + QFile::encodeName(toolLog()) + "\n";
    for (const Board &b : boards) {
        if (b.kind == Vanish && b.handled && !withVanished)
            continue;
        text += "board " + b.port.toUtf8() + " " + b.keys + "\n";
    }
    return text;
}

void Soak::rescan()
{
    w->rescanDevices();
    ++rescansThisRound;
}

// Whether the board's tool has printed the line of its hang point.
static bool reachedHangPoint(const Board &b)
{
    const QByteArray log = readFile(logFileNameForPort(b.port));
    return log.contains(">write all: " + QByteArray::number(b.at) + "%");
}

static bool waitsForStop(const Board &b)
{
    return b.kind == HangStop || b.kind == CloseOutStop;
}

bool Soak::playRound(QStringList *problems)
{
    rescansThisRound = 0;
    writeFile(QStringLiteral("uuu_scenario.txt"), scenario(true));
    rescan();
    QTableWidget *table = w->findChild<QTableWidget *>("tableWidget");
    if (table->rowCount() != boards.size()) {
        *problems << QStringLiteral("%1 rows listed instead of %2").arg(table->rowCount()).arg(boards.size());
        return false;
    }
    w->resetFailedDevice();
    w->findChild<QPushButton *>("startAllButton")->click();

    QElapsedTimer clock;
    clock.start();
    for (;;) {
        spin(20);
        bool othersEnded = true;
        const bool allEnded = lookAtRows(&othersEnded);
        if (random.bounded(40) == 0)
            rescan();
        if (stopAllRound && othersEnded && !allEnded)
            stopAllOnceHung();
        if (allEnded)
            break;
        if (clock.elapsed() > 60000) {
            giveUp(problems);
            return false;
        }
    }
    totalRescans += rescansThisRound;
    return true;
}

// One look at every row, as the operator: stops the boards that hang (unless
// the round ends them with StopAll) and takes the vanishing ones out of the
// listing. True when every board has ended, right or wrong (checkRound
// compares); *othersEnded: all but the boards that wait for StopAll.
bool Soak::lookAtRows(bool *othersEnded)
{
    bool allEnded = true;
    bool vanished = false;
    for (Board &b : boards) {
        const QString now = status(b.port);
        if (!b.handled && (waitsForStop(b) || b.kind == Vanish) && now == QLatin1String("Running") &&
            reachedHangPoint(b)) {
            if (b.kind == Vanish) {
                b.handled = vanished = true;
            } else if (!stopAllRound) {
                w->runOrStopDevice(b.port);
                b.handled = true;
            }
        }
        const bool ended = b.kind == Vanish ? b.handled && now != QLatin1String("Running")
                                            : now == QLatin1String("Finished") || now == QLatin1String("Failed") ||
                                                  now == QLatin1String("Stopped");
        allEnded &= ended;
        if (!(stopAllRound && waitsForStop(b) && !b.handled))
            *othersEnded &= ended;
    }
    if (vanished) {
        writeFile(QStringLiteral("uuu_scenario.txt"), scenario(false));
        rescan();
    }
    return allEnded;
}

// StopAll, once every board that waits for it has reached its hang point.
void Soak::stopAllOnceHung()
{
    for (const Board &b : qAsConst(boards)) {
        if (waitsForStop(b) && !b.handled && !reachedHangPoint(b))
            return;
    }
    clickStopAll();
    for (Board &b : boards)
        b.handled = true;
}

void Soak::giveUp(QStringList *problems)
{
    for (const Board &b : qAsConst(boards)) {
        if (status(b.port) != expectedStatus(b.kind))
            *problems << QStringLiteral("%1 (%2) still \"%3\" after 60 s")
                             .arg(b.port, QLatin1String(KindNames[b.kind]), status(b.port));
    }
    clickStopAll();
}

QList<qint64> Soak::roundToolPids() const
{
    QList<qint64> pids;
    for (const QByteArray &line : readFile(toolLog()).split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() > 1)
            pids << fields.at(1).toLongLong();
    }
    return pids;
}

void Soak::checkRound(QStringList *problems)
{
    // Late signals of killed tools must change nothing.
    spin(100);
    int failed = 0;
    for (const Board &b : qAsConst(boards)) {
        const QString expected = expectedStatus(b.kind);
        // A later rescan drops the "Fail" row of a board that went away.
        const bool gone = b.kind == Vanish && status(b.port).isEmpty();
        if (status(b.port) != expected && !gone)
            *problems << QStringLiteral("%1 (%2, %3) ended \"%4\" instead of \"%5\"")
                             .arg(b.port, QLatin1String(KindNames[b.kind]), QString::fromUtf8(b.keys), status(b.port),
                                  expected);
        failed += expected == QLatin1String("Failed") ? 1 : 0;
    }
    const QString summary = w->findChild<QLineEdit *>("lineEdit_2")->text();
    if (!summary.startsWith(QStringLiteral("Failed Devices: %1").arg(failed)))
        *problems << QStringLiteral("summary \"%1\" for %2 failed boards").arg(summary.left(40)).arg(failed);

    if (!spinUntil(
            [] {
                return procfs::children().empty();
            },
            10000))
        *problems << QStringLiteral("tool processes left: %1").arg(procfs::children().size());
    for (qint64 pid : roundToolPids()) {
        if (pid > 0 && ::kill(pid_t(pid), 0) == 0)
            *problems << QStringLiteral("tool %1 still there").arg(pid);
    }
    if (!spinUntil(
            [this] {
                return w->findChildren<QProcess *>().isEmpty();
            },
            10000))
        *problems << QStringLiteral("%1 process objects left").arg(w->findChildren<QProcess *>().size());
    for (const QString &fd : openFds()) {
        if (fd.contains(QLatin1String("_log.txt")))
            *problems << QStringLiteral("log still open: %1").arg(fd);
    }
}

// Descriptors no more than after the first round, memory no more than the
// bound above its size after the warm-up.
void Soak::checkGrowth(QStringList *problems)
{
    const QStringList fds = openFds();
    if (baselineFds < 0)
        baselineFds = fds.size();
    else if (fds.size() > baselineFds)
        *problems << QStringLiteral("%1 descriptors open, %2 after the first round:\n    %3")
                         .arg(fds.size())
                         .arg(baselineFds)
                         .arg(fds.join(QLatin1String("\n    ")));
    rssNow = procfs::statusKib("VmRSS");
    if (rssFirst < 0)
        rssFirst = rssNow;
    rssMax = qMax(rssMax, rssNow);
    if (round == opt.warmupRounds)
        rssWarm = rssNow;
    if (rssWarm >= 0 && rssNow - rssWarm > opt.rssBoundKiB)
        *problems << QStringLiteral("memory grew by %1 KiB since the warm-up").arg(rssNow - rssWarm);
}

QString clockText(qint64 ms)
{
    const qint64 s = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(s / 3600, 2, 10, QChar('0'))
        .arg(s / 60 % 60, 2, 10, QChar('0'))
        .arg(s % 60, 2, 10, QChar('0'));
}

void Soak::printRound(const QStringList &problems, qint64 elapsedMs) const
{
    int perKind[KindCount] = {};
    for (const Board &b : qAsConst(boards))
        ++perKind[b.kind];
    QString kinds;
    for (int k = 0; k < KindCount; ++k)
        kinds += QStringLiteral(" %1=%2").arg(QLatin1String(KindNames[k])).arg(perKind[k]);
    std::printf("round %4d  %s %s rescans=%d%s  fds=%d  rss=%lld KiB  %s\n", round, qPrintable(clockText(elapsedMs)),
                qPrintable(kinds), rescansThisRound, stopAllRound ? " (StopAll)" : "", int(openFds().size()), rssNow,
                problems.isEmpty() ? "ok" : "PROBLEMS");
    for (const QString &problem : problems)
        std::printf("    %s\n", qPrintable(problem));
    std::fflush(stdout);
}

// Prints the summary; true when the soak passed.
bool Soak::printSummary(qint64 elapsedMs, const QStringList &firstProblems, int failedRounds) const
{
    const bool passed = failedRounds == 0 && procfs::children().empty();
    std::printf("\nsummary\n");
    std::printf("  duration        %s%s\n", qPrintable(clockText(elapsedMs)),
                stopRequested ? " (stopped by a signal)" : "");
    std::printf("  rounds          %d (%d boards each, %d with problems)\n", round, opt.boards, failedRounds);
    std::printf("  jobs            %lld\n", qint64(round) * opt.boards);
    std::printf("  faults injected");
    for (int k = 0; k < KindCount; ++k)
        std::printf(" %s=%lld", KindNames[k], injected[k]);
    std::printf("\n  rescans         %lld (%lld rounds stopped with StopAll)\n", totalRescans, stopAllRounds);
    std::printf("  descriptors     %d after round 1, %d at the end\n", baselineFds, int(openFds().size()));
    std::printf("  leaks           %s\n", passed ? "none" : "found");
    std::printf("  RSS             %lld KiB after round 1, %lld KiB after warm-up (round %d), %ld KiB at the "
                "end, %lld KiB at most (bound +%lld KiB)\n",
                rssFirst, rssWarm, opt.warmupRounds, procfs::statusKib("VmRSS"), rssMax, opt.rssBoundKiB);
    if (!firstProblems.isEmpty())
        std::printf("  first problems  %s\n", qPrintable(firstProblems.join(QLatin1String("\n                  "))));
    std::printf("  result          %s\n", passed ? "PASS" : "FAIL");
    return passed;
}

int Soak::run()
{
    qunsetenv("UUU_SIM_SCENARIO");
    w = new Widget;
    w->findChild<QLineEdit *>("lineEdit_All")->setText(QDir(work).filePath("sample.img"));

    QElapsedTimer clock;
    clock.start();
    int failedRounds = 0;
    QStringList firstProblems;
    std::printf("velmora_soak: %d boards, %.1f minutes, seed %u, work folder %s\n", opt.boards, opt.minutes, opt.seed,
                qPrintable(work));
    std::fflush(stdout);
    while (clock.elapsed() < qint64(opt.minutes * 60000) && !stopRequested) {
        ++round;
        QFile::remove(QStringLiteral("%1/tool-%2.log").arg(work).arg(round - 1));
        planRound();
        QStringList problems;
        playRound(&problems);
        checkRound(&problems);
        checkGrowth(&problems);
        printRound(problems, clock.elapsed());
        if (!problems.isEmpty()) {
            ++failedRounds;
            if (firstProblems.isEmpty())
                firstProblems = problems;
        }
    }

    delete w;
    w = nullptr;
    spin(50);
    return printSummary(clock.elapsed(), firstProblems, failedRounds) ? 0 : 1;
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // Velmora's per-read debug output would be most of what this prints.
    qputenv("QT_LOGGING_RULES", "default.debug=false");
    QApplication app(argc, argv);
    std::signal(SIGINT, requestStop);
    std::signal(SIGTERM, requestStop);

    Options options;
    options.seed = quint32(QDateTime::currentMSecsSinceEpoch());
#ifdef VELMORA_SIM_PATH
    options.sim = QStringLiteral(VELMORA_SIM_PATH);
#endif
#ifdef VELMORA_TEMPLATES_DIR
    options.templates = QStringLiteral(VELMORA_TEMPLATES_DIR);
#endif
    if (!parseOptions(app.arguments(), &options))
        return 2;

    QTemporaryDir work;
    if (!work.isValid() || !QDir(work.path()).mkpath(QStringLiteral("scripts/emmc")))
        return 2;
    for (const char *name : {"all_uuu.auto", "image_uuu.auto", "root_uuu.auto"}) {
        if (!QFile::copy(options.templates + QLatin1Char('/') + QLatin1String(name),
                         work.filePath(QStringLiteral("scripts/emmc/")) + QLatin1String(name))) {
            std::fprintf(stderr, "velmora_soak: no template %s in %s\n", name, qPrintable(options.templates));
            return 2;
        }
    }
    if (!QFile::link(options.sim, work.filePath(QStringLiteral("uuu")))) {
        std::fprintf(stderr, "velmora_soak: cannot link the simulator %s\n", qPrintable(options.sim));
        return 2;
    }
    writeFile(work.filePath(QStringLiteral("sample.img")), QByteArray(4096, 'x'));
    QDir::setCurrent(work.path());

    Soak soak(options, work.path());
    const int result = soak.run();
    QDir::setCurrent(QDir::tempPath());
    return result;
}
