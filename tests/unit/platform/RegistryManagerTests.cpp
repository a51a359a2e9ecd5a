// Runs against the real registry of the throw-away Wine prefix.
#include "core/platform/RegistryManager.h"

#include <gtest/gtest.h>
#include <sddl.h>

#include <string>

#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

const std::wstring kBase = L"Software\\MarlinTests\\Registry";

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        key_ = kBase + L"\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               Widen(::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { RegDeleteTreeOrKey(HKEY_CURRENT_USER, key_); }

    static void RegDeleteTreeOrKey(HKEY root, const std::wstring& path) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_ALL_ACCESS, &k) != ERROR_SUCCESS) return;
        wchar_t name[256];
        DWORD length = 256;
        while (RegEnumKeyExW(k, 0, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS) {
            RegDeleteTreeOrKey(k, name);
            length = 256;
        }
        RegCloseKey(k);
        RegDeleteKeyW(root, path.c_str());
    }

    // What is stored, read directly: type and raw bytes.
    static bool ReadRaw(HKEY root, const std::wstring& path, const std::wstring& name, DWORD& type, std::string& data) {
        HKEY k = nullptr;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return false;
        DWORD size = 0;
        LONG status = RegQueryValueExW(k, name.c_str(), nullptr, &type, nullptr, &size);
        data.assign(size, '\0');
        if (status == ERROR_SUCCESS && size > 0) {
            status = RegQueryValueExW(k, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size);
        }
        RegCloseKey(k);
        return status == ERROR_SUCCESS;
    }

    std::wstring key_;
};

}  // namespace

TEST_F(Registry, ReadsUpTo259CharactersAndLogsTheSizeOfLongerTexts) {
    const std::wstring fits(259, L'a');
    const std::wstring tooLong(260, L'b');
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, key_, L"fits", fits));
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, key_, L"long", tooLong));

    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_CURRENT_USER, key_, L"fits"), fits);
    LogMessage(std::string("marker"));
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_CURRENT_USER, key_, L"long"), L"");
    EXPECT_EQ(GetLastLogMessage(), L"522");  // after "Not enough storage space, required:"

    LogMessage(std::string("marker"));
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_CURRENT_USER, key_, L"absent"), L"");
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_CURRENT_USER, key_ + L"\\absent", L"x"), L"");
    EXPECT_EQ(GetLastLogMessage(), L"marker");  // a missing key or value is not logged
}

TEST_F(Registry, DefaultValuesAndStoredLayout) {
    const std::wstring deep = key_ + L"\\a\\b\\c";
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, deep, L"", L"default text"));
    EXPECT_TRUE(RegistryManager::KeyExists(HKEY_CURRENT_USER, key_ + L"\\a\\b"));
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_CURRENT_USER, deep, L""), L"default text");
    // A trailing backslash names the same key.
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_CURRENT_USER, deep + L"\\", L""), L"default text");

    DWORD type = 0;
    std::string raw;
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, key_, L"empty", L""));
    ASSERT_TRUE(ReadRaw(HKEY_CURRENT_USER, key_, L"empty", type, raw));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(raw, std::string(2, '\0'));  // just the terminator

    ASSERT_TRUE(RegistryManager::SetDwordValue(HKEY_CURRENT_USER, key_ + L"\\n", L"number", 0x12345678));
    ASSERT_TRUE(ReadRaw(HKEY_CURRENT_USER, key_ + L"\\n", L"number", type, raw));
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(raw, std::string("\x78\x56\x34\x12", 4));

    // A number read as text: whatever is stored is taken as UTF-16.
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_CURRENT_USER, key_ + L"\\n", L"number"), L"\x5678\x1234");
}

TEST_F(Registry, LongTextsAreWrittenWholeWithTheirOwnByteCount) {
    for (size_t length : {519u, 520u, 700u, 5000u}) {
        const std::wstring text(length, L'x');
        ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, key_, L"long", text)) << length;
        DWORD type = 0;
        std::string raw;
        ASSERT_TRUE(ReadRaw(HKEY_CURRENT_USER, key_, L"long", type, raw));
        ASSERT_EQ(raw.size(), 2 * length + 2) << length;
        EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(raw.data()), length), text);
        EXPECT_EQ(raw.substr(2 * length), std::string(2, '\0'));
    }
}

