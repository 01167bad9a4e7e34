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
#include <dirent.h>
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

QStringList openFds()
{
    QStringList fds;
    DIR *listing = ::opendir("/proc/self/fd");
    if (!listing)
        return fds;
    const int own = ::dirfd(listing);
    while (const dirent *entry = ::readdir(listing)) {
        bool numeric = false;
        const int fd = QByteArray(entry->d_name).toInt(&numeric);
        if (numeric && fd != own)
            fds << QStringLiteral("%1 -> %2")
                       .arg(fd)
                       .arg(QFile::symLinkTarget(QStringLiteral("/proc/self/fd/%1").arg(fd)));
    }
    ::closedir(listing);
    return fds;
}

QList<int> childPids()
{
    QList<int> pids;
    const int self = int(::getpid());
    for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (!numeric)
            continue;
        QFile stat("/proc/" + entry + "/stat");
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toInt() == self)
            pids << pid;
    }
    return pids;
}

qint64 rssKiB()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
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

QString logNameOf(const QString &port)
{
    QString name = port;
    name.replace(':', '_');
    return QStringLiteral("logs/%1_log.txt").arg(name);
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
    QByteArray scenario(bool withVanished) const;
    bool playRound(QStringList *problems);
    void checkRound(QStringList *problems);
    QList<qint64> roundToolPids() const;
    QLabel *statusLabel(const QString &port) const
    {
        const int row = w->findRowByPath(port);
        return row < 0 ? nullptr : w->statusLabelAt(row);
    }
    QString status(const QString &port) const
    {
        QLabel *label = statusLabel(port);
        return label ? label->text() : QString();
    }
    QString toolLog() const { return QStringLiteral("%1/tool-%2.log").arg(work).arg(round); }

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
        const QByteArray at = QByteArray::number(b.at);
        QByteArray keys = "duration_ms=" + QByteArray::number(200 + random.bounded(1000)) +
                          " rate=" + QByteArray::number(10 + random.bounded(40)) +
                          " seed=" + QByteArray::number(random.bounded(1000000));
        switch (b.kind) {
        case Ok:
            keys += random.bounded(2) ? " outcome=okhang" : " outcome=ok";
            break;
        case OkNoisy:
            keys += random.bounded(2) ? " garbage=1" : " nul=1";
            break;
        case CleanExit:
            keys += " outcome=exit@" + at + ":0";
            break;
        case Crash:
            keys += " outcome=crash@" + at;
            break;
        case FailWord:
            keys += " outcome=fail@" + at;
            if (random.bounded(3) == 0)
                keys += " chunk=" + QByteArray::number(2 + random.bounded(8)) + " split_ms=2";
            break;
        case ErrorWord:
            keys += " outcome=error@" + at;
            if (random.bounded(3) == 0)
                keys += " chunk=" + QByteArray::number(2 + random.bounded(8)) + " split_ms=2";
            break;
        case ExitCode:
            keys += " outcome=exit@" + at + ":" + QByteArray::number(1 + random.bounded(255));
            break;
        case HangStop:
        case Vanish:
            keys += " outcome=hang@" + at;
            break;
        case CloseOutStop:
            keys += " outcome=closeout@" + at;
            break;
        case KindCount:
            break;
        }
        b.keys = keys;
        ++injected[b.kind];
        boards << b;
    }
    stopAllRound = random.bounded(10) == 0;
    stopAllRounds += stopAllRound ? 1 : 0;
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

// Whether the board's tool has printed the line of its hang point.
static bool reachedHangPoint(const Board &b)
{
    const QByteArray log = readFile(logNameOf(b.port));
    return log.contains(">write all: " + QByteArray::number(b.at) + "%");
}

bool Soak::playRound(QStringList *problems)
{
    rescansThisRound = 0;
    writeFile(QStringLiteral("uuu_scenario.txt"), scenario(true));
    w->rescanDevices();
    ++rescansThisRound;
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
        bool allEnded = true;
        bool othersEnded = true; // all but the boards that wait for StopAll
        QList<int> vanishing;
        for (int i = 0; i < boards.size(); ++i) {
            Board &b = boards[i];
            const QString now = status(b.port);
            const bool stoppable = b.kind == HangStop || b.kind == CloseOutStop;
            if (!b.handled && (stoppable || b.kind == Vanish) && now == QLatin1String("Running") &&
                reachedHangPoint(b)) {
                if (b.kind == Vanish) {
                    vanishing << i;
                } else if (!stopAllRound) {
                    w->runOrStopDevice(b.port);
                    b.handled = true;
                }
            }
            // An end, right or wrong; checkRound compares.
            const bool ended = b.kind == Vanish ? b.handled && now != QLatin1String("Running")
                                                : now == QLatin1String("Finished") || now == QLatin1String("Failed") ||
                                                      now == QLatin1String("Stopped");
            allEnded &= ended;
            if (!(stopAllRound && stoppable && !b.handled))
                othersEnded &= ended;
        }
        if (!vanishing.isEmpty()) {
            for (int i : vanishing)
                boards[i].handled = true;
            writeFile(QStringLiteral("uuu_scenario.txt"), scenario(false));
            w->rescanDevices();
            ++rescansThisRound;
        }
        if (random.bounded(40) == 0) {
            w->rescanDevices();
            ++rescansThisRound;
        }
        if (stopAllRound && othersEnded && !allEnded) {
            bool hungReady = true;
            for (const Board &b : qAsConst(boards)) {
                if ((b.kind == HangStop || b.kind == CloseOutStop) && !b.handled && !reachedHangPoint(b))
                    hungReady = false;
            }
            if (hungReady) {
                w->updateButtonStates();
                w->findChild<QPushButton *>("stopAllButton")->click();
                for (Board &b : boards)
                    b.handled = true;
            }
        }
        if (allEnded)
            break;
        if (clock.elapsed() > 60000) {
            for (const Board &b : qAsConst(boards)) {
                if (status(b.port) != expectedStatus(b.kind))
                    *problems << QStringLiteral("%1 (%2) still \"%3\" after 60 s")
                                     .arg(b.port, QLatin1String(KindNames[b.kind]), status(b.port));
            }
            w->updateButtonStates();
            w->findChild<QPushButton *>("stopAllButton")->click();
            return false;
        }
    }
    totalRescans += rescansThisRound;
    return true;
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
                return childPids().isEmpty();
            },
            10000))
        *problems << QStringLiteral("tool processes left: %1").arg(childPids().size());
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

