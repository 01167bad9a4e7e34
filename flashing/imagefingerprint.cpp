#include "flashing/imagefingerprint.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QRunnable>

#include <functional>

namespace {

class Task : public QRunnable
{
public:
    explicit Task(std::function<void()> work)
        : m_work(std::move(work))
    {}
    void run() override { m_work(); }

private:
    std::function<void()> m_work;
};

constexpr qint64 ChunkSize = 1 << 20;
// A sidecar holds a line or a few; anything longer is not one.
constexpr qint64 SidecarLimit = 1 << 20;

} // namespace

struct ImageFingerprint::HashJob
{
    QString path;
    Stamp stamp;
    std::atomic<bool> cancel{false};
    std::atomic<qint64> done{0};
    QString sha256;
    QString error;
};

QString sha256OfFile(const QString &path, QString *error, const std::atomic<bool> *cancel, std::atomic<qint64> *done)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString();
        return QString();
    }
    QCryptographicHash hash(QCryptographicHash::Sha256);
    QByteArray buffer(int(ChunkSize), Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        if (cancel && cancel->load()) {
            *error = QStringLiteral("cancelled");
            return QString();
        }
        const qint64 read = file.read(buffer.data(), buffer.size());
        if (read < 0) {
            *error = file.errorString();
            return QString();
        }
        if (read == 0)
            break;
        hash.addData(QByteArray::fromRawData(buffer.constData(), int(read)));
        total += read;
        if (done)
            done->store(total);
    }
    return QString::fromLatin1(hash.result().toHex());
}

QString sha256FromSumFile(const QByteArray &text, const QString &fileName)
{
    static const QRegularExpression line(QStringLiteral("\\A([0-9A-Fa-f]{64}) [ *](.+)\\z"));
    QStringList hashes;
    for (const QByteArray &bytes : text.split('\n')) {
        const QRegularExpressionMatch match = line.match(QString::fromUtf8(bytes).remove(QLatin1Char('\r')));
        if (!match.hasMatch())
            continue;
        // The name may carry the folder it was summed in, with either slash.
        const QString name = match.captured(2).section(QRegularExpression(QStringLiteral("[/\\\\]")), -1);
        if (name == fileName)
            return match.captured(1).toLower();
        hashes << match.captured(1).toLower();
    }
    return hashes.size() == 1 ? hashes.first() : QString();
}

ImageFingerprint::ImageFingerprint(QObject *parent)
    : QObject(parent)
{
    m_pool.setMaxThreadCount(1);
}

ImageFingerprint::~ImageFingerprint()
{
    if (m_job)
        m_job->cancel = true;
    m_pool.clear();
    m_pool.waitForDone();
}

void ImageFingerprint::setExpectedSha256(const QString &hex)
{
    m_given = hex.toLower();
    m_sidecarStamp = Stamp();
    readExpected();
}

ImageFingerprint::Stamp ImageFingerprint::stampOf(const QString &path)
{
    Stamp stamp;
    const QFileInfo info(path);
    if (path.isEmpty() || !info.isFile())
        return stamp;
    stamp.exists = true;
    stamp.size = info.size();
    stamp.modified = info.lastModified();
    return stamp;
}

void ImageFingerprint::setImage(const QString &path)
{
    const QString absolute = path.isEmpty() ? QString() : QFileInfo(path).absoluteFilePath();
    const Stamp stamp = stampOf(absolute);
    if (absolute != m_path)
        m_sidecarStamp = Stamp();
    // A read that failed is tried again at the next look: permissions or a
    // share may have come back without changing the file.
    const bool same = absolute == m_path && stamp == m_stamp && m_error.isEmpty();
    m_path = absolute;
    readExpected();
    if (same)
        return;
    m_stamp = stamp;
    m_sha256.clear();
    m_error.clear();
    if (m_job)
        m_job->cancel = true;
    m_job.reset();
    m_pool.clear();
    if (m_path.isEmpty())
        return;
    if (stamp.exists)
        startHash();
    else
        m_error = QStringLiteral("no such file");
}

