// DescriptorPollSet must answer exactly as poll(2) does on the same array,
// while serving the tracked notifiers' descriptors from its epoll set. The
// random walk below compares the two after every step, through the events
// that break a naive descriptor cache: notifiers disabled and deleted,
// descriptors closed and their numbers reused by new pipes, writers gone,
// the same descriptor twice in one array, closed descriptors and files
// without polling support.
//
// JobDescriptorWatch puts such a set into the event loop while one exists.

#include "flashing/descriptorpollset.h"
#include "flashing/jobdescriptors.h"

#include <QAbstractEventDispatcher>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

struct Channel
{
    int readFd = -1;
    int writeFd = -1;
    std::unique_ptr<QSocketNotifier> notifier; // null: not tracked
};

bool makePipe(Channel &c)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    c.readFd = fds[0];
    c.writeFd = fds[1];
    return true;
}

void closeChannel(Channel &c)
{
    c.notifier.reset();
    if (c.readFd >= 0)
        close(c.readFd);
    if (c.writeFd >= 0)
        close(c.writeFd);
    c.readFd = c.writeFd = -1;
}

void drain(int fd)
{
    char buffer[4096];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
}

QString describe(const std::vector<pollfd> &fds)
{
    QStringList parts;
    for (const pollfd &p : fds)
        parts << QStringLiteral("%1:%2->%3").arg(p.fd).arg(p.events).arg(p.revents);
    return parts.join(QLatin1Char(' '));
}

} // namespace

class TestDescriptorPollSet : public QObject
{
    Q_OBJECT

private slots:
    void answersAsPollDoes();
    void servesTrackedDescriptorsFromEpoll();
    void wakesForTrackedDescriptor();
    void watchInstalledWhileOneExists();
};

void TestDescriptorPollSet::answersAsPollDoes()
{
    DescriptorPollSet set;
    QRandomGenerator random(20261207);
    std::vector<Channel> channels(24);
    for (Channel &c : channels)
        QVERIFY(makePipe(c));

    QTemporaryFile regular;
    QVERIFY(regular.open());
    const int closedFd = [] {
        int fds[2];
        if (pipe(fds) != 0)
            return -1;
        close(fds[0]);
        close(fds[1]);
        return fds[0];
    }();

    for (int step = 0; step < 4000; ++step) {
        Channel &c = channels[random.bounded(int(channels.size()))];
        switch (random.bounded(9)) {
        case 0: // output arrives
            if (c.writeFd >= 0)
                QCOMPARE(write(c.writeFd, "12%\n", 4), ssize_t(4));
            break;
        case 1: // it is read
            if (c.readFd >= 0)
                drain(c.readFd);
            break;
        case 2: // the tool ends: its end of the pipe closes
            if (c.writeFd >= 0) {
                close(c.writeFd);
                c.writeFd = -1;
            }
            break;
        case 3: // the job is watched through the set
            if (c.readFd >= 0 && !c.notifier) {
                c.notifier.reset(new QSocketNotifier(c.readFd, QSocketNotifier::Read));
                set.track(c.notifier.get());
            }
            break;
        case 4: // its notifier is switched off or on
            if (c.notifier)
                c.notifier->setEnabled(!c.notifier->isEnabled());
            break;
        case 5: // released, and the number reused at once by a new job
        case 6: {
            const bool trackNew = random.bounded(2) == 0;
            closeChannel(c);
            QVERIFY(makePipe(c));
            if (trackNew) {
                c.notifier.reset(new QSocketNotifier(c.readFd, QSocketNotifier::Read));
                set.track(c.notifier.get());
            }
            // A reused number with output waiting is what a stale cache misses.
            if (random.bounded(2) == 0)
                QCOMPARE(write(c.writeFd, "x", 1), ssize_t(1));
            break;
        }
        default:
            break;
        }

        // The array the event loop would pass: every read end, some twice,
        // some asking for writing too, plus a closed descriptor, a regular
        // file and an ignored negative entry.
        std::vector<pollfd> fds;
        for (const Channel &ch : channels) {
            if (ch.readFd < 0)
                continue;
            const short events = short(random.bounded(4) == 0 ? POLLIN | POLLOUT : POLLIN | POLLHUP | POLLERR);
            fds.push_back({ch.readFd, events, 0});
            if (random.bounded(10) == 0)
                fds.push_back({ch.readFd, POLLIN, 0});
            if (ch.writeFd >= 0 && random.bounded(6) == 0)
                fds.push_back({ch.writeFd, POLLOUT, 0});
        }
        fds.push_back({closedFd, POLLIN, 0});
        fds.push_back({int(regular.handle()), POLLIN | POLLOUT, 0});
        fds.push_back({-1, POLLIN, 0});
        for (int i = int(fds.size()) - 1; i > 0; --i)
            std::swap(fds[size_t(i)], fds[size_t(random.bounded(i + 1))]);

        std::vector<pollfd> expected = fds;
        const int expectedCount = ::poll(expected.data(), expected.size(), 0);
        const int count = set.poll(fds.data(), fds.size(), 0);
        if (count != expectedCount || describe(fds) != describe(expected))
            QFAIL(qPrintable(QStringLiteral("step %1:\n got      %2 %3\n expected %4 %5")
                                 .arg(step)
                                 .arg(count)
                                 .arg(describe(fds))
                                 .arg(expectedCount)
                                 .arg(describe(expected))));
    }
    for (Channel &c : channels)
        closeChannel(c);
}

