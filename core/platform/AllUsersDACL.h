// The access-control list put on repaired files and folders: the built-in
// Users group may not change permissions or ownership, and may either modify
// (allowModify) or only read and execute. Both entries are inherited by files
// and sub-folders.
#pragma once

#include <windows.h>

#include "core/util/Handles.h"

constexpr DWORD kUsersDeniedMask = WRITE_DAC | WRITE_OWNER;  // 0x000C0000
// Modify without FILE_DELETE_CHILD: DELETE, READ_CONTROL, SYNCHRONIZE, file
// read/write/append, extended attributes, execute, attributes.
constexpr DWORD kUsersModifyMask = 0x001301BF;
constexpr DWORD kUsersReadExecuteMask = GENERIC_READ | GENERIC_EXECUTE;  // 0xA0000000

class AllUsersDACL {
public:
    AllUsersDACL() = default;
    virtual ~AllUsersDACL() = default;
    AllUsersDACL(const AllUsersDACL&) = delete;
    AllUsersDACL& operator=(const AllUsersDACL&) = delete;

    // Makes the list (deny entry, then allow entry); false with lastError set
    // when a step fails.
    bool build(bool allowModify);

    PACL acl() const { return static_cast<PACL>(acl_.get()); }
    PSID usersSid() const { return usersSid_.get(); }
    DWORD lastError() const { return lastError_; }

private:
    marlin::unique_sid usersSid_;
    marlin::unique_heap_ptr acl_;
    DWORD lastError_ = 0;
};
