// Registry repairs against the real registry of the test prefix, under keys
// of their own (a made-up product code), so they cannot meet other tests.
#include <winsock2.h>  // before windows.h, which gtest includes
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "core/maintenance/RegistryRepairs.h"
#include "core/platform/RegistryManager.h"
#include "core/util/Log.h"
#include "core/util/LogTesting.h"
#include "tests/support/Guids.h"
#include "tests/support/RegistryView.h"

namespace {

const std::wstring kUninstall = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const std::wstring kUninstall32 = L"SOFTWARE\\Wow6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

using testsupport::ProductView;
using testsupport::NewGuid;

// Keys are made and read where the product sees them.
void CreateKey(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | ProductView(root, path), nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// The type of a value; REG_NONE when it is missing.
DWORD ReadValue(HKEY root, const std::wstring& path, const wchar_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | ProductView(root, path), &key) != ERROR_SUCCESS) return REG_NONE;
    DWORD type = REG_NONE;
    if (RegQueryValueExW(key, name, nullptr, &type, nullptr, nullptr) != ERROR_SUCCESS) type = REG_NONE;
    RegCloseKey(key);
    return type;
}

class UninstallEntry : public ::testing::Test {
protected:
    void SetUp() override {
        productCode_ = NewGuid();
        native_ = kUninstall + productCode_;
        view32_ = kUninstall32 + productCode_;
    }
    void TearDown() override {
        testsupport::DeleteKeyInView(HKEY_LOCAL_MACHINE, native_, ProductView(HKEY_LOCAL_MACHINE, native_));
        testsupport::DeleteKeyInView(HKEY_LOCAL_MACHINE, view32_, ProductView(HKEY_LOCAL_MACHINE, view32_));
    }
    std::wstring productCode_, native_, view32_;
};

}  // namespace

TEST_F(UninstallEntry, ThirtyTwoBitViewPathIsPreferred) {
    CreateKey(HKEY_LOCAL_MACHINE, native_);
    if (testsupport::RegistryIsRedirected()) {
        // The product's SOFTWARE is Wow6432Node: the entry it sees under the
        // ordinary path is the 32-bit one, which the explicit path names too.
        EXPECT_EQ(findUninstallEntryFor(productCode_), view32_);
        return;
    }
    EXPECT_EQ(findUninstallEntryFor(productCode_), native_);
    CreateKey(HKEY_LOCAL_MACHINE, view32_);
    EXPECT_EQ(findUninstallEntryFor(productCode_), view32_);
}

TEST_F(UninstallEntry, NoProductMeansNoEntry) {
    EXPECT_EQ(findUninstallEntryFor(productCode_), L"");
    EXPECT_EQ(LastLogLineForTest(), L"RegistryManager: Dock seems to be uninstalled completely.");
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
    EXPECT_EQ(LastLogLineForTest(), L"Dock update detected: fixing registry for uninstaller");
    EXPECT_EQ(ReadValue(HKEY_LOCAL_MACHINE, native_, L"SystemComponent"), static_cast<DWORD>(REG_DWORD));
    EXPECT_TRUE(uninstallEntryOkAt(native_));

    // 0 reads as an empty text.
    ASSERT_TRUE(RegistryManager::SetDwordValue(HKEY_LOCAL_MACHINE, native_, L"SystemComponent", 0));
    EXPECT_FALSE(uninstallEntryOkAt(native_));
    EXPECT_TRUE(fixUninstallEntryAt(native_));
    EXPECT_TRUE(uninstallEntryOkAt(native_));
}

