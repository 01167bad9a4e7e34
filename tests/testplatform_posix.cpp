#include "testplatform.h"

#include "bench/procfs.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <unistd.h>

bool processAlive(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), 0) == 0;
}

QList<int> childPids()
{
    const std::vector<int> pids = procfs::children();
    return QList<int>(pids.begin(), pids.end());
}

bool logHeldOpen()
{
    for (int fd : procfs::descriptors()) {
        if (procfs::descriptorTarget(fd).find("_log.txt") != std::string::npos)
            return true;
    }
    return false;
}

QString toolFileName()
{
    return QStringLiteral("uuu");
}

bool installSimulatorAs(const QString &simulator, const QString &toolPath)
{
    removeToolFile(toolPath);
    return QFile::link(simulator, toolPath);
}

QStringList openDescriptors()
{
    QStringList fds;
    for (int fd : procfs::descriptors())
        fds << QStringLiteral("%1 -> %2").arg(fd).arg(QString::fromStdString(procfs::descriptorTarget(fd)));
    return fds;
}

void removeToolFile(const QString &toolPath)
{
    QFile::remove(toolPath);
}

QByteArray notAProgram()
{
    return QByteArrayLiteral("#!/bin/sh\necho 3:1->Okay\n");
}

bool inOwnPidNamespace()
{
    if (::getppid() != 1 || ::getpid() > 16)
        return false;
    bool readable = false;
    const size_t processes = procfs::processes(&readable).size();
    return readable && processes <= 3;
}

QString writableUeventDevice()
{
    if (::geteuid() != 0)
        return QString();
    const QString base = QStringLiteral("/sys/class/tty/");
    for (const QString &name : QDir(base).entryList({QStringLiteral("ttyS*")}, QDir::AllEntries | QDir::System)) {
        if (raiseUevent(base + name, "change"))
            return base + name;
    }
    return QString();
}

bool raiseUevent(const QString &sysPath, const char *action)
{
    QFile file(sysPath + QStringLiteral("/uevent"));
    return file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && file.write(action) == qint64(qstrlen(action));
}
