#pragma once

#include <QList>
#include <QSet>
#include <QStringList>
#include <QtGlobal>

// What Linux says about processes, for ending every process that a tool
// started: process groups, the children of this process, and /proc. Every
// signal goes through killProcess() or killGroup(), which refuse ids that
// could reach more than one process of ours or of the system.
namespace ProcessTree {

struct ProcessInfo
{
    qint64 pid = 0;
    qint64 parent = 0;
    qint64 group = 0;
    char state = 0;        // 'Z' for a zombie
    quint64 startTime = 0; // clock ticks after boot
};

// Reads /proc/PID/stat; false when the process is gone or unreadable.
bool readProcess(qint64 pid, ProcessInfo *info);

// The direct children of this process, zombies included.
QList<qint64> children();

// Every process whose group is one of these (a scan of /proc).
QList<ProcessInfo> membersOf(const QSet<qint64> &groups);

// Every process there is (a scan of /proc).
QList<ProcessInfo> allProcesses();

// The process's arguments, its program first; empty when it cannot be read.
QStringList commandLine(qint64 pid);

// Whether the process works in the folder with this device and inode.
bool worksIn(qint64 pid, quint64 device, quint64 inode);

// SIGKILL to one process or to one process group. Ids of 1 or less, this
// process and its own group are refused (false).
bool killProcess(qint64 pid);
bool killGroup(qint64 group);

// Reaps the child if it has ended: true when it is gone (reaped now or
// before), false while it still runs. Never waits, never reaps another pid.
bool reapChild(qint64 pid);

// Makes orphaned descendants come back to this process instead of init.
bool becomeSubreaper();

} // namespace ProcessTree