// The point of the set: tracked descriptors stop costing the kernel a walk
// on every call. A silent fallback to poll() would still give right answers.
void TestDescriptorPollSet::servesTrackedDescriptorsFromEpoll()
{
    DescriptorPollSet set;
    std::vector<Channel> channels(8);
    std::vector<pollfd> fds;
    for (size_t i = 0; i < channels.size(); ++i) {
        QVERIFY(makePipe(channels[i]));
        if (i < 6) {
            channels[i].notifier.reset(new QSocketNotifier(channels[i].readFd, QSocketNotifier::Read));
            set.track(channels[i].notifier.get());
        }
        fds.push_back({channels[i].readFd, POLLIN, 0});
    }
    QCOMPARE(set.trackedCount(), 6);
    set.poll(fds.data(), fds.size(), 0);
    QCOMPARE(set.servedByEpoll(), 6);

    channels[0].notifier->setEnabled(false);
    channels[1].notifier.reset();
    set.poll(fds.data(), fds.size(), 0);
    QCOMPARE(set.servedByEpoll(), 4);
    QCOMPARE(set.trackedCount(), 5);

    // Asked about nothing: nothing stays registered.
    set.poll(nullptr, 0, 0);
    QCOMPARE(set.servedByEpoll(), 0);
    for (Channel &c : channels)
        closeChannel(c);
}

// A blocking call returns when a served descriptor becomes readable.
void TestDescriptorPollSet::wakesForTrackedDescriptor()
{
    DescriptorPollSet set;
    Channel job;
    Channel other;
    QVERIFY(makePipe(job));
    QVERIFY(makePipe(other));
    job.notifier.reset(new QSocketNotifier(job.readFd, QSocketNotifier::Read));
    set.track(job.notifier.get());

    std::thread writer([&job] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (write(job.writeFd, "100%\n", 5) != 5)
            qWarning("write failed");
    });
    pollfd fds[2] = {{other.readFd, POLLIN, 0}, {job.readFd, POLLIN, 0}};
    const int count = set.poll(fds, 2, 30000);
    writer.join();
    QCOMPARE(count, 1);
    QCOMPARE(fds[0].revents, short(0));
    QCOMPARE(fds[1].revents, short(POLLIN));
    QCOMPARE(set.servedByEpoll(), 1);
    closeChannel(job);
    closeChannel(other);
}

// The first watch made installs the set, the last one to go removes it, and
// the event loop then polls on its own again; a new watch installs it anew.
void TestDescriptorPollSet::watchInstalledWhileOneExists()
{
    if (!QAbstractEventDispatcher::instance()->inherits("QEventDispatcherGlib"))
        QSKIP("the event loop does not run on GLib here");
    Channel channel;
    QVERIFY(makePipe(channel));
    // Shaped as a QProcess: its notifiers are its direct children.
    QObject job;
    auto *notifier = new QSocketNotifier(channel.readFd, QSocketNotifier::Read, &job);
    QSignalSpy activated(notifier, &QSocketNotifier::activated);
    const auto loopWakesForOutput = [&] {
        activated.clear();
        const bool written = write(channel.writeFd, "7%\n", 3) == 3;
        const bool woken = written && activated.wait(10000);
        drain(channel.readFd);
        return woken;
    };

    QVERIFY(!JobDescriptorWatch::isInstalled());
    for (int round = 1; round <= 2; ++round) {
        {
            const JobDescriptorWatch application;
            QVERIFY2(JobDescriptorWatch::isInstalled(), qPrintable(QString::number(round)));
            QVERIFY(watchJobDescriptors(&job));
            QVERIFY(loopWakesForOutput());
            QCOMPARE(jobDescriptorsServedByEpoll(), 1);
            {
                const JobDescriptorWatch another;
            }
            QVERIFY(JobDescriptorWatch::isInstalled());
            QVERIFY(loopWakesForOutput());
            QCOMPARE(jobDescriptorsServedByEpoll(), 1);
        }
        QVERIFY(!JobDescriptorWatch::isInstalled());
        QVERIFY(!watchJobDescriptors(&job));
        QCOMPARE(jobDescriptorsServedByEpoll(), 0);
        QVERIFY(loopWakesForOutput());
    }
    delete notifier;
    closeChannel(channel);
}

QTEST_GUILESS_MAIN(TestDescriptorPollSet)
#include "tst_descriptorpollset.moc"
