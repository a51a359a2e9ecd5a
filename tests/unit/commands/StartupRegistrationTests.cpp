// Against the real registry of the throw-away prefix. The logon entry is one
// value for the whole prefix, so all its cases run in one test.
#include "core/commands/StartupRegistration.h"

#include <gtest/gtest.h>

#include <string>

#include "core/platform/ProcessManager.h"
#include "core/platform/RegistryManager.h"
#include "core/util/Log.h"

namespace {

std::wstring RunValue() { return RegistryManager::GetStringValue(HKEY_CURRENT_USER, kRunKey, kRunValueName); }

// Extensions of this test process only: tests run in parallel in one prefix.
std::wstring Extension(const wchar_t* tag) { return L".mt" + std::to_wstring(GetCurrentProcessId()) + tag; }

std::wstring ClassesKey(const std::wstring& extension) { return L"Software\\Classes\\" + extension; }

std::wstring DefaultOf(const std::wstring& extension) {
    return RegistryManager::GetStringValue(HKEY_CURRENT_USER, ClassesKey(extension), L"");
}

}  // namespace

TEST(StartupEntry, SetKeepsAnEqualEntryAndQuotesTheFrontEndPath) {
    ASSERT_EQ(RegistryManager::GetStringValue(HKEY_LOCAL_MACHINE, kRunKey, kRunValueName), L"");
    const std::wstring quoted = L"\"" + ProcessManager::GetFrontEndExePath() + L"\"";

    RemoveAsStartup();
    EXPECT_TRUE(SetAsStartup());
    EXPECT_EQ(RunValue(), quoted);
    EXPECT_TRUE(SetAsStartup());
    EXPECT_EQ(RunValue(), quoted);

    // The same path without quotes is rewritten with them.
    ASSERT_TRUE(
        RegistryManager::SetStringValue(HKEY_CURRENT_USER, kRunKey, kRunValueName, ProcessManager::GetFrontEndExePath()));
    EXPECT_TRUE(SetAsStartup());
    EXPECT_EQ(RunValue(), quoted);

    EXPECT_TRUE(RemoveAsStartup());
    EXPECT_EQ(RunValue(), L"");
    EXPECT_FALSE(RemoveAsStartup());  // nothing left to remove
    EXPECT_NE(GetLastLogMessage().find(L"Call to DeleteKey(), returned error: "), std::wstring::npos);
}

TEST(FileAssociation, AssociateReplacesOnlyTheDefaultValue) {
    const std::wstring ext = Extension(L"a");
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, ClassesKey(ext), L"", L"OtherApp.Document"));
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, ClassesKey(ext), L"Content Type", L"text/x"));
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, ClassesKey(ext) + L"\\OpenWithList", L"", L"x"));

    EXPECT_TRUE(AssociateFileType(ext));
    EXPECT_EQ(DefaultOf(ext), L"MarlinDockApplication");
    EXPECT_EQ(RegistryManager::GetStringValue(HKEY_CURRENT_USER, ClassesKey(ext), L"Content Type"), L"text/x");
    EXPECT_TRUE(RegistryManager::KeyExists(HKEY_CURRENT_USER, ClassesKey(ext) + L"\\OpenWithList"));

    // A key with sub-keys cannot be deleted in one step: the value stays.
    EXPECT_FALSE(UnassociateFileType(ext));
    EXPECT_EQ(DefaultOf(ext), L"MarlinDockApplication");
    RegistryManager::DeleteKey(HKEY_CURRENT_USER, ClassesKey(ext), L"OpenWithList", false);
    EXPECT_TRUE(UnassociateFileType(ext));
    EXPECT_FALSE(RegistryManager::KeyExists(HKEY_CURRENT_USER, ClassesKey(ext)));

    // A new extension gets its key.
    const std::wstring fresh = Extension(L"b");
    EXPECT_TRUE(AssociateFileType(fresh));
    EXPECT_EQ(DefaultOf(fresh), L"MarlinDockApplication");
    EXPECT_TRUE(UnassociateFileType(fresh));
}

TEST(FileAssociation, UnassociateRemovesAnyProgramAndLeavesUnsetKeys) {
    const std::wstring other = Extension(L"c");
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, ClassesKey(other), L"", L"OtherApp.Document"));
    EXPECT_TRUE(UnassociateFileType(other));
    EXPECT_FALSE(RegistryManager::KeyExists(HKEY_CURRENT_USER, ClassesKey(other)));

    // No key, or a key without a default value: nothing to do.
    EXPECT_TRUE(UnassociateFileType(Extension(L"none")));
    const std::wstring unset = Extension(L"d");
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, ClassesKey(unset), L"Content Type", L"text/x"));
    EXPECT_TRUE(UnassociateFileType(unset));
    EXPECT_TRUE(RegistryManager::KeyExists(HKEY_CURRENT_USER, ClassesKey(unset)));
    RegistryManager::DeleteKey(HKEY_CURRENT_USER, L"Software\\Classes", unset, false);
}

TEST(FileAssociation, AnExtensionNamesOneKeyOnly) {
    const std::wstring base = Extension(L"e");
    for (const std::wstring& bad : {std::wstring(L"."), base + L"\\shell\\open\\command"}) {
        EXPECT_FALSE(AssociateFileType(bad)) << bad;
        EXPECT_EQ(GetLastLogMessage(), L"Invalid file extension: '" + bad + L"'");
        EXPECT_FALSE(UnassociateFileType(bad)) << bad;
    }
    EXPECT_FALSE(RegistryManager::KeyExists(HKEY_CURRENT_USER, ClassesKey(base)));
}