TEST_F(Registry, DeleteValuesAndKeys) {
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, key_ + L"\\leaf", L"v", L"1"));
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, key_ + L"\\tree\\child", L"v", L"1"));

    EXPECT_TRUE(RegistryManager::DeleteKey(HKEY_CURRENT_USER, key_ + L"\\leaf", L"v", true));
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_CURRENT_USER, key_ + L"\\leaf", L"v"), L"");

    // A missing value: the block names the call and explains this failure.
    EXPECT_FALSE(RegistryManager::DeleteKey(HKEY_CURRENT_USER, key_ + L"\\leaf", L"v", true));
    std::wstring detail = GetLastLogMessage();
    EXPECT_NE(detail.find(L"Call to DeleteKey(), returned error: "), std::wstring::npos) << detail;
    wchar_t notFound[256] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_FILE_NOT_FOUND, 0,
                   notFound, 256, nullptr);
    EXPECT_NE(detail.find(notFound), std::wstring::npos) << detail;

    // A key with sub-keys stays.
    SetLastError(0);
    EXPECT_FALSE(RegistryManager::DeleteKey(HKEY_CURRENT_USER, key_, L"tree", false));
    EXPECT_NE(GetLastLogMessage().find(L"Call to DeleteKey()"), std::wstring::npos);
    EXPECT_TRUE(RegistryManager::KeyExists(HKEY_CURRENT_USER, key_ + L"\\tree\\child"));

    EXPECT_TRUE(RegistryManager::DeleteKey(HKEY_CURRENT_USER, key_ + L"\\tree", L"child", false));
    EXPECT_TRUE(RegistryManager::DeleteKey(HKEY_CURRENT_USER, key_, L"tree", false));
    EXPECT_FALSE(RegistryManager::KeyExists(HKEY_CURRENT_USER, key_ + L"\\tree"));

    // The parent key missing altogether.
    EXPECT_FALSE(RegistryManager::DeleteKey(HKEY_CURRENT_USER, key_ + L"\\none", L"x", true));
    EXPECT_NE(GetLastLogMessage().find(L"Call to DeleteKey()"), std::wstring::npos);
}

// HKEY_CURRENT_USER is the profile of the thread's user: what is written there
// shows under that user's SID in HKEY_USERS.
TEST_F(Registry, CurrentUserIsTheThreadUsersProfile) {
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    char buffer[256];
    DWORD size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size));
    CloseHandle(token);
    wchar_t* sid = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, &sid));
    const std::wstring userKey = std::wstring(sid) + L"\\" + key_;
    LocalFree(sid);

    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, key_, L"who", L"me"));
    EXPECT_TRUE(RegistryManager::KeyExists(HKEY_USERS, userKey));
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_USERS, userKey, L"who"), L"me");
    EXPECT_TRUE(RegistryManager::KeyExists(HKEY_CURRENT_USER, key_));
    EXPECT_FALSE(RegistryManager::KeyExists(HKEY_CURRENT_USER, key_ + L"\\absent"));
}

TEST_F(Registry, OtherRootsAreUsedAsTheyAre) {
    const std::wstring machineKey = L"Software\\MarlinTests\\Machine" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_LOCAL_MACHINE, machineKey, L"v", L"machine"));
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_LOCAL_MACHINE, machineKey, L"v"), L"machine");
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_CURRENT_USER, machineKey, L"v"), L"");
    EXPECT_TRUE(RegistryManager::DeleteKey(HKEY_LOCAL_MACHINE, L"Software\\MarlinTests",
                                           L"Machine" + std::to_wstring(GetCurrentProcessId()), false));
    EXPECT_FALSE(RegistryManager::KeyExists(HKEY_LOCAL_MACHINE, machineKey));
}
