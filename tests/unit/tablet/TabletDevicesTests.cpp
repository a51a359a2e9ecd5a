// Device detection driven by synthetic arrival and removal records; the
// outward actions (dock start, report) are recorded instead of performed.
#include "core/tablet/TabletDevices.h"

#include <dbt.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/net/Authorization.h"
#include "core/net/Server.h"
#include "core/net/Servers.h"
#include "core/util/Text.h"
#include "tests/support/TestFiles.h"

namespace {

const std::wstring kUsbGuid = L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

struct Recorded {
    bool autostart = false;
    int dockStarts = 0;
    std::vector<std::wstring> reports;
};
Recorded recorded;

const TabletDeviceActions kRecordingActions = {
    [] { return recorded.autostart; },
    [] { ++recorded.dockStarts; },
    [] { recorded.reports.push_back(AttachedDevicesReport()); },
};

// A DEV_BROADCAST_DEVICEINTERFACE_W with its name, as the system sends it.
std::vector<BYTE> InterfaceRecord(const std::wstring& name) {
    const size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (name.size() + 1) * sizeof(wchar_t);
    std::vector<BYTE> bytes(size, 0);
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
    record->dbcc_size = static_cast<DWORD>(size);
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    memcpy(record->dbcc_name, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
    return bytes;
}

void Arrive(const std::wstring& name) {
    std::vector<BYTE> record = InterfaceRecord(name);
    handleDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(record.data()), kRecordingActions);
}

void Remove(const std::wstring& name) {
    std::vector<BYTE> record = InterfaceRecord(name);
    handleDeviceChange(DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(record.data()), kRecordingActions);
}

std::wstring Usb(const std::wstring& ids, const std::wstring& serial) {
    return L"\\\\?\\USB#" + ids + L"#" + serial + kUsbGuid;
}

class TabletDevices : public ::testing::Test {
protected:
    void SetUp() override {
        ResetAttachedTablets();
        recorded = Recorded();
    }
};

}  // namespace

TEST_F(TabletDevices, ArrivalInLowerCaseIsRecognisedReportedAndStartsTheDock) {
    recorded.autostart = true;
    Arrive(Usb(L"vid_7a3c&pid_00d1", L"6&2b1f&0&1"));
    ASSERT_EQ(recorded.reports.size(), 1u);
    EXPECT_EQ(recorded.reports[0], L"CurrentAttachedDevices=0X00D1");
    EXPECT_EQ(recorded.dockStarts, 1);

    // Wider ids keep all their digits.
    Arrive(Usb(L"VID_7A3C&PID_1A2B3", L"x"));
    EXPECT_EQ(recorded.reports.back(), L"CurrentAttachedDevices=0X00D1 0X1A2B3");
}

TEST_F(TabletDevices, ListKeepsArrivalOrderWithoutDuplicates) {
    Arrive(Usb(L"VID_7A3C&PID_00D1", L"A"));
    Arrive(Usb(L"VID_7A3C&PID_0302", L"B"));
    Arrive(Usb(L"VID_7A3C&PID_00D1", L"A"));  // the same tablet again moves to the end
    EXPECT_EQ(AttachedDevicesReport(), L"CurrentAttachedDevices=0X0302 0X00D1");

    // Two tablets of one model are one entry; removing either removes it.
    Arrive(Usb(L"VID_7A3C&PID_0302", L"C"));
    EXPECT_EQ(AttachedDevicesReport(), L"CurrentAttachedDevices=0X00D1 0X0302");
    Remove(Usb(L"VID_7A3C&PID_0302", L"B"));
    EXPECT_EQ(AttachedDevicesReport(), L"CurrentAttachedDevices=0X00D1");

    // Removing a vendor device that is not listed still reports.
    const size_t before = recorded.reports.size();
    Remove(Usb(L"VID_7A3C&PID_0302", L"C"));
    ASSERT_EQ(recorded.reports.size(), before + 1);
    EXPECT_EQ(recorded.reports.back(), L"CurrentAttachedDevices=0X00D1");

    Remove(Usb(L"VID_7A3C&PID_00D1", L"A"));
    EXPECT_EQ(recorded.reports.back(), L"CurrentAttachedDevices=");
    EXPECT_EQ(recorded.dockStarts, 0);  // autostart off
}

TEST_F(TabletDevices, OtherDevicesAndEventsChangeNothing) {
    recorded.autostart = true;
    Arrive(Usb(L"VID_046D&PID_C52B", L"mouse"));             // another vendor
    Arrive(Usb(L"VID_7A3C&MI_00", L"no-product"));           // vendor without a product id
    Arrive(Usb(L"VID_7A3C&PID_&MI_00", L"empty-product"));   // no digits after it
    Arrive(Usb(L"VID_7A3C&PID_123456789", L"too-long"));     // more than 32 bits
    Arrive(L"");
    handleDeviceChange(DBT_DEVNODES_CHANGED, 0, kRecordingActions);
    handleDeviceChange(DBT_DEVICEARRIVAL, 0, kRecordingActions);

    // A notification of another kind (a volume) is not read as a device name.
    DEV_BROADCAST_VOLUME volume{};
    volume.dbcv_size = sizeof(volume);
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    handleDeviceChange(DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume), kRecordingActions);

    EXPECT_TRUE(recorded.reports.empty());
    EXPECT_EQ(recorded.dockStarts, 0);
    EXPECT_TRUE(AttachedTablets().empty());
}

