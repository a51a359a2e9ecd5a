#include "core/tablet/TabletDevices.h"

#include <dbt.h>
#include <setupapi.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>

#include "core/net/Server.h"
#include "core/platform/ProcessManager.h"
#include "core/platform/SystemVersion.h"
#include "core/tablet/SupportedTablets.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"

namespace {

const wchar_t kVendorId[] = L"VID_7A3C";
const wchar_t kProductPrefix[] = L"PID_";
constexpr size_t kMaxIdentifierChars = 999;
constexpr size_t kMaxSettingsBytes = 10000;
constexpr DWORD kPropertyBufferBytes = 10000;
const char kAutostartOn[] = "<autostart>true</autostart>";
const wchar_t kDockSettingsPath[] =
    L"%APPDATA%\\orvexid-desktop-launcher.5E1A0C7D2B9F48E63A17C05D9B2E84F16A3C70D2.1\\Local "
    L"Store\\default\\xml\\usersSettings.xml";
// GUID_DEVINTERFACE_USB_DEVICE
const GUID kUsbDeviceInterface = {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};

// Starting the dock waits seconds on the main thread (the launch, the search
// for its window); arrivals, which any program can forge, start it at most
// once in this time.
constexpr DWORD kDockStartIntervalMs = 10000;

// The hexadecimal digits right after "PID_"; false when there are none or
// more than fit in 32 bits.
bool ReadProductId(const std::wstring& identifier, uint32_t& id) {
    const size_t start = identifier.find(kProductPrefix);
    if (start == std::wstring::npos) return false;
    id = 0;
    size_t digits = 0;
    for (size_t i = start + wcslen(kProductPrefix); i < identifier.size(); ++i, ++digits) {
        const wchar_t c = identifier[i];
        uint32_t value;
        if (c >= L'0' && c <= L'9') {
            value = c - L'0';
        } else if (c >= L'A' && c <= L'F') {
            value = c - L'A' + 10;
        } else {
            break;
        }
        if (digits == 8) return false;
        id = (id << 4) | value;
    }
    return digits > 0;
}

void StartDock() { ProcessManager::OpenManager(L""); }

void StartDockAtMostEveryInterval(AttachedTabletList& s, const TabletDeviceActions& actions) {
    const DWORD now = actions.now ? actions.now() : GetTickCount();
    if (s.dockStarted && now - s.lastDockStart < kDockStartIntervalMs) {
        if (IsLoggedCount(++s.dockStartsSkipped))
            LogFormatted("Tablet arrival: the dock was started moments ago, not again (%d so far)", s.dockStartsSkipped);
        return;
    }
    s.dockStarted = true;
    s.lastDockStart = now;
    actions.startDock();
}

// The name of a device-interface notification, read no further than the
// record the system gave.
bool InterfaceName(LPARAM lParam, std::wstring& name) {
    const DEV_BROADCAST_HDR* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return false;
    const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    if (header->dbch_size < nameOffset) return false;
    const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(header);
    const size_t maxChars = (header->dbch_size - nameOffset) / sizeof(wchar_t);
    size_t length = 0;
    while (length < maxChars && record->dbcc_name[length] != L'\0') ++length;
    name.assign(record->dbcc_name, length);
    return true;
}

// The first id of a device's hardware-id list (a list of NUL-terminated texts).
bool FirstHardwareId(HDEVINFO devices, SP_DEVINFO_DATA& device, std::vector<BYTE>& buffer, std::wstring& id) {
    DWORD required = 0;
    // The buffer is twice what is offered and zero-filled, so the text always ends within it.
    if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_HARDWAREID, nullptr, buffer.data(),
                                           static_cast<DWORD>(buffer.size() / 2), &required)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
        buffer.assign(2 * static_cast<size_t>(required) + sizeof(wchar_t), 0);
        if (!SetupDiGetDeviceRegistryPropertyW(devices, &device, SPDRP_HARDWAREID, nullptr, buffer.data(), required,
                                               &required)) {
            return false;
        }
    }
    id = reinterpret_cast<const wchar_t*>(buffer.data());
    return true;
}

// The upper-cased text of an identifier, up to its first NUL and at most
// kMaxIdentifierChars long.
std::wstring UpperIdentifier(const std::wstring& identifier) {
    std::wstring upper = identifier.substr(0, kMaxIdentifierChars);
    upper.resize(wcslen(upper.c_str()));
    if (!upper.empty()) CharUpperBuffW(&upper[0], static_cast<DWORD>(upper.size()));
    return upper;
}

// A device of the vendor with a readable product id.
bool IsVendorDevice(const std::wstring& identifier, uint32_t& id) {
    const std::wstring upper = UpperIdentifier(identifier);
    return upper.find(kVendorId) != std::wstring::npos && ReadProductId(upper, id);
}

// Whether the system lists the USB device interface as present. Only the
// interface set of that one class is looked at, by the name given, so a
// forged name reaches no file, pipe or share. When the list cannot be had,
// the arrival is taken on trust as before.
bool IsPresentUsbInterface(const std::wstring& interfaceName) {
    HDEVINFO devices = SetupDiGetClassDevsW(&kUsbDeviceInterface, nullptr, nullptr,
                                            DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (devices == INVALID_HANDLE_VALUE) {
        LogSystemError(L"SetupDiGetClassDevs()");
        return true;
    }
    auto destroy = marlin::scope_exit([devices] { SetupDiDestroyDeviceInfoList(devices); });
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof(data);
    return SetupDiOpenDeviceInterfaceW(devices, interfaceName.c_str(), 0, &data) != FALSE;
}

}  // namespace

