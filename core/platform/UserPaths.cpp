#include "core/platform/UserPaths.h"

#include <windows.h>
#include <shlobj.h>

#include <mutex>

#include "core/platform/SystemVersion.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

constexpr DWORD kModulePathBuffer = 520;
constexpr const wchar_t* kVendorPart = L"\\Orvex\\";
constexpr const wchar_t* kModulePathPlaceholder = L"<Failed to get current process image>";

// Token information classes and the elevation type of Windows Vista, which
// the XP headers this build targets do not declare.
constexpr int kTokenElevationType = 18;
constexpr int kTokenLinkedToken = 19;
constexpr DWORD kTokenElevationTypeLimited = 3;

// The module folder cache; both service threads may ask for it.
struct ModuleDirectoryCache {
    std::mutex lock;
    std::wstring directory;
};

ModuleDirectoryCache& Cache() {
    static ModuleDirectoryCache* cache = new ModuleDirectoryCache();  // lives until the process ends
    return *cache;
}

}  // namespace

bool IsUserAdmin() {
    marlin::unique_handle processToken;
    marlin::unique_handle testToken;
    bool failed = false;
    BOOL member = FALSE;

    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, processToken.put())) {
        failed = true;
    }
    const DWORD major = failed ? 0 : GetOSVersion();
    if (major == 0) failed = true;
    if (!failed && major >= 6) {
        // A filtered administrator token hides the group; its linked token is the full one.
        DWORD elevationType = 0;
        DWORD size = 0;
        if (!GetTokenInformation(processToken.get(), static_cast<TOKEN_INFORMATION_CLASS>(kTokenElevationType),
                                 &elevationType, sizeof(elevationType), &size)) {
            failed = true;
        } else if (elevationType == kTokenElevationTypeLimited) {
            HANDLE linked = nullptr;
            if (GetTokenInformation(processToken.get(), static_cast<TOKEN_INFORMATION_CLASS>(kTokenLinkedToken),
                                    &linked, sizeof(linked), &size)) {
                testToken.reset(linked);
            } else {
                failed = true;
            }
        }
    }
    // CheckTokenMembership needs an impersonation token.
    if (!failed && !testToken &&
        !DuplicateToken(processToken.get(), SecurityIdentification, testToken.put())) {
        failed = true;
    }
    if (!failed) {
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD sidSize = sizeof(sid);
        if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sidSize) ||
            !CheckTokenMembership(testToken.get(), sid, &member)) {
            failed = true;
        }
    }
    const bool admin = !failed && member;
    Trace(admin ? "[user priv] User is admin." : "[user priv] User is NOT admin.");
    return admin;
}

std::wstring GetModulePath() {
    wchar_t path[kModulePathBuffer];
    const DWORD length = GetModuleFileNameW(nullptr, path, kModulePathBuffer);
    // A count that fills the buffer means the path was cut short: no usable path.
    if (length == 0 || length >= kModulePathBuffer) return kModulePathPlaceholder;
    return std::wstring(path, length);
}

std::wstring GetModuleDirectory() {
    ModuleDirectoryCache& cache = Cache();
    std::lock_guard<std::mutex> guard(cache.lock);
    if (cache.directory.empty()) {
        std::wstring directory = GetModulePath();
        SplitFileName(directory);
        cache.directory = directory;  // stays empty (and is retried) when the path had no folder
    }
    return cache.directory;
}

std::wstring GetSpecialFolder(int csidl) {
    wchar_t path[MAX_PATH] = L"";
    if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path))) return path;
    return std::wstring();
}

std::wstring GetCommonVendorDir() {
    std::wstring path = GetSpecialFolder(CSIDL_COMMON_APPDATA);
    if (path.empty()) {
        path = IsVistaOrLater() ? ExpandPath(L"%ALLUSERSPROFILE%")
                                : ExpandPath(L"%ALLUSERSPROFILE%\\Application Data");
    }
    return path + kVendorPart;
}

std::wstring GetUserVendorDir() {
    std::wstring path = GetSpecialFolder(CSIDL_APPDATA);
    if (path.empty()) path = ExpandPath(L"%APPDATA%");
    return path + kVendorPart;
}
