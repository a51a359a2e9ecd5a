// Folder removal through the shell's file operation.
#include "installer-plugin/FolderRemoval.h"

#include <shellapi.h>

namespace folderguard {

int DeleteFolderTree(const std::wstring& path) {
    if (path.empty()) return kEmptyPathCode;
    // The shell's list holds at most MAX_PATH - 1 characters per name; cutting
    // a longer path would name, and delete, one of its parents.
    if (path.size() >= MAX_PATH) return kPathTooLongCode;

    // The shell takes a list of names ended by an empty one.
    std::wstring list = path;
    list.push_back(L'\0');

    SHFILEOPSTRUCTW operation = {};
    operation.hwnd = nullptr;
    operation.wFunc = FO_DELETE;
    operation.pFrom = list.c_str();
    operation.pTo = nullptr;
    // No FOF_ALLOWUNDO: delete, do not move to the recycle bin.
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
    return SHFileOperationW(&operation);
}

}  // namespace folderguard
