#include <gtest/gtest.h>

#include "core/apps/native/NativeAppCommands.h"
#include "core/net/Reply.h"
#include "core/platform/UserPaths.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"
#include "tests/support/Guids.h"
#include "tests/support/TestFiles.h"

#include <objbase.h>

namespace {

using testsupport::NewGuid;

struct Handled {
    bool handled;
    int result;
    std::wstring reply;
};
Handled RunNative(const std::wstring& message) {
    TakePendingReply();
    int result = 12345;
    const bool handled = HandleNativeAppCommand(message, result);
    return {handled, result, TakePendingReply()};
}

std::wstring OwnExeName() {
    std::wstring path = GetModulePath();
    return path.substr(path.rfind(L'\\') + 1);
}

}  // namespace

TEST(NativeAppCommands, WrongCountsAndUnknownWords) {
    for (const wchar_t* message : {L"installNativeApp a {b} c", L"uninstallNativeApp a", L"upgradeNativeApp a b c d e",
                                   L"isNativeAppInstalledX a", L"stopNativeApplication a b",
                                   L"userCanAdministerNativeApps now"}) {
        const Handled h = RunNative(message);
        EXPECT_TRUE(h.handled) << message;
        EXPECT_EQ(h.result, -2) << message;
        EXPECT_EQ(h.reply, L"") << message;
        // Nothing is logged after the count check: it is the reply's detail.
        EXPECT_EQ(GetLastLogMessage(), L"Wrong number of arguments") << message;
    }
    const Handled h = RunNative(L"getSomething a");
    EXPECT_FALSE(h.handled);
    EXPECT_EQ(h.result, 12345);
    EXPECT_EQ(GetLastLogMessage(), L"MSI Err: 0");

    const Handled admin = RunNative(L"userCanAdministerNativeApps");
    EXPECT_EQ(admin.result, 0);
    EXPECT_EQ(admin.reply, L"UserCanAdministerNativeApps=true");  // Wine's user is always an administrator
}

TEST(NativeAppCommands, AnswersWhenNoProductIsInstalled) {
    const std::wstring code = NewGuid();
    struct Case {
        std::wstring message;
        std::wstring reply;
    };
    const Case cases[] = {
        {L"uninstallNativeApp Calc " + code, L"NativeAppUninstallStarted=Calc"},
        {L"upgradeNativeApp Calc " + code + L" C:\\p.msi Calc", L"NativeAppUpgradeFailed=Calc"},
        {L"isNativeAppInstalled Calc " + code, L"NativeAppIsNotInstalled=Calc"},
        {L"startNativeApplication Calc " + code + L" \"\" Calc.exe", L"NativeAppIsNotStarted=Calc"},
        {L"isNativeAppInstalled Calc not-a-code", L"NativeAppIsNotInstalled=Calc"},
    };
    for (const Case& c : cases) {
        const Handled h = RunNative(c.message);
        EXPECT_EQ(h.result, 0) << c.message.c_str();
        EXPECT_EQ(h.reply, c.reply);
        EXPECT_EQ(GetLastLogMessage(), L"MSI Err: 0");
    }
    std::vector<std::wstring> products{L"kept"};
    EXPECT_EQ(FindAllProducts(code, products), 0);
    EXPECT_EQ(products.size(), 1u);
}

TEST(NativeAppCommands, RunningTestAndStopByExecutableName) {
    EXPECT_EQ(RunNative(L"isNativeAppRunning Me x " + OwnExeName()).reply, L"NativeAppIsRunning=Me");
    EXPECT_EQ(RunNative(L"isNativeAppRunning Me x NoSuchProgram.exe").reply, L"NativeAppIsNotRunning=Me");
    // Not running counts as stopped.
    EXPECT_EQ(RunNative(L"stopNativeApplication Me x NoSuchProgram.exe").reply, L"NativeAppIsStopped=Me");

    // A program of a name of its own, started here and stopped through the command.
    const std::wstring folder = testsupport::MakeTempFolder(L"native-stop");
    const std::wstring name = L"StopMe" + std::to_wstring(GetCurrentProcessId()) + L".exe";
    const std::wstring exe = folder + L"\\" + name;
    ASSERT_TRUE(CopyFileW((testsupport::BinDir() + L"\\MarlinTestApp.exe").c_str(), exe.c_str(), FALSE));
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    std::wstring commandLine = L"\"" + exe + L"\"";
    ASSERT_TRUE(CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    marlin::unique_handle process(pi.hProcess), thread(pi.hThread);

    EXPECT_EQ(RunNative(L"isNativeAppRunning Me x " + name).reply, L"NativeAppIsRunning=Me");
    EXPECT_EQ(RunNative(L"stopNativeApplication Me x " + name).reply, L"NativeAppIsStopped=Me");
    EXPECT_EQ(WaitForSingleObject(process.get(), 10000), WAIT_OBJECT_0);
    EXPECT_EQ(RunNative(L"isNativeAppRunning Me x " + name).reply, L"NativeAppIsNotRunning=Me");
    DeleteFileW(exe.c_str());
    DeleteFileW((exe + L".started").c_str());
    RemoveDirectoryW(folder.c_str());
}

TEST(NativeAppCommands, FolderNamesStayInsideTheAppsFolder) {
    EXPECT_EQ(NativeAppFolder(L"Calc"), GetModuleDirectory() + L"\\Apps\\Calc\\");
    EXPECT_TRUE(IsPlainFolderName(L"Calc 2"));
    for (const wchar_t* bad : {L"", L"  ", L".", L"..", L"..\\x", L"a/b", L"C:x", L"a\"b"}) {
        EXPECT_FALSE(IsPlainFolderName(bad)) << bad;
    }
    const Handled h = RunNative(L"installNativeApp Calc " + NewGuid() + L" C:\\p.msi ..\\..\\Windows");
    EXPECT_EQ(h.reply, L"NativeAppInstallFailed=Calc");
}

TEST(NativeAppCommands, ElevatedCopyRecognisesItsCommandLines) {
    EXPECT_FALSE(HandleElevatedNativeAppMSI(L""));
    EXPECT_EQ(GetLastLogMessage(), L"HandleElevatedNativeAppMSI: No command found.");
    // A wrong count or another word is not this mode's.
    EXPECT_FALSE(HandleElevatedNativeAppMSI(L"installNativeApp a b c"));
    EXPECT_FALSE(HandleElevatedNativeAppMSI(L"upgradeAirApp a b c"));

    EXPECT_TRUE(HandleElevatedNativeAppMSI(L"uninstallNativeApp Calc " + NewGuid()));
    EXPECT_EQ(GetLastLogMessage(), L"MSI Err (elevated): 0");
    EXPECT_TRUE(HandleElevatedNativeAppMSI(L"installNativeApp Calc " + NewGuid() + L" C:\\p.msi \"..\""));
    EXPECT_EQ(GetLastLogMessage(), L"MSI Err (elevated): 87");
    // A package that is not there: Windows Installer's own status.
    EXPECT_TRUE(HandleElevatedNativeAppMSI(L"installNativeApp Calc " + NewGuid() + L" C:\\missing\\p.msi Calc"));
    EXPECT_NE(GetLastLogMessage(), L"MSI Err (elevated): 0");
}
