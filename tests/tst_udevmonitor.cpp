#include "discovery/devicechangefilter.h"
#include "discovery/devicechangesource.h"
#include "discovery/devicesourcefactory.h"
#include "discovery/udevmonitor.h"

#include <QDir>
#include <QFileInfo>
#include <QtTest>

#include <libudev.h>

#include <poll.h>
#include <unistd.h>

namespace {

// The kernel path of a /sys/class entry, as udev reports it ("/devices/...").
QString devpathOf(const QString &sysPath)
{
    return QFileInfo(sysPath).canonicalFilePath().mid(4);
}

// Makes the kernel send an event for the device; the device itself stays.
bool synthesizeUevent(const QString &sysPath, const char *action)
{
    QFile file(sysPath + QLatin1String("/uevent"));
    return file.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && file.write(action) == qint64(qstrlen(action));
}

// Whether a bare kernel-group monitor sees an event for the device: tells a
// sandbox that blocks netlink from a broken monitor.
bool kernelDeliversUevents(const QString &sysPath)
{
    udev *context = udev_new();
    udev_monitor *monitor = udev_monitor_new_from_netlink(context, "kernel");
    bool seen = false;
    if (monitor && udev_monitor_enable_receiving(monitor) == 0 && synthesizeUevent(sysPath, "change")) {
        pollfd pfd = {udev_monitor_get_fd(monitor), POLLIN, 0};
        while (!seen && poll(&pfd, 1, 2000) > 0) {
            if (udev_device *device = udev_monitor_receive_device(monitor)) {
                seen = QString::fromUtf8(udev_device_get_devpath(device)) == devpathOf(sysPath);
                udev_device_unref(device);
            }
        }
    }
    udev_monitor_unref(monitor);
    udev_unref(context);
    return seen;
}

} // namespace

class TestUdevMonitor : public QObject
{
    Q_OBJECT

private slots:
    void eventRecord_data();
    void eventRecord();
    void usbMassStorage_data();
    void usbMassStorage();
    void devicesFromSys();
    void realKernelEvents();
};

void TestUdevMonitor::eventRecord_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("subsystem");
    QTest::addColumn<QString>("devtype");
    QTest::addColumn<bool>("massStorage");
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("isInterface");
    QTest::addColumn<bool>("rescan");

    const int arrival = DeviceChangeEvent::Arrival, removed = DeviceChangeEvent::RemoveComplete,
              other = DeviceChangeEvent::Other;
    const char *const watched[][2] = {{"usb", "usb_device"}, {"block", "disk"}, {"tty", ""}};
    for (const auto &c : watched) {
        const QString sub = QLatin1String(c[0]), type = QLatin1String(c[1]);
        QTest::addRow("%s add", c[0]) << "add" << sub << type << false << arrival << true << true;
        QTest::addRow("%s remove", c[0]) << "remove" << sub << type << false << removed << true << true;
        QTest::addRow("%s change", c[0]) << "change" << sub << type << false << other << true << false;
        QTest::addRow("%s bind", c[0]) << "bind" << sub << type << false << other << true << false;
    }
    // Only disks are passed over as mass storage.
    QTest::newRow("mass-storage disk add") << "add"
                                           << "block"
                                           << "disk" << true << arrival << false << false;
    QTest::newRow("mass-storage disk remove") << "remove"
                                              << "block"
                                              << "disk" << true << removed << false << false;
    QTest::newRow("usb device flagged") << "add"
                                        << "usb"
                                        << "usb_device" << true << arrival << true << true;

    QTest::newRow("net") << "add"
                         << "net"
                         << "" << false << arrival << false << false;
    QTest::newRow("usb interface") << "add"
                                   << "usb"
                                   << "usb_interface" << false << arrival << false << false;
    QTest::newRow("partition") << "remove"
                               << "block"
                               << "partition" << false << removed << false << false;
}

void TestUdevMonitor::eventRecord()
{
    QFETCH(QString, action);
    QFETCH(QString, subsystem);
    QFETCH(QString, devtype);
    QFETCH(bool, massStorage);
    QFETCH(int, kind);
    QFETCH(bool, isInterface);
    QFETCH(bool, rescan);

    const QString devpath = QStringLiteral("/devices/pci0000:00/0000:00:14.0/usb1/1-2");
    const DeviceChangeEvent event = udevEventRecord(action, subsystem, devtype, devpath, massStorage);
    QCOMPARE(int(event.kind), kind);
    QCOMPARE(event.isDeviceInterface, isInterface);
    QCOMPARE(event.interfaceName, devpath);
    QCOMPARE(shouldRescanOnDeviceChange(event), rescan);
}

void TestUdevMonitor::usbMassStorage_data()
{
    QTest::addColumn<QString>("devpath");
    QTest::addColumn<QString>("idUsbDriver");
    QTest::addColumn<QString>("idBus");
    QTest::addColumn<QString>("parentDriver");
    QTest::addColumn<bool>("expected");

    const QString usb = QStringLiteral("/devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/"
                                       "6:0:0:0/block/sdb");
    const QString sata = QStringLiteral("/devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda");

    QTest::newRow("udevd: usb-storage") << usb << "usb-storage"
                                        << "usb"
                                        << "" << true;
    QTest::newRow("udevd: uas") << usb << "uas"
                                << "usb"
                                << "" << true;
    QTest::newRow("udevd: ID_BUS only") << usb << ""
                                        << "usb"
                                        << "" << true;
    QTest::newRow("udevd: ata") << sata << ""
                                << "ata"
                                << "" << false;
    QTest::newRow("parent uas") << usb << ""
                                << ""
                                << "uas" << true;
    QTest::newRow("kernel event, usb path") << usb << ""
                                            << ""
                                            << "" << true;
    QTest::newRow("kernel event, sata path") << sata << ""
                                             << ""
                                             << "" << false;
    QTest::newRow("name starts with usb") << "/devices/virtual/block/usbdisk"
                                          << ""
                                          << ""
                                          << "" << false;
    QTest::newRow("driver names are exact") << sata << "USB-STORAGE"
                                            << "ata"
                                            << "" << false;
}

