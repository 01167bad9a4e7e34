#include "app/widget.h"
#include "flashing/attemptsignals.h"
#include "flashing/imagefingerprint.h"
#include "testsupport.h"

#include <QPushButton>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

// The image's SHA-256, computed in the background, and the starts it refuses.
class TestImageFingerprint : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void hashEqualsSha256sum_data();
    void hashEqualsSha256sum();
    void sumFiles_data();
    void sumFiles();
    void refusals_data();
    void refusals();
    void changedImageIsHashedAgain();
    void supersededHashIsDropped();
    void refusedStartRunsNoTool();

private:
    QString writeImage(const QString &name, qint64 size);
    QString image;
    QTemporaryDir *dir = nullptr;
};

namespace {

QString sha256sum(const QString &path)
{
    QProcess process;
    process.start(QStringLiteral("sha256sum"), {path});
    if (!process.waitForFinished(60000) || process.exitCode() != 0)
        return QString();
    return QString::fromLatin1(process.readAllStandardOutput().left(64));
}

bool waitForHash(ImageFingerprint &fingerprint)
{
    QSignalSpy hashed(&fingerprint, &ImageFingerprint::hashed);
    QSignalSpy failed(&fingerprint, &ImageFingerprint::hashFailed);
    return QTest::qWaitFor(
        [&] {
            return !hashed.isEmpty() || !failed.isEmpty();
        },
        60000);
}

void flipByte(const QString &path, qint64 offset)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    file.seek(offset);
    char byte = 0;
    QVERIFY(file.getChar(&byte));
    file.seek(offset);
    QVERIFY(file.putChar(char(byte ^ 0x01)));
}

} // namespace

void TestImageFingerprint::init()
{
    dir = new QTemporaryDir;
    QVERIFY(dir->isValid());
    image = writeImage(QStringLiteral("vb200-release.img"), 70000);
}

void TestImageFingerprint::cleanup()
{
    delete dir;
    dir = nullptr;
}

QString TestImageFingerprint::writeImage(const QString &name, qint64 size)
{
    QByteArray content(int(size), Qt::Uninitialized);
    QRandomGenerator random{quint32(size)};
    for (char &byte : content)
        byte = char(random.bounded(256));
    const QString path = dir->filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != size)
        return QString();
    return path;
}

void TestImageFingerprint::hashEqualsSha256sum_data()
{
    QTest::addColumn<qint64>("size");
    QTest::newRow("empty") << qint64(0);
    QTest::newRow("one byte") << qint64(1);
    QTest::newRow("a chunk less one") << qint64((1 << 20) - 1);
    QTest::newRow("one chunk") << qint64(1 << 20);
    QTest::newRow("chunks and a bit") << qint64(3 * (1 << 20) + 17);
}

void TestImageFingerprint::hashEqualsSha256sum()
{
    QFETCH(qint64, size);
    if (QStandardPaths::findExecutable(QStringLiteral("sha256sum")).isEmpty())
        QSKIP("no sha256sum here");
    const QString path = writeImage(QStringLiteral("sized.img"), size);
    const QString expected = sha256sum(path);
    QCOMPARE(expected.size(), 64);

    ImageFingerprint fingerprint;
    QSignalSpy hashed(&fingerprint, &ImageFingerprint::hashed);
    fingerprint.setImage(path);
    QTRY_COMPARE_WITH_TIMEOUT(hashed.size(), 1, 60000);
    QCOMPARE(hashed.first().at(0).toString(), path);
    QCOMPARE(hashed.first().at(1).toLongLong(), size);
    QCOMPARE(hashed.first().at(2).toString(), expected);
    QCOMPARE(fingerprint.sha256(), expected);
}

void TestImageFingerprint::sumFiles_data()
{
    const QByteArray a(64, 'a');
    const QByteArray b(64, 'b');
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("hash");
    QTest::newRow("text mode") << a + "  vb200.img\n" << QString(a);
    QTest::newRow("binary mode") << a + " *vb200.img\n" << QString(a);
    QTest::newRow("no newline, CRLF") << a + "  vb200.img\r\n" << QString(a);
    QTest::newRow("upper case") << a.toUpper() + "  vb200.img" << QString(a);
    QTest::newRow("the line naming it") << a + "  other.img\n" + b + "  vb200.img\n" << QString(b);
    QTest::newRow("named with its folder") << a + "  other.img\n" + b + "  ./out\\vb200.img\n" << QString(b);
    QTest::newRow("the only line, another name") << a + "  renamed.img\n" << QString(a);
    QTest::newRow("two lines, neither names it") << a + "  x.img\n" + b + "  y.img\n" << QString();
    QTest::newRow("short hash") << a.left(63) + "  vb200.img\n" << QString();
    QTest::newRow("one space only") << a + " vb200.img\n" << QString();
    QTest::newRow("empty") << QByteArray() << QString();
}

