#include "app/stationrecord.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QSysInfo>

#ifdef Q_OS_UNIX
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include "discovery/processtree.h"
#include "discovery/toolcontract.h"
#include "flashing/scripttext.h"

#include <QElapsedTimer>
#endif

namespace {

const QByteArray RecordFormat = "velmora-station-record 1";

#ifdef Q_OS_LINUX
bool holderStillRuns(const StationRecord &record)
{
    ProcessTree::ProcessInfo holder;
    return ProcessTree::readProcess(record.pid, &holder) && holder.startTime == record.startTime;
}

// Whether these arguments end in the command line of a flash job of this
// station: a tool, or a wrapper or sudo in front of one.
bool isFlashCommand(const QStringList &arguments)
{
    if (arguments.size() < 5)
        return false;
    const QString &script = arguments.last();
    const QStringList tail = arguments.mid(arguments.size() - 4);
    const QStringList scripts = {generatedScriptForMode(QStringLiteral("Image")),
                                 generatedScriptForMode(QStringLiteral("Kernel")),
                                 generatedScriptForMode(QStringLiteral("FileSystem"))};
    return scripts.contains(script) && tail == ToolContract::flashArguments(tail.at(2), script);
}

// Waits a little for killed processes to go, so that the boards are free
// before the first listing.
void waitUntilGone(const QList<qint64> &pids, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        bool running = false;
        for (qint64 pid : pids) {
            ProcessTree::ProcessInfo info;
            running |= ProcessTree::readProcess(pid, &info) && info.state != 'Z';
        }
        if (!running || clock.elapsed() >= timeoutMs)
            return;
        ::usleep(10000);
    }
}
#endif

} // namespace

FolderIdentity FolderIdentity::current()
{
    FolderIdentity folder;
    folder.path = QDir::current().canonicalPath();
#ifdef Q_OS_UNIX
    struct stat info = {};
    if (::stat(".", &info) == 0) {
        folder.device = quint64(info.st_dev);
        folder.inode = quint64(info.st_ino);
        folder.hasInode = true;
    }
#endif
    return folder;
}

bool FolderIdentity::sameAs(const FolderIdentity &other) const
{
    if (hasInode && other.hasInode)
        return device == other.device && inode == other.inode;
#ifdef Q_OS_WIN
    return path.compare(other.path, Qt::CaseInsensitive) == 0;
#else
    return path == other.path;
#endif
}

StationRecord StationRecord::ofThisProcess(const QList<qint64> &groups)
{
    StationRecord record;
    record.pid = QCoreApplication::applicationPid();
#ifdef Q_OS_LINUX
    ProcessTree::ProcessInfo self;
    if (ProcessTree::readProcess(record.pid, &self))
        record.startTime = self.startTime;
#endif
    record.host = QSysInfo::machineHostName();
    record.boot = QSysInfo::bootUniqueId();
    record.folder = FolderIdentity::current();
    record.groups = groups;
    return record;
}

QByteArray StationRecord::toText() const
{
    QByteArray text = RecordFormat + '\n';
    text += "pid " + QByteArray::number(pid) + '\n';
    text += "started " + QByteArray::number(startTime) + '\n';
    text += "host " + host.toUtf8().toPercentEncoding() + '\n';
    text += "boot " + boot.toPercentEncoding() + '\n';
    text += "folder " + folder.path.toUtf8().toPercentEncoding("/") + '\n';
    if (folder.hasInode)
        text += "inode " + QByteArray::number(folder.device) + ' ' + QByteArray::number(folder.inode) + '\n';
    for (qint64 group : groups)
        text += "group " + QByteArray::number(group) + '\n';
    return text + "end\n";
}

bool StationRecord::fromText(const QByteArray &text, StationRecord *record)
{
    const QList<QByteArray> lines = text.split('\n');
    if (lines.value(0) != RecordFormat || !lines.contains("end"))
        return false;
    StationRecord parsed;
    for (const QByteArray &line : lines) {
        const QList<QByteArray> words = line.split(' ');
        const QByteArray key = words.value(0);
        const QByteArray value = QByteArray::fromPercentEncoding(words.value(1));
        if (key == "pid")
            parsed.pid = value.toLongLong();
        else if (key == "started")
            parsed.startTime = value.toULongLong();
        else if (key == "host")
            parsed.host = QString::fromUtf8(value);
        else if (key == "boot")
            parsed.boot = value;
        else if (key == "folder")
            parsed.folder.path = QString::fromUtf8(value);
        else if (key == "inode" && words.size() == 3)
            parsed.folder = {parsed.folder.path, value.toULongLong(), words.at(2).toULongLong(), true};
        else if (key == "group" && value.toLongLong() > 1)
            parsed.groups << value.toLongLong();
    }
    if (parsed.pid <= 0)
        return false;
    *record = parsed;
    return true;
}

bool writeStationRecord(const QString &fileName, const StationRecord &record)
{
    const QString temporary = fileName + QLatin1String(".new");
    QFile file(temporary);
    const QByteArray text = record.toText();
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text) != text.size()) {
        file.remove();
        return false;
    }
    file.close();
#ifdef Q_OS_WIN
    QFile::remove(fileName);
    return QFile::rename(temporary, fileName);
#else
    return ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(fileName).constData()) == 0;
#endif
}

bool readStationRecord(const QString &fileName, StationRecord *record)
{
    QFile file(fileName);
    return file.open(QIODevice::ReadOnly) && StationRecord::fromText(file.read(qint64(64) * 1024), record);
}

bool worksElsewhere(qint64 pid, const FolderIdentity &here)
{
#ifdef Q_OS_LINUX
    struct stat folder = {};
    const QByteArray cwd = "/proc/" + QByteArray::number(pid) + "/cwd";
    return here.hasInode && pid > 0 && ::stat(cwd.constData(), &folder) == 0 &&
           !ProcessTree::worksIn(pid, here.device, here.inode);
#else
    Q_UNUSED(pid)
    Q_UNUSED(here)
    return false;
#endif
}

LeftoverTools endLeftoverTools(const StationRecord &record, const FolderIdentity &here)
{
    LeftoverTools ended;
#ifdef Q_OS_LINUX
    if (record.groups.isEmpty() || record.pid == QCoreApplication::applicationPid() || !here.hasInode ||
        record.host != QSysInfo::machineHostName() || record.boot != QSysInfo::bootUniqueId() ||
        !record.folder.sameAs(here) || holderStillRuns(record))
        return ended;
    const QSet<qint64> groups(record.groups.cbegin(), record.groups.cend());
    QSet<qint64> confirmed;
    QList<qint64> seen;
    for (const ProcessTree::ProcessInfo &process : ProcessTree::allProcesses()) {
        if (process.state == 'Z' || !ProcessTree::worksIn(process.pid, here.device, here.inode))
            continue;
        if (groups.contains(process.group)) {
            confirmed.insert(process.group);
            seen << process.pid;
        } else if (isFlashCommand(ProcessTree::commandLine(process.pid)) && ProcessTree::killProcess(process.pid)) {
            ended.strays << process.pid;
        }
    }
    for (qint64 group : record.groups) {
        if (confirmed.contains(group) && ProcessTree::killGroup(group))
            ended.groups << group;
    }
    waitUntilGone(seen + ended.strays, 2000);
#else
    Q_UNUSED(record)
    Q_UNUSED(here)
#endif
    return ended;
}
