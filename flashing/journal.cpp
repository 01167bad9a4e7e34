#include "flashing/journal.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QRunnable>
#include <QSaveFile>
#include <QSysInfo>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

JournalStation JournalStation::current()
{
    return {QSysInfo::machineHostName(), QDir::currentPath()};
}

QString newJournalSession()
{
    const quint64 bits = QRandomGenerator::system()->generate64() & Q_UINT64_C(0xffffffffffff);
    return QStringLiteral("%1").arg(bits, 12, 16, QLatin1Char('0'));
}

QString journalTime(const QDateTime &time)
{
    return time.isValid() ? time.toUTC().toString(Qt::ISODateWithMs) : QString();
}

namespace {

QJsonValue textOrNull(const QString &text)
{
    return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
}

QJsonValue numberOrNull(qint64 number)
{
    return number < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(double(number));
}

QJsonObject commonFields(const JournalContext &context, qint64 seq, const QString &event)
{
    return {{"schema", JournalSchema},
            {"event", event},
            {"station", QJsonObject{{"host", context.station.host}, {"folder", context.station.folder}}},
            {"session", context.session},
            {"seq", double(seq)}};
}

QByteArray line(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

} // namespace

QByteArray attemptRecord(const JournalContext &context, qint64 seq, const Attempt &attempt, const JournalImage &image,
                         const KeptLog &log)
{
    QJsonObject object = commonFields(context, seq, QStringLiteral("attempt"));
    object.insert("port", attempt.port);
    object.insert("mode", attempt.mode);
    object.insert(
        "image",
        QJsonObject{{"path", image.path}, {"size", numberOrNull(image.size)}, {"sha256", textOrNull(image.sha256)}});
    object.insert("started", textOrNull(journalTime(attempt.started)));
    object.insert("ended", textOrNull(journalTime(attempt.ended)));
    const qint64 ms = attempt.started.isValid() && attempt.ended.isValid() ? attempt.started.msecsTo(attempt.ended) : 0;
    object.insert("seconds", double(qMax<qint64>(ms, 0)) / 1000.0);
    object.insert("outcome", attemptOutcomeName(attempt.outcome));
    object.insert("reason", textOrNull(attempt.reason));
    object.insert("progress", attempt.progress < 0 ? QJsonValue(QJsonValue::Null) : QJsonValue(attempt.progress));
    object.insert("log", log.path.isEmpty()
                             ? QJsonValue(QJsonValue::Null)
                             : QJsonObject{{"path", log.path}, {"size", double(log.size)}, {"sha256", log.sha256}});
    object.insert("argv", QJsonArray::fromStringList(attempt.arguments));
    return line(object);
}

QByteArray sessionRecord(const JournalContext &context, qint64 seq, const QString &event, const QDateTime &at,
                         int attempts)
{
    QJsonObject object = commonFields(context, seq, event);
    object.insert("time", journalTime(at));
    if (attempts >= 0)
        object.insert("attempts", attempts);
    return line(object);
}

namespace {

// Runs fsync on the journal's descriptor on the sync thread.
class SyncTask : public QRunnable
{
public:
    SyncTask(int descriptor, QAtomicInt *count)
        : m_descriptor(descriptor)
        , m_count(count)
    {}
    void run() override
    {
#ifdef Q_OS_WIN
        ::_commit(m_descriptor);
#else
        ::fsync(m_descriptor);
#endif
        m_count->fetchAndAddRelease(1);
    }

private:
    int m_descriptor;
    QAtomicInt *m_count;
};

// Offset just past the last line end before the file's final byte: where the
// last line starts.
qint64 lastLineStart(QFile &file, qint64 size)
{
    const qint64 block = qint64(64) * 1024;
    qint64 end = size - 1; // the final byte may be the last line's own end
    while (end > 0) {
        const qint64 from = qMax<qint64>(0, end - block);
        if (!file.seek(from))
            return 0;
        const QByteArray bytes = file.read(end - from);
        const int at = bytes.lastIndexOf('\n');
        if (at >= 0)
            return from + at + 1;
        end = from;
    }
    return 0;
}

} // namespace

JournalFile::JournalFile(const QString &fileName, QObject *parent)
    : QObject(parent)
    , m_file(fileName)
{
    m_syncThread.setMaxThreadCount(1);
    m_syncTimer.setSingleShot(true);
    m_syncTimer.setInterval(syncDelayMs);
    connect(&m_syncTimer, &QTimer::timeout, this, &JournalFile::startSync);
}

JournalFile::~JournalFile()
{
    m_syncTimer.stop();
    if (m_unsynced)
        startSync();
    m_syncThread.waitForDone();
}

bool JournalFile::open()
{
    QDir().mkpath(QFileInfo(m_file.fileName()).absolutePath());
    if (!repairTornEnd())
        return false;
    return openForAppend();
}

bool JournalFile::openForAppend()
{
    if (m_file.isOpen())
        return true;
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        sayFailure(QStringLiteral("cannot be opened (%1)").arg(m_file.errorString()));
        return false;
    }
    m_size = m_file.size();
    return true;
}

