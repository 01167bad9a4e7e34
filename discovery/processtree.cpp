#include "discovery/processtree.h"

#include <QByteArray>

#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace ProcessTree {

namespace {

// A /proc file's text; empty when it cannot be read.
QByteArray readProcFile(const QByteArray &path)
{
    QByteArray text;
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buffer[4096];
    for (;;) {
        const ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        text.append(buffer, int(count));
    }
    ::close(fd);
    return text;
}

// Calls visit with each numeric entry of a /proc folder.
template <typename Visit> bool forEachNumericEntry(const char *folder, Visit visit)
{
    DIR *listing = ::opendir(folder);
    if (!listing)
        return false;
    while (const dirent *entry = ::readdir(listing)) {
        bool numeric = false;
        const qint64 id = QByteArray(entry->d_name).toLongLong(&numeric);
        if (numeric && id > 0)
            visit(id);
    }
    ::closedir(listing);
    return true;
}

QList<qint64> childrenFromStat()
{
    QList<qint64> pids;
    const qint64 self = ::getpid();
    forEachNumericEntry("/proc", [&](qint64 pid) {
        ProcessInfo info;
        if (readProcess(pid, &info) && info.parent == self)
            pids << pid;
    });
    return pids;
}

bool mayKill(qint64 id)
{
    return id > 1 && id != qint64(::getpid()) && id != qint64(::getpgrp());
}

} // namespace

bool readProcess(qint64 pid, ProcessInfo *info)
{
    const QByteArray line = readProcFile("/proc/" + QByteArray::number(pid) + "/stat");
    // The name between the parentheses may hold blanks and parentheses.
    const int nameEnd = line.lastIndexOf(')');
    if (nameEnd < 0)
        return false;
    const QList<QByteArray> fields = line.mid(nameEnd + 2).split(' ');
    if (fields.size() < 20 || fields.at(0).isEmpty())
        return false;
    info->pid = pid;
    info->state = fields.at(0).at(0);
    info->parent = fields.at(1).toLongLong();
    info->group = fields.at(2).toLongLong();
    info->startTime = fields.at(19).toULongLong();
    return true;
}

QList<qint64> children()
{
    QList<qint64> pids;
    bool perThread = true;
    // Each thread lists the children it started; kernels built without
    // these lists need a scan of /proc.
    forEachNumericEntry("/proc/self/task", [&](qint64 thread) {
        const QByteArray path = "/proc/self/task/" + QByteArray::number(thread) + "/children";
        if (::access(path.constData(), R_OK) != 0) {
            perThread = false;
            return;
        }
        for (const QByteArray &pid : readProcFile(path).split(' ')) {
            if (pid.trimmed().toLongLong() > 0)
                pids << pid.trimmed().toLongLong();
        }
    });
    return perThread ? pids : childrenFromStat();
}

QList<ProcessInfo> membersOf(const QSet<qint64> &groups)
{
    QList<ProcessInfo> members;
    if (groups.isEmpty())
        return members;
    for (const ProcessInfo &info : allProcesses()) {
        if (groups.contains(info.group))
            members << info;
    }
    return members;
}

QList<ProcessInfo> allProcesses()
{
    QList<ProcessInfo> processes;
    forEachNumericEntry("/proc", [&](qint64 pid) {
        ProcessInfo info;
        if (readProcess(pid, &info))
            processes << info;
    });
    return processes;
}

QStringList commandLine(qint64 pid)
{
    QStringList arguments;
    QByteArray text = readProcFile("/proc/" + QByteArray::number(pid) + "/cmdline");
    if (text.endsWith('\0'))
        text.chop(1);
    if (text.isEmpty())
        return arguments;
    for (const QByteArray &argument : text.split('\0'))
        arguments << QString::fromLocal8Bit(argument);
    return arguments;
}

bool worksIn(qint64 pid, quint64 device, quint64 inode)
{
    struct stat folder = {};
    const QByteArray cwd = "/proc/" + QByteArray::number(pid) + "/cwd";
    return ::stat(cwd.constData(), &folder) == 0 && quint64(folder.st_dev) == device && quint64(folder.st_ino) == inode;
}

bool killProcess(qint64 pid)
{
    return mayKill(pid) && ::kill(pid_t(pid), SIGKILL) == 0;
}

bool killGroup(qint64 group)
{
    return mayKill(group) && ::kill(-pid_t(group), SIGKILL) == 0;
}

bool reapChild(qint64 pid)
{
    if (pid <= 0)
        return true;
    int status = 0;
    pid_t reaped = 0;
    do {
        reaped = ::waitpid(pid_t(pid), &status, WNOHANG);
    } while (reaped < 0 && errno == EINTR);
    return reaped != 0;
}

bool becomeSubreaper()
{
    return ::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0;
}

} // namespace ProcessTree
