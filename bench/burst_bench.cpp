// The burst case of velmora_bench: a rack of boards powered on at once sends
// 40 device events while 16 boards flash, with a listing that takes 200 ms.
// The same burst is handled twice in one window, side by side:
//
//   before  one synchronous rescan and count update per event, which is what
//           the window did until events were folded;
//   after   real kernel events (written to a serial port's uevent file, root
//           only) through the udev monitor into the window; without them,
//           the monitor's signal is emitted 40 times.
//
// A 5 ms timer records the largest gap between its ticks while the burst is
// handled: the longest time the window could not repaint or take a click.

#include "bench/burst_bench.h"

#include "app/widget.h"
#include "discovery/devicechangesource.h"
#include "bench/freezeprobe.h"
#include "flashing/scripttext.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <thread>

#include <unistd.h>

namespace {

constexpr int Boards = 16;
constexpr int Events = 40;
constexpr int ListingMs = 200;

bool prepare(const QDir &d)
{
    bool ok = installStationFiles(d);
    QFile image(d.filePath(QStringLiteral("sample.img")));
    ok &= image.open(QIODevice::WriteOnly) && image.write(QByteArray(4096, 'x')) == 4096;
    QByteArray scenario = "log tool.log\nlisting delay_ms=" + QByteArray::number(ListingMs) + "\n";
    for (int i = 1; i <= Boards; ++i)
        scenario += "board 2:" + QByteArray::number(i) + " outcome=hang@30\n";
    QFile file(d.filePath(QStringLiteral("uuu_scenario.txt")));
    ok &= file.open(QIODevice::WriteOnly) && file.write(scenario) == scenario.size();
    return ok;
}

int listings()
{
    QFile log(QStringLiteral("tool.log"));
    if (!log.open(QIODevice::ReadOnly))
        return 0;
    return int(log.readAll().count("\t-lsusb"));
}

QString writableUevent()
{
    if (::geteuid() != 0)
        return QString();
    const QString base = QStringLiteral("/sys/class/tty/");
    for (const QString &name : QDir(base).entryList({QStringLiteral("ttyS*")}, QDir::AllEntries | QDir::System)) {
        QFile file(base + name + QStringLiteral("/uevent"));
        if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && file.write("change") == 6)
            return file.fileName();
    }
    return QString();
}

struct Burst
{
    double freezeMs = 0;
    int listings = 0;
    double settledMs = 0;
};

// Runs trigger from the event loop and keeps the loop going until no listing
// has started for a second; the probe's largest gap is the freeze.
Burst measure(const std::function<void()> &trigger)
{
    Burst result;
    QElapsedTimer clock;
    FreezeProbe probe;
    spinEventLoop(300);
    const int before = listings();
    clock.start();
    probe.start();
    QTimer::singleShot(0, trigger);
    int seen = -1;
    qint64 lastChange = 0;
    while (clock.elapsed() < 60000) {
        spinEventLoop(50);
        const int now = listings();
        if (now != seen) {
            seen = now;
            lastChange = clock.elapsed();
        } else if (now > before && clock.elapsed() - lastChange >= 1000) {
            break;
        }
    }
    result.freezeMs = probe.stop();
    result.listings = seen - before;
    result.settledMs = double(lastChange);
    return result;
}

int runningJobs(Widget &w)
{
    int n = 0;
    for (int row = 0; row < w.findChild<QTableWidget *>(QStringLiteral("tableWidget"))->rowCount(); ++row)
        n += w.statusLabelAt(row) && w.statusLabelAt(row)->text() == QLatin1String("Running");
    return n;
}

