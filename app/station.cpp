#include "app/station.h"
#include "app/stationrecord.h"
#include "discovery/toolprocess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QSysInfo>

#include <cstdio>

const char StationLockFileName[] = "velmora-station.lock";
const char StationRecordFileName[] = "velmora-station.lock.record";

StationLock::StationLock()
    : m_lock(QDir::current().filePath(QLatin1String(StationLockFileName)))
{
    // The lock is never refreshed while Velmora runs, so its age says
    // nothing: only a holder that has ended makes it stale.
    m_lock.setStaleLockTime(0);
    m_recordTimer.setSingleShot(true);
    m_recordTimer.setInterval(0);
    QObject::connect(&m_recordTimer, &QTimer::timeout, [this] {
        writeRecord();
    });
}

StationLock::~StationLock()
{
    // The record goes first: once the lock is gone another Velmora may take
    // it and write its own.
    if (m_held)
        QFile::remove(recordPath());
}

bool StationLock::claim()
{
    m_refusal.clear();
    const FolderIdentity here = FolderIdentity::current();
    if (!m_lock.tryLock(0) && !takeOverFromElsewhere(here)) {
        m_refusal = refusalText();
        std::fprintf(stderr, "velmora: %s\n", m_refusal.toLocal8Bit().constData());
        std::fflush(stderr);
        QMessageBox::critical(nullptr, QCoreApplication::translate("Station", "Error"), m_refusal, QMessageBox::Ok);
        return false;
    }
    m_held = true;
    endLeftovers(here);
    writeRecord();
    followToolGroups();
    return true;
}

QString StationLock::recordPath() const
{
    return QDir::current().filePath(QLatin1String(StationRecordFileName));
}

bool StationLock::holderWorksElsewhere(const FolderIdentity &here) const
{
    qint64 pid = 0;
    QString host;
    QString application;
    if (!m_lock.getLockInfo(&pid, &host, &application) || host != QSysInfo::machineHostName())
        return false;
    StationRecord record;
    if (readStationRecord(recordPath(), &record) && record.pid == pid && record.host == host &&
        !record.folder.sameAs(here))
        return true;
    return worksElsewhere(pid, here);
}

bool StationLock::takeOverFromElsewhere(const FolderIdentity &here)
{
    if (m_lock.error() != QLockFile::LockFailedError || !holderWorksElsewhere(here))
        return false;
    // Of two Velmoras started in the copy at once, one removes the copied
    // lock: the other then finds the first one's (the toolkit guards its own
    // takeover of a stale lock the same way).
    QLockFile removal(QDir::current().filePath(QLatin1String(StationLockFileName) + QLatin1String(".rmlock")));
    if (!removal.tryLock(0) || !holderWorksElsewhere(here))
        return false;
    m_lock.removeStaleLockFile();
    return m_lock.tryLock(0);
}

void StationLock::endLeftovers(const FolderIdentity &here)
{
    StationRecord previous;
    if (!readStationRecord(recordPath(), &previous))
        return;
    const LeftoverTools ended = endLeftoverTools(previous, here);
    if (ended.groups.isEmpty() && ended.strays.isEmpty())
        return;
    const auto joined = [](const QList<qint64> &ids) {
        QStringList texts;
        for (qint64 id : ids)
            texts << QString::number(id);
        return texts.join(QLatin1String(", ")).toLocal8Bit();
    };
    std::fprintf(stderr,
                 "velmora: ended the tools that Velmora process %lld left running in this station folder "
                 "(process groups: %s; processes that had left their group: %s)\n",
                 static_cast<long long>(previous.pid), joined(ended.groups).constData(),
                 joined(ended.strays).constData());
    std::fflush(stderr);
}

void StationLock::followToolGroups()
{
    ToolGroups *groups = ToolGroups::instance();
    QObject::connect(groups, &ToolGroups::changed, &m_recordTimer, [this] {
        if (!m_recordTimer.isActive())
            m_recordTimer.start();
    });
    QObject::connect(groups, &ToolGroups::flushRequested, &m_recordTimer, [this] {
        if (m_recordTimer.isActive()) {
            m_recordTimer.stop();
            writeRecord();
        }
    });
}

void StationLock::writeRecord()
{
    if (writeStationRecord(recordPath(), StationRecord::ofThisProcess(ToolGroups::instance()->groups()))) {
        m_recordFailureSaid = false;
        return;
    }
    // Said once until a write succeeds again: a full disk fails every one.
    if (m_recordFailureSaid)
        return;
    m_recordFailureSaid = true;
    std::fprintf(stderr, "velmora: cannot write %s: a tool left running by a crash may not be found\n",
                 StationRecordFileName);
    std::fflush(stderr);
}

QString StationLock::refusalText() const
{
    const QString folder = QDir::toNativeSeparators(QDir::currentPath());
    const QString lockName = QLatin1String(StationLockFileName);
    qint64 pid = 0;
    QString host;
    QString application;
    if (m_lock.error() == QLockFile::LockFailedError && m_lock.getLockInfo(&pid, &host, &application)) {
        return QCoreApplication::translate("Station",
                                           "Velmora is already running in the station folder %1 (process %2 on %3). "
                                           "Close it before starting Velmora here again: two would flash the same "
                                           "boards.")
            .arg(folder)
            .arg(pid)
            .arg(host);
    }
    if (m_lock.error() == QLockFile::LockFailedError) {
        return QCoreApplication::translate("Station",
                                           "Another Velmora holds the station folder %1 (its lock file %2 is there).")
            .arg(folder, lockName);
    }
    if (m_lock.error() == QLockFile::PermissionError) {
        return QCoreApplication::translate("Station",
                                           "Velmora cannot use the station folder %1: it cannot create its lock file "
                                           "%2 there (the folder is not writable).")
            .arg(folder, lockName);
    }
    return QCoreApplication::translate("Station", "Velmora cannot lock the station folder %1 (lock file %2).")
        .arg(folder, lockName);
}
