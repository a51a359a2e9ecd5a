#include <gtest/gtest.h>

#include "core/apps/air/AirLookup.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"
#include "core/util/LogTesting.h"
#include "tests/support/Guids.h"
#include "tests/support/RegistryView.h"

namespace {

const wchar_t kMachineClasses[] = L"Software\\Classes\\";

void RemoveAirRegistration() {
    for (const wchar_t* key : {L"AIR.InstallerPackage\\shell\\open\\command", L"AIR.InstallerPackage\\shell\\open",
                               L"AIR.InstallerPackage\\shell", L"AIR.InstallerPackage"}) {
        const std::wstring path = std::wstring(kMachineClasses) + key;
        testsupport::DeleteKeyInView(HKEY_LOCAL_MACHINE, path, testsupport::ProductView(HKEY_LOCAL_MACHINE, path));
    }
}

}  // namespace

TEST(AirLookup, RegisteredCommandsGiveTheirProgramPart) {
    // The shell's form: quoted path, blank, quoted placeholder; nothing else is cut off.
    EXPECT_EQ(AirInstallerFromOpenCommand(L"\"C:\\Air\\Installer.exe\" \"%1\""), L"\"C:\\Air\\Installer.exe\"");
    EXPECT_EQ(AirInstallerFromOpenCommand(L"\"C:\\Air\\Installer.exe\""), L"\"C:\\Air\\Installer.exe\"");
    EXPECT_EQ(AirInstallerFromOpenCommand(L"x"), L"x");
    // Windows quotes msiexec's path, Wine does not; both keep the program only.
    EXPECT_EQ(MsiUninstallerFromCommand(L"\"C:\\Windows\\System32\\msiexec.exe\" /x \"%1\""),
              L"\"C:\\Windows\\System32\\msiexec.exe\"");
    EXPECT_EQ(MsiUninstallerFromCommand(L"C:\\WINDOWS\\MSIEXEC.EXE /x \"C:\\a.exe\""), L"C:\\WINDOWS\\MSIEXEC.EXE");
    // No ".exe": nothing, so the uninstall reports the uninstaller missing.
    EXPECT_EQ(MsiUninstallerFromCommand(L"msiexec /x \"%1\""), L"");
    EXPECT_EQ(MsiUninstallerFromCommand(L"\"C:\\tools\\msiexec\" /x"), L"");
}

TEST(AirLookup, InstallerCacheFollowsTheRegistration) {
    // The only test that changes the AIR registration of the shared prefix.
    const std::wstring key = std::wstring(kMachineClasses) + L"AIR.InstallerPackage\\shell\\open\\command\\";
    RemoveAirRegistration();
    EXPECT_EQ(RegistryManager::GetAirInstaller(), L"");
    EXPECT_EQ(LastLogLineForTest(), L"Adobe AIR not installed!");
    // An empty cache is looked up again; a filled one stays until FindAirInstaller reads anew.
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_LOCAL_MACHINE, key, L"", L"\"C:\\A\\I.exe\" \"%1\""));
    EXPECT_EQ(RegistryManager::GetAirInstaller(), L"\"C:\\A\\I.exe\"");
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_LOCAL_MACHINE, key, L"", L"\"D:\\B\\I.exe\" \"%1\""));
    EXPECT_EQ(RegistryManager::GetAirInstaller(), L"\"C:\\A\\I.exe\"");
    EXPECT_EQ(RegistryManager::FindAirInstaller(), L"\"D:\\B\\I.exe\"");
    RemoveAirRegistration();
    EXPECT_EQ(RegistryManager::FindAirInstaller(), L"");
    EXPECT_EQ(RegistryManager::GetAirInstaller(), L"");
}

