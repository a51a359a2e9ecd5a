// Registry names that several folders use: the logon entry that the start-up
// registration writes and the registry repairs spread to every user, and the
// dock's program identifier that file types point at and the repairs keep.
#pragma once

// Per-user logon entry: HKEY_CURRENT_USER\<kRunKey>, value kRunValueName
// (the machine-wide one under HKEY_LOCAL_MACHINE has the same names).
constexpr const wchar_t* kRunKey = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr const wchar_t* kRunValueName = L"Marlin Dock";
// The program identifier file types are pointed at; its open command is kept
// by the registry repairs.
constexpr const wchar_t* kDockProgId = L"MarlinDockApplication";
