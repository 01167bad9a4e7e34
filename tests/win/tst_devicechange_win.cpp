// The window's reaction to real WM_DEVICECHANGE messages, sent to its native
// window through the Win32 API as Windows sends them. Needs the toolkit's
// windows platform (a real HWND), so it runs with "-platform windows".

#include "app/widget.h"
#include "testsupport.h"

#include "discovery/devicesourcefactory.h"
#include "discovery/win/devicenotify_win.h"

#include <QLineEdit>
#include <QTableWidget>
#include <QtTest>

#include <cstddef>
#include <cstring>
#include <vector>

class TestDeviceChangeWin : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void arrivalAndRemovalRescanOnce();
    void otherMessagesRescanNothing();

private:
    int listingRuns() const;
    // Sends the window WM_DEVICECHANGE with a device-interface record of this
    // name, as Windows does, and lets the window react.
    void sendInterfaceChange(WPARAM kind, const wchar_t *name);
    QString countText() const { return w->findChild<QLineEdit *>("lineEdit")->text(); }
    int rows() const { return w->findChild<QTableWidget *>("tableWidget")->rowCount(); }

    ToolDir *dir = nullptr;
    Widget *w = nullptr;
};

namespace {

const wchar_t UsbInterface[] = L"\\\\?\\USB#VID_FFF0&PID_FFF1#VB100#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

} // namespace

void TestDeviceChangeWin::init()
{
    dir = new ToolDir;
    setDeviceChangeSourceFactoryForTesting({}); // the window's own notifications
    QVERIFY(dir->isValid());
    // The window registers its native window when it is made.
    w = dir->openWindow("board 1:1\n");
    QVERIFY(IsWindow(reinterpret_cast<HWND>(w->winId())));
    QCOMPARE(rows(), 1);
}

void TestDeviceChangeWin::cleanup()
{
    delete w;
    w = nullptr;
    delete dir;
    dir = nullptr;
}

int TestDeviceChangeWin::listingRuns() const
{
    int runs = 0;
    for (const ToolCall &call : dir->toolCalls())
        runs += call.args.value(0) == QLatin1String("-lsusb");
    return runs;
}

void TestDeviceChangeWin::sendInterfaceChange(WPARAM kind, const wchar_t *name)
{
    // The name runs on past the record's declared one-character array.
    const std::size_t nameBytes = (std::wcslen(name) + 1) * sizeof(wchar_t);
    std::vector<unsigned char> bytes(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + nameBytes, 0);
    auto *record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(bytes.data());
    record->dbcc_size = DWORD(bytes.size());
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = velmoraWatchedInterfaceClasses[0];
    std::memcpy(record->dbcc_name, name, nameBytes);
    SendMessageW(reinterpret_cast<HWND>(w->winId()), WM_DEVICECHANGE, kind, reinterpret_cast<LPARAM>(record));
    // Whether the rescan runs at once or is queued, it has run after this.
    QTest::qWait(100);
}

void TestDeviceChangeWin::arrivalAndRemovalRescanOnce()
{
    const int before = listingRuns();
    dir->writeScenario("log tool.log\nboard 1:1\nboard 1:2\n");
    sendInterfaceChange(DBT_DEVICEARRIVAL, UsbInterface);
    QCOMPARE(listingRuns(), before + 1);
    QCOMPARE(rows(), 2);
    QCOMPARE(countText(), QString::fromUtf8("Connected Devices\xEF\xBC\x9A"
                                            "2"));

    dir->writeScenario("log tool.log\nboard 1:2\n");
    sendInterfaceChange(DBT_DEVICEREMOVECOMPLETE, UsbInterface);
    QCOMPARE(listingRuns(), before + 2);
    QCOMPARE(rows(), 1);
    QCOMPARE(countText(), QString::fromUtf8("Connected Devices\xEF\xBC\x9A"
                                            "1"));
}

void TestDeviceChangeWin::otherMessagesRescanNothing()
{
    const int before = listingRuns();
    dir->writeScenario("log tool.log\nboard 1:1\nboard 1:2\n");
    // USB mass storage, a query before a removal, a record without a name.
    sendInterfaceChange(DBT_DEVICEARRIVAL,
                        L"\\\\?\\USBSTOR#Disk&Ven_Velmora#0001#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}");
    sendInterfaceChange(DBT_DEVICEQUERYREMOVE, UsbInterface);
    sendInterfaceChange(DBT_DEVICEARRIVAL, L"");
    // A broadcast of another device type.
    DEV_BROADCAST_HDR volume = {};
    volume.dbch_size = sizeof volume;
    volume.dbch_devicetype = DBT_DEVTYP_VOLUME;
    SendMessageW(reinterpret_cast<HWND>(w->winId()), WM_DEVICECHANGE, DBT_DEVICEARRIVAL,
                 reinterpret_cast<LPARAM>(&volume));
    QTest::qWait(100);
    QCOMPARE(listingRuns(), before);
    QCOMPARE(rows(), 1);

    // The lower-case spelling is not mass storage.
    sendInterfaceChange(DBT_DEVICEARRIVAL, L"\\\\?\\usbstor#0001");
    QCOMPARE(listingRuns(), before + 1);
    QCOMPARE(rows(), 2);
}

QTEST_MAIN(TestDeviceChangeWin)
#include "tst_devicechange_win.moc"
