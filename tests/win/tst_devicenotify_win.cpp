// Feeds synthetic WM_DEVICECHANGE messages to the decoder and checks the
// notification filter records. Plain C++ so it runs under Wine; the last line
// is "N passed, M failed" and the exit code is non-zero on any failure.

#include "check.h"
#include "discovery/win/devicenotify_win.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

// A device-interface record as Windows builds it: the name follows the header
// and runs past the declared one-character array.
struct InterfaceRecord
{
    std::vector<unsigned char> bytes;

    explicit InterfaceRecord(const wchar_t *name, const GUID &interfaceClass = velmoraWatchedInterfaceClasses[0])
    {
        const std::size_t nameBytes = (std::wcslen(name) + 1) * sizeof(wchar_t);
        bytes.assign(offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + nameBytes, 0);
        auto *record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W *>(bytes.data());
        record->dbcc_size = DWORD(bytes.size());
        record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        record->dbcc_classguid = interfaceClass;
        std::memcpy(record->dbcc_name, name, nameBytes);
    }
    LPARAM lParam() { return reinterpret_cast<LPARAM>(bytes.data()); }
};

std::string guidText(const GUID &g)
{
    char text[40];
    std::snprintf(text, sizeof text, "%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", (unsigned long)g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
                  g.Data4[7]);
    return text;
}

const wchar_t usbName[] = L"\\\\?\\USB#VID_FFF0&PID_FFF1#5&1a2b3c&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

void decodesInterfaceEvents()
{
    InterfaceRecord record(usbName);
    VelmoraDeviceChange change;
    const WPARAM codes[] = {DBT_DEVICEARRIVAL, DBT_DEVICEREMOVECOMPLETE};
    const int kinds[] = {VelmoraDeviceArrival, VelmoraDeviceRemoveComplete};
    for (int i = 0; i < 2; ++i) {
        change = {-1, false, nullptr};
        CHECK(velmoraDecodeDeviceChange(WM_DEVICECHANGE, codes[i], record.lParam(), &change));
        CHECK(change.kind == kinds[i]);
        CHECK(change.isDeviceInterface);
        CHECK(change.name && std::wcscmp(change.name, usbName) == 0);
    }
    // The name is read in place, not copied.
    CHECK(reinterpret_cast<const unsigned char *>(change.name) ==
          record.bytes.data() + offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name));

    // Everything short of "arrived" or "gone" is reported as other.
    const WPARAM others[] = {0x8003 /* DBT_DEVICEREMOVEPENDING */, 0x8001 /* DBT_DEVICEQUERYREMOVE */, DBT_CUSTOMEVENT};
    for (WPARAM code : others) {
        change = {-1, false, nullptr};
        CHECK(velmoraDecodeDeviceChange(WM_DEVICECHANGE, code, record.lParam(), &change));
        CHECK(change.kind == VelmoraDeviceOther);
        CHECK(change.isDeviceInterface);
    }

    // Mass-storage names pass through; the rescan filter is what drops them.
    const wchar_t storage[] =
        L"\\\\?\\USBSTOR#Disk&Ven_Velmora&Prod_VB100&Rev_0001#7&2f3e&0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    InterfaceRecord storageRecord(storage, velmoraWatchedInterfaceClasses[1]);
    change = {-1, false, nullptr};
    CHECK(velmoraDecodeDeviceChange(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, storageRecord.lParam(), &change));
    CHECK(change.name && std::wcscmp(change.name, storage) == 0);

    InterfaceRecord unnamed(L"");
    change = {-1, false, nullptr};
    CHECK(velmoraDecodeDeviceChange(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, unnamed.lParam(), &change));
    CHECK(change.isDeviceInterface);
    CHECK(change.name && change.name[0] == L'\0');
}

void rejectsOrDemotesOtherMessages()
{
    InterfaceRecord record(usbName);
    VelmoraDeviceChange change = {-1, true, usbName};

    // Nothing to decode: *out must stay as it was.
    CHECK(!velmoraDecodeDeviceChange(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0, &change));
    CHECK(!velmoraDecodeDeviceChange(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0, &change));
    CHECK(!velmoraDecodeDeviceChange(WM_POWERBROADCAST, DBT_DEVICEARRIVAL, record.lParam(), &change));
    CHECK(!velmoraDecodeDeviceChange(WM_DEVICECHANGE + 1, DBT_DEVICEARRIVAL, record.lParam(), &change));
    CHECK(change.kind == -1 && change.isDeviceInterface && change.name == usbName);

    // A volume record (drive letters) is not a device interface and has no name.
    DEV_BROADCAST_VOLUME volume;
    std::memset(&volume, 0, sizeof volume);
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << 4;
    CHECK(velmoraDecodeDeviceChange(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume), &change));
    CHECK(change.kind == VelmoraDeviceArrival);
    CHECK(!change.isDeviceInterface);
    CHECK(change.name == nullptr);
}

void fillsRegistrationFilters()
{
    CHECK(velmoraWatchedInterfaceClassCount == 3);
    CHECK(guidText(velmoraWatchedInterfaceClasses[0]) == "A5DCBF10-6530-11D2-901F-00C04FB951ED");
    CHECK(guidText(velmoraWatchedInterfaceClasses[1]) == "53F56307-B6BF-11D0-94F2-00A0C91EFB8B");
    CHECK(guidText(velmoraWatchedInterfaceClasses[2]) == "86E0D1E0-8089-11D0-9CE4-08003E301F73");

    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    std::memset(&filter, 0xA5, sizeof filter); // stale bytes must not survive
    velmoraFillDeviceInterfaceFilter(&filter, velmoraWatchedInterfaceClasses[2]);
    CHECK(filter.dbcc_size == 32);
    CHECK(filter.dbcc_devicetype == 5);
    CHECK(filter.dbcc_reserved == 0);
    CHECK(filter.dbcc_name[0] == 0);
    CHECK(IsEqualGUID(filter.dbcc_classguid, velmoraWatchedInterfaceClasses[2]));
}

} // namespace

int main()
{
    decodesInterfaceEvents();
    rejectsOrDemotesOtherMessages();
    fillsRegistrationFilters();
    return checkSummary();
}
