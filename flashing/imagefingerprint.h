#pragma once

#include "flashing/attempt.h"

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QThreadPool>

#include <atomic>
#include <memory>

// The SHA-256 of the image, computed off the GUI thread whenever the image's
// path, size or modification time changes, and checked against the expected
// value: the one given (setExpectedSha256), else the sidecar IMAGE.sha256
// beside the image, as sha256sum writes it.
class ImageFingerprint : public QObject
{
    Q_OBJECT

public:
    explicit ImageFingerprint(QObject *parent = nullptr);
    ~ImageFingerprint() override;

    // A SHA-256 in hex that every image must have, or "" to take the
    // sidecar's.
    void setExpectedSha256(const QString &hex);

    // Looks at the image again: hashes it when its path, size or
    // modification time differs from the last look, or the last read of it
    // failed. "" forgets the image.
    void setImage(const QString &path);

    // Whether a job may be started with this image, after looking at it again
    // (setImage). Without an expected value every start may go ahead. With
    // one, a start is refused while the hash is not known yet (an image is
    // never flashed unverified), when the image cannot be read, or when its
    // hash differs ("image checksum mismatch").
    StartRefusal startRefusal(const QString &imagePath);

    // The image's hash once known, else "".
    QString sha256() const { return m_sha256; }
    // The expected hash and where it came from ("" when there is none).
    QString expectedSha256() const { return m_expected; }
    QString expectedSource() const { return m_expectedSource; }

signals:
    // A hash of the image at path has begun; sha256() is "" until hashed().
    void hashPending(const QString &path);
    void hashed(const QString &path, qint64 size, const QString &sha256);
    // The image could not be read to its end.
    void hashFailed(const QString &path, const QString &error);

private:
    struct Stamp
    {
        bool exists = false;
        qint64 size = -1;
        QDateTime modified;
        bool operator==(const Stamp &other) const
        {
            return exists == other.exists && size == other.size && modified == other.modified;
        }
    };
    struct HashJob;
    static Stamp stampOf(const QString &path);
    void startHash();
    void takeResult(const std::shared_ptr<HashJob> &job);
    void readExpected();

    QString m_path;
    Stamp m_stamp;
    Stamp m_sidecarStamp;
    QString m_sha256;
    QString m_error;
    QString m_given;
    QString m_expected;
    QString m_expectedSource;
    QString m_sidecarError;
    std::shared_ptr<HashJob> m_job;
    // One hash at a time; a superseded one is cancelled and ends at its next
    // chunk.
    QThreadPool m_pool;
};

// The SHA-256 of a file in hex, read in chunks; "" with *error set when it
// cannot be read to its end or *cancel becomes true. *done counts the bytes
// read so far.
QString sha256OfFile(const QString &path, QString *error, const std::atomic<bool> *cancel = nullptr,
                     std::atomic<qint64> *done = nullptr);

// The hash that a sha256sum file (text of "<hex>  <name>" or "<hex> *<name>"
// lines) gives for fileName: the line naming it, or the only line. "" when
// there is none.
QString sha256FromSumFile(const QByteArray &text, const QString &fileName);