int Soak::run()
{
    qunsetenv("UUU_SIM_SCENARIO");
    w = new Widget;
    w->findChild<QLineEdit *>("lineEdit_All")->setText(QDir(work).filePath("sample.img"));

    QElapsedTimer clock;
    clock.start();
    const qint64 until = qint64(opt.minutes * 60000);
    int baselineFds = -1;
    qint64 rssWarm = -1;
    qint64 rssMax = 0;
    qint64 rssFirst = -1;
    int failedRounds = 0;
    QStringList firstProblems;

    std::printf("velmora_soak: %d boards, %.1f minutes, seed %u, work folder %s\n", opt.boards, opt.minutes, opt.seed,
                qPrintable(work));
    std::fflush(stdout);
    while (clock.elapsed() < until && !stopRequested) {
        ++round;
        QFile::remove(QStringLiteral("%1/tool-%2.log").arg(work).arg(round - 1));
        planRound();
        QStringList problems;
        playRound(&problems);
        checkRound(&problems);

        const int fds = openFds().size();
        if (baselineFds < 0)
            baselineFds = fds;
        else if (fds > baselineFds)
            problems << QStringLiteral("%1 descriptors open, %2 after the first round:\n    %3")
                            .arg(fds)
                            .arg(baselineFds)
                            .arg(openFds().join(QLatin1String("\n    ")));
        const qint64 rss = rssKiB();
        if (rssFirst < 0)
            rssFirst = rss;
        rssMax = qMax(rssMax, rss);
        if (round == opt.warmupRounds)
            rssWarm = rss;
        if (rssWarm >= 0 && rss - rssWarm > opt.rssBoundKiB)
            problems << QStringLiteral("memory grew by %1 KiB since the warm-up").arg(rss - rssWarm);

        int perKind[KindCount] = {};
        for (const Board &b : qAsConst(boards))
            ++perKind[b.kind];
        QString kinds;
        for (int k = 0; k < KindCount; ++k)
            kinds += QStringLiteral(" %1=%2").arg(QLatin1String(KindNames[k])).arg(perKind[k]);
        const qint64 seconds = clock.elapsed() / 1000;
        std::printf("round %4d  %02lld:%02lld:%02lld %s rescans=%d%s  fds=%d  rss=%lld KiB  %s\n", round,
                    seconds / 3600, seconds / 60 % 60, seconds % 60, qPrintable(kinds), rescansThisRound,
                    stopAllRound ? " (StopAll)" : "", fds, rss, problems.isEmpty() ? "ok" : "PROBLEMS");
        for (const QString &problem : qAsConst(problems))
            std::printf("    %s\n", qPrintable(problem));
        std::fflush(stdout);
        if (!problems.isEmpty()) {
            ++failedRounds;
            if (firstProblems.isEmpty())
                firstProblems = problems;
        }
    }

    delete w;
    w = nullptr;
    spin(50);
    const bool childrenLeft = !childPids().isEmpty();
    const qint64 seconds = clock.elapsed() / 1000;

    std::printf("\nsummary\n");
    std::printf("  duration        %02lld:%02lld:%02lld%s\n", seconds / 3600, seconds / 60 % 60, seconds % 60,
                stopRequested ? " (stopped by a signal)" : "");
    std::printf("  rounds          %d (%d boards each, %d with problems)\n", round, opt.boards, failedRounds);
    std::printf("  jobs            %lld\n", qint64(round) * opt.boards);
    std::printf("  faults injected");
    for (int k = 0; k < KindCount; ++k)
        std::printf(" %s=%lld", KindNames[k], injected[k]);
    std::printf("\n  rescans         %lld (%lld rounds stopped with StopAll)\n", totalRescans, stopAllRounds);
    std::printf("  descriptors     %d after round 1, %d at the end\n", baselineFds, int(openFds().size()));
    std::printf("  leaks           %s\n", failedRounds == 0 && !childrenLeft ? "none" : "found");
    std::printf("  RSS             %lld KiB after round 1, %lld KiB after warm-up (round %d), %lld KiB at the "
                "end, %lld KiB at most (bound +%lld KiB)\n",
                rssFirst, rssWarm, opt.warmupRounds, rssKiB(), rssMax, opt.rssBoundKiB);
    if (!firstProblems.isEmpty())
        std::printf("  first problems  %s\n", qPrintable(firstProblems.join(QLatin1String("\n                  "))));
    std::printf("  result          %s\n", failedRounds == 0 && !childrenLeft ? "PASS" : "FAIL");
    return failedRounds == 0 && !childrenLeft ? 0 : 1;
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
