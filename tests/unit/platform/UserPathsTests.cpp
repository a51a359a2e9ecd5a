#include "core/platform/UserPaths.h"

#include <gtest/gtest.h>
#include <shlobj.h>

#include <string>

TEST(UserPaths, ProgramFolderAndVendorFolders) {
    const std::wstring module = GetModulePath();
    const std::wstring directory = GetModuleDirectory();
    ASSERT_FALSE(directory.empty());
    EXPECT_EQ(module, directory + L"\\unit_platform.exe");
    EXPECT_EQ(GetModuleDirectory(), directory);

    const std::wstring common = GetSpecialFolder(CSIDL_COMMON_APPDATA);
    const std::wstring roaming = GetSpecialFolder(CSIDL_APPDATA);
    ASSERT_FALSE(common.empty());
    ASSERT_FALSE(roaming.empty());
    EXPECT_EQ(GetCommonVendorDir(), common + L"\\Orvex\\");
    EXPECT_EQ(GetUserVendorDir(), roaming + L"\\Orvex\\");
    EXPECT_EQ(GetSpecialFolder(0x7F), L"");  // no such folder
}

// Wine runs every program with a full administrator token.
TEST(UserPaths, AdministratorUnderWine) { EXPECT_TRUE(IsUserAdmin()); }
