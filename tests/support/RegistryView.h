// The registry as the product sees it. The product is a 32-bit program: on
// 64-bit Windows it sees the 32-bit view of the keys Windows redirects, and a
// 64-bit build asks for that same view (but for the classes, which both views
// share). Tests that make, read or remove the product's keys directly do it in
// the product's view of that key too.
#pragma once

#include <windows.h>

#include <string>

#include "core/platform/RegistryManager.h"
#include "core/util/Handles.h"

namespace testsupport {

inline REGSAM ProductView(HKEY root, const std::wstring& path) { return RegistryManager::ViewOf(root, path); }

// True when the product's HKLM\SOFTWARE is redirected to SOFTWARE\Wow6432Node:
// a 64-bit build, or a 32-bit one on 64-bit Windows.
inline bool RegistryIsRedirected() {
#ifdef _WIN64
    return true;
#else
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
#endif
}

// Deletes one key (without sub-keys) of a view (KEY_WOW64_32KEY,
// KEY_WOW64_64KEY, or 0 for the process's own). RegDeleteKeyW always works in
// the process's own view; the call that takes a view is missing from 32-bit
// Windows XP, which has a single view, so it is looked up when needed.
inline LONG DeleteKeyInView(HKEY root, const std::wstring& path, REGSAM view) {
    if (view == 0) return RegDeleteKeyW(root, path.c_str());
    using DeleteKeyExFn = LONG(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD);
    const auto deleteKeyEx = reinterpret_cast<DeleteKeyExFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegDeleteKeyExW")));
    return deleteKeyEx != nullptr ? deleteKeyEx(root, path.c_str(), view, 0) : ERROR_CALL_NOT_IMPLEMENTED;
}

// Deletes a key with everything below it, in a view as above.
inline void DeleteKeyTree(HKEY root, const std::wstring& path, REGSAM view) {
    {
        marlin::unique_hkey key;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ENUMERATE_SUB_KEYS | view, key.put()) != ERROR_SUCCESS) return;
        wchar_t child[256];
        for (DWORD length = 256;
             RegEnumKeyExW(key.get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
             length = 256) {
            const std::wstring childPath = path + L"\\" + child;
            DeleteKeyTree(root, childPath, view);
            marlin::unique_hkey left;  // a child that could not be deleted would be enumerated forever
            if (RegOpenKeyExW(root, childPath.c_str(), 0, KEY_QUERY_VALUE | view, left.put()) == ERROR_SUCCESS) break;
        }
    }
    DeleteKeyInView(root, path, view);
}

}  // namespace testsupport
