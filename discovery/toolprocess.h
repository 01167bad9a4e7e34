#pragma once

#include <QProcess>

#ifdef Q_OS_WIN
#include "win/tooljob_win.h"
#endif

// A QProcess for the flashing tool that never signals anything but its own
// child. After a failed start the toolkit can leave the object in the Starting
// state with no valid process id; killing or destroying it then could signal
// process id -1 (every process we may signal). startTool() puts such an object
// back into NotRunning, and killChild() only signals a live child.
//
// No tool outlives Velmora: on Linux each child asks the kernel for SIGKILL
// when Velmora ends, however it ends (a crash or SIGKILL included). On
// Windows each tool runs in a job of its own with everything it starts, and
// killChild() ends that whole job.
class ToolProcess : public QProcess
{
public:
    explicit ToolProcess(QObject *parent = nullptr);

    // Starts the tool; false when it could not be started at all (no child).
    // A program named by a path that is no executable file is not started:
    // a failed start costs a descriptor for good in some toolkit releases.
    // On Windows a start refused for lack of a transient resource is tried
    // again a few times; the failed tries still emit errorOccurred().
    bool startTool(const QString &program, const QStringList &arguments, OpenMode mode = ReadWrite);

    // Why the last start failed.
    QString startError() const { return m_startError.isEmpty() ? errorString() : m_startError; }

    // Sends SIGKILL (TerminateProcess on Windows) to the child if there is a
    // live one, and remembers that Velmora ended it. Returns whether it did.
    bool killChild();

    // Whether killChild() has signalled this process.
    bool killedByUs() const { return m_killedByUs; }

    // Forces the NotRunning state on a process whose start has failed.
    void markNotRunning();

    // The toolkit reported that the tool could not be started: there is no
    // child to signal or wait for, whatever the state and process id say
    // (Qt 6 reports the failure while the state still reads Starting).
    void markStartFailed();

protected:
    // One start of the program: the toolkit's start(). Tests replace it to
    // meet start failures that a station does not show at will.
    virtual void startOnce(const QString &program, const QStringList &arguments, OpenMode mode);

#ifdef Q_OS_WIN
private:
    // Starts again, a few times, a start that the station refused for lack
    // of a transient resource; each new try is logged.
    void retryTransientStartFailure(const QString &program, const QStringList &arguments, OpenMode mode);

    ToolJob m_job;
#endif

#if defined(Q_OS_LINUX) && QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
protected:
    void setupChildProcess() override;

private:
    qint64 m_parentPid = 0;
#endif

private:
    bool m_killedByUs = false;
    QString m_startError;
};
