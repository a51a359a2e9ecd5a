#include "core/platform/SystemVersion.h"

DWORD GetOSVersion(DWORD* minor) {
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    GetVersionExW(&info);  // on failure the zero-filled record yields 0
    if (minor != nullptr) *minor = info.dwMinorVersion;
    return info.dwMajorVersion;
}

bool IsVistaOrLater() { return GetOSVersion() > 5; }

std::wstring ExpandPath(const std::wstring& path) {
    const DWORD kBufferChars = 520;
    wchar_t buffer[kBufferChars];
    const DWORD count = ExpandEnvironmentStringsW(path.c_str(), buffer, kBufferChars);
    if (count == 0 || count > kBufferChars) return L"<Failed to expand path>";
    return std::wstring(buffer);
}
