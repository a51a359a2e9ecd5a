#include "core/maintenance/RegistryRepairs.h"

#include <winsock2.h>
#include <windows.h>
#include <msi.h>
#include <shlobj.h>

#include "core/platform/ProcessManager.h"
#include "core/platform/RegistryManager.h"
#include "core/platform/RegistryNames.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

const wchar_t kUninstall32[] = L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t kUninstallNative[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t kSystemComponent[] = L"SystemComponent";
const wchar_t kUserHivePrefix[] = L"S-1-5-21-";
const wchar_t kDockOpenCommand[] = L"Software\\Classes\\MarlinDockApplication\\shell\\Open\\Command";
const wchar_t kShellFolders[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders";

// Lookup cache of this component, kept for the life of the process.
struct RepairCache {
    std::wstring commonDesktopPath;
};
RepairCache gCache;

// The product code of the last product related to the dock's upgrade code.
std::wstring LastDockProductCode() {
    std::wstring productCode;
    wchar_t buffer[39];  // a GUID in braces and the terminator
    for (DWORD index = 0; MsiEnumRelatedProductsW(kDockUpgradeCode, 0, index, buffer) == ERROR_SUCCESS; ++index) {
        productCode = buffer;
    }
    return productCode;
}

std::wstring SystemComponentAt(const std::wstring& entryPath) {
    return RegistryManager::GetStringValue(HKEY_LOCAL_MACHINE, entryPath, kSystemComponent);
}

}  // namespace

std::wstring findUninstallEntryFor(const std::wstring& productCode) {
    // Without a product code the paths would name the Uninstall key itself,
    // which always exists; the dock is simply not installed then.
    if (!productCode.empty()) {
        const std::wstring path32 = kUninstall32 + productCode;
        if (RegistryManager::KeyExists(HKEY_LOCAL_MACHINE, path32)) return path32;
        const std::wstring pathNative = kUninstallNative + productCode;
        if (RegistryManager::KeyExists(HKEY_LOCAL_MACHINE, pathNative)) return pathNative;
    }
    LogMessage(std::string("RegistryManager: Dock seems to be uninstalled completely."));
    return std::wstring();
}

std::wstring findUninstallEntry() { return findUninstallEntryFor(LastDockProductCode()); }

bool uninstallEntryOkAt(const std::wstring& entryPath) {
    // A REG_DWORD 1 reads as the single character U+0001 (not blank); 0 reads
    // as an empty text.
    return !entryPath.empty() && !IsBlank(SystemComponentAt(entryPath));
}

bool fixUninstallEntryAt(const std::wstring& entryPath) {
    if (entryPath.empty()) return false;
    if (!IsBlank(SystemComponentAt(entryPath))) return true;
    LogMessage(std::string("Dock update detected: fixing registry for uninstaller"));
    return RegistryManager::SetDwordValue(HKEY_LOCAL_MACHINE, entryPath, kSystemComponent, 1);
}

bool fixUninstallEntry() { return fixUninstallEntryAt(findUninstallEntry()); }

bool machineRunEntryExists() {
    return !RegistryManager::GetStringValue(HKEY_LOCAL_MACHINE, kRunKey, kRunValueName).empty();
}

void spreadRunEntryToUsers() {
    if (!machineRunEntryExists()) return;

    const std::wstring data = Quote(ProcessManager::GetFrontEndExePath());
    bool given = false;
    wchar_t name[256];  // registry key names have at most 255 characters
    for (DWORD index = 0;; ++index) {
        DWORD length = 256;
        const LONG status = RegEnumKeyExW(HKEY_USERS, index, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status != ERROR_SUCCESS) break;
        // Ordinary local and domain users only; service accounts are skipped.
        const std::wstring hive(name, length);
        if (!StartsWith(kUserHivePrefix, hive)) continue;
        const std::wstring userRun = hive + L"\\" + kRunKey;
        if (!RegistryManager::KeyExists(HKEY_USERS, userRun)) continue;
        if (RegistryManager::SetStringValue(HKEY_USERS, userRun, kRunValueName, data)) given = true;
    }
    // The user who ran the Fixer may have no Run key yet (or a hive not
    // listed above); without a taker the value would stay machine-wide and
    // every start would ask for elevation again.
    if (RegistryManager::SetStringValue(HKEY_CURRENT_USER, kRunKey, kRunValueName, data)) given = true;
    // The machine-wide value goes only once a user has it, so the autostart
    // is never lost when no user hive could take it.
    if (given) RegistryManager::DeleteKey(HKEY_LOCAL_MACHINE, kRunKey, kRunValueName, true);
}

void repairDockOpenCommand() {
    const std::wstring command = Quote(ProcessManager::GetFrontEndExePath()) + L" " + Quote(L"%1");
    const std::wstring current = RegistryManager::GetStringValue(HKEY_CURRENT_USER, kDockOpenCommand, L"");
    // Already right: nothing to write, and no shell notification, which
    // costs the start a good part of a second (the shell rebuilds its
    // association data).
    if (current == command) return;
    if (!current.empty()) RegistryManager::DeleteKey(HKEY_CURRENT_USER, kDockOpenCommand, L"", true);
    RegistryManager::SetStringValue(HKEY_CURRENT_USER, kDockOpenCommand, L"", command);
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
}

std::wstring getCommonDesktopPath() {
    if (gCache.commonDesktopPath.empty()) {
        const std::wstring path = RegistryManager::GetStringValue(HKEY_LOCAL_MACHINE, kShellFolders, L"Common Desktop");
        if (!path.empty()) {
            LogMessage(std::string("Common desktop path:"));
            LogMessage(path);
            gCache.commonDesktopPath = path;
        } else {
            LogMessage(std::string("Common desktop not found!"));
        }
    }
    return gCache.commonDesktopPath;
}
