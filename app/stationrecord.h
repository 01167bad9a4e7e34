#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Which folder a station folder is: a copy of it (cp -a) is another one,
// the same folder reached by another path is not.
struct FolderIdentity
{
    QString path; // canonical
    quint64 device = 0;
    quint64 inode = 0;
    bool hasInode = false; // Unix

    // The current working directory's.
    static FolderIdentity current();

    bool sameAs(const FolderIdentity &other) const;
};

// What the holder of a station lock records beside it: who it is, which
// folder it works in, and the process groups of the tools it runs, so that
// a Velmora taking a stale lock over can end the tools that outlived its
// holder (a SIGKILL cannot be caught, and a wrapper's child outlives it).
struct StationRecord
{
    qint64 pid = 0;
    quint64 startTime = 0; // tells the holder from a later process with its id (Linux)
    QString host;
    QByteArray boot;
    FolderIdentity folder;
    QList<qint64> groups;

    // This process's, in the current folder, with these tool groups.
    static StationRecord ofThisProcess(const QList<qint64> &groups);

    QByteArray toText() const;
    // False when the text is no record (empty, torn, another format).
    static bool fromText(const QByteArray &text, StationRecord *record);
};

// Replaces the record file in one step, so that a reader never sees half of
// it. No fsync: a record only matters while the tools it names can run, and
// none survives a power loss or a reboot.
bool writeStationRecord(const QString &fileName, const StationRecord &record);
bool readStationRecord(const QString &fileName, StationRecord *record);

// Whether the live process pid works in another folder than here (Linux;
// false when that cannot be known).
bool worksElsewhere(qint64 pid, const FolderIdentity &here);

// What endLeftoverTools() ended.
struct LeftoverTools
{
    QList<qint64> groups;
    QList<qint64> strays; // flashing tools that had left their group
};

// Ends the processes of the record's groups when the record is of this
// folder, this host and this boot, and its holder has ended. Only a group
// with a process that still works in this folder is ended: a process id
// may have been reused since. A process that left its group (setsid) is
// ended when it works in this folder and runs this station's flashing
// command line.
LeftoverTools endLeftoverTools(const StationRecord &record, const FolderIdentity &here);
