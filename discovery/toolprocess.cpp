#include "toolprocess.h"

#include <QFileInfo>

#ifdef Q_OS_WIN
#include "win/startfailure_win.h"

#include <QDebug>
#include <QThread>
#endif

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

// Runs in the child between fork and exec, so only async-signal-safe calls.
void dieWithParent(pid_t parent)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // A parent that died before the request above sends nothing: then the
    // child has a new parent already and must not run the tool.
    if (::getppid() != parent)
        ::_exit(127);
}

} // namespace
#endif

ToolProcess::ToolProcess(QObject *parent)
    : QProcess(parent)
{
#if defined(Q_OS_LINUX) && QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const pid_t velmora = ::getpid();
    setChildProcessModifier([velmora] {
        dieWithParent(velmora);
    });
#elif defined(Q_OS_LINUX)
    m_parentPid = ::getpid();
#elif defined(Q_OS_WIN)
    setCreateProcessArgumentsModifier([](CreateProcessArguments *arguments) {
        arguments->flags = ToolJob::creationFlags(arguments->flags);
    });
#endif
}

#if defined(Q_OS_LINUX) && QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
void ToolProcess::setupChildProcess()
{
    dieWithParent(pid_t(m_parentPid));
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
    if (processId() > 0)
        return true;
    markNotRunning();
    return false;
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
    if (state() == NotRunning || processId() <= 0)
        return false;
    m_killedByUs = true;
#ifdef Q_OS_WIN
    // The exit code of the toolkit's own kill(), which it reads as a crash.
    if (m_job.terminate(0xf291))
        return true;
#endif
    kill();
    return true;
}

void ToolProcess::markStartFailed()
{
    if (state() != NotRunning)
        setProcessState(NotRunning);
}

void ToolProcess::markNotRunning()
{
    if (state() != NotRunning && processId() <= 0)
        setProcessState(NotRunning);
}
