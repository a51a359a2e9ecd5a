// Which of the maker's tablets are plugged in: USB arrival and removal
// notifications on the sockets listener window, one SetupAPI scan at start,
// the "CurrentAttachedDevices=" report to the dock, and starting the dock
// when a supported tablet arrives and the user asked for autostart.
// Main thread only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class Server;

// The attached-tablet list: product ids in order of arrival, no duplicates,
// every vendor device whether supported or not; and when the dock was last
// started for an arrival. The service's record holds it (a service made
// afresh starts from the first state).
struct AttachedTabletList {
    std::vector<uint32_t> attachedTablets;
    bool attachedChanged = false;
    bool dockStarted = false;
    DWORD lastDockStart = 0;  // tick count of the last start
    int dockStartsSkipped = 0;
    int removalsIgnored = 0;
};

// Asks for USB device-interface notifications (WM_DEVICECHANGE) on window.
void registerTabletNotifications(HWND window);

// WM_DEVICECHANGE of the sockets listener window; changes are reported to
// the authorized client of the command server.
void onDeviceChange(AttachedTabletList& tablets, WPARAM wParam, LPARAM lParam, Server& command);
// Once at start: the present devices; starts the dock at the first supported
// tablet when autostart is on. Sends nothing (no client yet).
void scanAttachedDevices(AttachedTabletList& tablets);
// Sends the report to the command server's authorized client (the dock);
// with none authorized nobody is told (a stranger must not learn it).
void reportAttachedDevices(const AttachedTabletList& tablets, Server& command);

// Tracks the device of identifier (vendor "VID_7A3C", product "PID_xxxx", any
// letter case) as attached or removed; true when it is a supported model. An
// identifier of another vendor, or without a readable product id, changes
// nothing; nor does a new id once kMaxAttachedTablets are listed (logged).
bool matchTabletId(AttachedTabletList& tablets, const std::wstring& identifier, bool attached);
// More ids than any desk has tablets; notifications can be forged by any
// program, so the list (and each report) stays this short.
constexpr size_t kMaxAttachedTablets = 32;
// The dock's settings file asks for autostart ("<autostart>true</autostart>"
// within its first 10 000 bytes).
bool isAutostartEnabled();

// "CurrentAttachedDevices=" and the attached ids ("0X00D1 0X0302").
std::wstring AttachedDevicesReport(const AttachedTabletList& tablets);

// What device detection does outside itself; the service uses the real
// actions, tests record them.
struct TabletDeviceActions {
    std::function<bool()> autostartEnabled;
    std::function<void()> startDock;
    std::function<void()> sendReport;
    // Whether the device enumeration lists the device interface as present
    // (any program can send an arrival or a removal): an arrival of one that
    // is not, and a removal of one that still is, are ignored. Empty: not asked.
    std::function<bool(const std::wstring& interfaceName)> devicePresent;
    // The tick count (GetTickCount when empty): the dock is started at most
    // once in 10 s, however many arrivals come.
    std::function<DWORD()> now;
};

// The work of onDeviceChange and scanAttachedDevices with the actions given.
// A report is sent only when the list changed.
void handleDeviceChange(AttachedTabletList& tablets, WPARAM wParam, LPARAM lParam,
                        const TabletDeviceActions& actions);
// Looks at the first hardware id of each present device, in order.
void considerPresentDevices(AttachedTabletList& tablets, const std::vector<std::wstring>& firstHardwareIds,
                            const TabletDeviceActions& actions);
