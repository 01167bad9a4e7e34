#include "flashing/loghistory.h"

#include "flashing/lognames.h"

#include <QDir>
#include <QFileInfo>

QString historyFolder(const QDate &day)
{
    return QStringLiteral("logs/history/") + day.toString(Qt::ISODate);
}

QString keptLogName(const QString &devicePort, const QString &session, qint64 seq)
{
    return QStringLiteral("%1_%2_%3.txt").arg(fileNameSafePort(devicePort), session).arg(seq);
}

KeptLogWriter::KeptLogWriter(const QString &stationFolder, const QString &folder, const QString &partialName)
    : m_stationFolder(stationFolder)
    , m_folder(folder)
    , m_file(QDir(stationFolder).filePath(folder + QLatin1Char('/') + partialName))
    , m_hash(QCryptographicHash::Sha256)
{}

KeptLogWriter::~KeptLogWriter()
{
    // Not finished: what was written stays under its partial name.
    m_file.close();
}

bool KeptLogWriter::ensureOpen()
{
    if (m_file.isOpen())
        return true;
    // One folder a day: made once, looked at for every attempt.
    const QString folder = QDir(m_stationFolder).filePath(m_folder);
    if (!QFileInfo::exists(folder))
        QDir().mkpath(folder);
    // Buffered: a chunk of a board's output costs a copy, not a system call;
    // the copy is whole once finished, and a partial file is never named as
    // a kept log.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        fail(m_file.errorString());
        return false;
    }
    return true;
}

bool KeptLogWriter::write(const QByteArray &bytes)
{
    if (m_failed || !ensureOpen())
        return false;
    if (m_file.write(bytes) != bytes.size()) {
        fail(m_file.errorString());
        return false;
    }
    m_hash.addData(bytes);
    m_size += bytes.size();
    return true;
}

void KeptLogWriter::fail(const QString &why)
{
    m_failed = true;
    m_error = why;
}

KeptLog KeptLogWriter::finish(const QString &finalName)
{
    if (!m_failed && ensureOpen() && !m_file.flush())
        fail(m_file.errorString());
    m_file.close();
    const QString relative = m_folder + QLatin1Char('/') + finalName;
    if (m_failed || !m_file.rename(QDir(m_stationFolder).filePath(relative))) {
        if (!m_failed)
            fail(m_file.errorString());
        m_file.remove();
        return {};
    }
    return {relative, m_size, QString::fromLatin1(m_hash.result().toHex())};
}
