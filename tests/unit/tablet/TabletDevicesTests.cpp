// Device detection driven by synthetic arrival and removal records; the
// outward actions (dock start, report) are recorded instead of performed.
#include "core/tablet/TabletDevices.h"

#include <dbt.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "core/app/Authorization.h"
#include "core/app/PortHandlers.h"
#include "core/net/Server.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestFiles.h"

namespace {

struct Recorded {
    bool autostart = false;
    std::set<std::wstring> plugged;  // the interfaces the device enumeration lists
    DWORD now = 100000;              // the tick count the actions tell
    int dockStarts = 0;
    std::vector<std::wstring> reports;
} recorded;

AttachedTabletList tablets;  // the list under test, made afresh for each case

const TabletDeviceActions kRecordingActions = {
    [] { return recorded.autostart; },
    [] { ++recorded.dockStarts; },
    [] { recorded.reports.push_back(AttachedDevicesReport(tablets)); },
    [](const std::wstring& name) { return recorded.plugged.count(name) != 0; },
    [] { return recorded.now; },
};

std::wstring InterfaceName(const std::wstring& ids, const std::wstring& serial) {
    return L"\\\\?\\USB#" + ids + L"#" + serial + L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

// A DEV_BROADCAST_DEVICEINTERFACE_W naming a USB device, as the system sends it.
std::vector<BYTE> InterfaceRecord(const std::wstring& ids, const std::wstring& serial) {
    const std::wstring name = InterfaceName(ids, serial);
    const size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (name.size() + 1) * sizeof(wchar_t);
    std::vector<BYTE> bytes(size, 0);
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
    record->dbcc_size = static_cast<DWORD>(size);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    memcpy(record->dbcc_name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    return bytes;
}

void Event(WPARAM event, const std::wstring& ids, const std::wstring& serial) {
    std::vector<BYTE> record = InterfaceRecord(ids, serial);
    handleDeviceChange(tablets, event, reinterpret_cast<LPARAM>(record.data()), kRecordingActions);
}
// A device plugged in or out, as the system tells it.
void Arrive(const std::wstring& ids, const std::wstring& serial = L"1") {
    recorded.plugged.insert(InterfaceName(ids, serial));
    Event(DBT_DEVICEARRIVAL, ids, serial);
}
void Remove(const std::wstring& ids, const std::wstring& serial = L"1") {
    recorded.plugged.erase(InterfaceName(ids, serial));
    Event(DBT_DEVICEREMOVECOMPLETE, ids, serial);
}
// What another program can send: the devices stay as they are.
void ForgeArrival(const std::wstring& ids, const std::wstring& serial = L"1") { Event(DBT_DEVICEARRIVAL, ids, serial); }
void ForgeRemoval(const std::wstring& ids, const std::wstring& serial = L"1") {
    Event(DBT_DEVICEREMOVECOMPLETE, ids, serial);
}

class TabletDevices : public ::testing::Test {
protected:
    void SetUp() override {
        tablets = AttachedTabletList();
        recorded = Recorded();
    }
};

}  // namespace

TEST_F(TabletDevices, ArrivalsAndRemovalsKeepOneEntryPerModelInArrivalOrder) {
    recorded.autostart = true;
    Arrive(L"vid_7a3c&pid_00d1", L"A");  // lower case: upper-cased before matching
    ASSERT_EQ(recorded.reports, std::vector<std::wstring>{L"CurrentAttachedDevices=0X00D1"});
    EXPECT_EQ(recorded.dockStarts, 1);

    Arrive(L"VID_7A3C&PID_0001", L"B");  // not a supported model: listed, no dock start
    recorded.now += 10000;
    Arrive(L"VID_7A3C&PID_00D1", L"A");  // the same tablet again moves to the end
    EXPECT_EQ(recorded.reports.back(), L"CurrentAttachedDevices=0X0001 0X00D1");
    EXPECT_EQ(recorded.dockStarts, 2);

    // Two tablets of one model are one entry; removing either removes it.
    // Neither the second arrival nor removing what is not listed changes
    // the list, so neither is reported.
    Arrive(L"VID_7A3C&PID_00D1", L"C");
    Remove(L"VID_7A3C&PID_00D1", L"A");
    EXPECT_EQ(recorded.reports.back(), L"CurrentAttachedDevices=0X0001");
    Remove(L"VID_7A3C&PID_00D1", L"C");
    ASSERT_EQ(recorded.reports.size(), 4u);
    Remove(L"VID_7A3C&PID_0001", L"B");
    EXPECT_EQ(recorded.reports.back(), L"CurrentAttachedDevices=");
}

// Any program can send arrivals: one the device list does not confirm is
// ignored, the list stays short, and only a real change is reported.
TEST_F(TabletDevices, ForgedArrivalsNeitherGrowTheListNorFloodTheDock) {
    recorded.autostart = true;
    const auto ids = [](int i) {
        wchar_t text[32];
        swprintf(text, 32, L"VID_7A3C&PID_%04X", i);
        return std::wstring(text);
    };
    for (int i = 0; i < 2000; ++i) ForgeArrival(ids(i));
    EXPECT_TRUE(tablets.attachedTablets.empty());
    EXPECT_TRUE(recorded.reports.empty());
    EXPECT_EQ(recorded.dockStarts, 0);

    // As if every one were plugged in: the dock is started once.
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < 2000; ++i) Arrive(ids(i));
    EXPECT_EQ(tablets.attachedTablets.size(), kMaxAttachedTablets);
    // First round: one report per id listed; second: each listed id moved to the end.
    EXPECT_EQ(recorded.reports.size(), 2 * kMaxAttachedTablets);
    EXPECT_EQ(recorded.reports.back().size(), 23 + 7 * kMaxAttachedTablets - 1);
    EXPECT_EQ(recorded.dockStarts, 1);
}

// A removal is forged as easily: one of a device still present changes
// nothing. Arrivals of a tablet that really is plugged in, repeated, start
// the dock (seconds of waiting on the main thread) once per 10 s.
TEST_F(TabletDevices, ForgedRemovalsAndRepeatedArrivalsOfAPluggedInTablet) {
    recorded.autostart = true;
    Arrive(L"VID_7A3C&PID_00D1", L"A");
    ASSERT_EQ(recorded.dockStarts, 1);
    ForgeRemoval(L"VID_7A3C&PID_00D1", L"A");
    EXPECT_EQ(tablets.attachedTablets, std::vector<uint32_t>{0xD1});
    EXPECT_EQ(recorded.reports.size(), 1u);

    for (int i = 0; i < 1000; ++i) {
        ForgeArrival(L"VID_7A3C&PID_00D1", L"A");
        recorded.now += 9;
    }
    EXPECT_EQ(recorded.dockStarts, 1) << "9 s of arrivals";
    recorded.now += 1000;
    ForgeArrival(L"VID_7A3C&PID_00D1", L"A");
    EXPECT_EQ(recorded.dockStarts, 2);

    Remove(L"VID_7A3C&PID_00D1", L"A");
    EXPECT_TRUE(tablets.attachedTablets.empty());
}

TEST_F(TabletDevices, OtherDevicesAndEventsChangeNothing) {
    recorded.autostart = true;
    Arrive(L"VID_046D&PID_C52B");            // another vendor
    Arrive(L"VID_7A3C&MI_00");               // vendor without a product id
    Arrive(L"VID_7A3C&PID_&MI_00");          // no digits after it
    Arrive(L"VID_7A3C&PID_123456789");       // more than 32 bits
    handleDeviceChange(tablets, DBT_DEVNODES_CHANGED, 0, kRecordingActions);
    handleDeviceChange(tablets, DBT_DEVICEARRIVAL, 0, kRecordingActions);
    DEV_BROADCAST_VOLUME volume{};  // another kind of record is not read as a name
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    handleDeviceChange(tablets, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume), kRecordingActions);

