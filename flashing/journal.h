#pragma once

#include "flashing/attempt.h"

#include <QAtomicInt>
#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QObject>
#include <QString>
#include <QThreadPool>
#include <QTimer>

// Where records are made: this host and the station folder.
struct JournalStation
{
    QString host;
    QString folder;

    // This machine's host name and the working directory.
    static JournalStation current();
};

// The image an attempt was flashed with; size -1 and an empty sha256 when
// not known.
struct JournalImage
{
    QString path;
    qint64 size = -1;
    QString sha256;
};

// The copy of an attempt's log kept under logs/history; a null path when
// none was kept.
struct KeptLog
{
    QString path; // relative to the station folder
    qint64 size = 0;
    QString sha256;
};

// What every line of one run of Velmora shares.
struct JournalContext
{
    JournalStation station;
    QString session;
};

// The format version of every journal line.
constexpr int JournalSchema = 1;

// A random id for one run of Velmora: 12 lower-case hex digits.
QString newJournalSession();

// UTC, ISO 8601 with milliseconds: "2026-12-09T06:30:00.123Z".
QString journalTime(const QDateTime &time);

// One journal line (ending in '\n') for an ended attempt.
QByteArray attemptRecord(const JournalContext &context, qint64 seq, const Attempt &attempt, const JournalImage &image,
                         const KeptLog &log);

// One journal line for the start ("start") or the end ("end") of a run;
// attempts is the number of attempt lines the run wrote, -1 to leave it out.
QByteArray sessionRecord(const JournalContext &context, qint64 seq, const QString &event, const QDateTime &at,
                         int attempts = -1);

// An append-only file of JSON lines. Each line goes to the file with one
// write, so a reader (or a SIGKILL) never meets a line cut in the middle of
// the file; the disk is synced on a thread of its own, at most once per
// batch of lines written within syncDelayMs.
class JournalFile : public QObject
{
    Q_OBJECT

public:
    static constexpr int syncDelayMs = 100;

    explicit JournalFile(const QString &fileName, QObject *parent = nullptr);
    // Syncs what is not yet synced before closing.
    ~JournalFile() override;

    // Opens the file for appending, making its folder. A last line without
    // its line end, or that is no JSON object, was torn by a crash: it is
    // moved to a file of its own beside the journal (tornCopy()) and standard
    // error says so. False when the journal cannot be opened.
    bool open();

    // Appends one line that ends in '\n'. On a short write the file is cut
    // back to its last whole line. The first failure after a success is said
    // on standard error; nothing else is.
    bool append(const QByteArray &line);

    QString fileName() const { return m_file.fileName(); }
    // Where open() moved a torn last line, or "".
    QString tornCopy() const { return m_tornCopy; }
    // How many disk syncs have run.
    int syncCount() const { return m_syncs.loadAcquire(); }
    // Waits until every sync asked for so far has run.
    void waitForSyncs();

private:
    bool openForAppend();
    bool repairTornEnd();
    void sayFailure(const QString &what);
    void syncSoon();
    void startSync();

    QFile m_file;
    qint64 m_size = 0;
    QString m_tornCopy;
    bool m_failureSaid = false;
    bool m_unsynced = false;
    QTimer m_syncTimer;
    QThreadPool m_syncThread;
    QAtomicInt m_syncs;
};
