#include <gtest/gtest.h>

#include "core/apps/air/AirLookup.h"

#include <objbase.h>

#include "core/util/Log.h"
#include "core/util/Text.h"
#include "tests/support/Guids.h"

namespace {

const wchar_t kAirKey[] = L"AIR.InstallerPackage\\shell\\open\\command\\";
const wchar_t kUninstallRoot[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

using testsupport::NewGuid;

void RemoveAirRegistration() {
    RegDeleteKeyW(HKEY_CLASSES_ROOT, L"AIR.InstallerPackage\\shell\\open\\command");
    RegDeleteKeyW(HKEY_CLASSES_ROOT, L"AIR.InstallerPackage\\shell\\open");
    RegDeleteKeyW(HKEY_CLASSES_ROOT, L"AIR.InstallerPackage\\shell");
    RegDeleteKeyW(HKEY_CLASSES_ROOT, L"AIR.InstallerPackage");
}

}  // namespace

TEST(AirLookup, RegisteredCommandsGiveTheirProgramPart) {
    // The shell's form: quoted path, blank, quoted document placeholder.
    EXPECT_EQ(AirInstallerFromOpenCommand(L"\"C:\\Air\\Installer.exe\" \"%1\""), L"\"C:\\Air\\Installer.exe\"");
    EXPECT_EQ(AirInstallerFromOpenCommand(L"C:\\Air\\Installer.exe %1"), L"C:\\Air\\Installer.exe");
    // Without a placeholder nothing of the path is cut off; short texts are safe.
    EXPECT_EQ(AirInstallerFromOpenCommand(L"\"C:\\Air\\Installer.exe\""), L"\"C:\\Air\\Installer.exe\"");
    EXPECT_EQ(AirInstallerFromOpenCommand(L"x"), L"x");
    EXPECT_EQ(AirInstallerFromOpenCommand(L"\"%1\""), L"");

    // Windows quotes msiexec's path, Wine does not; both keep the program only.
    EXPECT_EQ(MsiUninstallerFromCommand(L"\"C:\\Windows\\System32\\msiexec.exe\" /x \"%1\""),
              L"\"C:\\Windows\\System32\\msiexec.exe\"");
    EXPECT_EQ(MsiUninstallerFromCommand(L"C:\\windows\\system32\\msiexec.exe /x \"%1\""),
              L"C:\\windows\\system32\\msiexec.exe");
    EXPECT_EQ(MsiUninstallerFromCommand(L"C:\\WINDOWS\\MSIEXEC.EXE /x \"C:\\a.exe\""), L"C:\\WINDOWS\\MSIEXEC.EXE");
    // No ".exe" at all: nothing, so the uninstall reports the uninstaller missing.
    EXPECT_EQ(MsiUninstallerFromCommand(L"msiexec /x \"%1\""), L"");
    EXPECT_EQ(MsiUninstallerFromCommand(L"\"C:\\tools\\msiexec\" /x"), L"");
}

TEST(AirLookup, InstallerCacheFollowsTheRegistration) {
    // The only test that touches the AIR registration of the shared test
    // prefix, so parallel tests never see it change under them.
    RemoveAirRegistration();
    EXPECT_EQ(RegistryManager::GetAirInstaller(), L"");
    EXPECT_EQ(GetLastLogMessage(), L"Adobe AIR not installed!");

    // An empty cache is looked up again on the next call.
    const std::wstring first = L"\"C:\\Program Files\\Air\\Installer.exe\"";
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CLASSES_ROOT, kAirKey, L"", first + L" \"%1\""));
    EXPECT_EQ(RegistryManager::GetAirInstaller(), first);
    EXPECT_EQ(GetLastLogMessage(), first);

    // A filled cache stays; FindAirInstaller always reads again.
    const std::wstring second = L"\"D:\\Air2\\Installer.exe\"";
    ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_CLASSES_ROOT, kAirKey, L"", second + L" \"%1\""));
    EXPECT_EQ(RegistryManager::GetAirInstaller(), first);
    EXPECT_EQ(RegistryManager::FindAirInstaller(), second);
    EXPECT_EQ(RegistryManager::GetAirInstaller(), second);

    // Removed meanwhile: the fresh read empties the cache too.
    RemoveAirRegistration();
    EXPECT_EQ(RegistryManager::FindAirInstaller(), L"");
    EXPECT_EQ(RegistryManager::GetAirInstaller(), L"");
}

