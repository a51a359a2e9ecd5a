// The folder test's judging steps. Wine keeps no DACLs (every folder reports
// its own synthetic list granting Everyone 0x1200a9) and cannot make
// junctions, so the descriptors and reparse buffers here are built in memory.
#include "core/util/Handles.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <cstring>

#include "installer-plugin/FolderRights.h"
#include "installer-plugin/JunctionTarget.h"
#include "tests/support/TestFiles.h"

using folderguard::JudgeSecurityDescriptor;

namespace {
constexpr wchar_t kEveryone[] = L"S-1-1-0";
constexpr wchar_t kUsers[] = L"S-1-5-32-545";
constexpr wchar_t kAdministrators[] = L"S-1-5-32-544";

// An absolute descriptor whose DACL holds the entries added, in order.
class Descriptor {
public:
    Descriptor() {
        InitializeAcl(reinterpret_cast<PACL>(acl_), sizeof(acl_), ACL_REVISION);
        InitializeSecurityDescriptor(&sd_, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorDacl(&sd_, TRUE, reinterpret_cast<PACL>(acl_), FALSE);
    }
    Descriptor& Allow(const wchar_t* sid, DWORD mask) { return Add(sid, mask, true); }
    Descriptor& Deny(const wchar_t* sid, DWORD mask) { return Add(sid, mask, false); }
    PSECURITY_DESCRIPTOR get() { return &sd_; }
    int Judge() {
        DWORD error = 0;
        return JudgeSecurityDescriptor(&sd_, error);
    }

private:
    Descriptor& Add(const wchar_t* text, DWORD mask, bool allow) {
        PSID sid = nullptr;
        EXPECT_TRUE(ConvertStringSidToSidW(text, &sid)) << text;
        marlin::unique_hlocal owned(sid);
        auto* acl = reinterpret_cast<PACL>(acl_);
        EXPECT_TRUE(allow ? AddAccessAllowedAce(acl, ACL_REVISION, mask, sid)
                          : AddAccessDeniedAce(acl, ACL_REVISION, mask, sid));
        return *this;
    }
    alignas(DWORD) BYTE acl_[1024];
    SECURITY_DESCRIPTOR sd_;
};

// Mount-point reparse data: header, name offsets/lengths, then the print name
// and the substitute name, each with a terminator. The print name comes first
// so the substitute name does not sit at offset 0.
std::vector<BYTE> MountPoint(const std::wstring& substitute, DWORD tag = folderguard::kReparseTagMountPoint,
                             const std::wstring& print = L"C:\\Shown") {
    const WORD subBytes = static_cast<WORD>(substitute.size() * 2), printBytes = static_cast<WORD>(print.size() * 2);
    const WORD fields[4] = {static_cast<WORD>(printBytes + 2), subBytes, 0, printBytes};
    const WORD dataLength = static_cast<WORD>(8 + printBytes + 2 + subBytes + 2);
    std::vector<BYTE> data(8 + dataLength, 0);
    std::memcpy(&data[0], &tag, 4);
    std::memcpy(&data[4], &dataLength, 2);
    std::memcpy(&data[8], fields, 8);
    std::memcpy(&data[16], print.data(), printBytes);
    std::memcpy(&data[16 + printBytes + 2], substitute.data(), subBytes);
    return data;
}
}  // namespace

TEST(FolderRights, BroadGroupsThatMayReadArePublic) {
    EXPECT_EQ(Descriptor().Allow(kEveryone, GENERIC_READ | GENERIC_EXECUTE).Judge(), 1);
    EXPECT_EQ(Descriptor().Allow(kUsers, 0x001F01FF).Judge(), 1);  // READ_CONTROL is among the specific rights
    EXPECT_EQ(Descriptor().Allow(L"S-1-5-11", GENERIC_ALL).Judge(), 1);
    EXPECT_EQ(Descriptor().Allow(L"S-1-5-21-1004336348-1177238915-682003330-513", READ_CONTROL).Judge(), 1);
    EXPECT_EQ(Descriptor().Allow(kAdministrators, GENERIC_ALL).Allow(kEveryone, 0x1200a9).Judge(), 1);
}

TEST(FolderRights, NarrowGroupsOrRightsAreNotPublic) {
    EXPECT_EQ(Descriptor().Allow(kEveryone, FILE_READ_DATA).Judge(), 0);
    EXPECT_EQ(Descriptor().Allow(kEveryone, GENERIC_READ).Judge(), 0);
    EXPECT_EQ(Descriptor().Allow(kAdministrators, 0x001F01FF).Judge(), 0);
    EXPECT_EQ(Descriptor().Allow(L"S-1-5-21-1-2-3-5130", GENERIC_ALL).Judge(), 0);  // -513 not at the end
    EXPECT_EQ(Descriptor().Allow(L"S-1-5-21-1-2-3-1013", GENERIC_ALL).Judge(), 0);
    EXPECT_EQ(Descriptor().Judge(), 0);  // empty DACL: nobody may read
}

TEST(FolderRights, DenyEntriesNeitherGrantNorCancel) {
    EXPECT_EQ(Descriptor().Deny(kEveryone, GENERIC_ALL).Judge(), 0);
    EXPECT_EQ(Descriptor().Deny(kEveryone, GENERIC_ALL).Allow(kUsers, GENERIC_READ | GENERIC_EXECUTE).Judge(), 1);
    EXPECT_EQ(Descriptor().Allow(kEveryone, READ_CONTROL).Deny(kEveryone, READ_CONTROL).Judge(), 1);
}

TEST(FolderRights, DescriptorsWithoutAListAndErrorCodes) {
    SECURITY_DESCRIPTOR sd;
    InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION);
    DWORD error = 1234;
    EXPECT_EQ(JudgeSecurityDescriptor(&sd, error), 0);  // no DACL present
    EXPECT_EQ(error, 1234u);
    SetSecurityDescriptorDacl(&sd, TRUE, nullptr, FALSE);  // a null DACL lets everyone in
    EXPECT_EQ(JudgeSecurityDescriptor(&sd, error), 1);

