// Silent removal of a folder with everything in it, for the installer.
#pragma once

#include <windows.h>

#include <string>

namespace folderguard {

// The codes this plug-in gives for a path it refuses before the shell sees it.
constexpr int kEmptyPathCode = ERROR_INVALID_PARAMETER;         // 87
constexpr int kPathTooLongCode = ERROR_FILENAME_EXCED_RANGE;    // 206

// Deletes path (not to the recycle bin, without any window) and returns
// SHFileOperationW's code, 0 on success. An empty path, or one of MAX_PATH
// characters or more, is refused and nothing is deleted: the shell would
// otherwise see a different path than the one given.
int DeleteFolderTree(const std::wstring& path);

}  // namespace folderguard
