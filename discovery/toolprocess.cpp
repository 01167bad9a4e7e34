#include "discovery/toolprocess.h"

#include <QCoreApplication>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include "discovery/win/startfailure_win.h"

#include <QDebug>
#include <QThread>
#endif

#ifdef Q_OS_LINUX
#include "discovery/processtree.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Runs in the child between fork and exec, so only async-signal-safe calls.
void prepareChild(pid_t parent)
{
    // The tool and everything it starts form a group that can be ended at once.
    ::setpgid(0, 0);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A parent that died before the request above sends nothing: then the
    // child has a new parent already and must not run the tool.
    if (::getppid() != parent)
        ::_exit(127);
}

QSet<ToolProcess *> &allTools()
{
    static QSet<ToolProcess *> tools;
    return tools;
}

// Groups of started tools that have not been ended.
QSet<qint64> runningGroups;
// Ended groups whose own process had already gone: their other processes
// are ended once they show up among Velmora's children.
QSet<qint64> endedGroups;
bool sweepQueued = false;
int sweepRetryMs = 0;

// Ends and reaps what Velmora adopted from ended tools: its children that are
// neither a tool's own process (the toolkit reaps those), nor in the group of
// a running tool, nor in Velmora's own group (the toolkit's and a test's
// other children). Returns whether it found any such process.
bool sweepAdopted()
{
    QSet<qint64> toolChildren;
    for (const ToolProcess *tool : qAsConst(allTools())) {
        if (tool->state() != QProcess::NotRunning && tool->processId() > 0)
            toolChildren.insert(tool->processId());
    }
    const qint64 ownGroup = ::getpgrp();
    bool found = false;
    QSet<qint64> endedSeen;
    for (qint64 pid : ProcessTree::children()) {
        ProcessTree::ProcessInfo info;
        if (toolChildren.contains(pid) || !ProcessTree::readProcess(pid, &info) || info.group == ownGroup)
            continue;
        if (info.state != 'Z') {
            if (runningGroups.contains(info.group))
                continue;
            // A group that this child leads, or one of an ended tool, holds
            // only what that tool left behind.
            if (info.group == pid || endedGroups.contains(info.group))
                ProcessTree::killGroup(info.group);
            ProcessTree::killProcess(pid);
        }
        if (endedGroups.contains(info.group))
            endedSeen.insert(info.group);
        ProcessTree::reapChild(pid);
        found = true;
    }
    endedGroups = endedSeen;
    return found;
}

// Sweeps once the event loop runs, and again, less and less often, while it
// finds processes that a kill has not ended yet.
void scheduleSweep(int delayMs = 0)
{
    if (sweepQueued || !QCoreApplication::instance())
        return;
    sweepQueued = true;
    QTimer::singleShot(delayMs, ToolGroups::instance(), [] {
        sweepQueued = false;
        if (!sweepAdopted()) {
            sweepRetryMs = 0;
            return;
        }
        sweepRetryMs = sweepRetryMs == 0 ? 10 : std::min(sweepRetryMs * 2, 1000);
        scheduleSweep(sweepRetryMs);
    });
}

// Whether any process is left in the group (one of another user counts).
bool groupHasProcesses(qint64 group)
{
    return group > 1 && (::kill(-pid_t(group), 0) == 0 || errno == EPERM);
}

} // namespace
#endif

ToolProcess::ToolProcess(QObject *parent)
    : QProcess(parent)
{
#if defined(Q_OS_LINUX)
    allTools().insert(this);
    // However the tool's own process ends, the rest of its group ends with
    // it; and what it started that left the group has come back to Velmora
    // by now (a kill signalled the group before its processes had gone).
    connect(this, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, [this] {
        endGroup();
        scheduleSweep();
    });
#endif
#if defined(Q_OS_LINUX) && QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const pid_t velmora = ::getpid();
    setChildProcessModifier([velmora] {
        prepareChild(velmora);
    });
#elif defined(Q_OS_LINUX)
    m_parentPid = ::getpid();
#elif defined(Q_OS_WIN)
    setCreateProcessArgumentsModifier([](CreateProcessArguments *arguments) {
        arguments->flags = ToolJob::creationFlags(arguments->flags);
    });
#endif
}

ToolProcess::~ToolProcess()
{
    endGroup();
#ifdef Q_OS_LINUX
    allTools().remove(this);
#endif
}

#if defined(Q_OS_LINUX) && QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
void ToolProcess::setupChildProcess()
{
    prepareChild(pid_t(m_parentPid));
}
#endif

