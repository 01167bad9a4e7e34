#include "app/stationrecords.h"

#include "app/widget.h"
#include "flashing/attemptsignals.h"
#include "flashing/imagefingerprint.h"
#include "flashing/loghistory.h"
#include "flashing/lognames.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>

StationRecords::StationRecords(QObject *parent)
    : QObject(parent)
    , m_context{JournalStation::current(), newJournalSession()}
    , m_journal(QDir(m_context.station.folder).filePath(QStringLiteral("logs/journal.jsonl")))
{
    m_journal.open();
    writeLine(sessionRecord(m_context, m_seq + 1, QStringLiteral("start"), QDateTime::currentDateTimeUtc()));
}

StationRecords::~StationRecords()
{
    std::vector<EndedAttempt> waiting;
    waiting.swap(m_waiting);
    for (EndedAttempt &ended : waiting)
        write(ended, imageOf(ended.attempt.imagePath));
    writeLine(sessionRecord(m_context, m_seq + 1, QStringLiteral("end"), QDateTime::currentDateTimeUtc(), m_attempts));
}

void StationRecords::attach(Widget *window, const ImageFingerprint *fingerprint)
{
    if (fingerprint) {
        connect(fingerprint, &ImageFingerprint::hashPending, this, &StationRecords::setImageHashPending);
        connect(fingerprint, &ImageFingerprint::hashed, this, &StationRecords::setImageHash);
        connect(fingerprint, &ImageFingerprint::hashFailed, this, [this](const QString &path) {
            setImageHash(path, -1, QString());
        });
    }
    const AttemptSignals *announced = window->attemptSignals();
    connect(announced, &AttemptSignals::attemptStarted, this, &StationRecords::onStarted);
    connect(announced, &AttemptSignals::attemptLogged, this, &StationRecords::onLogged);
    connect(announced, &AttemptSignals::attemptEnded, this, &StationRecords::onEnded);
}

void StationRecords::setImageHashPending(const QString &path)
{
    if (!m_pendingHash.isEmpty() && m_pendingHash != path)
        writeWaiting(m_pendingHash);
    m_pendingHash = path;
    m_hashes.remove(path);
}

void StationRecords::setImageHash(const QString &path, qint64 size, const QString &sha256)
{
    if (sha256.isEmpty())
        m_hashes.remove(path);
    else
        m_hashes.insert(path, {path, size, sha256});
    if (m_pendingHash == path)
        m_pendingHash.clear();
    writeWaiting(path);
}

// Writes the attempts that wait for that image's hash, with what is known of it.
void StationRecords::writeWaiting(const QString &path)
{
    std::vector<EndedAttempt> waiting;
    waiting.swap(m_waiting);
    for (EndedAttempt &ended : waiting) {
        if (ended.attempt.imagePath == path)
            write(ended, imageOf(path));
        else
            m_waiting.push_back(std::move(ended));
    }
}

void StationRecords::onStarted(const Attempt &attempt)
{
    // Bytes logged before the start belong to this attempt already.
    if (m_running.find(attempt.port) == m_running.end())
        openLog(attempt.port, attempt.started);
}

void StationRecords::onLogged(const QString &devicePort, const QByteArray &bytes)
{
    auto running = m_running.find(devicePort);
    KeptLogWriter *log =
        running != m_running.end() ? running->second.get() : openLog(devicePort, QDateTime::currentDateTimeUtc());
    if (!log->failed() && !log->write(bytes))
        sayHistoryFailure(devicePort, log->errorString());
}

void StationRecords::onEnded(const Attempt &attempt)
{
    EndedAttempt ended{attempt, nullptr};
    auto running = m_running.find(attempt.port);
    if (running != m_running.end()) {
        ended.log = std::move(running->second);
        m_running.erase(running);
    }
    ++m_attempts;
    if (!m_pendingHash.isEmpty() && attempt.imagePath == m_pendingHash)
        m_waiting.push_back(std::move(ended));
    else
        write(ended, imageOf(attempt.imagePath));
}

KeptLogWriter *StationRecords::openLog(const QString &devicePort, const QDateTime &started)
{
    const QDate day = (started.isValid() ? started : QDateTime::currentDateTimeUtc()).toUTC().date();
    const QString partial =
        QStringLiteral(".%1_%2_%3.partial").arg(fileNameSafePort(devicePort), m_context.session).arg(++m_logsOpened);
    auto log = std::make_unique<KeptLogWriter>(m_context.station.folder, historyFolder(day), partial);
    KeptLogWriter *writer = log.get();
    m_running[devicePort] = std::move(log);
    return writer;
}

void StationRecords::write(EndedAttempt &ended, const JournalImage &image)
{
    const qint64 seq = m_seq + 1;
    KeptLog kept;
    if (ended.log) {
        kept = ended.log->finish(keptLogName(ended.attempt.port, m_context.session, seq));
        if (kept.path.isEmpty())
            sayHistoryFailure(ended.attempt.port, ended.log->errorString());
        else
            m_historyFailureSaid = false;
    }
    writeLine(attemptRecord(m_context, seq, ended.attempt, image, kept));
}

JournalImage StationRecords::imageOf(const QString &path) const
{
    const auto known = m_hashes.constFind(path);
    if (known != m_hashes.constEnd())
        return *known;
    const QFileInfo file(path);
    return {path, !path.isEmpty() && file.isFile() ? file.size() : -1, QString()};
}

void StationRecords::writeLine(const QByteArray &line)
{
    // A line that could not be written leaves its number unused: the gap shows.
    ++m_seq;
    m_journal.append(line);
}

void StationRecords::sayHistoryFailure(const QString &devicePort, const QString &why)
{
    if (m_historyFailureSaid)
        return;
    m_historyFailureSaid = true;
    qWarning().noquote() << QStringLiteral("Device %1: its log cannot be kept in logs/history (%2); later attempts "
                                           "whose log cannot be kept are not said")
                                .arg(devicePort, why);
}
