#include <gtest/gtest.h>

#include "core/apps/air/AirAppCommands.h"
#include "core/commands/CommandHandler.h"
#include "core/commands/CommandParsing.h"
#include "core/commands/WidgetRemoval.h"
#include "core/net/Reply.h"
#include "core/util/Log.h"
#include "tests/support/Guids.h"

#include <objbase.h>

namespace {

using testsupport::NewGuid;

// Runs one AIR command; returns whether it was handled, with the result and
// the reply it left.
struct Handled {
    bool handled;
    int result;
    std::wstring reply;
};
Handled RunAir(const std::wstring& message) {
    TakePendingReply();
    int result = 12345;
    const bool handled = HandleAirAppCommand(TokenizeCommand(message), result);
    return {handled, result, TakePendingReply()};
}

}  // namespace

TEST(AirAppCommands, WrongArgumentCountsAreSyntaxErrorsWithoutReply) {
    for (const wchar_t* message : {L"isAirAppInstalled Clock", L"installAirApp Clock {x}", L"uninstallAirApp Clock",
                                   L"upgradeAirApp Clock {x} C:\\a.air extra", L"installAirAppX Clock",
                                   L"isAirAppInstalled Clock  {x}"}) {
        const Handled h = RunAir(message);
        EXPECT_TRUE(h.handled) << message;
        EXPECT_EQ(h.result, -2) << message;
        EXPECT_EQ(h.reply, L"") << message;
        EXPECT_EQ(GetLastLogMessage(), L"Wrong number of arguments") << message;
    }
    // Other words are left to the next handler, the result untouched.
    for (const wchar_t* message : {L"installNativeApp a b c d", L"IsAirAppInstalled a b", L"x"}) {
        const Handled h = RunAir(message);
        EXPECT_FALSE(h.handled) << message;
        EXPECT_EQ(h.result, 12345) << message;
    }
}

TEST(AirAppCommands, NotInstalledAnswers) {
    const std::wstring osid = NewGuid();
    Handled h = RunAir(L"isAirAppInstalled Clock " + osid);
    EXPECT_EQ(h.result, 0);
    EXPECT_EQ(h.reply, L"AirAppIsNotInstalled=Clock");

    // Nothing to remove counts as removed, and no tool is started.
    h = RunAir(L"uninstallAirApp Clock " + osid);
    EXPECT_EQ(h.result, 0);
    EXPECT_EQ(h.reply, L"AirAppUninstallStarted=Clock");
    EXPECT_EQ(GetLastLogMessage(), L"UninstallAirApp: Not Installed Clock");

    h = RunAir(L"uninstallAirApp \" \" " + osid);
    EXPECT_EQ(h.reply, L"AirAppUninstallFailed= ");
    EXPECT_EQ(GetLastLogMessage(), L"UninstallAirApp: Argument null or empty.");

    h = RunAir(L"startAirApplication Clock " + osid + L" extra words");
    EXPECT_EQ(h.reply, L"AirAppIsNotStarted=Clock");
    EXPECT_EQ(GetLastLogMessage(), L"StartAirApp: Not Installed Clock");
}

TEST(AirAppCommands, StartWithoutEnoughArguments) {
    Handled h = RunAir(L"startAirApplication Clock");
    EXPECT_EQ(h.result, 0);
    EXPECT_EQ(h.reply, L"AirAppIsNotStarted=Clock");
    EXPECT_EQ(GetLastLogMessage(), L"ProcessManager::StartAirApp - wrong number of argumets. Expected atleast 3, got 2");
    // No appId at all: the failure key names an empty one.
    h = RunAir(L"startAirApplication");
    EXPECT_EQ(h.result, 0);
    EXPECT_EQ(h.reply, L"AirAppIsNotStarted=");
}

TEST(AirAppCommands, BadInstallArgumentsStartNothing) {
    Handled h = RunAir(L"installAirApp Clock \"\" C:\\t\\Clock.air");
    EXPECT_EQ(h.result, 0);
    EXPECT_EQ(h.reply, L"AirAppInstallFailed=Clock");
    EXPECT_EQ(GetLastLogMessage(), L"InstallAirApp: Argument(s) null or empty.");

    // A value that would break out of its quotes on the installer's command line.
    h = RunAir(L"installAirApp 'Clo\"ck' " + NewGuid() + L" C:\\t\\Clock.air");
    EXPECT_EQ(h.reply, L"AirAppInstallFailed=Clo\"ck");
    EXPECT_EQ(GetLastLogMessage(), L"InstallAirApplication - appId or file can not be passed in quotes.");
    h = RunAir(L"upgradeAirApp Clock " + NewGuid() + L" C:\\t\\");
    EXPECT_EQ(h.reply, L"AirAppUpgradeFailed=Clock");
    EXPECT_EQ(GetLastLogMessage(), L"UpgradeAirApp - arguments can not be passed in quotes.");
}

TEST(AirAppCommands, InstallerAndUninstallerArguments) {
    std::wstring arguments;
    BuildAirInstallerArguments(L"Clock", L"C:\\t\\Clock.air", arguments);
    EXPECT_EQ(arguments,
              L"-silent -eulaAccepted -location \"C:\\Program Files\\Marlin Dock\\Apps\\\\Clock\" \"C:\\t\\Clock.air\"");
    BuildUninstallArguments(L"{A}", arguments);
    EXPECT_EQ(arguments, L"/quiet /qn /norestart /x  {A}");
}

TEST(AirAppCommands, UpgradeWorkerRecognisesItsCommandLine) {
    EXPECT_FALSE(HandleAirAppUpgradeCommand(L""));
    EXPECT_EQ(GetLastLogMessage(), L"HandleAirAppUpgradeCommand: No command found.");
    EXPECT_FALSE(HandleAirAppUpgradeCommand(L"installNativeApp a b c d"));
    EXPECT_FALSE(HandleAirAppUpgradeCommand(L"Fixer"));
    // Handled even when the values are missing: the worker ends either way.
    EXPECT_TRUE(HandleAirAppUpgradeCommand(L"upgradeAirApp \"Clock\" \"{x}\" "));
    EXPECT_EQ(GetLastLogMessage(), L"Upgrade Air Application Failed: ");
}

TEST(WidgetRemoval, BlankArgumentsAreSyntaxErrors) {
    EXPECT_EQ(CommandHandler::HandleCommand(L"removeWidget \"  \" B"), -2);
    EXPECT_EQ(GetLastLogMessage(), L"RemoveWidget: Argument null or empty.");
    EXPECT_EQ(RemoveWidget(L"A", L" "), -2);
    EXPECT_EQ(GetLastLogMessage(), L"RemoveWidget: Second argument missing (Widget UID)");
    EXPECT_EQ(CommandHandler::HandleCommand(L"removeWidget A"), -2);
    EXPECT_EQ(GetLastLogMessage(), L"Wrong number of arguments");
}