TEST(AirLookup, ElevatedProgramsComeFromTheMachineRegistration) {
    // On Windows HKEY_CLASSES_ROOT lays the user's own HKCU\Software\Classes
    // over the machine's, so a user-level registration would choose what the
    // service starts elevated. Wine's HKEY_CLASSES_ROOT shows the machine's
    // alone; this process's HKEY_CLASSES_ROOT is mapped onto a user-level key
    // (RegOverridePredefKey) to stand for the merged view.
    const std::wstring user = L"Software\\Classes\\MarlinTest" + testsupport::NewGuid();
    const wchar_t evil[] = L"\"C:\\Users\\Evil.exe\" /x \"%1\"";
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, user + L"\\AIR.InstallerPackage\\shell\\open\\command",
                                                L"", evil));
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CURRENT_USER, user + L"\\Msi.Package\\shell\\Uninstall\\command",
                                                L"", evil));
    marlin::unique_hkey merged;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, user.c_str(), 0,
                            KEY_READ | testsupport::ProductView(HKEY_CURRENT_USER, user), merged.put()),
              ERROR_SUCCESS);
    ASSERT_EQ(RegOverridePredefKey(HKEY_CLASSES_ROOT, merged.get()), ERROR_SUCCESS);
    const std::wstring installer = RegistryManager::FindAirInstaller();
    const std::wstring uninstaller = RegistryManager::FindMsiUninstaller();
    RegOverridePredefKey(HKEY_CLASSES_ROOT, nullptr);
    EXPECT_EQ(installer.find(L"Evil"), std::wstring::npos) << installer;
    EXPECT_EQ(uninstaller.find(L"Evil"), std::wstring::npos) << uninstaller;
    for (const wchar_t* key : {L"\\AIR.InstallerPackage\\shell\\open\\command", L"\\AIR.InstallerPackage\\shell\\open",
                               L"\\AIR.InstallerPackage\\shell", L"\\AIR.InstallerPackage",
                               L"\\Msi.Package\\shell\\Uninstall\\command", L"\\Msi.Package\\shell\\Uninstall",
                               L"\\Msi.Package\\shell", L"\\Msi.Package", L""}) {
        testsupport::DeleteKeyInView(HKEY_CURRENT_USER, user + key,
                                     testsupport::ProductView(HKEY_CURRENT_USER, user + key));
    }
}

TEST(AirLookup, StartPathFromInstallLocation) {
    const std::wstring uninstall = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
    const std::pair<std::wstring, std::wstring> cases[] = {
        {L"D:\\Widgets\\Clock", L"D:\\Widgets\\Clock\\Clock.exe"},
        {L"C:\\Foo Widget\\", L"C:\\Foo Widget\\Foo Widget.exe"},  // Windows Installer's trailing backslash
        {L"D:", L""},
    };
    for (const auto& c : cases) {
        const std::wstring code = testsupport::NewGuid();
        ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_LOCAL_MACHINE, uninstall + code, L"InstallLocation", c.first));
        EXPECT_EQ(RegistryManager::GetAirAppStartPath(code), c.second);
        testsupport::DeleteKeyInView(HKEY_LOCAL_MACHINE, uninstall + code,
                                     testsupport::ProductView(HKEY_LOCAL_MACHINE, uninstall + code));
    }
    EXPECT_EQ(RegistryManager::GetAirAppStartPath(testsupport::NewGuid()), L"");
}

TEST(AirLookup, InstalledTestChecksItsArguments) {
    EXPECT_EQ(isAirAppInstalled(L"   ", testsupport::NewGuid()), 0);
    EXPECT_EQ(LastLogLineForTest(), L"isAirAppInstalled: Argument null or empty.");
    EXPECT_EQ(isAirAppInstalled(L"Clock", L""), 0);
    EXPECT_EQ(LastLogLineForTest(), L"isAirAppInstalled: Second argument missing (Widget OSID) for widgetClock");
    // Windows answers 87 for a text that is no upgrade code, Wine 259: either is "not installed".
    std::wstring code = L"stale";
    EXPECT_NE(GetAirAppProductCode(L"not-a-guid", code), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(code, L"");
    EXPECT_EQ(isAirAppInstalled(L"Clock", L"not-a-guid"), 0);
    EXPECT_EQ(LastLogLineForTest(), L"isAirAppInstalled: Not Installed Clock");
}
