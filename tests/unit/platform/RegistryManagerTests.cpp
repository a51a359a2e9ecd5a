// Runs against the real registry of the throw-away Wine prefix.
#include "core/platform/RegistryManager.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

#include "core/util/Handles.h"
#include "core/util/FailureDetail.h"
#include "core/util/Log.h"
#include "core/util/LogTesting.h"
#include "core/util/Text.h"
#include "tests/support/RegistryView.h"

namespace {

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        key_ = L"Software\\MarlinTests\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               Widen(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { testsupport::DeleteKeyTree(HKEY_CURRENT_USER, key_, testsupport::ProductView(HKEY_CURRENT_USER, key_)); }
    // The stored bytes, read directly.
    std::string Raw(const std::wstring& value) const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, key_.c_str(), 0, KEY_QUERY_VALUE | testsupport::ProductView(HKEY_CURRENT_USER, key_), &key) !=
            ERROR_SUCCESS)
            return "<none>";
        BYTE data[16384];
        DWORD size = sizeof(data);
        const LONG status = RegQueryValueExW(key, value.c_str(), nullptr, nullptr, data, &size);
        RegCloseKey(key);
        return status == ERROR_SUCCESS ? std::string(reinterpret_cast<char*>(data), size) : "<none>";
    }

    std::wstring key_;
};

// A key as a 64-bit program writes and reads it (the 64-bit view; in a
// 32-bit prefix, the only one).
void WritePhysical(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& data) {
    marlin::unique_hkey key;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, key.put(),
                              nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

std::wstring ReadPhysical(HKEY root, const std::wstring& path, const wchar_t* name) {
    marlin::unique_hkey key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS)
        return L"<none>";
    wchar_t data[64] = L"";
    DWORD size = sizeof(data) - sizeof(wchar_t);
    const LONG status = RegQueryValueExW(key.get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    return status == ERROR_SUCCESS ? std::wstring(data) : std::wstring(L"<none>");
}

}  // namespace

TEST_F(Registry, ReadsUpTo259CharactersAndLogsTheSizeOfLongerTexts) {
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, key_ + L"\\a\\b", L"", std::wstring(259, L'a')));
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, key_, L"long", std::wstring(260, L'b')));
    // Missing keys on the way were made; the empty name is the default value.
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_CURRENT_USER, key_ + L"\\a\\b", L""), std::wstring(259, L'a'));
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_CURRENT_USER, key_, L"long"), L"");
    EXPECT_EQ(RecordedFailureDetail(), L"522");  // after "Not enough storage space, required:"
}

// Texts longer than the old 520-character copy buffer are stored whole with
// the byte count of exactly the text and its terminator.
TEST_F(Registry, TextsOfAnyLengthAreWrittenWhole) {
    for (size_t length : {0u, 519u, 520u, 5000u}) {
        const std::wstring text(length, L'x');
        ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, key_, L"v", text)) << length;
        EXPECT_EQ(Raw(L"v"), std::string(reinterpret_cast<const char*>(text.c_str()), 2 * length + 2)) << length;
    }
    ASSERT_TRUE(RegistryManager::SetDwordValue(HKEY_CURRENT_USER, key_, L"n", 0x12345678));
    EXPECT_EQ(Raw(L"n"), std::string("\x78\x56\x34\x12", 4));
}

TEST_F(Registry, DeletionFailuresExplainThemselves) {
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, key_ + L"\\tree\\child", L"v", L"1"));
    EXPECT_TRUE(RegistryManager::DeleteKey(HKEY_CURRENT_USER, key_ + L"\\tree\\child", L"v", true));
    EXPECT_EQ(Raw(L"v"), "<none>");

    // The block carries the registry's own status, not an older error of the thread.
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(RegistryManager::DeleteKey(HKEY_CURRENT_USER, key_ + L"\\tree\\child", L"v", true));
    wchar_t notFound[256] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_FILE_NOT_FOUND, 0,
                   notFound, 256, nullptr);
    EXPECT_EQ(RecordedFailureDetail(),
              L"================================================\nCall to DeleteKey(), returned error: " +
                  std::wstring(notFound));

    // A key with sub-keys stays.
    EXPECT_FALSE(RegistryManager::DeleteKey(HKEY_CURRENT_USER, key_, L"tree", false));
    EXPECT_NE(RecordedFailureDetail().find(L"Call to DeleteKey()"), std::wstring::npos);
    EXPECT_TRUE(RegistryManager::KeyExists(HKEY_CURRENT_USER, key_ + L"\\tree\\child"));
    EXPECT_TRUE(RegistryManager::DeleteKey(HKEY_CURRENT_USER, key_ + L"\\tree", L"child", false));
    EXPECT_FALSE(RegistryManager::KeyExists(HKEY_CURRENT_USER, key_ + L"\\tree\\child"));
}