void ImageFingerprint::startHash()
{
    auto job = std::make_shared<HashJob>();
    job->path = m_path;
    job->stamp = m_stamp;
    m_job = job;
    auto *task = new Task([this, job] {
        job->sha256 = sha256OfFile(job->path, &job->error, &job->cancel, &job->done);
        // Queued to this object's thread; dropped if it is gone by then (its
        // destructor waits for this task).
        QMetaObject::invokeMethod(
            this,
            [this, job] {
                takeResult(job);
            },
            Qt::QueuedConnection);
    });
    m_pool.start(task);
    emit hashPending(m_path);
}

void ImageFingerprint::takeResult(const std::shared_ptr<HashJob> &job)
{
    if (job != m_job)
        return; // superseded by a newer look at the image
    m_job.reset();
    const Stamp now = stampOf(job->path);
    if (!(now == job->stamp)) {
        // Changed while it was read: the hash is of neither version.
        m_stamp = now;
        if (now.exists)
            startHash();
        else
            m_error = QStringLiteral("no such file");
        return;
    }
    if (job->sha256.isEmpty()) {
        m_error = job->error;
        emit hashFailed(job->path, job->error);
        return;
    }
    m_sha256 = job->sha256;
    emit hashed(job->path, job->stamp.size, m_sha256);
}

void ImageFingerprint::readExpected()
{
    if (!m_given.isEmpty()) {
        m_expected = m_given;
        m_expectedSource = QStringLiteral("the command line");
        m_sidecarError.clear();
        return;
    }
    const QString sidecar = m_path + QLatin1String(".sha256");
    const Stamp stamp = stampOf(m_path.isEmpty() ? QString() : sidecar);
    if (stamp == m_sidecarStamp && stamp.exists)
        return;
    m_sidecarStamp = stamp;
    m_expected.clear();
    m_expectedSource.clear();
    m_sidecarError.clear();
    if (!stamp.exists)
        return;
    QFile file(sidecar);
    if (!file.open(QIODevice::ReadOnly)) {
        m_sidecarError = QStringLiteral("%1 cannot be read: %2").arg(sidecar, file.errorString());
        return;
    }
    m_expected = sha256FromSumFile(file.read(SidecarLimit), QFileInfo(m_path).fileName());
    if (m_expected.isEmpty())
        m_sidecarError = QStringLiteral("%1 gives no SHA-256 for %2").arg(sidecar, QFileInfo(m_path).fileName());
    else
        m_expectedSource = sidecar;
}

StartRefusal ImageFingerprint::startRefusal(const QString &imagePath)
{
    setImage(imagePath);
    if (m_path.isEmpty() || (m_expected.isEmpty() && m_sidecarError.isEmpty()))
        return {};
    if (!m_sidecarError.isEmpty())
        return {
            QStringLiteral("image checksum unreadable"),
            QStringLiteral("The image's checksum file is not usable: %1.\nNothing was flashed.").arg(m_sidecarError)};
    if (!m_error.isEmpty())
        return {QStringLiteral("image unreadable"),
                QStringLiteral("The image %1 cannot be read to check its SHA-256: %2.\nNothing was flashed.")
                    .arg(m_path, m_error)};
    if (m_sha256.isEmpty()) {
        const qint64 done = m_job ? m_job->done.load() : 0;
        const int percent = m_stamp.size > 0 ? int(100 * done / m_stamp.size) : 0;
        return {QStringLiteral("image checksum pending"),
                QStringLiteral("The image %1 is still being checked against its SHA-256 (%2 % read).\n"
                               "Nothing was flashed; start again when the check is done.")
                    .arg(m_path)
                    .arg(percent)};
    }
    if (m_sha256 != m_expected)
        return {QStringLiteral("image checksum mismatch"),
                QStringLiteral("The image %1 does not match its checksum.\n\nExpected SHA-256 (from %2):\n%3\n"
                               "SHA-256 of the image:\n%4\n\nNothing was flashed.")
                    .arg(m_path, m_expectedSource, m_expected, m_sha256)};
    return {};
}
