#include "testplatform.h"

#include "bench/procfs.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <sched.h>
#include <sys/mount.h>
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

namespace {

// Set by takePrivateMounts().
bool privateMounts = false;
// What the tests mounted, latest last, and made read-only by permissions.
QStringList testMounts;
QStringList readOnlyFolders;

} // namespace

bool takePrivateMounts()
{
    if (::geteuid() == 0 && ::unshare(CLONE_NEWNS) == 0)
        privateMounts = ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return privateMounts;
}

QString mountSmallFileSystem(const QString &path, const QByteArray &options)
{
    if (!privateMounts)
        return QStringLiteral("no mount namespace of our own for a small file system");
    if (!QDir().mkpath(path) ||
        ::mount("tmpfs", QFile::encodeName(path).constData(), "tmpfs", MS_NOSUID | MS_NODEV, options.constData()) != 0)
        return QStringLiteral("cannot mount a tmpfs");
    testMounts << path;
    return QString();
}

QString readOnlyFolderUnavailable()
{
    if (::geteuid() == 0 && !privateMounts)
        return QStringLiteral("no mount namespace of our own for a read-only bind mount");
    return QString();
}

QString makeFolderReadOnly(const QString &path)
{
    if (::geteuid() != 0) {
        if (!QFile::setPermissions(path, QFile::ReadOwner | QFile::ExeOwner))
            return QStringLiteral("cannot change the folder's permissions");
        readOnlyFolders << path;
        return QString();
    }
    const QString unavailable = readOnlyFolderUnavailable();
    if (!unavailable.isEmpty())
        return unavailable;
    const QByteArray native = QFile::encodeName(path);
    if (::mount(native.constData(), native.constData(), nullptr, MS_BIND, nullptr) != 0)
        return QStringLiteral("cannot bind-mount the folder");
    testMounts << path;
    if (::mount(nullptr, native.constData(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        return QStringLiteral("cannot make the bind mount read-only");
    QDir::setCurrent(QDir::currentPath());
    return QString();
}

void restoreTestFolders()
{
    const QString current = QDir::currentPath();
    // Detached, so that a mount still in use goes as well.
    while (!testMounts.isEmpty())
        ::umount2(QFile::encodeName(testMounts.takeLast()).constData(), MNT_DETACH);
    for (const QString &path : qAsConst(readOnlyFolders))
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    readOnlyFolders.clear();
    QDir::setCurrent(current);
}

bool writeShellScript(const QString &path, const QByteArray &script)
{
    {
        QFile file(path);
        // Closed before it may run: a program open for writing is not started.
        if (!file.open(QIODevice::WriteOnly) || file.write(script) != script.size())
            return false;
    }
    return QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

bool standardOutputClosed(qint64 pid)
{
    return !QFileInfo::exists(QStringLiteral("/proc/%1/fd/1").arg(pid));
}
