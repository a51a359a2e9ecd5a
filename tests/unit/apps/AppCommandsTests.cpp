#include <gtest/gtest.h>

#include "core/apps/air/AirAppCommands.h"
#include "core/apps/native/NativeAppCommands.h"
#include "core/commands/WidgetRemoval.h"
#include "core/platform/FileManager.h"
#include "core/platform/UserPaths.h"
#include "core/protocol/CommandParsing.h"
#include "core/protocol/PendingReply.h"
#include "core/util/FailureDetail.h"
#include "core/util/Log.h"
#include "core/util/LogTesting.h"
#include "tests/support/Guids.h"

TEST(AppCommands, ValuesThatCannotBeQuotedStartNothing) {
    int result = 1;
    ASSERT_TRUE(HandleAirAppCommand(TokenizeCommand(L"installAirApp 'Clo\"ck' " + testsupport::NewGuid() + L" C:\\a.air"),
                                    result));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(TakePendingReply(), L"AirAppInstallFailed=Clo\"ck");
    EXPECT_EQ(LastLogLineForTest(), L"InstallAirApplication - appId or file can not be passed in quotes.");
    // A trailing backslash would escape the closing quote of the worker's argument.
    EXPECT_FALSE(UpgradeAirApp(L"Clock", testsupport::NewGuid(), "C:\\t\\"));
    EXPECT_EQ(LastLogLineForTest(), L"UpgradeAirApp - arguments can not be passed in quotes.");

    // Native folder names stay one element below the Apps folder.
    EXPECT_EQ(NativeAppFolder(L"Calc 2"), GetModuleDirectory() + L"\\Apps\\Calc 2\\");
    for (const wchar_t* bad : {L"", L"  ", L"..", L"..\\x", L"a/b", L"C:x", L"a\"b", L".. ", L"a*"}) {
        EXPECT_FALSE(IsPlainFolderName(bad)) << bad;
    }
}

TEST(AppCommands, WorkerCommandLines) {
    // Handled even when the values are missing: the worker ends either way.
    EXPECT_TRUE(HandleAirAppUpgradeCommand(L"upgradeAirApp \"Clock\" \"{x}\" "));
    EXPECT_EQ(LastLogLineForTest(), L"Upgrade Air Application Failed: ");
    EXPECT_FALSE(HandleAirAppUpgradeCommand(L"installNativeApp a b c d"));

    // A wrong count or another word is not the elevated copy's.
    EXPECT_FALSE(HandleElevatedNativeAppMSI(L""));
    EXPECT_FALSE(HandleElevatedNativeAppMSI(L"installNativeApp a b c"));
    EXPECT_FALSE(HandleElevatedNativeAppMSI(L"upgradeAirApp a b c"));
    EXPECT_TRUE(HandleElevatedNativeAppMSI(L"uninstallNativeApp Calc " + testsupport::NewGuid()));
    EXPECT_EQ(LastLogLineForTest(), L"MSI Err (elevated): 0");
    EXPECT_TRUE(HandleElevatedNativeAppMSI(L"installNativeApp Calc " + testsupport::NewGuid() + L" C:\\p.msi \"..\""));
    EXPECT_EQ(LastLogLineForTest(), L"MSI Err (elevated): 87");
    EXPECT_TRUE(HandleElevatedNativeAppMSI(L"installNativeApp Calc " + testsupport::NewGuid() + L" C:\\no\\p.msi Calc"));
    EXPECT_NE(LastLogLineForTest(), L"MSI Err (elevated): 0");
}

TEST(AppCommands, SyntaxErrorDetailIsTheCountCheck) {
    // The count check's line is the reply's detail.
    int result = 1;
    EXPECT_TRUE(HandleNativeAppCommand(L"installNativeApp a {b} c", result));
    EXPECT_EQ(result, -2);
    EXPECT_EQ(RecordedFailureDetail(), L"Wrong number of arguments");
    EXPECT_EQ(RemoveWidget(L"A", L" "), -2);
    EXPECT_EQ(RecordedFailureDetail(), L"RemoveWidget: Second argument missing (Widget UID)");
}