TEST(AirLookup, UninstallerFromWinesRegistration) {
    // The prefix's own registration is Wine's unquoted msiexec command.
    const std::wstring raw = RegistryManager::GetStringValue(
        HKEY_CLASSES_ROOT, L"Msi.Package\\shell\\Uninstall\\command\\", L"");
    ASSERT_FALSE(raw.empty());
    const std::wstring program = RegistryManager::GetMsiUninstaller();
    ASSERT_GE(program.size(), 4u);
    EXPECT_TRUE(EqualsNoCase(program.substr(program.size() - 4), L".exe")) << Narrow(program);
    EXPECT_EQ(raw.compare(0, program.size(), program), 0);
    EXPECT_NE(GetFileAttributesW(program.c_str()), INVALID_FILE_ATTRIBUTES) << Narrow(program);
    EXPECT_EQ(RegistryManager::GetMsiUninstaller(), program);
}

TEST(AirLookup, StartPathFromInstallLocation) {
    struct Case {
        std::wstring location;
        std::wstring path;
    };
    const Case cases[] = {
        {L"D:\\Widgets\\Clock", L"D:\\Widgets\\Clock\\Clock.exe"},
        // Windows Installer locations usually end with a backslash.
        {L"C:\\Program Files\\Foo Widget\\", L"C:\\Program Files\\Foo Widget\\Foo Widget.exe"},
        {L"D:", L""},
        {L"D:\\", L""},
    };
    for (const Case& c : cases) {
        const std::wstring code = NewGuid();
        ASSERT_TRUE(RegistryManager::SetStringValue(HKEY_LOCAL_MACHINE, kUninstallRoot + code, L"InstallLocation",
                                                    c.location));
        EXPECT_EQ(RegistryManager::GetAirAppStartPath(code), c.path) << Narrow(c.location);
        if (c.path.empty()) {
            EXPECT_EQ(GetLastLogMessage(), L"D:");
        }
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, (kUninstallRoot + code).c_str());
    }
    EXPECT_EQ(RegistryManager::GetAirAppStartPath(NewGuid()), L"");
    EXPECT_EQ(GetLastLogMessage(), L"RegistryManager::GetAirAppStartPath Location not found ");
}

TEST(AirLookup, InstalledTestAsksWindowsInstaller) {
    EXPECT_EQ(isAirAppInstalled(L"   ", NewGuid()), 0);
    EXPECT_EQ(GetLastLogMessage(), L"isAirAppInstalled: Argument null or empty.");
    EXPECT_EQ(isAirAppInstalled(L"Clock", L""), 0);
    EXPECT_EQ(GetLastLogMessage(), L"isAirAppInstalled: Second argument missing (Widget OSID) for widgetClock");

    std::wstring code = L"stale";
    // Windows answers 87 for a text that is no upgrade code, Wine 259; either is "not found".
    EXPECT_NE(GetAirAppProductCode(L"not-a-guid", code), static_cast<UINT>(ERROR_SUCCESS));
    EXPECT_EQ(code, L"");
    EXPECT_EQ(GetAirAppProductCode(NewGuid(), code), static_cast<UINT>(ERROR_NO_MORE_ITEMS));
    EXPECT_EQ(GetLastLogMessage(), L"GUID for application is ");

    EXPECT_EQ(isAirAppInstalled(L"Clock", L"not-a-guid"), 0);
    EXPECT_EQ(GetLastLogMessage(), L"isAirAppInstalled: Not Installed Clock");
    EXPECT_EQ(isAirAppInstalled(L"Clock", NewGuid()), 0);
}
