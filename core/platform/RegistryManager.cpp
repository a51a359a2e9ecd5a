#include "core/platform/RegistryManager.h"

#include <algorithm>
#include <cwchar>

#include "core/util/FailureDetail.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

constexpr DWORD kReadBufferBytes = 520;  // 259 characters and the terminator

// Registry views. The product is a 32-bit program: on 64-bit Windows it sees
// the 32-bit view of the keys Windows redirects (HKLM\SOFTWARE lands in
// Wow6432Node), and the dock, its installer, the widgets' Windows Installer
// entries and earlier versions all keep their entries there. A 64-bit build
// asks for that same view (KEY_WOW64_32KEY) on every key it opens, creates or
// deletes, with one exception: since Windows 7 the classes (HKEY_CLASSES_ROOT,
// HKLM\Software\Classes, a user's Software\Classes) are one key shared by both
// views, apart from the few COM sub-keys Windows still keeps per view (CLSID,
// Interface, DirectShow, Media Type, MediaFoundation). The shell registrations
// the service reads and writes (the AIR installer's and Windows Installer's
// commands, the file types, the dock's application class) are therefore
// opened without a view flag, where a 32-bit program finds them too. Asking
// for the 32-bit view there would miss them: a system that keeps a 32-bit
// classes key of its own (Software\Classes\Wow6432Node) answers from that
// one, where no 64-bit installer writes.
#ifdef _WIN64
bool StartsWithKey(const std::wstring& path, size_t from, const wchar_t* key) {
    const size_t length = wcslen(key);
    if (from > path.size() || path.size() - from < length || _wcsnicmp(path.c_str() + from, key, length) != 0) return false;
    return path.size() == from + length || path[from + length] == L'\\';
}

// The classes below a path's start (HKEY_CLASSES_ROOT itself, or a root's
// Software\Classes): shared unless the first key below is a per-view one.
bool IsSharedClassesPath(const std::wstring& path, size_t from) {
    for (const wchar_t* perView : {L"CLSID", L"Interface", L"DirectShow", L"Media Type", L"MediaFoundation"}) {
        if (StartsWithKey(path, from, perView)) return false;
    }
    return true;
}

REGSAM ViewOfKey(HKEY root, const std::wstring& path) {
    size_t from = std::wstring::npos;
    if (root == HKEY_CLASSES_ROOT) {
        from = 0;
    } else if (root == HKEY_LOCAL_MACHINE || root == HKEY_CURRENT_USER) {
        if (StartsWithKey(path, 0, L"Software\\Classes")) from = wcslen(L"Software\\Classes\\");
    } else if (root == HKEY_USERS) {  // <user>\Software\Classes, or the user's own <user>_Classes
        const size_t user = std::min(path.find(L'\\'), path.size());
        const std::wstring own = L"_Classes";
        if (StartsWithKey(path, user + 1, L"Software\\Classes")) {
            from = user + 1 + wcslen(L"Software\\Classes\\");
        } else if (user >= own.size() && _wcsnicmp(path.c_str() + user - own.size(), own.c_str(), own.size()) == 0) {
            from = user + 1;
        }
    }
    if (from == std::wstring::npos) return KEY_WOW64_32KEY;
    if (from > path.size()) return 0;  // the classes key itself
    return IsSharedClassesPath(path, from) ? 0 : KEY_WOW64_32KEY;
}
#else
// A 32-bit process already sees the product's view; Windows itself shares
// the classes with it.
REGSAM ViewOfKey(HKEY, const std::wstring&) { return 0; }
#endif

// The root an operation works on. HKEY_CURRENT_USER becomes the calling
// thread's user key, owned here and closed with the operation; the other
// predefined roots are used as they are.
class RegistryRoot {
public:
    RegistryRoot(HKEY root, REGSAM access) : predefined_(root), root_(root) {
        if (root == HKEY_CURRENT_USER) {
            root_ = nullptr;
            if (RegOpenCurrentUser(access, currentUser_.put()) == ERROR_SUCCESS) root_ = currentUser_.get();
        }
    }
    // Null when the user's key could not be opened; the operation then fails
    // rather than falling back to another profile.
    HKEY get() const { return root_; }
    // The registry view of a key below this root.
    REGSAM view(const std::wstring& subKey) const { return ViewOfKey(predefined_, subKey); }

private:
    HKEY predefined_;
    marlin::unique_hkey currentUser_;
    HKEY root_;
};