bool JournalFile::repairTornEnd()
{
    QFile file(m_file.fileName());
    // Only a file's end can be torn (not that of a device or a pipe).
    if (!QFileInfo(file).isFile())
        return true;
    if (!file.open(QIODevice::ReadWrite)) {
        sayFailure(QStringLiteral("cannot be opened (%1)").arg(file.errorString()));
        return false;
    }
    const qint64 size = file.size();
    if (size == 0)
        return true;
    const qint64 start = lastLineStart(file, size);
    if (!file.seek(start))
        return false;
    const QByteArray last = file.readAll();
    if (last.endsWith('\n') && QJsonDocument::fromJson(last).isObject())
        return true;
    QString copyName =
        m_file.fileName() + ".torn-" + QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss-zzz"));
    QSaveFile copy(copyName);
    if (!copy.open(QIODevice::WriteOnly) || copy.write(last) != last.size() || !copy.commit() || !file.resize(start)) {
        sayFailure(QStringLiteral("has a torn last line that cannot be moved aside (%1)")
                       .arg(copy.errorString().isEmpty() ? file.errorString() : copy.errorString()));
        return false;
    }
    m_tornCopy = copyName;
    qWarning().noquote() << QStringLiteral("Journal %1: its last line was torn (%2 bytes); moved to %3")
                                .arg(m_file.fileName())
                                .arg(last.size())
                                .arg(copyName);
    return true;
}

bool JournalFile::append(const QByteArray &line)
{
    // Until the journal could be repaired and opened, each record tries again.
    if (!m_file.isOpen() && !open())
        return false;
    const qint64 written = m_file.write(line);
    if (written != line.size()) {
        const QString why = m_file.errorString();
        // A part of the line would make the next one unreadable.
        if (!m_file.isSequential())
            m_file.resize(m_size);
        sayFailure(QStringLiteral("a record could not be written (%1)").arg(why));
        return false;
    }
    m_size += written;
    m_failureSaid = false;
    syncSoon();
    return true;
}

void JournalFile::sayFailure(const QString &what)
{
    if (m_failureSaid)
        return;
    m_failureSaid = true;
    qWarning().noquote() << QStringLiteral("Journal %1: %2; flashing goes on without it").arg(m_file.fileName(), what);
}

void JournalFile::syncSoon()
{
    m_unsynced = true;
    if (!m_syncTimer.isActive())
        m_syncTimer.start();
}

void JournalFile::startSync()
{
    if (!m_unsynced || !m_file.isOpen())
        return;
    m_unsynced = false;
    m_syncThread.start(new SyncTask(m_file.handle(), &m_syncs));
}

void JournalFile::waitForSyncs()
{
    m_syncThread.waitForDone();
}
