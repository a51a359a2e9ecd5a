#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "core/commands/SystemQueries.h"
#include "core/platform/RegistryManager.h"
#include "core/util/Log.h"
#include "core/util/LogTesting.h"

TEST(CountryCode, LocationIdsFromTheTable) {
    EXPECT_EQ(CountryCodeForGeoId(244), "US");
    EXPECT_EQ(CountryCodeForGeoId(94), "DE");
    EXPECT_EQ(CountryCodeForGeoId(2), "AG");  // first row
    EXPECT_EQ(CountryCodeForGeoId(7299303), "TL");  // last row, far above the rest
    EXPECT_EQ(CountryCodeForGeoId(348), "SH ");  // the one code with a trailing blank
    for (int id : {12, 304, 313}) EXPECT_EQ(CountryCodeForGeoId(id), "AU") << id;
    for (int id : {13, 0, -244, 353, 7299304}) EXPECT_EQ(CountryCodeForGeoId(id), "XX") << id;
}

// Reads the user's "Nation" value from the throw-away prefix's registry.
TEST(CountryCode, FromTheUsersLocation) {
    const std::wstring key = L"Control Panel\\International\\Geo";
    const std::wstring saved = RegistryManager::GetStringValue(HKEY_CURRENT_USER, key, L"Nation");
    struct Case {
        const wchar_t* nation;
        const char* code;
    };
    for (const Case& c : {Case{L"244", "US"}, Case{L" 94", "DE"}, Case{L"348", "SH "}, Case{L"abc", "XX"},
                          Case{L"0", "XX"}}) {
        ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, key, L"Nation", c.nation));
        EXPECT_EQ(GetLocalCountryCode(), c.code) << c.nation;
    }
    RegistryManager::DeleteKey(HKEY_CURRENT_USER, key, L"Nation", true);
    EXPECT_EQ(GetLocalCountryCode(), "XX");
    EXPECT_EQ(LastLogLineForTest(), L"Can not find Nation value");
    if (!saved.empty()) RegistryManager::SetStringValue(HKEY_CURRENT_USER, key, L"Nation", saved);
}

TEST(SystemQueries, VersionAndFreshGuids) {
    EXPECT_EQ(GetCoreVersion(), L"2.06.0");
    const std::string first = CreateUuid();
    const std::string second = CreateUuid();
    const std::regex form(R"(\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\})");
    EXPECT_TRUE(std::regex_match(first, form)) << first;
    EXPECT_TRUE(std::regex_match(second, form)) << second;
    EXPECT_NE(first, second);
}

TEST(SystemQueries, InsideDirectoryIsATextualPrefixWithoutDotDot) {
    const std::wstring dir = L"C:\\ProgramData\\Orvex\\";
    EXPECT_TRUE(IsInsideDirectory(L"C:\\ProgramData\\Orvex\\a.txt", dir));
    EXPECT_TRUE(IsInsideDirectory(dir, dir));
    EXPECT_FALSE(IsInsideDirectory(L"C:\\ProgramData\\Orvex\\..\\x", dir));
    EXPECT_FALSE(IsInsideDirectory(L"C:\\ProgramData\\Orvex\\a..b", dir));
    EXPECT_FALSE(IsInsideDirectory(L"c:\\programdata\\orvex\\a.txt", dir));
    EXPECT_FALSE(IsInsideDirectory(L"C:\\ProgramData\\Orvex", dir));
}
