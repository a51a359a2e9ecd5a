// Whether a folder is readable by a broad group of users (Everyone, Users,
// Authenticated Users or a domain's Domain Users), judged from its DACL.
//
// The judging steps take the security descriptor (and, in JunctionTarget.h,
// the reparse data) as input so they can be checked with descriptors built
// in memory as well as with the ones the file system returns.
#pragma once

#include <windows.h>

#include <string>

namespace folderguard {

// 1 when ace is an access-allowed entry for a broad group whose mask lets it
// read (GENERIC_READ together with GENERIC_EXECUTE, or GENERIC_ALL, or
// READ_CONTROL); 0 otherwise.
int isPublicAce(const void* ace);

// 1 when an entry of sd's DACL is public (see isPublicAce), or when the DACL
// is null, which grants everyone everything. A failing system call records
// its error code in lastError; a call that succeeds on an entry resets it to 0.
int JudgeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD& lastError);

// The whole test on a path: a junction is judged by its target, anything else
// by the path as given. A path that cannot be opened gives 0 and leaves
// lastError as it was; every later failure gives 0 and records its code;
// diagnostics go to standard error.
int IsPublicPath(const std::wstring& path, DWORD& lastError);

}  // namespace folderguard