void TestImageFingerprint::sumFiles()
{
    QFETCH(QByteArray, text);
    QFETCH(QString, hash);
    QCOMPARE(sha256FromSumFile(text, QStringLiteral("vb200.img")), hash);
}

void TestImageFingerprint::refusals_data()
{
    // "GOOD" in a sidecar or the given hash stands for the image's real one.
    QTest::addColumn<QByteArray>("sidecar"); // "" for none
    QTest::addColumn<QString>("given");
    QTest::addColumn<bool>("flip");
    QTest::addColumn<QString>("reason");
    const QString other(64, 'e');
    QTest::newRow("no checksum") << QByteArray() << QString() << true << QString();
    QTest::newRow("sidecar matches") << QByteArray("GOOD  vb200-release.img\n") << QString() << false << QString();
    QTest::newRow("sidecar matches, binary mode")
        << QByteArray("GOOD *vb200-release.img\n") << QString() << false << QString();
    QTest::newRow("a flipped byte") << QByteArray("GOOD  vb200-release.img\n") << QString() << true
                                    << "image checksum mismatch";
    QTest::newRow("given hash matches") << QByteArray() << "GOOD" << false << QString();
    QTest::newRow("given hash wins over the sidecar")
        << QByteArray("GOOD  vb200-release.img\n") << other << false << "image checksum mismatch";
    QTest::newRow("sidecar without a hash")
        << QByteArray("release 2026-12\n") << QString() << false << "image checksum unreadable";
}

void TestImageFingerprint::refusals()
{
    QFETCH(QByteArray, sidecar);
    QFETCH(QString, given);
    QFETCH(bool, flip);
    QFETCH(QString, reason);
    QString error;
    const QString good = sha256OfFile(image, &error);
    QCOMPARE(good.size(), 64);
    if (!sidecar.isEmpty()) {
        QFile file(image + ".sha256");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(sidecar.replace("GOOD", good.toLatin1()));
    }
    if (flip)
        flipByte(image, 4321);

    ImageFingerprint fingerprint;
    fingerprint.setExpectedSha256(given == "GOOD" ? good.toUpper() : given);
    fingerprint.setImage(image);
    // The result comes through the event loop: until then the hash is
    // unknown, and an image with a checksum to match is not flashed.
    const bool checked = !sidecar.isEmpty() || !given.isEmpty();
    const StartRefusal early = fingerprint.startRefusal(image);
    if (checked && reason != "image checksum unreadable") {
        QCOMPARE(early.reason, QStringLiteral("image checksum pending"));
        QVERIFY(early.message.contains("still being checked"));
    } else {
        QCOMPARE(early.reason, reason);
    }
    QVERIFY(waitForHash(fingerprint));
    const StartRefusal refusal = fingerprint.startRefusal(image);
    QCOMPARE(refusal.reason, reason);
    if (reason == "image checksum mismatch") {
        QVERIFY(refusal.message.contains(fingerprint.sha256()));
        QVERIFY(refusal.message.contains(fingerprint.expectedSha256()));
        QVERIFY(fingerprint.sha256() != fingerprint.expectedSha256());
    }

    // Without the image there is nothing to check it against.
    QVERIFY(QFile::remove(image));
    const QString missing = reason == "image checksum unreadable" ? reason : QStringLiteral("image unreadable");
    QCOMPARE(fingerprint.startRefusal(image).reason, checked ? missing : QString());
}

