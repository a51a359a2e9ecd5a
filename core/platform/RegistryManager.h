// Registry access: each operation opens what it needs, does one thing and
// closes again. HKEY_CURRENT_USER is re-opened for the calling thread's user
// (RegOpenCurrentUser), so a thread that impersonates another user reaches
// that user's profile. Keys are seen as the 32-bit product sees them: a
// 64-bit build asks for the 32-bit registry view, except for the classes,
// which both views share (see RegistryManager.cpp).
#pragma once

#include <windows.h>

#include <string>

namespace RegistryManager {

// The registry view every operation below opens subKey of root in:
// KEY_WOW64_32KEY, or 0 for the process's own view (the classes, which both
// views share, and everything in a 32-bit build).
REGSAM ViewOf(HKEY root, const std::wstring& subKey);

// True when subKey can be opened for reading.
bool KeyExists(HKEY root, std::wstring subKey);

// The text stored under valueName (empty name: the default value), read into a
// 520-byte buffer; empty when the key or value is missing or the text needs
// more than 259 characters (the required size is logged then).
std::wstring GetStringValue(HKEY root, std::wstring subKey, std::wstring valueName);

// Writes data as REG_SZ with its terminator, creating missing keys on the way.
bool SetStringValue(HKEY root, std::wstring subKey, std::wstring valueName, std::wstring data);

// Writes a REG_DWORD, creating missing keys on the way.
bool SetDwordValue(HKEY root, std::wstring subKey, std::wstring valueName, DWORD value);

// isValue: deletes the value name of subKey; otherwise the sub-key name of
// subKey (which must have no sub-keys of its own). Logs a "DeleteKey()"
// system-error block on failure.
bool DeleteKey(HKEY root, std::wstring subKey, std::wstring name, bool isValue);

}  // namespace RegistryManager
