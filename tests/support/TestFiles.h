// File and folder helpers for unit tests (wide paths, as the service uses).
#pragma once

#include <windows.h>

#include <string>

namespace testsupport {

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == bytes.size();
}

inline std::string ReadBytes(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return std::string();
    std::string out;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(h, buffer, sizeof(buffer), &got, nullptr) && got > 0) out.append(buffer, got);
    CloseHandle(h);
    return out;
}

inline bool PathExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A fresh, empty folder under %TEMP% whose name starts with tag.
inline std::wstring MakeTempFolder(const std::wstring& tag) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static LONG counter = 0;
    const std::wstring dir = std::wstring(temp) + tag + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                             std::to_wstring(InterlockedIncrement(&counter)) + L"-" + std::to_wstring(GetTickCount());
    CreateDirectoryW(dir.c_str(), nullptr);
    return dir;
}

// The build's bin folder (MARLIN_BIN_DIR, a host path) as Wine names it: drive Z:.
inline std::wstring BinDir() {
    wchar_t buffer[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"MARLIN_BIN_DIR", buffer, MAX_PATH);
    std::wstring dir = buffer;
    for (wchar_t& c : dir) {
        if (c == L'/') c = L'\\';
    }
    if (!dir.empty() && dir[0] == L'\\') dir = L"Z:" + dir;
    return dir;
}

}  // namespace testsupport