void TestUdevMonitor::usbMassStorage()
{
    QFETCH(QString, devpath);
    QFETCH(QString, idUsbDriver);
    QFETCH(QString, idBus);
    QFETCH(QString, parentDriver);
    QFETCH(bool, expected);
    QCOMPARE(isUsbMassStorageDisk(devpath, idUsbDriver, idBus, parentDriver), expected);
}

// Reads this machine's serial ports and disks through the helper the monitor
// uses on received events.
void TestUdevMonitor::devicesFromSys()
{
    udev *context = udev_new();
    QVERIFY(context);
    auto cleanup = qScopeGuard([context] {
        udev_unref(context);
    });

    QStringList paths;
    for (const char *dir : {"/sys/class/tty/", "/sys/class/block/"})
        for (const QString &name : QDir(QLatin1String(dir)).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            paths << QLatin1String(dir) + name;

    int checked = 0;
    for (const QString &path : qAsConst(paths)) {
        udev_device *device = udev_device_new_from_syspath(context, QFile::encodeName(path).constData());
        if (!device)
            continue;
        const UdevDeviceInfo info = udevDeviceInfo(device);
        udev_device_unref(device);
        if (info.devtype == QLatin1String("partition"))
            continue;

        QVERIFY2(info.action.isEmpty(), qPrintable(path));
        QCOMPARE(info.devpath, devpathOf(path));
        QCOMPARE(info.subsystem, path.startsWith(QLatin1String("/sys/class/tty/")) ? "tty" : "block");
        QVERIFY(isWatchedUdevClass(info.subsystem, info.devtype));
        if (!info.devpath.contains(QLatin1String("/usb")))
            QVERIFY2(!info.usbMassStorage, qPrintable(path));
        ++checked;
    }
    if (checked == 0)
        QSKIP("no tty or disk device in /sys");
}

// Real uevents through the kernel: the monitor created for this platform must
// report each one once, on the event loop, and nothing for other classes.
void TestUdevMonitor::realKernelEvents()
{
    if (geteuid() != 0)
        QSKIP("synthesizing uevents needs root");
    QString tty;
    const QStringList names = QDir(QStringLiteral("/sys/class/tty")).entryList({QStringLiteral("ttyS*")});
    for (const QString &name : names + QStringList{QStringLiteral("tty0"), QStringLiteral("console")}) {
        if (synthesizeUevent(QStringLiteral("/sys/class/tty/") + name, "change")) {
            tty = QStringLiteral("/sys/class/tty/") + name;
            break;
        }
    }
    if (tty.isEmpty())
        QSKIP("no serial port's uevent file accepts a write");
    const QString devpath = devpathOf(tty);

    QScopedPointer<DeviceChangeSource> source(createDeviceChangeSource(nullptr));
    if (!source)
        QSKIP("no device monitor could be opened here (reason in the debug output)");
    QList<DeviceChangeEvent> received; // no metatype needed, unlike QSignalSpy
    connect(source.data(), &DeviceChangeSource::deviceChanged, this, [&received](const DeviceChangeEvent &event) {
        received.append(event);
    });
    auto countFor = [&received](const QString &path) {
        return int(std::count_if(received.cbegin(), received.cend(), [&path](const DeviceChangeEvent &event) {
            return event.interfaceName == path;
        }));
    };

    // Sent first, so it would be in by the time the serial port's event is.
    const QString unwatched = QStringLiteral("/sys/class/mem/null");
    const bool sentUnwatched = synthesizeUevent(unwatched, "change");

    struct Step
    {
        const char *action;
        DeviceChangeEvent::Kind kind;
    };
    QList<Step> steps = {{"add", DeviceChangeEvent::Arrival}, {"change", DeviceChangeEvent::Other}};
    // udevd would run its removal rules on the live port: only without it.
    if (!static_cast<UdevDeviceMonitor *>(source.data())->listensToUdevDaemon())
        steps.append({"remove", DeviceChangeEvent::RemoveComplete});

    for (const Step &step : qAsConst(steps)) {
        received.clear();
        QVERIFY2(synthesizeUevent(tty, step.action), step.action);
        const auto arrived = [&] {
            return countFor(devpath) > 0;
        };
        if (!QTest::qWaitFor(arrived, 5000)) {
            if (!kernelDeliversUevents(tty))
                QSKIP("the kernel's uevents do not reach this process (netlink blocked)");
            QFAIL(qPrintable(QStringLiteral("no \"%1\" event for %2").arg(QLatin1String(step.action), devpath)));
        }
        QTest::qWait(300); // room for a duplicate
        QCOMPARE(countFor(devpath), 1);
        const auto event = std::find_if(received.cbegin(), received.cend(), [&](const DeviceChangeEvent &e) {
            return e.interfaceName == devpath;
        });
        QCOMPARE(event->kind, step.kind);
        QVERIFY(event->isDeviceInterface);
        if (sentUnwatched && step.kind == DeviceChangeEvent::Arrival)
            QCOMPARE(countFor(devpathOf(unwatched)), 0);
    }
}

QTEST_GUILESS_MAIN(TestUdevMonitor)
#include "tst_udevmonitor.moc"
