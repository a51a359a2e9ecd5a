#include <gtest/gtest.h>

#include "core/platform/SystemVersion.h"

TEST(SystemVersion, WineReportsWindows7) {
    DWORD minor = 99;
    EXPECT_EQ(GetOSVersion(&minor), 6u);
    EXPECT_EQ(minor, 1u);
    EXPECT_TRUE(IsVistaOrLater());
}

TEST(SystemVersion, ExpandPath) {
    EXPECT_EQ(ExpandPath(L"C:\\plain\\path"), L"C:\\plain\\path");
    SetEnvironmentVariableW(L"MARLIN_TEST_VAR", L"value");
    EXPECT_EQ(ExpandPath(L"%MARLIN_TEST_VAR%\\x"), L"value\\x");
    EXPECT_EQ(ExpandPath(L"%MARLIN_UNDEFINED_VAR%"), L"%MARLIN_UNDEFINED_VAR%");
    // 519 characters plus the terminator fit the 520-character buffer; one more does not.
    EXPECT_EQ(ExpandPath(std::wstring(519, L'a')), std::wstring(519, L'a'));
    SetEnvironmentVariableW(L"MARLIN_LONG_VAR", std::wstring(300, L'b').c_str());
    EXPECT_EQ(ExpandPath(L"%MARLIN_LONG_VAR%%MARLIN_LONG_VAR%"), L"<Failed to expand path>");
}
