// Registry repairs against the real registry of the test prefix, under keys
// of their own (a made-up product code), so they cannot meet other tests.
#include <winsock2.h>  // before windows.h, which gtest includes
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "core/maintenance/RegistryRepairs.h"
#include "core/platform/ProcessManager.h"
#include "core/platform/RegistryManager.h"
#include "core/util/Log.h"
#include "tests/support/Guids.h"

namespace {

const std::wstring kUninstall = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const std::wstring kUninstall32 = L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

using testsupport::NewGuid;

void CreateKey(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr), ERROR_SUCCESS);
    RegCloseKey(key);
}

// The type and text of a value; REG_NONE when it is missing.
DWORD ReadValue(HKEY root, const std::wstring& path, const wchar_t* name, std::wstring* text = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return REG_NONE;
    wchar_t data[600] = L"";
    DWORD size = sizeof(data) - sizeof(wchar_t);
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size) != ERROR_SUCCESS) {
        type = REG_NONE;
    }
    RegCloseKey(key);
    if (text != nullptr) *text = data;
    return type;
}

std::wstring ReadText(HKEY root, const std::wstring& path) {
    std::wstring text;
    return ReadValue(root, path, nullptr, &text) == REG_SZ ? text : L"?";
}

class UninstallEntry : public ::testing::Test {
protected:
    void SetUp() override {
        productCode_ = NewGuid();
        native_ = kUninstall + productCode_;
        view32_ = kUninstall32 + productCode_;
    }
    void TearDown() override {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, native_.c_str());
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, view32_.c_str());
    }
    std::wstring productCode_, native_, view32_;
};

}  // namespace

TEST_F(UninstallEntry, ThirtyTwoBitViewPathIsPreferred) {
    CreateKey(HKEY_LOCAL_MACHINE, native_);
    EXPECT_EQ(findUninstallEntryFor(productCode_), native_);
    CreateKey(HKEY_LOCAL_MACHINE, view32_);
    EXPECT_EQ(findUninstallEntryFor(productCode_), view32_);
}

TEST_F(UninstallEntry, NoProductMeansNoEntry) {
    EXPECT_EQ(findUninstallEntryFor(productCode_), L"");
    EXPECT_EQ(GetLastLogMessage(), L"RegistryManager: Dock seems to be uninstalled completely.");
    // Without a product code the paths would name the Uninstall key itself.
    EXPECT_EQ(findUninstallEntryFor(L""), L"");
    EXPECT_FALSE(uninstallEntryOkAt(L""));
    EXPECT_FALSE(fixUninstallEntryAt(L""));
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, kUninstall, L"SystemComponent"), static_cast<DWORD>(REG_NONE));
    // The dock's package is not installed in the test prefix.
    EXPECT_EQ(findUninstallEntry(), L"");
}

TEST_F(UninstallEntry, BlankSystemComponentIsWrongUntilFixed) {
    CreateKey(HKEY_LOCAL_MACHINE, native_);
    EXPECT_FALSE(uninstallEntryOkAt(native_));  // missing value
    EXPECT_TRUE(fixUninstallEntryAt(native_));
    EXPECT_EQ(GetLastLogMessage(), L"Dock update detected: fixing registry for uninstaller");
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, native_, L"SystemComponent"), static_cast<DWORD>(REG_DWORD));
    EXPECT_TRUE(uninstallEntryOkAt(native_));

    ASSERT_TRUE(RegistryManager::SetDwordValue(HKEY_LOCAL_MACHINE, native_, L"SystemComponent", 0));  // reads as an empty text
    EXPECT_FALSE(uninstallEntryOkAt(native_));
    EXPECT_TRUE(fixUninstallEntryAt(native_));
    EXPECT_TRUE(uninstallEntryOkAt(native_));
}

TEST_F(UninstallEntry, SetValueIsLeftAlone) {
    CreateKey(HKEY_LOCAL_MACHINE, native_);
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_LOCAL_MACHINE, native_, L"SystemComponent", L"1"));
    LogMessage(std::string("before"));
    EXPECT_TRUE(fixUninstallEntryAt(native_));
    EXPECT_EQ(GetLastLogMessage(), L"before");
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, native_, L"SystemComponent"), static_cast<DWORD>(REG_SZ));
}

TEST(DockOpenCommand, IsRewrittenToTheQuotedDockPath) {
    const std::wstring classKey = L"Software\\Classes\\MarlinDockApplication";
    const std::wstring key = classKey + L"\\shell\\Open\\Command";
    const std::wstring expected = L"\"" + ProcessManager::GetFrontEndExePath() + L"\" \"%1\"";
    const auto removeClass = [&] {
        for (const wchar_t* sub : {L"\\shell\\Open\\Command", L"\\shell\\Open", L"\\shell", L""}) {
            RegDeleteKeyW(HKEY_CURRENT_USER, (classKey + sub).c_str());
        }
    };
    removeClass();
    repairDockOpenCommand();  // a missing key is created
    EXPECT_EQ(ReadText(HKEY_CURRENT_USER, key), expected);

    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, key, L"", L"old.exe %1"));
    repairDockOpenCommand();
    EXPECT_EQ(ReadText(HKEY_CURRENT_USER, key), expected);
    removeClass();
}
