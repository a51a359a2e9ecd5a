// Corrections to the registry state the dock's installer leaves behind: the
// dock's uninstall entry is marked "SystemComponent", the machine-wide
// autostart value moves into each user's Run key, and the open command of the
// dock's application class points at the dock. The first is checked at every
// start; the machine-wide repairs run in the elevated Fixer worker.
#pragma once

#include <string>

// The dock's Windows Installer upgrade code.
constexpr const wchar_t* kDockUpgradeCode = L"{7C41A9E3-25D0-4B8F-9E16-3F0B8D52C6A4}";

// HKEY_LOCAL_MACHINE path of the dock's uninstall entry (32-bit view path
// first), or empty when the dock is not installed.
std::wstring findUninstallEntry();
// The uninstall entry under a product code: the 32-bit view path when that
// key exists, else the native one when it exists, else empty.
std::wstring findUninstallEntryFor(const std::wstring& productCode);

// True when the entry carries a non-blank "SystemComponent".
bool uninstallEntryOkAt(const std::wstring& entryPath);

// Writes "SystemComponent" = 1 (REG_DWORD) when it is blank; false when there
// is no entry or the write failed.
bool fixUninstallEntry();
bool fixUninstallEntryAt(const std::wstring& entryPath);

// True when the "Marlin Dock" Run value is still machine-wide.
bool machineRunEntryExists();

// Moves the machine-wide "Marlin Dock" Run value into the Run key of every
// loaded ordinary user hive (HKEY_USERS names beginning "S-1-5-21-") and of
// the current user (created when missing), so it always has somewhere to go
// and the move is never asked for again.
void spreadRunEntryToUsers();

// Rewrites the open command of the dock's application class (current user)
// as the quoted dock path followed by a quoted %1, and tells the shell;
// nothing happens when it already reads so.
void repairDockOpenCommand();

// The all-users desktop folder, looked up once and cached; empty when unknown.
std::wstring getCommonDesktopPath();