void TestImageFingerprint::changedImageIsHashedAgain()
{
    ImageFingerprint fingerprint;
    QSignalSpy pending(&fingerprint, &ImageFingerprint::hashPending);
    fingerprint.setImage(image);
    QVERIFY(waitForHash(fingerprint));
    const QString first = fingerprint.sha256();
    QCOMPARE(pending.size(), 1);
    // The same file, looked at again, is not read again.
    fingerprint.setImage(image);
    QCOMPARE(fingerprint.startRefusal(image).reason, QString());
    QCOMPARE(pending.size(), 1);

    // New content of the same size, with a new modification time.
    QFile file(image);
    QVERIFY(file.open(QIODevice::ReadWrite));
    const QDateTime modified = QFileInfo(image).lastModified();
    flipByte(image, 10);
    QVERIFY(file.setFileTime(modified.addSecs(10), QFileDevice::FileModificationTime));
    fingerprint.setImage(image);
    QCOMPARE(pending.size(), 2);
    QVERIFY(waitForHash(fingerprint));
    QString error;
    QCOMPARE(fingerprint.sha256(), sha256OfFile(image, &error));
    QVERIFY(fingerprint.sha256() != first);

    // A longer file with its old time; the check before a start sees it too,
    // and holds the start while a sidecar's hash waits to be compared.
    QFile sidecar(image + ".sha256");
    QVERIFY(sidecar.open(QIODevice::WriteOnly));
    sidecar.write(fingerprint.sha256().toLatin1() + "  vb200-release.img\n");
    sidecar.close();
    QVERIFY(file.seek(file.size()));
    QVERIFY(file.putChar('x'));
    file.flush();
    QVERIFY(file.setFileTime(modified.addSecs(10), QFileDevice::FileModificationTime));
    QCOMPARE(fingerprint.startRefusal(image).reason, QStringLiteral("image checksum pending"));
    QCOMPARE(pending.size(), 3);
    QVERIFY(waitForHash(fingerprint));
    QCOMPARE(fingerprint.startRefusal(image).reason, QStringLiteral("image checksum mismatch"));
}

void TestImageFingerprint::supersededHashIsDropped()
{
    const QString next = writeImage(QStringLiteral("vb200-next.img"), 8 << 20);
    ImageFingerprint fingerprint;
    QSignalSpy hashed(&fingerprint, &ImageFingerprint::hashed);
    QSignalSpy failed(&fingerprint, &ImageFingerprint::hashFailed);
    fingerprint.setImage(image);
    fingerprint.setImage(next);
    // One hash at a time, in order: whatever the first one left comes before
    // the second's result, and is not taken for the image's.
    QTRY_COMPARE_WITH_TIMEOUT(hashed.size(), 1, 60000);
    QCOMPARE(hashed.first().at(0).toString(), next);
    QVERIFY(failed.isEmpty());
    QString error;
    QCOMPARE(fingerprint.sha256(), sha256OfFile(next, &error));
}

void TestImageFingerprint::refusedStartRunsNoTool()
{
    ToolDir tools;
    QVERIFY(tools.isValid());
    Widget *window = tools.openWindow("board 1:1\nboard 1:2\n");
    ImageFingerprint fingerprint;
    connect(window->attemptSignals(), &AttemptSignals::imagePathChanged, &fingerprint, &ImageFingerprint::setImage);
    window->setStartCheck([&fingerprint](const QString &path) {
        return fingerprint.startRefusal(path);
    });
    tools.writeFile(QStringLiteral("sample.img.sha256"), QByteArray(64, '0') + "  sample.img\n");
    QVector<Attempt> ended;
    connect(window->attemptSignals(), &AttemptSignals::attemptEnded, this, [&ended](const Attempt &attempt) {
        ended << attempt;
    });
    fingerprint.setImage(window->imagePath());
    QVERIFY(waitForHash(fingerprint));

    MessageBoxCloser closer;
    QTest::mouseClick(window->findChild<QPushButton *>(QStringLiteral("startAllButton")), Qt::LeftButton);
    QTRY_COMPARE(ended.size(), 2);
    for (const Attempt &attempt : ended) {
        QCOMPARE(attempt.outcome, AttemptOutcome::NotStarted);
        QCOMPARE(attempt.reason, QStringLiteral("image checksum mismatch"));
    }
    // One box for the whole rack, not one per board.
    QCOMPARE(closer.closedCount(), 1);
    QVERIFY(closer.lastText().contains(fingerprint.sha256()));
    QVERIFY(tools.flashPids().isEmpty());
    QCOMPARE(window->runningJobCount(), 0);
    delete window;
}

QTEST_MAIN(TestImageFingerprint)
#include "tst_imagefingerprint.moc"