    EXPECT_TRUE(recorded.reports.empty());
    EXPECT_EQ(recorded.dockStarts, 0);
    EXPECT_TRUE(tablets.attachedTablets.empty());
}

TEST_F(TabletDevices, ScanAddsHidTabletsUntilTheFirstThatStartsTheDock) {
    considerPresentDevices(tablets,
                           {L"USB\\VID_7A3C&PID_00D2&REV_0100", L"HID\\VID_7A3C&PID_00D3&Col02",
                            L"HID\\VID_7A3C&PID_0001", L"HID\\VID_046D&PID_C52B"},
                           kRecordingActions);
    EXPECT_EQ(AttachedDevicesReport(tablets), L"CurrentAttachedDevices=0X00D3 0X0001");  // HID entries only
    EXPECT_TRUE(recorded.reports.empty());  // nobody to tell yet

    tablets = AttachedTabletList();
    recorded.autostart = true;
    considerPresentDevices(tablets, {L"HID\\VID_7A3C&PID_0001", L"HID\\VID_7A3C&PID_00D3", L"HID\\VID_7A3C&PID_00D4"},
                           kRecordingActions);
    EXPECT_EQ(recorded.dockStarts, 1);
    EXPECT_EQ(AttachedDevicesReport(tablets), L"CurrentAttachedDevices=0X0001 0X00D3");

    // The real scan: Wine has a few HID devices and none of the vendor.
    tablets = AttachedTabletList();
    scanAttachedDevices(tablets);
    EXPECT_TRUE(tablets.attachedTablets.empty());
}

