// Who the user is and where things live: administrator test, the program's
// own path and folder, shell folders and the vendor folders. None of them
// reports an error: a failed lookup yields an empty text or a placeholder,
// which later file operations then fail to open.
#pragma once

#include <string>

// Membership of the built-in Administrators group; a UAC-filtered
// administrator counts (its linked full token is tested). False on any
// failed platform call.
bool IsUserAdmin();

// The program's own executable, or "<Failed to get current process image>".
std::wstring GetModulePath();

// The folder of the program's executable without a trailing backslash;
// cached after the first successful lookup.
std::wstring GetModuleDirectory();

// SHGetFolderPathW for a CSIDL value; empty on failure.
std::wstring GetSpecialFolder(int csidl);

// The common application-data folder + "\Orvex\" (root of permission repairs).
std::wstring GetCommonVendorDir();

// The user's roaming application-data folder + "\Orvex\" (home of the key file).
std::wstring GetUserVendorDir();
