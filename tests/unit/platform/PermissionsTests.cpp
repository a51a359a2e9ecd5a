// Wine accepts SetNamedSecurityInfoW but does not keep the list it is given:
// GetFileSecurityW keeps returning Wine's own synthetic list. So the verdict
// on a list is tested on in-memory security descriptors; the repair of real
// files is seen through the command port (tests/e2e).
#include "core/platform/FileManager.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <map>
#include <string>
#include <vector>

#include "core/platform/AllUsersDACL.h"

namespace {

struct AceEntry {
    BYTE type;
    DWORD mask;
    BYTE flags;
    const wchar_t* sid;
};

// A descriptor holding a list made of the given entries.
class Descriptor {
public:
    explicit Descriptor(const std::vector<AceEntry>& aces) : acl_(1024, 0) {
        PACL acl = reinterpret_cast<PACL>(acl_.data());
        InitializeAcl(acl, static_cast<DWORD>(acl_.size()), ACL_REVISION);
        for (const AceEntry& ace : aces) {
            PSID sid = nullptr;
            ConvertStringSidToSidW(ace.sid, &sid);
            if (ace.type == ACCESS_ALLOWED_ACE_TYPE) {
                AddAccessAllowedAceEx(acl, ACL_REVISION, ace.flags, ace.mask, sid);
            } else {
                AddAccessDeniedAceEx(acl, ACL_REVISION, ace.flags, ace.mask, sid);
            }
            LocalFree(sid);
        }
        Init(acl);
    }
    explicit Descriptor(PACL acl, bool present = true) { Init(acl, present); }
    PSECURITY_DESCRIPTOR get() { return &sd_; }

private:
    void Init(PACL acl, bool present = true) {
        InitializeSecurityDescriptor(&sd_, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd_, present, acl, FALSE);
    }
    std::vector<BYTE> acl_;
    SECURITY_DESCRIPTOR sd_;
};

const wchar_t kUsers[] = L"S-1-5-32-545";
const wchar_t kEveryone[] = L"S-1-1-0";
const BYTE kInherit = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
const AceEntry kDeny = {ACCESS_DENIED_ACE_TYPE, 0x000C0000, kInherit, kUsers};
const AceEntry kAllow = {ACCESS_ALLOWED_ACE_TYPE, 0x001301BF, kInherit, kUsers};

}  // namespace

TEST(AllUsersList, DenyThenAllowForUsersSizedExactly) {
    for (bool allowModify : {true, false}) {
        AllUsersDACL dacl;
        ASSERT_TRUE(dacl.build(allowModify));
        PACL acl = dacl.acl();
        ASSERT_EQ(acl->AceCount, 2);
        EXPECT_EQ(acl->AclSize, 24 + 2 * GetLengthSid(dacl.usersSid()));
        wchar_t* sidText = nullptr;
        ASSERT_TRUE(ConvertSidToStringSidW(dacl.usersSid(), &sidText));
        EXPECT_STREQ(sidText, kUsers);
        LocalFree(sidText);
        void* allow = nullptr;
        ASSERT_TRUE(GetAce(acl, 1, &allow));
        EXPECT_EQ(static_cast<ACCESS_ALLOWED_ACE*>(allow)->Mask, allowModify ? 0x001301BFu : 0xA0000000u);
        // The list the repair makes is the one the check accepts; read-only is not.
        EXPECT_EQ(HasExpectedUsersDacl(Descriptor(acl).get()), allowModify);
    }
}

TEST(AllUsersList, VerdictLooksAtEntryTypesAndMasksOnly) {
    EXPECT_TRUE(HasExpectedUsersDacl(Descriptor({kDeny, kAllow}).get()));
    EXPECT_TRUE(HasExpectedUsersDacl(Descriptor({kAllow, kDeny}).get()));  // order does not matter
    EXPECT_TRUE(HasExpectedUsersDacl(
        Descriptor({{ACCESS_DENIED_ACE_TYPE, 0x000C0000, 0, kEveryone}, {ACCESS_ALLOWED_ACE_TYPE, 0x001301BF, 0, kEveryone}})
            .get()));  // SIDs and flags are not compared

    // One more entry of any kind, inherited or not.
    EXPECT_FALSE(HasExpectedUsersDacl(
        Descriptor({kDeny, kAllow, {ACCESS_ALLOWED_ACE_TYPE, 0x1200A9, INHERITED_ACE, kEveryone}}).get()));
    EXPECT_FALSE(HasExpectedUsersDacl(
        Descriptor({kDeny, kAllow, {ACCESS_DENIED_ACE_TYPE, 0x000C0000 | DELETE, INHERITED_ACE, kUsers}}).get()));
    // Full control instead of modify, even with the deny entry.
    EXPECT_FALSE(
        HasExpectedUsersDacl(Descriptor({kDeny, {ACCESS_ALLOWED_ACE_TYPE, 0x001F01FF, kInherit, kUsers}}).get()));
    // Half of the list, or nothing.
    EXPECT_FALSE(HasExpectedUsersDacl(Descriptor({kAllow}).get()));
    EXPECT_FALSE(HasExpectedUsersDacl(Descriptor({kDeny}).get()));
    EXPECT_FALSE(HasExpectedUsersDacl(Descriptor(std::vector<AceEntry>{}).get()));
    // A null list (everyone may do everything) and no list at all.
    EXPECT_FALSE(HasExpectedUsersDacl(Descriptor(nullptr, true).get()));
    EXPECT_FALSE(HasExpectedUsersDacl(Descriptor(nullptr, false).get()));
}

TEST(PermissionRepair, RefusesAPathThroughAReparsePoint) {
    // Wine cannot create junctions, so the walk is given the attributes of
    // an in-memory tree: a junction planted below the vendor folder.
    const std::map<std::wstring, DWORD> tree = {
        {L"C:\\ProgramData", FILE_ATTRIBUTE_DIRECTORY},
        {L"C:\\ProgramData\\Orvex", FILE_ATTRIBUTE_DIRECTORY},
        {L"C:\\ProgramData\\Orvex\\link", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT},
        {L"C:\\ProgramData\\Orvex\\file.txt", FILE_ATTRIBUTE_NORMAL},
    };
    const AttributeLookup lookup = [&tree](const std::wstring& path) {
        const auto found = tree.find(path);
        return found == tree.end() ? INVALID_FILE_ATTRIBUTES : found->second;
    };
    EXPECT_EQ(FirstReparsePoint(L"C:\\ProgramData\\Orvex\\link\\secret", lookup), L"C:\\ProgramData\\Orvex\\link");
    EXPECT_EQ(FirstReparsePoint(L"C:\\ProgramData\\Orvex\\link", lookup), L"C:\\ProgramData\\Orvex\\link");
    // Windows reads '/' and doubled separators as one backslash.
    EXPECT_EQ(FirstReparsePoint(L"C:/ProgramData\\Orvex\\\\link/x", lookup), L"C:\\ProgramData\\Orvex\\link");
    EXPECT_EQ(FirstReparsePoint(L"C:\\ProgramData\\Orvex\\file.txt", lookup), L"");
    EXPECT_EQ(FirstReparsePoint(L"C:\\ProgramData\\Orvex\\new\\deeper", lookup), L"") << "missing parts pass";
}
