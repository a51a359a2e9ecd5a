#include "core/commands/StartupRegistration.h"

#include <winsock2.h>
#include <windows.h>

#include "core/maintenance/Maintenance.h"
#include "core/platform/ProcessManager.h"
#include "core/platform/RegistryManager.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

const wchar_t kClassesKey[] = L"Software\\Classes";
const wchar_t kClassesPrefix[] = L"Software\\Classes\\";
constexpr DWORD kAfterFixerMs = 1000;

// An extension names one key below Software\Classes: a backslash would reach
// into other keys, and "." alone is no extension.
bool IsValidExtension(const std::wstring& extension) {
    if (extension.size() < 2 || extension.find(L'\\') != std::wstring::npos) {
        LogMessage(L"Invalid file extension: '" + extension + L"'");
        return false;
    }
    return true;
}

}  // namespace

bool SetAsStartup() {
    const std::wstring command = Quote(ProcessManager::GetFrontEndExePath());
    const std::wstring current = RegistryManager::GetStringValue(HKEY_CURRENT_USER, kRunKey, kRunValueName);
    const bool ok = current == command ||
                    RegistryManager::SetStringValue(HKEY_CURRENT_USER, kRunKey, kRunValueName, command);
    moveMachineRunEntryToUsers();
    return ok;
}

bool RemoveAsStartup() {
    if (moveMachineRunEntryToUsers()) Sleep(kAfterFixerMs);
    return RegistryManager::DeleteKey(HKEY_CURRENT_USER, kRunKey, kRunValueName, true);
}

bool AssociateFileType(std::wstring extension) {
    if (!IsValidExtension(extension)) return false;
    const std::wstring key = kClassesPrefix + extension;
    if (!RegistryManager::GetStringValue(HKEY_CURRENT_USER, key, L"").empty() &&
        !RegistryManager::DeleteKey(HKEY_CURRENT_USER, key, L"", true)) {
        return false;
    }
    return RegistryManager::SetStringValue(HKEY_CURRENT_USER, key, L"", kDockProgId);
}

bool UnassociateFileType(std::wstring extension) {
    if (!IsValidExtension(extension)) return false;
    const std::wstring key = kClassesPrefix + extension;
    if (RegistryManager::GetStringValue(HKEY_CURRENT_USER, key, L"").empty()) return true;  // nothing to remove
    return RegistryManager::DeleteKey(HKEY_CURRENT_USER, kClassesKey, extension, false);
}
