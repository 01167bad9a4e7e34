#include "discovery/devicechangefilter.h"
#include "discovery/summary.h"
#include "discovery/toolcontract.h"
#include "flashing/lognames.h"
#include "flashing/scripttext.h"

#include <QtTest>

// The small pure functions behind the window's texts and files.
class TestTexts : public QObject
{
    Q_OBJECT

private slots:
    void summaryTexts();
    void logFileNames_data();
    void logFileNames();
    void scriptsPerMode();
    void renderScript();
    void unsafeImagePaths();
    void flashCommandLine();
    void deviceChangeFilter_data();
    void deviceChangeFilter();
};

void TestTexts::summaryTexts()
{
    QCOMPARE(connectedDevicesText(0), QString::fromUtf8("Connected Devices\xEF\xBC\x9A"
                                                        "0"));
    QCOMPARE(connectedDevicesText(-3), QString::fromUtf8("Connected Devices\xEF\xBC\x9A-3"));
    QCOMPARE(connectedDevicesText(12345), QString::fromUtf8("Connected Devices\xEF\xBC\x9A"
                                                            "12345"));
    QCOMPARE(failedDevicesText({}), QStringLiteral("Failed Devices: 0"));
    QCOMPARE(failedDevicesText({"7"}), QStringLiteral("Failed Devices: 1 (Device #7)"));
    QCOMPARE(failedDevicesText({"1:11", "2:3"}), QStringLiteral("Failed Devices: 2 (Device #1:11, Device #2:3)"));
    // A path that looks like a placeholder is shown as it is.
    QCOMPARE(failedDevicesText({"%1"}), QStringLiteral("Failed Devices: 1 (Device #%1)"));
}

void TestTexts::logFileNames_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("file");
    QTest::newRow("colon") << "2:14"
                           << "logs/2_14_log.txt";
    QTest::newRow("slash and backslash") << "1/2\\3:4"
                                         << "logs/1_2_3_4_log.txt";
    QTest::newRow("plain") << "7"
                           << "logs/7_log.txt";
    QTest::newRow("dots stay") << "1.2-3"
                               << "logs/1.2-3_log.txt";
}

void TestTexts::logFileNames()
{
    QFETCH(QString, port);
    QFETCH(QString, file);
    QCOMPARE(logFileNameForPort(port), file);
}

void TestTexts::scriptsPerMode()
{
    QCOMPARE(scriptTemplateForMode("Image"), QStringLiteral("./scripts/emmc/all_uuu.auto"));
    QCOMPARE(generatedScriptForMode("Image"), QStringLiteral("all_uuu_temp.auto"));
    QCOMPARE(scriptTemplateForMode("Kernel"), QStringLiteral("./scripts/emmc/image_uuu.auto"));
    QCOMPARE(generatedScriptForMode("Kernel"), QStringLiteral("image_uuu_temp.auto"));
    QCOMPARE(scriptTemplateForMode("FileSystem"), QStringLiteral("./scripts/emmc/root_uuu.auto"));
    QCOMPARE(generatedScriptForMode("FileSystem"), QStringLiteral("root_uuu_temp.auto"));
    for (const QString &other : {QString(), QStringLiteral("kernel"), QStringLiteral("Other")}) {
        QCOMPARE(scriptTemplateForMode(other), QStringLiteral("./scripts/emmc/all_uuu.auto"));
        QCOMPARE(generatedScriptForMode(other), QStringLiteral("all_uuu_temp.auto"));
    }
    QCOMPARE(temporaryScriptNames().size(), 5);
}

void TestTexts::renderScript()
{
    QCOMPARE(::renderScript("write all _file\n", "C:/img/my image.img"),
             QStringLiteral("write all \"C:/img/my image.img\"\n"));
    QCOMPARE(::renderScript("a _file b _file c _file", "x"), QStringLiteral("a \"x\" b \"x\" c \"x\""));
    QCOMPARE(::renderScript("boot_file _FILE", "x"), QStringLiteral("boot\"x\" _FILE"));
    QCOMPARE(::renderScript("no placeholder\n", "x"), QStringLiteral("no placeholder\n"));
    // Inserted text is not searched again.
    QCOMPARE(::renderScript("_file", "a_file"), QStringLiteral("\"a_file\""));
    QCOMPARE(::renderScript("_file", QString::fromUtf8("/tmp/b\xC3\xB6rd %1.img")),
             QString::fromUtf8("\"/tmp/b\xC3\xB6rd %1.img\""));
    QCOMPARE(decodeTemplate(QByteArray("write _file\0junk", 16)), QStringLiteral("write _file"));
}

void TestTexts::unsafeImagePaths()
{
    QVERIFY(imagePathProblem("/tmp/my image.img").isEmpty());
    QVERIFY(imagePathProblem(QString::fromUtf8("/tmp/\xE9\x95\x9C\xE5\x83\x8F.img")).isEmpty());
    QVERIFY(imagePathProblem("it's.img").isEmpty());
    QVERIFY(!imagePathProblem("/tmp/a\"b.img").isEmpty());
    QVERIFY(!imagePathProblem("/tmp/a.img\nwrite all \"/dev/x\"").isEmpty());
}

void TestTexts::flashCommandLine()
{
    const QString line = ToolContract::flashCommandLine("2:14", "image_uuu_temp.auto");
    QCOMPARE(line, ToolContract::program() + QStringLiteral(" -d -m 2:14 image_uuu_temp.auto"));
    // A port path holding %2 is substituted once, as plain text.
    QCOMPARE(ToolContract::flashCommandLine("a%2", "s"), ToolContract::program() + QStringLiteral(" -d -m a%2 s"));
}

void TestTexts::deviceChangeFilter_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("deviceInterface");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("rescan");
    const int arrival = DeviceChangeEvent::Arrival;
    const int removed = DeviceChangeEvent::RemoveComplete;
    const int other = DeviceChangeEvent::Other;
    const QString usb = QStringLiteral("\\\\?\\USB#VID_FFF0&PID_FFF1#5&1a2b#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    QTest::newRow("usb arrival") << arrival << true << usb << true;
    QTest::newRow("usb removal") << removed << true << usb << true;
    QTest::newRow("other kind") << other << true << usb << false;
    QTest::newRow("not an interface") << arrival << false << usb << false;
    QTest::newRow("empty name") << arrival << true << QString() << false;
    QTest::newRow("USBSTOR") << arrival << true << QStringLiteral("\\\\?\\USBSTOR#Disk&Ven_X") << false;
    QTest::newRow("usbstor lower case") << arrival << true << QStringLiteral("\\\\?\\usbstor#disk") << true;
    QTest::newRow("linux path") << removed << true << QStringLiteral("/devices/pci0000:00/usb1/1-1") << true;
}

void TestTexts::deviceChangeFilter()
{
    QFETCH(int, kind);
    QFETCH(bool, deviceInterface);
    QFETCH(QString, name);
    QFETCH(bool, rescan);
    DeviceChangeEvent event;
    event.kind = DeviceChangeEvent::Kind(kind);
    event.isDeviceInterface = deviceInterface;
    event.interfaceName = name;
    QCOMPARE(shouldRescanOnDeviceChange(event), rescan);
}

QTEST_GUILESS_MAIN(TestTexts)
#include "tst_texts.moc"
