#pragma once

#include <QList>
#include <QObject>
#include <QProcess>

#ifdef Q_OS_WIN
#include "discovery/win/tooljob_win.h"
#endif

// A QProcess for the flashing tool that never signals anything but its own
// child. After a failed start the toolkit can leave the object in the Starting
// state with no valid process id; killing or destroying it then could signal
// process id -1 (every process we may signal). startTool() puts such an object
// back into NotRunning, and killChild() only signals a live child.
//
// No tool outlives Velmora, however Velmora ends (a crash or a kill from
// outside included): on Linux each child asks the kernel for SIGKILL when
// Velmora ends; on Windows Velmora puts itself into a kill-on-close job before
// its first tool starts, and every process it starts from then on is in it.
//
// A tool is its whole process tree: a `./uuu` may be a wrapper script (or
// sudo) whose child is the real tool. On Linux each tool leads a process group
// of its own, and ending the tool ends the group. Velmora is a child
// subreaper, so processes that leave the group still come back to it when
// their parent ends, and are ended and reaped too. On Windows each tool runs
// in a job of its own with everything it starts, and killChild() ends that
// whole job.
class ToolProcess : public QProcess
{
public:
    explicit ToolProcess(QObject *parent = nullptr);
    ~ToolProcess() override;

    // Starts the tool; false when it could not be started at all (no child).
    // A program named by a path that is no executable file is not started:
    // a failed start costs a descriptor for good in some toolkit releases.
    // On Windows a start refused for lack of a transient resource is tried
    // again a few times; the failed tries still emit errorOccurred().
    bool startTool(const QString &program, const QStringList &arguments, OpenMode mode = ReadWrite);

    // Why the last start failed.
    QString startError() const { return m_startError.isEmpty() ? errorString() : m_startError; }

    // Sends SIGKILL (TerminateProcess on Windows) to the child if there is a
    // live one, and to its process group, and remembers that Velmora ended
    // it. Returns whether there was a live child.
    bool killChild();

    // Ends what is left of the tool's process group once its own process has
    // ended (a wrapper that exited while its child runs). Never waits; does
    // nothing for a group already ended.
    void endGroup();

    // Whether killChild() has signalled this process.
    bool killedByUs() const { return m_killedByUs; }

    // Forces the NotRunning state on a process whose start has failed.
    void markNotRunning();

    // The toolkit reported that the tool could not be started: there is no
    // child to signal or wait for, whatever the state and process id say
    // (Qt 6 reports the failure while the state still reads Starting).
    void markStartFailed();

    // Sets up, once per process, what ties the tools' lifetimes to Velmora's:
    // the Windows job above, and on Linux Velmora as the child subreaper that
    // the tools' escaped processes come back to. The first startTool() calls
    // it; calling it earlier also binds children started otherwise. Returns
    // whether it is in place (false elsewhere).
    static bool bindChildrenToThisProcess();

    // For teardown: ends the processes adopted from ended tools and reaps
    // them, waiting at most timeoutMs for them to go.
    static void endAdoptedProcesses(int timeoutMs);

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
    void forgetGroup();

    bool m_killedByUs = false;
    qint64 m_group = 0; // process group of a started tool until it is ended
    QString m_startError;
};

// The process groups of the tools that run now, for finding their processes
// after Velmora itself was killed. Always empty where tools have no process
// group of their own (Windows: the job object holds every descendant).
class ToolGroups : public QObject
{
    Q_OBJECT

public:
    static ToolGroups *instance();

    // Ascending.
    QList<qint64> groups() const;

    // Asks listeners to record the groups now rather than when the event
    // loop next runs: for a caller about to block it.
    void flush() { emit flushRequested(); }

signals:
    void changed();
    void flushRequested();

private:
    using QObject::QObject;
};