bool matchTabletId(AttachedTabletList& tablets, const std::wstring& identifier, bool attached) {
    const std::wstring upper = UpperIdentifier(identifier);
    if (upper.find(kVendorId) == std::wstring::npos) return false;

    uint32_t id = 0;
    if (!ReadProductId(upper, id)) {
        LogMessage(L"Tablet without a readable product id ignored: " + identifier.substr(0, kMaxIdentifierChars));
        return false;
    }
    std::vector<uint32_t>& list = tablets.attachedTablets;
    const auto listed = std::find(list.begin(), list.end(), id);
    if (attached && listed == list.end() && list.size() >= kMaxAttachedTablets) {
        LogFormatted("Tablet arrival ignored: %d tablets are listed already", static_cast<int>(list.size()));
    } else {
        const std::vector<uint32_t> before = list;
        list.erase(std::remove(list.begin(), list.end(), id), list.end());
        if (attached) list.push_back(id);  // a tablet arriving again moves to the end
        if (list != before) tablets.attachedChanged = true;
    }
    return std::find(std::begin(kSupportedTabletIds), std::end(kSupportedTabletIds), id) !=
           std::end(kSupportedTabletIds);
}

bool isAutostartEnabled() {
    // Opened by its wide name: a profile folder outside Latin-1 must not hide the file.
    const std::wstring path = ExpandPath(kDockSettingsPath);
    FILE* file = _wfopen(path.c_str(), L"r");
    if (file == nullptr) return false;
    std::string text(kMaxSettingsBytes, '\0');
    text.resize(fread(&text[0], 1, kMaxSettingsBytes, file));
    fclose(file);
    return text.find(kAutostartOn) != std::string::npos;
}

std::wstring AttachedDevicesReport(const AttachedTabletList& tablets) {
    std::wstring report = L"CurrentAttachedDevices=";
    bool first = true;
    for (uint32_t id : tablets.attachedTablets) {
        wchar_t text[16];
        swprintf(text, 16, L"0X%04X", static_cast<unsigned>(id));
        if (!first) report += L" ";
        report += text;
        first = false;
    }
    return report;
}

void reportAttachedDevices(const AttachedTabletList& tablets, Server& command) {
    const SOCKET dock = command.authorizedSocket();
    if (dock != INVALID_SOCKET) command.sendReply(AttachedDevicesReport(tablets), dock);
}

void registerTabletNotifications(HWND window) {
    DEV_BROADCAST_DEVICEINTERFACE_W filter{};
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = kUsbDeviceInterface;
    // The registration lasts as long as the window; it is never undone.
    if (RegisterDeviceNotificationW(window, &filter, DEVICE_NOTIFY_WINDOW_HANDLE) == nullptr) {
        LogSystemError(L"RegisterDeviceNotification()");
    }
}

void handleDeviceChange(AttachedTabletList& s, WPARAM wParam, LPARAM lParam,
                        const TabletDeviceActions& actions) {
    s.attachedChanged = false;
    std::wstring name;
    if (wParam == DBT_DEVICEARRIVAL && InterfaceName(lParam, name)) {
        uint32_t id = 0;
        if (IsVendorDevice(name, id) && actions.devicePresent && !actions.devicePresent(name)) {
            LogFormatted("Tablet arrival ignored: 0X%04X is not among the present devices", static_cast<int>(id));
        } else if (matchTabletId(s, name, true) && actions.autostartEnabled()) {
            StartDockAtMostEveryInterval(s, actions);
        }
    } else if (wParam == DBT_DEVICEREMOVECOMPLETE && InterfaceName(lParam, name)) {
        // A removal is forged as easily as an arrival: a device the system
        // still lists as present stays in the report.
        uint32_t id = 0;
        if (IsVendorDevice(name, id) && actions.devicePresent && actions.devicePresent(name)) {
            if (IsLoggedCount(++s.removalsIgnored))
                LogFormatted("Tablet removal ignored: 0X%04X is still among the present devices", static_cast<int>(id));
        } else {
            matchTabletId(s, name, false);
        }
    }
    if (s.attachedChanged) actions.sendReport();
}

void onDeviceChange(AttachedTabletList& tablets, WPARAM wParam, LPARAM lParam, Server& command) {
    const auto report = [&tablets, &command] { reportAttachedDevices(tablets, command); };
    handleDeviceChange(tablets, wParam, lParam,
                       {isAutostartEnabled, StartDock, report, IsPresentUsbInterface, GetTickCount});
}

void considerPresentDevices(AttachedTabletList& tablets, const std::vector<std::wstring>& firstHardwareIds,
                            const TabletDeviceActions& actions) {
    for (const std::wstring& id : firstHardwareIds) {
        const bool hid = id.find(L"HID\\") != std::wstring::npos;
        if (hid && matchTabletId(tablets, id, true) && actions.autostartEnabled()) {
            StartDockAtMostEveryInterval(tablets, actions);
            return;  // later devices are added when they are plugged in again
        }
    }
}

void scanAttachedDevices(AttachedTabletList& tablets) {
    HDEVINFO devices = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_PRESENT | DIGCF_ALLCLASSES);
    if (devices == INVALID_HANDLE_VALUE) return;
    auto destroy = marlin::scope_exit([devices] { SetupDiDestroyDeviceInfoList(devices); });

    std::vector<std::wstring> ids;
    std::vector<BYTE> buffer(2 * kPropertyBufferBytes, 0);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(devices, index, &device); ++index) {
        std::wstring id;
        if (FirstHardwareId(devices, device, buffer, id)) ids.push_back(id);
    }
    // No client to tell yet.
    considerPresentDevices(tablets, ids, {isAutostartEnabled, StartDock, nullptr, nullptr, GetTickCount});
}