TEST_F(TabletDevices, AutostartNeedsTheExactElementWithinTheFirst10000Bytes) {
    std::wstring folder = testsupport::MakeTempFolder(L"marlin-appdata");
    SetEnvironmentVariableW(L"APPDATA", folder.c_str());
    for (const wchar_t* part : {L"\\orvexid-desktop-launcher.5E1A0C7D2B9F48E63A17C05D9B2E84F16A3C70D2.1",
                                L"\\Local Store", L"\\default", L"\\xml"}) {
        folder += part;
        CreateDirectoryW(folder.c_str(), nullptr);
    }
    EXPECT_FALSE(isAutostartEnabled());  // no file
    const std::pair<std::string, bool> cases[] = {
        {"<settings>\r\n  <autostart>true</autostart>\r\n</settings>", true},
        {"<autostart> true </autostart>", false},
        {"<autostart>True</autostart>", false},
        {std::string(9973, ' ') + "<autostart>true</autostart>", true},
        {std::string(9974, ' ') + "<autostart>true</autostart>", false},
    };
    for (const auto& c : cases) {
        ASSERT_TRUE(testsupport::WriteBytes(folder + L"\\usersSettings.xml", c.first));
        EXPECT_EQ(isAutostartEnabled(), c.second) << c.first.substr(0, 40);
    }
}

// The report goes to the dock (the authorized client), even when another
// client has spoken since and been turned away, and to nobody else.
TEST_F(TabletDevices, ReportsReachTheAuthorizedClient) {
    testsupport::WinsockSession winsock;
    CommandPortHandler handler(tablets);
    Server server;
    server.setHandler(&handler);
    ASSERT_GT(server.listen(), 0);
    Arrive(L"VID_7A3C&PID_00D1");

    testsupport::Client dock(server.port());
    const SOCKET dockSide = testsupport::AcceptNext(server);
    ASSERT_TRUE(dock.send("auth " + getAuthKey() + "|"));
    testsupport::Pump(server, dockSide);
    EXPECT_EQ(dock.readFrame(), "authOk|");
    EXPECT_EQ(dock.readFrame(), "CurrentAttachedDevices=0X00D1|");

    testsupport::Client stranger(server.port());
    const SOCKET strangerSide = testsupport::AcceptNext(server);
    ASSERT_TRUE(stranger.send("auth wrong|"));
    testsupport::Pump(server, strangerSide);

    std::vector<BYTE> removal = InterfaceRecord(L"VID_7A3C&PID_00D1", L"1");
    onDeviceChange(tablets, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(removal.data()), server);
    EXPECT_EQ(dock.readFrame(), "CurrentAttachedDevices=|");

    // With nobody authorized, a connection that never authorized hears nothing.
    server.handleConnectionLost(dockSide);
    testsupport::Client idle(server.port());
    ASSERT_NE(testsupport::AcceptNext(server), INVALID_SOCKET);
    std::vector<BYTE> arrival = InterfaceRecord(L"VID_7A3C&PID_00D1", L"2");
    onDeviceChange(tablets, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(arrival.data()), server);
    EXPECT_TRUE(idle.quiet());
    EXPECT_TRUE(tablets.attachedTablets.empty()) << "Wine lists no such device: the arrival is not taken";

    server.deinit();
}
