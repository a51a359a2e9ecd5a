// Reads the target of a junction from the reparse data that
// FSCTL_GET_REPARSE_POINT returns. Takes the buffer as input so the checks
// can be exercised with buffers built in memory.
#pragma once

#include <windows.h>

#include <string>

namespace folderguard {

constexpr DWORD kReparseTagMountPoint = 0xA0000003;  // junctions and volume mount points

// True and the target path when data (size bytes as returned) describes a
// junction whose substitute name lies wholly inside the buffer. The
// object-manager prefix "\??\" is dropped before a drive letter and becomes
// "\\?\" otherwise (volume GUID paths). False for any other reparse point and
// for short or inconsistent data: the caller then judges the path as given.
bool ReadJunctionTarget(const BYTE* data, DWORD size, std::wstring& target);

}  // namespace folderguard
