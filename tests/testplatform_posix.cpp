#include "testplatform.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <csignal>
#include <dirent.h>
#include <unistd.h>

bool processAlive(qint64 pid)
{
    return pid > 0 && ::kill(pid_t(pid), 0) == 0;
}

QList<int> childPids()
{
    QList<int> pids;
    const int self = int(::getpid());
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const int pid = entry.toInt(&numeric);
        if (!numeric)
            continue;
        QFile stat(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields.at(1).toInt() == self)
            pids << pid;
    }
    return pids;
}

bool logHeldOpen()
{
    QDirIterator fds(QStringLiteral("/proc/self/fd"), QDir::System | QDir::NoDotAndDotDot);
    while (fds.hasNext()) {
        fds.next();
        if (fds.fileInfo().symLinkTarget().contains(QLatin1String("_log.txt")))
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
    DIR *listing = ::opendir("/proc/self/fd");
    if (!listing)
        return fds;
    const int own = ::dirfd(listing);
    while (const dirent *entry = ::readdir(listing)) {
        if (entry->d_name[0] == '.' || QByteArray(entry->d_name).toInt() == own)
            continue;
        const QString fd = QString::fromLatin1(entry->d_name);
        fds << fd + QLatin1String(" -> ") + QFile::symLinkTarget(QStringLiteral("/proc/self/fd/") + fd);
    }
    ::closedir(listing);
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
