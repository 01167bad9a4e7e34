#pragma once

#include "flashing/journal.h"

#include <QCryptographicHash>
#include <QDate>
#include <QFile>
#include <QString>

// Folder of the logs kept from attempts started on that day (UTC), relative
// to the station folder: "logs/history/YYYY-MM-DD".
QString historyFolder(const QDate &day);

// Name of an attempt's kept log in its folder: "<port>_<session>_<seq>.txt",
// the port as in the per-port log's name.
QString keptLogName(const QString &devicePort, const QString &session, qint64 seq);

// One attempt's copy of its log, written as the log is, so that nothing is
// copied when the attempt ends and an attempt that follows at once in the
// same port writes to a file of its own. It is hashed as it is written.
class KeptLogWriter
{
public:
    // stationFolder/folder/partialName is written until finish().
    KeptLogWriter(const QString &stationFolder, const QString &folder, const QString &partialName);
    ~KeptLogWriter();

    // False when the bytes could not all be written; from then on the copy
    // is incomplete and nothing more is written to it.
    bool write(const QByteArray &bytes);

    bool failed() const { return m_failed; }
    // Why the copy is incomplete, or "".
    QString errorString() const { return m_error; }

    // Closes the copy and renames it to finalName in its folder. A null
    // KeptLog when nothing could be kept whole (the partial file is removed);
    // an attempt that logged nothing keeps an empty copy.
    KeptLog finish(const QString &finalName);

private:
    bool ensureOpen();
    void fail(const QString &why);

    QString m_stationFolder;
    QString m_folder;
    QFile m_file;
    QCryptographicHash m_hash;
    qint64 m_size = 0;
    bool m_failed = false;
    QString m_error;
};
