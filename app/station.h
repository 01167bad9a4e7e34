#pragma once

#include <QLockFile>
#include <QString>
#include <QTimer>

struct FolderIdentity;

// Name of the lock file that marks the working directory as the station of a
// running Velmora.
extern const char StationLockFileName[];
// Name of the record that its holder keeps beside it (see StationRecord).
extern const char StationRecordFileName[];

// One station folder, one Velmora: a second one started in the same working
// directory would list the boards that the first is flashing as idle and
// flash them a second time. The lock belongs to the folder: a lock copied
// with the folder (cp -a) does not hold the copy.
class StationLock
{
public:
    StationLock();
    ~StationLock();

    // Takes the station. When another Velmora holds it, or no lock can be
    // made, says why on standard error and in an "Error" box and returns
    // false. A lock left by a process that has ended, or held by one that
    // works in another folder, is taken over; tools that an ended holder
    // left running here are ended first, and standard error says so.
    bool claim();

    // Why claim() failed, as shown; empty after a success.
    QString refusal() const { return m_refusal; }

private:
    QString refusalText() const;
    bool holderWorksElsewhere(const FolderIdentity &here) const;
    bool takeOverFromElsewhere(const FolderIdentity &here);
    void endLeftovers(const FolderIdentity &here);
    void followToolGroups();
    void writeRecord();
    QString recordPath() const;

    QLockFile m_lock;
    QString m_refusal;
    // Tool starts and ends in one turn of the event loop cost one write.
    QTimer m_recordTimer;
    bool m_held = false;
    bool m_recordFailureSaid = false;
};
