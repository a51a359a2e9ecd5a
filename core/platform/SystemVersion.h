// Windows version and environment expansion.
#pragma once

#include <windows.h>

#include <string>

// Major version from GetVersionExW (0 if the call fails); the minor version
// is stored when asked for.
DWORD GetOSVersion(DWORD* minor = nullptr);
// Windows Vista and later (major version 6 or more) as opposed to Windows XP.
bool IsVistaOrLater();
// Expands environment variables into a 520-character buffer;
// "<Failed to expand path>" when the expansion fails or does not fit.
std::wstring ExpandPath(const std::wstring& path);