    // A descriptor the system rejects records its error; a judged entry clears it.
    BYTE garbage[sizeof(SECURITY_DESCRIPTOR)] = {0x7F};
    error = 0;
    EXPECT_EQ(JudgeSecurityDescriptor(garbage, error), 0);
    EXPECT_NE(error, 0u);
    Descriptor readable;
    readable.Allow(kEveryone, READ_CONTROL);
    EXPECT_EQ(JudgeSecurityDescriptor(readable.get(), error), 1);
    EXPECT_EQ(error, 0u);
}

TEST(FolderRights, EntryWhoseSidRunsPastItIsIgnored) {
    // An allow entry for Everyone whose size leaves no room for the one
    // sub-authority its SID claims.
    alignas(DWORD) BYTE ace[16] = {ACCESS_ALLOWED_ACE_TYPE, 0, 16, 0, 0, 0, 0x02, 0, 1, 1, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(folderguard::isPublicAce(ace), 0);
    ace[2] = 20;  // the same entry, sized to hold it: Everyone with READ_CONTROL
    alignas(DWORD) BYTE whole[20] = {};
    std::memcpy(whole, ace, 16);
    EXPECT_EQ(folderguard::isPublicAce(whole), 1);
}

TEST(FolderRights, PathsAreJudgedWholeAndAMissingOneKeepsTheError) {
    const std::wstring folder = testsupport::MakeTempFolder(L"fg-path");
    DWORD error = 1338;
    EXPECT_EQ(folderguard::IsPublicPath(folder + L"\\missing", error), 0);
    EXPECT_EQ(error, 1338u);
    EXPECT_EQ(folderguard::IsPublicPath(folder, error), 1);  // Wine's list grants Everyone READ_CONTROL
    EXPECT_EQ(error, 0u);
    // A missing path longer than MAX_PATH is not cut down to an existing parent.
    const std::wstring longer = folder + L"\\" + std::wstring(MAX_PATH, L'm');
    error = 1338;
    EXPECT_EQ(folderguard::IsPublicPath(longer, error), 0);
    EXPECT_EQ(error, 1338u);
}

TEST(JunctionTarget, NamesTheSubstituteTarget) {
    std::wstring target;
    const auto junction = MountPoint(L"\\??\\C:\\Shared");
    ASSERT_TRUE(folderguard::ReadJunctionTarget(junction.data(), static_cast<DWORD>(junction.size()), target));
    EXPECT_EQ(target, L"C:\\Shared");

    const auto volume = MountPoint(L"\\??\\Volume{0b1c}\\");
    ASSERT_TRUE(folderguard::ReadJunctionTarget(volume.data(), static_cast<DWORD>(volume.size()), target));
    EXPECT_EQ(target, L"\\\\?\\Volume{0b1c}\\");

    // Extra bytes after the data, as in the full reparse buffer, do not matter.
    auto padded = MountPoint(L"\\??\\D:\\x");
    padded.resize(16 * 1024, 0xCC);
    ASSERT_TRUE(folderguard::ReadJunctionTarget(padded.data(), static_cast<DWORD>(padded.size()), target));
    EXPECT_EQ(target, L"D:\\x");
}

TEST(JunctionTarget, ShortOrOtherReparseDataIsNotFollowed) {
    std::wstring target = L"unchanged";
    const auto junction = MountPoint(L"\\??\\C:\\Shared");
    for (DWORD size = 0; size < junction.size(); ++size)
        EXPECT_FALSE(folderguard::ReadJunctionTarget(junction.data(), size, target)) << size;

    const auto symlink = MountPoint(L"\\??\\C:\\Shared", 0xA000000C);
    EXPECT_FALSE(folderguard::ReadJunctionTarget(symlink.data(), static_cast<DWORD>(symlink.size()), target));

    auto pastEnd = junction;
    pastEnd[10] = 0xF0;  // substitute name length beyond the data
    EXPECT_FALSE(folderguard::ReadJunctionTarget(pastEnd.data(), static_cast<DWORD>(pastEnd.size()), target));

    const auto embeddedNul = MountPoint(std::wstring(L"\\??\\C:\\Shared\0inner", 19));
    EXPECT_FALSE(folderguard::ReadJunctionTarget(embeddedNul.data(), static_cast<DWORD>(embeddedNul.size()), target));
    EXPECT_EQ(target, L"unchanged");
}