bool ToolProcess::startTool(const QString &program, const QStringList &arguments, OpenMode mode)
{
    m_startError.clear();
    if (program.contains(QLatin1Char('/')) || program.contains(QLatin1Char('\\'))) {
        const QFileInfo file(program);
        if (!file.isFile() || !file.isExecutable()) {
            m_startError = file.exists() ? QStringLiteral("%1 is not an executable file").arg(program)
                                         : QStringLiteral("%1 does not exist").arg(program);
            return false;
        }
    }
    bindChildrenToThisProcess();
    startOnce(program, arguments, mode);
#ifdef Q_OS_WIN
    retryTransientStartFailure(program, arguments, mode);
    if (processId() > 0 && !m_job.adopt(*this)) {
        m_startError = QStringLiteral("%1 was started but could not be resumed").arg(program);
        kill();
        waitForFinished(3000);
        return false;
    }
#endif
    if (processId() <= 0) {
        markNotRunning();
        return false;
    }
#ifdef Q_OS_LINUX
    // The child makes itself a group leader before exec; doing it here too
    // means the group exists before anything can signal it.
    ::setpgid(pid_t(processId()), pid_t(processId()));
    m_group = processId();
    runningGroups.insert(m_group);
    emit ToolGroups::instance()->changed();
#endif
    return true;
}

#ifdef Q_OS_WIN
void ToolProcess::retryTransientStartFailure(const QString &program, const QStringList &arguments, OpenMode mode)
{
    // Three more tries over about 175 ms: enough for a moment's shortage,
    // short enough that the window is not held up by one that lasts.
    for (int retry = 0; retry < 3 && processId() <= 0 && isTransientStartFailure(errorString()); ++retry) {
        qDebug().noquote() << QStringLiteral("Start of %1 retried after: %2").arg(program, errorString());
        markStartFailed();
        QThread::msleep(25u << retry);
        startOnce(program, arguments, mode);
    }
}
#endif

void ToolProcess::startOnce(const QString &program, const QStringList &arguments, OpenMode mode)
{
    start(program, arguments, mode);
}

bool ToolProcess::killChild()
{
    if (state() == NotRunning || processId() <= 0) {
        endGroup();
        return false;
    }
    m_killedByUs = true;
    endGroup();
#ifdef Q_OS_WIN
    // The exit code of the toolkit's own kill(), which it reads as a crash.
    if (m_job.terminate(0xf291))
        return true;
#endif
    kill();
    return true;
}

void ToolProcess::endGroup()
{
#ifdef Q_OS_LINUX
    const qint64 group = m_group;
    if (group <= 0)
        return;
    forgetGroup();
    if (state() != NotRunning && processId() == group) {
        // Its leader is still a child of ours, so the id is still this group's.
        ProcessTree::killGroup(group);
    } else if (groupHasProcesses(group)) {
        // The leader has been reaped and the id may have been reused since:
        // the group is signalled only through a process of it that Velmora
        // finds among its own children (the ones the tool left came back here).
        endedGroups.insert(group);
        sweepAdopted();
    }
    scheduleSweep();
#endif
}

void ToolProcess::forgetGroup()
{
#ifdef Q_OS_LINUX
    if (m_group <= 0)
        return;
    runningGroups.remove(m_group);
    m_group = 0;
    emit ToolGroups::instance()->changed();
#endif
}

void ToolProcess::markStartFailed()
{
    forgetGroup();
    if (state() != NotRunning)
        setProcessState(NotRunning);
}

void ToolProcess::markNotRunning()
{
    if (state() != NotRunning && processId() <= 0)
        setProcessState(NotRunning);
}

bool ToolProcess::bindChildrenToThisProcess()
{
#if defined(Q_OS_LINUX)
    static const bool bound = ProcessTree::becomeSubreaper();
#elif defined(Q_OS_WIN)
    static const bool bound = ToolJob::bindThisProcess();
#else
    static const bool bound = false;
#endif
    return bound;
}

void ToolProcess::endAdoptedProcesses(int timeoutMs)
{
#ifdef Q_OS_LINUX
    QElapsedTimer clock;
    clock.start();
    while (sweepAdopted() && clock.elapsed() < timeoutMs)
        ::usleep(5000);
#else
    Q_UNUSED(timeoutMs)
#endif
}

ToolGroups *ToolGroups::instance()
{
    static ToolGroups *groups = new ToolGroups;
    return groups;
}

QList<qint64> ToolGroups::groups() const
{
#ifdef Q_OS_LINUX
    QList<qint64> sorted = runningGroups.values();
    std::sort(sorted.begin(), sorted.end());
    return sorted;
#else
    return QList<qint64>();
#endif
}