// StartAll, then waits until every board's job runs; false when some do not.
bool startJobs(Widget &w, const QDir &dir)
{
    w.findChild<QLineEdit *>(QStringLiteral("lineEdit_All"))->setText(dir.filePath("sample.img"));
    w.show();
    QMetaObject::invokeMethod(&w, "runAll");
    for (int i = 0; i < 100 && runningJobs(w) < Boards; ++i)
        spinEventLoop(100);
    spinEventLoop(500);
    if (runningJobs(w) == Boards)
        return true;
    std::fprintf(stderr, "velmora_bench: only %d of %d jobs run\n", runningJobs(w), Boards);
    return false;
}

// The burst as the window sees it: kernel events written from another
// thread, 1 ms apart, while the window runs; without a writable uevent
// file, the source's signal emitted Events times.
void raiseBurst(const QString &uevent, DeviceChangeSource *source)
{
    if (!uevent.isEmpty()) {
        std::thread rack([uevent] {
            for (int i = 0; i < Events; ++i) {
                QFile file(uevent);
                if (file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
                    file.write("add");
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        });
        rack.detach();
        return;
    }
    DeviceChangeEvent event;
    event.kind = DeviceChangeEvent::Arrival;
    event.isDeviceInterface = true;
    event.interfaceName = QStringLiteral("/devices/velmora/usb1/1-1");
    for (int i = 0; i < Events; ++i)
        emit source->deviceChanged(event);
}

struct Runs
{
    QVector<double> beforeMs, afterMs, beforeListings, afterListings;
};

void print(const Runs &r, bool kernelEvents, int stillRunning)
{
    const double b = medianOf(r.beforeMs), a = medianOf(r.afterMs);
    std::printf("### Burst of %d device events, %d running jobs, listing of %d ms\n\n", Events, Boards, ListingMs);
    std::printf("Events %s. %d runs of each, one window; medians, then every run.\n\n",
                kernelEvents ? "raised as real kernel events (uevent writes 1 ms apart, from another thread)"
                             : "emitted by the device-change source (no writable uevent file here)",
                int(r.beforeMs.size()));
    std::printf("| handling | listings | longest freeze of the GUI thread (ms) |\n| --- | --- | --- |\n");
    std::printf("| before: one synchronous rescan per event | %s | %.0f (%s) |\n",
                qPrintable(numberList(r.beforeListings, 0)), b, qPrintable(numberList(r.beforeMs, 0)));
    std::printf("| after: events through the window's own path | %s | %.0f (%s) |\n",
                qPrintable(numberList(r.afterListings, 0)), a, qPrintable(numberList(r.afterMs, 0)));
    std::printf("\nRatio before/after: %.1f. Jobs still running at the end: %d of %d.\n", a > 0 ? b / a : 0.0,
                stillRunning, Boards);
}

} // namespace

int runBurstBench(int argc, char **argv)
{
    int runs = 3;
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], "--burst-runs") == 0)
            runs = std::max(1, atoi(argv[i + 1]));
    }
    QTemporaryDir dir;
    if (!enterBenchFolder(dir, prepare))
        return 1;
    QApplication app(argc, argv);
    Widget w;
    if (!startJobs(w, QDir(dir.path())))
        return 1;
    const QString uevent = writableUevent();
    auto *source = w.findChild<DeviceChangeSource *>();
    if (uevent.isEmpty() && !source) {
        std::fprintf(stderr, "velmora_bench: no device-change source and no kernel events here\n");
        return 1;
    }
    Runs r;
    for (int run = 0; run < runs; ++run) {
        const Burst before = measure([&w] {
            for (int i = 0; i < Events; ++i) {
                w.rescanDevices();
                QMetaObject::invokeMethod(&w, "updateDeviceCountLineEdit");
            }
        });
        const Burst after = measure([&] {
            raiseBurst(uevent, source);
        });
        r.beforeMs << before.freezeMs;
        r.afterMs << after.freezeMs;
        r.beforeListings << before.listings;
        r.afterListings << after.listings;
    }
    const int stillRunning = runningJobs(w);
    print(r, !uevent.isEmpty(), stillRunning);
    return stillRunning == Boards ? 0 : 2;
}
