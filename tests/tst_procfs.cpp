#include "bench/procfs.h"

#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>

#include <fcntl.h>
#include <unistd.h>

// The /proc reads that the leak checks of the tests, the soak and the
// benchmarks count with.
class TestProcfs : public QObject
{
    Q_OBJECT

private slots:
    void descriptorsFollowOpenAndClose();
    void childWithAwkwardName_data();
    void childWithAwkwardName();
    void statusLines_data();
    void statusLines();
};

static bool contains(const std::vector<int> &values, int value)
{
    return std::find(values.begin(), values.end(), value) != values.end();
}

void TestProcfs::descriptorsFollowOpenAndClose()
{
    const int before = procfs::descriptorCount();
    QVERIFY(before >= 0);
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    QVERIFY(fd >= 0);
    const std::vector<int> open = procfs::descriptors();
    ::close(fd);
    QVERIFY(contains(open, fd));
    QCOMPARE(int(open.size()), before + 1);
    QCOMPARE(procfs::descriptorCount(), before);
    // The listing's own descriptor is closed by the time it returns.
    for (int listed : procfs::descriptors())
        QVERIFY2(::fcntl(listed, F_GETFD) != -1, qPrintable(QString::number(listed)));
    QCOMPARE(procfs::descriptorTarget(fd), std::string());
}

void TestProcfs::childWithAwkwardName_data()
{
    QTest::addColumn<QString>("name");
    // The command name in /proc/PID/stat stands in parentheses and may hold
    // spaces and parentheses of its own.
    QTest::newRow("plain") << "vb100-reader";
    QTest::newRow("closing parenthesis") << "a) b";
    QTest::newRow("parentheses and spaces") << "x (y) z 1 2";
}

void TestProcfs::childWithAwkwardName()
{
    QFETCH(QString, name);
    const QString cat = QStandardPaths::findExecutable(QStringLiteral("cat"));
    QTemporaryDir dir;
    QVERIFY(!cat.isEmpty() && dir.isValid());
    const QString program = dir.filePath(name);
    QVERIFY(QFile::copy(cat, program));
    QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));

    // cat ends by itself once its input is closed.
    QProcess child;
    child.start(program, QStringList());
    QVERIFY(child.waitForStarted());
    const pid_t pid = pid_t(child.processId());
    QVERIFY(contains(procfs::children(), pid));
    const procfs::Stat stat = procfs::stat(pid);
    QCOMPARE(stat.parent, ::getpid());
    QVERIFY2(stat.state != 0 && stat.state != 'Z', QByteArray(1, stat.state).constData());
    child.closeWriteChannel();
    QVERIFY(child.waitForFinished());
    QCOMPARE(procfs::stat(pid).state, '\0');
    QVERIFY(!contains(procfs::children(), pid));
}

void TestProcfs::statusLines_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<bool>("present");
    QTest::newRow("peak resident") << QByteArray("VmHWM") << true;
    QTest::newRow("resident") << QByteArray("VmRSS") << true;
    QTest::newRow("prefix of a key") << QByteArray("Vm") << false;
    QTest::newRow("no such key") << QByteArray("VmVelmora") << false;
}

void TestProcfs::statusLines()
{
    QFETCH(QByteArray, key);
    QFETCH(bool, present);
    const long kib = procfs::statusKib(key.constData());
    QCOMPARE(kib > 0, present);
    if (!present)
        QCOMPARE(kib, -1L);
}

QTEST_GUILESS_MAIN(TestProcfs)
#include "tst_procfs.moc"
