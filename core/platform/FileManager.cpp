#include "core/platform/FileManager.h"

#include <aclapi.h>

#include "core/platform/AllUsersDACL.h"
#include "core/platform/SystemVersion.h"
#include "core/util/FailureDetail.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

bool IsPlainFolderName(const std::wstring& folderName) {
    if (IsBlank(folderName) || folderName == L"." || folderName == L"..") return false;
    // Windows trims trailing dots and blanks from a name, so ".. " would climb too.
    if (folderName.back() == L'.' || folderName.back() == L' ') return false;
    for (wchar_t c : folderName) {
        if (c < 0x20) return false;
    }
    return folderName.find_first_of(L"\\/:\"<>|?*") == std::wstring::npos;
}

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

// The next path element from position i on, skipping separators; empty at the end.
std::wstring NextElement(const std::wstring& path, size_t& i) {
    while (i < path.size() && IsSeparator(path[i])) ++i;
    const size_t start = i;
    while (i < path.size() && !IsSeparator(path[i])) ++i;
    return path.substr(start, i - start);
}

}  // namespace

std::wstring FirstReparsePoint(const std::wstring& path, const AttributeLookup& attributes) {
    // Windows takes '/' as a separator too and ignores repeated ones: each
    // component is named with single backslashes. The drive ("C:") or share
    // ("\\server\share", also "\\?\C:") the path starts from is not one.
    std::wstring component;
    size_t i = 0;
    if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
        i = 2;
        const std::wstring server = NextElement(path, i);
        component = L"\\\\" + server + L"\\" + NextElement(path, i);
    } else if (path.size() >= 2 && path[1] == L':') {
        component = path.substr(0, 2);
        i = 2;
    }
    const bool rooted = component.empty() && !path.empty() && IsSeparator(path[0]);
    for (std::wstring element = NextElement(path, i); !element.empty(); element = NextElement(path, i)) {
        component += (component.empty() && !rooted) ? element : L"\\" + element;
        const DWORD found = attributes(component);
        if (found != INVALID_FILE_ATTRIBUTES && (found & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return component;
    }
    return std::wstring();
}

bool deleteFile(std::wstring path) { return DeleteFileW(ExpandPath(path).c_str()) == TRUE; }

bool fileExists(std::wstring path) {
    const std::wstring expanded = ExpandPath(path);
    if (GetFileAttributesW(expanded.c_str()) != INVALID_FILE_ATTRIBUTES) return true;
    LogMessage(std::string("Target does not exist:"));
    LogMessage(expanded);
    return false;
}

bool moveFile(std::wstring source, std::wstring destination) {
    if (MoveFileExW(ExpandPath(source).c_str(), ExpandPath(destination).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    LogSystemError(L"MoveFile()");
    return false;
}

bool copyFile(std::wstring source, std::wstring destination) {
    if (CopyFileExW(ExpandPath(source).c_str(), ExpandPath(destination).c_str(), nullptr, nullptr, nullptr, 0)) {
        return true;
    }
    LogSystemError(L"CopyFile()");
    return false;
}

bool HasExpectedUsersDacl(PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || dacl == nullptr) {
        return false;  // no list at all grants everyone everything: not OK
    }
    // Entries are told apart by type and mask only; the SID is not compared.
    bool allowSeen = false;
    bool denySeen = false;
    bool otherSeen = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) break;
        const ACE_HEADER* header = static_cast<const ACE_HEADER*>(ace);
        const ACCESS_MASK mask = static_cast<const ACCESS_ALLOWED_ACE*>(ace)->Mask;
        if (header->AceType == ACCESS_ALLOWED_ACE_TYPE && mask == kUsersModifyMask) {
            allowSeen = true;
        } else if (header->AceType == ACCESS_DENIED_ACE_TYPE && mask == kUsersDeniedMask) {
            denySeen = true;
        } else {
            otherSeen = true;
        }
    }
    return allowSeen && denySeen && !otherSeen;
}

bool CheckFilePermissionsOK(std::wstring path) {
    DWORD needed = 0;
    if (!GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        LogSystemError(L"CheckFilePermissionsOK - Retrieve buffer size");
        return false;
    }
    SetLastError(0);
    marlin::unique_heap_ptr buffer(HeapAlloc(GetProcessHeap(), 0, needed));
    if (!buffer) {
        LogSystemError(L"CheckFilePermissionsOK - Out of memory");
        return false;
    }
    if (!GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, buffer.get(), needed, &needed)) {
        LogSystemError(L"CheckFilePermissionsOK - Retrieve sd");
        return false;
    }
    return HasExpectedUsersDacl(buffer.get());
}

namespace {

// Writes the list; inheritable entries of the parent stay in effect (the list
// is not protected) and a folder's new entries reach its children.
DWORD ApplyDacl(const std::wstring& path, PACL acl) {
    return SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                 nullptr, nullptr, acl, nullptr);
}

// Explains a list that could not be made, so the reply does not carry the
// unrelated line logged before it.
bool FailedBuild(const AllUsersDACL& dacl) {
    SetLastError(dacl.lastError());
    LogFailureSystemError(L"AllUsersDACL::build");
    return false;
}

}  // namespace

bool ResetFilePermissionsHelper(std::wstring path, PACL acl) {
    if (CheckFilePermissionsOK(path)) {
        LogMessage(L"FileManager::ResetFilePermissionsHelper : File was with ok permissions" + path);
        return true;
    }
    LogMessage(L" Fixing file: " + path);
    const DWORD status = ApplyDacl(path, acl);
    if (status != ERROR_SUCCESS) {
        SetLastError(status);  // the call returns its error instead of setting it
        LogFailureSystemError(L"ResetFilePermissions");
        return false;
    }
    return true;
}

bool ResetFilePermissions(std::wstring path) {
    AllUsersDACL dacl;
    const bool built = dacl.build(true);
    const std::wstring expanded = ExpandPath(path);
    LogMessage(L"Resetting file/dir permissions for " + expanded);
    if (!built) return FailedBuild(dacl);
    // The text of the path was checked by the caller; what it resolves to
    // must be the same place. Another user could plant a junction in a
    // shared folder and have the next repair open its target to everyone.
    const std::wstring reparsePoint = FirstReparsePoint(
        expanded, [](const std::wstring& component) { return GetFileAttributesW(component.c_str()); });
    if (!reparsePoint.empty()) {
        LogFailureDetail(L"ResetFilePermissions: path passes through a reparse point: " + reparsePoint);
        return false;
    }
    return ResetFilePermissionsHelper(expanded, dacl.acl());
}

bool resetUpdatedCorePermissions(std::wstring path) {
    AllUsersDACL dacl;
    const bool built = dacl.build(false);
    const std::wstring expanded = ExpandPath(path);
    LogMessage(std::wstring(L"Resetting file permissions on updated core."));
    if (!built) return FailedBuild(dacl);
    return ApplyDacl(expanded, dacl.acl()) == ERROR_SUCCESS;
}