TEST_F(TabletDevices, UnsupportedModelIsListedButNeverStartsTheDock) {
    recorded.autostart = true;
    EXPECT_FALSE(matchTabletId(Usb(L"VID_7A3C&PID_0001", L"A"), true));
    EXPECT_TRUE(matchTabletId(L"HID\\VID_7A3C&PID_0357&Col01", true));
    EXPECT_TRUE(matchTabletId(L"HID\\VID_7A3C&PID_0357&Col01", false));  // support does not depend on attach

    Arrive(Usb(L"VID_7A3C&PID_0001", L"A"));
    EXPECT_EQ(recorded.reports.back(), L"CurrentAttachedDevices=0X0001");
    EXPECT_EQ(recorded.dockStarts, 0);
}

TEST_F(TabletDevices, ScanAddsHidTabletsUntilTheFirstThatStartsTheDock) {
    recorded.autostart = false;
    considerPresentDevices({L"USB\\VID_7A3C&PID_00D2&REV_0100", L"HID\\VID_7A3C&PID_00D3&Col02",
                            L"HID\\VID_7A3C&PID_0001", L"HID\\VID_046D&PID_C52B"},
                           kRecordingActions);
    EXPECT_EQ(AttachedDevicesReport(), L"CurrentAttachedDevices=0X00D3 0X0001");  // only HID entries
    EXPECT_TRUE(recorded.reports.empty());  // nobody to tell yet

    ResetAttachedTablets();
    recorded.autostart = true;
    considerPresentDevices({L"HID\\VID_7A3C&PID_0001", L"HID\\VID_7A3C&PID_00D3", L"HID\\VID_7A3C&PID_00D4"},
                           kRecordingActions);
    EXPECT_EQ(recorded.dockStarts, 1);
    EXPECT_EQ(AttachedDevicesReport(), L"CurrentAttachedDevices=0X0001 0X00D3");

    // The real scan: Wine has a few HID devices and none of the vendor.
    ResetAttachedTablets();
    scanAttachedDevices();
    EXPECT_TRUE(AttachedTablets().empty());
}

TEST_F(TabletDevices, AutostartNeedsTheExactElementWithinTheFirst10000Bytes) {
    const std::wstring appData = testsupport::MakeTempFolder(L"marlin-appdata");
    SetEnvironmentVariableW(L"APPDATA", appData.c_str());
    std::wstring folder = appData;
    for (const wchar_t* part : {L"\\orvexid-desktop-launcher.5E1A0C7D2B9F48E63A17C05D9B2E84F16A3C70D2.1",
                                L"\\Local Store", L"\\default", L"\\xml"}) {
        folder += part;
        CreateDirectoryW(folder.c_str(), nullptr);
    }
    const std::wstring settings = folder + L"\\usersSettings.xml";

    EXPECT_FALSE(isAutostartEnabled());  // no file
    struct Case {
        std::string text;
        bool enabled;
    } cases[] = {
        {"<settings>\r\n  <autostart>true</autostart>\r\n</settings>", true},
        {"<settings><autostart> true </autostart></settings>", false},
        {"<settings><autostart>True</autostart></settings>", false},
        {"<settings><AutoStart>true</AutoStart></settings>", false},
        {"<settings><autostart>false</autostart></settings>", false},
        {std::string(9973, ' ') + "<autostart>true</autostart>", true},
        {std::string(9974, ' ') + "<autostart>true</autostart>", false},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(testsupport::WriteBytes(settings, c.text));
        EXPECT_EQ(isAutostartEnabled(), c.enabled) << c.text.substr(0, 80);
    }
}

// The dock hears the list right after its key is accepted.
TEST_F(TabletDevices, ReportFollowsAuthorization) {
    WSADATA wsa;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    Server server;
    const int port = server.listen();
    ASSERT_GT(port, 0);
    SetServers(&server, nullptr, nullptr);

    Arrive(Usb(L"VID_7A3C&PID_00D1", L"A"));
    Arrive(Usb(L"VID_7A3C&PID_0302", L"B"));

    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(static_cast<u_short>(port));
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    SOCKET accepted = INVALID_SOCKET;
    for (int i = 0; i < 100 && accepted == INVALID_SOCKET; ++i) {
        accepted = server.acceptClient();
        if (accepted == INVALID_SOCKET) Sleep(20);
    }
    ASSERT_NE(accepted, INVALID_SOCKET);

    const std::string auth = "auth " + getAuthKey() + "|";
    ASSERT_EQ(send(client, auth.data(), static_cast<int>(auth.size()), 0), static_cast<int>(auth.size()));
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(accepted, &readable);
    timeval wait = {10, 0};
    ASSERT_EQ(select(0, &readable, nullptr, nullptr, &wait), 1);
    server.receive(accepted);

    const std::string expected = "authOk|CurrentAttachedDevices=0X00D1 0X0302|";
    std::string received;
    char buffer[256];
    while (received.size() < expected.size()) {
        const int count = recv(client, buffer, sizeof(buffer), 0);
        if (count <= 0) break;
        received.append(buffer, count);
    }
    EXPECT_EQ(received, expected);

    // A later change goes to the same client.
    onDeviceChange(DBT_DEVICEREMOVECOMPLETE,
                   reinterpret_cast<LPARAM>(InterfaceRecord(Usb(L"VID_7A3C&PID_00D1", L"A")).data()));
    received.clear();
    const std::string change = "CurrentAttachedDevices=0X0302|";
    while (received.size() < change.size()) {
        const int count = recv(client, buffer, sizeof(buffer), 0);
        if (count <= 0) break;
        received.append(buffer, count);
    }
    EXPECT_EQ(received, change);

    SetServers(nullptr, nullptr, nullptr);
    closesocket(client);
    server.deinit(true);
    WSACleanup();
}
