#include "core/apps/air/AirLookup.h"

#include <msi.h>

#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

// The lookup caches: filled on first successful use, kept for the life of the
// process. Main thread only.
struct AirLookupCache {
    std::wstring airInstallerCommand;
    std::wstring msiUninstallerCommand;
};
AirLookupCache g_cache;

// Both programs are started elevated, so they come from the machine's own
// registration: HKEY_CLASSES_ROOT lays the user's HKCU\Software\Classes over
// it, which would let any program of the user choose what runs elevated.
const wchar_t kAirInstallerKey[] = L"Software\\Classes\\AIR.InstallerPackage\\shell\\open\\command\\";
const wchar_t kMsiUninstallKey[] = L"Software\\Classes\\Msi.Package\\shell\\Uninstall\\command\\";
const wchar_t kUninstallRoot[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

void TrimTrailingBlanks(std::wstring& text) {
    while (!text.empty() && text.back() == L' ') text.pop_back();
}

// Position of the first ".exe" in any letter case, npos when there is none.
size_t FindExe(const std::wstring& text, size_t from) {
    for (size_t i = from; i + 4 <= text.size(); ++i) {
        if (EqualsNoCase(text.substr(i, 4), L".exe")) return i;
    }
    return std::wstring::npos;
}

}  // namespace

std::wstring AirInstallerFromOpenCommand(const std::wstring& command) {
    // The shell registers the installer as: quoted path, blank, quoted %1.
    // Only a placeholder actually there is removed, so an odd registration
    // never loses part of the program path.
    std::wstring program = command;
    if (EndsWith(program, L"\"%1\"")) {
        program.resize(program.size() - 4);
    } else if (EndsWith(program, L"%1")) {
        program.resize(program.size() - 2);
    }
    TrimTrailingBlanks(program);
    return program;
}

std::wstring MsiUninstallerFromCommand(const std::wstring& command) {
    if (!command.empty() && command[0] == L'"') {
        // Windows' form: the quoted path of msiexec.exe, then its options.
        for (size_t i = FindExe(command, 0); i != std::wstring::npos; i = FindExe(command, i + 1)) {
            if (i + 4 < command.size() && command[i + 4] == L'"') return command.substr(0, i + 5);
        }
        return std::wstring();
    }
    // Wine registers the path without quotes: keep it through ".exe".
    const size_t i = FindExe(command, 0);
    if (i == std::wstring::npos) return std::wstring();
    return command.substr(0, i + 4);
}

namespace RegistryManager {

std::wstring FindAirInstaller() {
    const std::wstring raw = GetStringValue(HKEY_LOCAL_MACHINE, kAirInstallerKey, L"");
    g_cache.airInstallerCommand = AirInstallerFromOpenCommand(raw);
    if (!g_cache.airInstallerCommand.empty()) {
        LogMessage(std::string("Adobe AIR is installed:"));
        LogMessage(g_cache.airInstallerCommand);
    } else {
        LogMessage(std::string("Adobe AIR not installed!"));
    }
    return g_cache.airInstallerCommand;
}

std::wstring GetAirInstaller() {
    if (g_cache.airInstallerCommand.empty()) return FindAirInstaller();
    return g_cache.airInstallerCommand;
}

std::wstring FindMsiUninstaller() {
    const std::wstring raw = GetStringValue(HKEY_LOCAL_MACHINE, kMsiUninstallKey, L"");
    if (raw.empty()) {
        g_cache.msiUninstallerCommand.clear();
        LogMessage(std::string("MS uninstaller is not present!"));
        return std::wstring();
    }
    LogMessage(std::string("MS uninstaller raw info:"));
    LogMessage(raw);
    // A command without ".exe" keeps nothing: the uninstall then reports the
    // uninstaller as missing instead of starting some other program.
    g_cache.msiUninstallerCommand = MsiUninstallerFromCommand(raw);
    LogMessage(std::string("MS uninstaller is here:"));
    LogMessage(g_cache.msiUninstallerCommand);
    return g_cache.msiUninstallerCommand;
}

std::wstring GetMsiUninstaller() {
    if (g_cache.msiUninstallerCommand.empty()) return FindMsiUninstaller();
    return g_cache.msiUninstallerCommand;
}

std::wstring GetAirAppStartPath(std::wstring productCode) {
    std::wstring location = GetStringValue(HKEY_LOCAL_MACHINE, kUninstallRoot + productCode, L"InstallLocation");
    if (location.empty()) {
        LogMessage(std::string("RegistryManager::GetAirAppStartPath Location not found "));
        return std::wstring();
    }
    LogMessage(std::string("RegistryManager::GetAirAppStartPath Location found "));
    LogMessage(location);
    // Windows Installer locations often end with a backslash; the folder's
    // own name is the part before it.
    while (!location.empty() && location.back() == L'\\') location.pop_back();
    const size_t slash = location.rfind(L'\\');
    if (slash == std::wstring::npos) {
        LogMessage(std::string("RegistryManager::GetAirAppStartPath broken location "));
        LogMessage(location);
        return std::wstring();
    }
    const std::wstring path = location + L"\\" + location.substr(slash + 1) + L".exe";
    LogMessage(std::string("RegistryManager::GetAirAppStartPath exe file is: "));
    LogMessage(path);
    return path;
}

}  // namespace RegistryManager

UINT GetAirAppProductCode(const std::wstring& osid, std::wstring& productCode) {
    char buffer[39] = {};
    const UINT status = MsiEnumRelatedProductsA(Narrow(osid).c_str(), 0, 0, buffer);
    productCode = status == ERROR_SUCCESS ? Widen(buffer) : std::wstring();
    LogMessage("GUID for application is " + Narrow(productCode));
    return status;
}

int isAirAppInstalled(const std::wstring& appId, const std::wstring& osid) {
    if (IsBlank(appId)) {
        LogMessage(std::string("isAirAppInstalled: Argument null or empty."));
        return 0;
    }
    if (IsBlank(osid)) {
        LogMessage("isAirAppInstalled: Second argument missing (Widget OSID) for widget" + Narrow(appId));
        return 0;
    }
    std::wstring productCode;
    if (GetAirAppProductCode(osid, productCode) == ERROR_SUCCESS) {
        LogMessage("isAirAppInstalled: Installed " + Narrow(appId));
        return 1;
    }
    LogMessage("isAirAppInstalled: Not Installed " + Narrow(appId));
    return 0;
}
