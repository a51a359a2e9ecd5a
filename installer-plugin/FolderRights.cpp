// Folder-sharing test: open, follow a junction, read the DACL, judge its entries.
#include "installer-plugin/FolderRights.h"

#include "core/util/Handles.h"

#include <sddl.h>

#include <cstddef>
#include <cstdio>
#include <vector>

#include "installer-plugin/JunctionTarget.h"

namespace folderguard {

namespace {
constexpr DWORD kFsctlGetReparsePoint = 0x000900A8;
constexpr DWORD kReparseBufferSize = 16 * 1024;  // the largest reparse data the system returns

bool IsBroadGroup(const std::wstring& sid) {
    if (sid == L"S-1-5-32-545" || sid == L"S-1-5-11" || sid == L"S-1-1-0") return true;
    // A domain's Domain Users group: relative id 513 under a domain SID.
    if (sid.compare(0, 6, L"S-1-5-") != 0) return false;
    const size_t at = sid.find(L"-513");
    return at != std::wstring::npos && at + 4 == sid.size();
}
}  // namespace

int isPublicAce(const void* ace) {
    if (ace == nullptr) return 0;
    const auto* header = static_cast<const ACE_HEADER*>(ace);
    if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return 0;

    // The SID must lie inside the entry before anything reads it.
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(ace);
    const DWORD sidAt = offsetof(ACCESS_ALLOWED_ACE, SidStart);
    constexpr DWORD kSidHeaderSize = 8;  // revision, count, identifier authority
    if (header->AceSize < sidAt + kSidHeaderSize) return 0;
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    if (!IsValidSid(sid) || GetLengthSid(sid) > header->AceSize - sidAt) return 0;

    LPWSTR text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text)) return 0;
    marlin::unique_hlocal ownedText(text);
    if (!IsBroadGroup(text)) return 0;

    const ACCESS_MASK mask = allowed->Mask;
    const bool readAndExecute = (mask & GENERIC_READ) != 0 && (mask & GENERIC_EXECUTE) != 0;
    return readAndExecute || (mask & (GENERIC_ALL | READ_CONTROL)) != 0 ? 1 : 0;
}

int JudgeSecurityDescriptor(PSECURITY_DESCRIPTOR sd, DWORD& lastError) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) {
        lastError = GetLastError();
        std::fprintf(stderr, "Error getting DACL from security descriptor: %d\n", static_cast<int>(lastError));
        return 0;
    }
    if (!present) {
        std::fprintf(stderr, "Security descriptor has no DACL present\n");
        return 0;
    }
    // A null DACL (present, but no list) denies nobody anything.
    if (dacl == nullptr) return 1;

    ACL_SIZE_INFORMATION size = {};
    if (!GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation)) {
        lastError = GetLastError();
        return 0;
    }
    // Deny entries are not weighed: one public allow entry is enough.
    int isPublic = 0;
    for (DWORD index = 0; index < size.AceCount; ++index) {
        void* ace = nullptr;
        if (!GetAce(dacl, index, &ace)) {
            lastError = GetLastError();
            continue;
        }
        isPublic |= isPublicAce(ace);
        lastError = 0;
    }
    return isPublic;
}

int IsPublicPath(const std::wstring& givenPath, DWORD& lastError) {
    std::wstring path = givenPath;
    {
        // Open the folder itself, not what a reparse point leads to.
        marlin::unique_hfile folder(CreateFileW(path.c_str(), 0, 0, nullptr, OPEN_EXISTING,
                                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!folder) return 0;

        std::vector<BYTE> reparse(kReparseBufferSize);
        DWORD returned = 0;
        if (DeviceIoControl(folder.get(), kFsctlGetReparsePoint, nullptr, 0, reparse.data(), kReparseBufferSize,
                            &returned, nullptr)) {
            std::wstring target;
            if (ReadJunctionTarget(reparse.data(), returned, target)) path = target;
        }
    }

    DWORD needed = 0;
    if (!GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        lastError = GetLastError();
        std::fprintf(stderr, "Error getting file security DACL: %d\n", static_cast<int>(lastError));
        return 0;
    }
    marlin::unique_heap_ptr sd(HeapAlloc(GetProcessHeap(), 0, needed));
    if (!sd) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;  // HeapAlloc does not set a last error
        std::fprintf(stderr, "Out of memory for security descriptor!\n");
        return 0;
    }
    if (!GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, sd.get(), needed, &needed)) {
        lastError = GetLastError();
        std::fprintf(stderr, "Error getting file security DACL: %d!\n", static_cast<int>(lastError));
        return 0;
    }
    lastError = 0;
    return JudgeSecurityDescriptor(sd.get(), lastError);
}

}  // namespace folderguard
