#include "core/platform/AllUsersDACL.h"

bool AllUsersDACL::build(bool allowModify) {
    lastError_ = 0;
    acl_.reset();
    usersSid_.reset();

    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS, 0, 0, 0, 0,
                                  0, 0, usersSid_.put())) {
        lastError_ = GetLastError();
        return false;
    }
    if (!IsValidSid(usersSid_.get())) return false;

    // The header and two ACEs whose SID takes the place of their last 4 bytes.
    const DWORD size = sizeof(ACL) + 2 * (sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD)) + 2 * GetLengthSid(usersSid_.get());
    acl_.reset(HeapAlloc(GetProcessHeap(), 0, size));
    if (!acl_ || !InitializeAcl(acl(), size, ACL_REVISION)) {
        lastError_ = GetLastError();
        return false;
    }

    const DWORD inherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    const bool ok =
        AddAccessDeniedAceEx(acl(), ACL_REVISION, inherit, kUsersDeniedMask, usersSid_.get()) &&
        AddAccessAllowedAceEx(acl(), ACL_REVISION, inherit, allowModify ? kUsersModifyMask : kUsersReadExecuteMask,
                              usersSid_.get());
    if (!ok) lastError_ = GetLastError();
    return ok;
}