// HKEY_CURRENT_USER is the profile of the thread's user: what is written there
// shows under that user's SID in HKEY_USERS.
TEST_F(Registry, CurrentUserIsTheThreadUsersProfile) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    char user[256];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, user, sizeof(user), &size));
    CloseHandle(token);
    wchar_t* sid = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user)->User.Sid, &sid));
    const std::wstring userKey = std::wstring(sid) + L"\\" + key_;
    LocalFree(sid);

    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, key_, L"who", L"me"));
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_USERS, userKey, L"who"), L"me");
}

// The product is a 32-bit program: on 64-bit Windows its HKLM\SOFTWARE is
// SOFTWARE\Wow6432Node, where the dock, its installers and earlier versions
// keep their entries. A 64-bit build must read and write exactly there. The
// physical keys are reached through the 64-bit view.
TEST_F(Registry, MachineSoftwareIsWhereThirtyTwoBitProgramsKeepIt) {
    if (!testsupport::RegistryIsRedirected())
        GTEST_SKIP() << "32-bit Windows has a single registry view: nothing is redirected for this 32-bit process";
    const std::wstring leaf = key_.substr(key_.find(L'\\') + 1);  // below Software
    const std::wstring mine = L"SOFTWARE\\" + leaf;
    const std::wstring thirtyTwoBit = L"SOFTWARE\\Wow6432Node\\" + leaf;
    WritePhysical(HKEY_LOCAL_MACHINE, thirtyTwoBit, L"written", L"by a 32-bit program");
    WritePhysical(HKEY_LOCAL_MACHINE, mine + L"\\sub", L"theirs", L"by a 64-bit program");
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_LOCAL_MACHINE, mine, L"written"), L"by a 32-bit program");
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_LOCAL_MACHINE, mine + L"\\sub", L"theirs"), L"");

    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_LOCAL_MACHINE, mine + L"\\sub", L"ours", L"product"));
    EXPECT_EQ(ReadPhysical(HKEY_LOCAL_MACHINE, thirtyTwoBit + L"\\sub", L"ours"), L"product");
    EXPECT_EQ(ReadPhysical(HKEY_LOCAL_MACHINE, mine + L"\\sub", L"ours"), L"<none>");

    EXPECT_TRUE(RegistryManager::DeleteKey(HKEY_LOCAL_MACHINE, mine, L"sub", false));
    EXPECT_EQ(ReadPhysical(HKEY_LOCAL_MACHINE, thirtyTwoBit + L"\\sub", L"ours"), L"<none>");
    EXPECT_EQ(ReadPhysical(HKEY_LOCAL_MACHINE, mine + L"\\sub", L"theirs"), L"by a 64-bit program");  // the other view is left alone

    testsupport::DeleteKeyTree(HKEY_LOCAL_MACHINE, thirtyTwoBit, KEY_WOW64_64KEY);
    testsupport::DeleteKeyTree(HKEY_LOCAL_MACHINE, mine, KEY_WOW64_64KEY);
}

// The classes are one key for both views (as on Windows 7 and later): the
// AIR installer's command a 64-bit installer registers, and the file types
// and application class the service writes, are where programs of either
// width look, whether or not the system keeps a 32-bit classes key of its
// own. Only COM's per-view keys stay apart.
TEST_F(Registry, ClassesAreSharedWithSixtyFourBitPrograms) {
    const std::wstring name = L"MarlinTest" + std::to_wstring(GetCurrentProcessId()) + L"." + Widen(
        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    const std::wstring machine = L"Software\\Classes\\" + name;
    WritePhysical(HKEY_LOCAL_MACHINE, machine + L"\\shell\\open\\command", L"", L"by a 64-bit installer");
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_LOCAL_MACHINE, machine + L"\\shell\\open\\command\\", L""),
              L"by a 64-bit installer");
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_CLASSES_ROOT, name + L"\\shell\\open\\command", L""),
              L"by a 64-bit installer");

    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, machine, L"", L"by the service"));
    EXPECT_EQ(ReadPhysical(HKEY_CURRENT_USER, machine, L""), L"by the service");
    EXPECT_TRUE(RegistryManager::DeleteKey(HKEY_CURRENT_USER, L"Software\\Classes", name, false));
    EXPECT_EQ(ReadPhysical(HKEY_CURRENT_USER, machine, L""), L"<none>");

    const std::wstring clsid = L"Software\\Classes\\CLSID\\{" + name + L"}";
    WritePhysical(HKEY_LOCAL_MACHINE, clsid, L"", L"a 64-bit server");
    if (testsupport::RegistryIsRedirected()) {
        EXPECT_EQ(RegistryManager::GetStringValue(HKEY_LOCAL_MACHINE, clsid, L""), L"") << "COM keeps its views apart";
    }

    testsupport::DeleteKeyTree(HKEY_LOCAL_MACHINE, machine, KEY_WOW64_64KEY);
    testsupport::DeleteKeyTree(HKEY_LOCAL_MACHINE, clsid, KEY_WOW64_64KEY);
}
