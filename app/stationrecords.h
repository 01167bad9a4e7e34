#pragma once

#include "flashing/journal.h"

#include <QHash>
#include <QObject>
#include <QString>

#include <map>
#include <memory>
#include <vector>

class ImageFingerprint;
class KeptLogWriter;
class Widget;

// The station's records of its window: logs/journal.jsonl, one line when
// Velmora starts, one per ended attempt and one when it ends, and each
// attempt's log kept under logs/history. Records that cannot be written are
// said once on standard error; the flashing goes on.
class StationRecords : public QObject
{
    Q_OBJECT

public:
    // Opens (and repairs) the journal of the working directory and writes
    // the start line.
    explicit StationRecords(QObject *parent = nullptr);
    // Writes the attempts still waiting for their image's hash (without it)
    // and the end line. Destroy it after the window, whose end stops the
    // jobs still running.
    ~StationRecords() override;

    // Follows the window's attempts, and the image hashes of the fingerprint
    // when there is one.
    void attach(Widget *window, const ImageFingerprint *fingerprint = nullptr);

    // The image's hash is being computed: attempts with it that end meanwhile
    // are written when it is known. One image is hashed at a time: attempts
    // that waited for another one are written now, without its hash. Paths
    // are compared as the window's imagePath() gives them.
    void setImageHashPending(const QString &path);
    // The image's size and SHA-256 (lower-case hex), or an empty sha256 when
    // it could not be hashed; attempts waiting for it are written now.
    void setImageHash(const QString &path, qint64 size, const QString &sha256);

    QString session() const { return m_context.session; }
    QString journalFileName() const { return m_journal.fileName(); }
    // Attempts ended so far, their lines written or waiting for their image's hash.
    int attemptCount() const { return m_attempts; }

private:
    struct EndedAttempt
    {
        Attempt attempt;
        std::unique_ptr<KeptLogWriter> log;
    };

    void onStarted(const Attempt &attempt);
    void onLogged(const QString &devicePort, const QByteArray &bytes);
    void onEnded(const Attempt &attempt);
    KeptLogWriter *openLog(const QString &devicePort, const QDateTime &started);
    void write(EndedAttempt &ended, const JournalImage &image);
    void writeWaiting(const QString &path);
    JournalImage imageOf(const QString &path) const;
    void writeLine(const QByteArray &line);
    void sayHistoryFailure(const QString &devicePort, const QString &why);

    JournalContext m_context;
    JournalFile m_journal;
    qint64 m_seq = 0;
    int m_attempts = 0;
    int m_logsOpened = 0;
    bool m_historyFailureSaid = false;
    // The log copy of each port's running attempt.
    std::map<QString, std::unique_ptr<KeptLogWriter>> m_running;
    // Ended attempts whose image's hash is still being computed, in the order they ended.
    std::vector<EndedAttempt> m_waiting;
    QString m_pendingHash; // the image being hashed, or ""
    QHash<QString, JournalImage> m_hashes;
};