LONG OpenKey(const RegistryRoot& root, const std::wstring& subKey, REGSAM access, marlin::unique_hkey& key) {
    if (root.get() == nullptr) return ERROR_FILE_NOT_FOUND;
    return RegOpenKeyExW(root.get(), subKey.c_str(), 0, access | root.view(subKey), key.put());
}

LONG CreateKey(const RegistryRoot& root, const std::wstring& subKey, marlin::unique_hkey& key) {
    if (root.get() == nullptr) return ERROR_FILE_NOT_FOUND;
    return RegCreateKeyExW(root.get(), subKey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_SET_VALUE | root.view(subKey), nullptr, key.put(), nullptr);
}

// RegDeleteKeyW deletes in the caller's own view; the view-taking call exists
// on every 64-bit Windows, while a 32-bit build must still run on Windows XP.
LONG DeleteSubKey(HKEY parent, const std::wstring& name, REGSAM view) {
#ifdef _WIN64
    return RegDeleteKeyExW(parent, name.c_str(), view, 0);
#else
    (void)view;
    return RegDeleteKeyW(parent, name.c_str());
#endif
}

}  // namespace

namespace RegistryManager {

REGSAM ViewOf(HKEY root, const std::wstring& subKey) { return ViewOfKey(root, subKey); }

bool KeyExists(HKEY root, std::wstring subKey) {
    RegistryRoot base(root, KEY_QUERY_VALUE);
    marlin::unique_hkey key;
    return OpenKey(base, subKey, KEY_QUERY_VALUE, key) == ERROR_SUCCESS;
}

std::wstring GetStringValue(HKEY root, std::wstring subKey, std::wstring valueName) {
    RegistryRoot base(root, KEY_QUERY_VALUE);
    marlin::unique_hkey key;
    if (OpenKey(base, subKey, KEY_QUERY_VALUE, key) != ERROR_SUCCESS) return std::wstring();

    wchar_t buffer[kReadBufferBytes / sizeof(wchar_t)] = {};
    DWORD size = kReadBufferBytes;
    // The stored type is not looked at: whatever is there is taken as UTF-16.
    const LONG status =
        RegQueryValueExW(key.get(), valueName.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(buffer), &size);
    if (status == ERROR_MORE_DATA) {
        LogMessage(std::string("Not enough storage space, required:"));
        LogFailureDetail(ToWideString(static_cast<int>(size)));
        return std::wstring();
    }
    if (status != ERROR_SUCCESS) return std::wstring();

    // Up to the first NUL, never beyond what was stored (the value may lack a terminator).
    const size_t stored = size / sizeof(wchar_t);
    size_t length = 0;
    while (length < stored && buffer[length] != L'\0') ++length;
    return std::wstring(buffer, length);
}

// Texts of any length are written whole, from the caller's own string, with
// the byte count of exactly that text and its terminator: a fixed copy buffer
// would cut long texts while the count still covered the whole of them.
bool SetStringValue(HKEY root, std::wstring subKey, std::wstring valueName, std::wstring data) {
    RegistryRoot base(root, KEY_SET_VALUE);
    marlin::unique_hkey key;
    if (CreateKey(base, subKey, key) != ERROR_SUCCESS) return false;
    const DWORD bytes = static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t));
    return RegSetValueExW(key.get(), valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                          bytes) == ERROR_SUCCESS;
}

bool SetDwordValue(HKEY root, std::wstring subKey, std::wstring valueName, DWORD value) {
    RegistryRoot base(root, KEY_SET_VALUE);
    marlin::unique_hkey key;
    if (CreateKey(base, subKey, key) != ERROR_SUCCESS) return false;
    return RegSetValueExW(key.get(), valueName.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof(value)) == ERROR_SUCCESS;
}

bool DeleteKey(HKEY root, std::wstring subKey, std::wstring name, bool isValue) {
    const REGSAM access = KEY_SET_VALUE | DELETE;
    RegistryRoot base(root, access);
    marlin::unique_hkey key;
    LONG status = OpenKey(base, subKey, access, key);
    if (status == ERROR_SUCCESS) {
        status = isValue ? RegDeleteValueW(key.get(), name.c_str())
                         : DeleteSubKey(key.get(), name, base.view(subKey + L"\\" + name));
    }
    if (status != ERROR_SUCCESS) {
        // The registry returns its status instead of setting the thread's
        // error; hand it over so the block explains this failure.
        SetLastError(static_cast<DWORD>(status));
        LogFailureSystemError(L"DeleteKey()");
        return false;
    }
    return true;
}

}  // namespace RegistryManager
