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

// Asks for USB device-interface notifications (WM_DEVICECHANGE) on window.
void registerTabletNotifications(HWND window);
class Server;

// WM_DEVICECHANGE of the sockets listener window; changes are reported to
// the authorized client of the command server.
void onDeviceChange(WPARAM wParam, LPARAM lParam, Server& command);
// Once at start: the present devices; starts the dock at the first supported
// tablet when autostart is on. Sends nothing (no client yet).
void scanAttachedDevices();
// Sends the report to the command server's authorized client (the dock);
// with none authorized nobody is told (a stranger must not learn it).
void reportAttachedDevices(Server& command);
// Forgets every attached tablet: a service starting again in the same
// process (tests do) starts from the first state.
void ResetAttachedTablets();

// Tracks the device of identifier (vendor "VID_7A3C", product "PID_xxxx", any
// letter case) as attached or removed; true when it is a supported model. An
// identifier of another vendor, or without a readable product id, changes
// nothing; nor does a new id once kMaxAttachedTablets are listed (logged).
bool matchTabletId(const std::wstring& identifier, bool attached);
// More ids than any desk has tablets; notifications can be forged by any
// program, so the list (and each report) stays this short.
constexpr size_t kMaxAttachedTablets = 32;
// The dock's settings file asks for autostart ("<autostart>true</autostart>"
// within its first 10 000 bytes).
bool isAutostartEnabled();

// "CurrentAttachedDevices=" and the attached ids ("0X00D1 0X0302").
std::wstring AttachedDevicesReport();

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
void handleDeviceChange(WPARAM wParam, LPARAM lParam, const TabletDeviceActions& actions);
// Looks at the first hardware id of each present device, in order.
void considerPresentDevices(const std::vector<std::wstring>& firstHardwareIds, const TabletDeviceActions& actions);
