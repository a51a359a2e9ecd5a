// The dispatcher called directly, for what the socket-level tests of the
// command port do not show: matching details and the repair that succeeds.
#include <gtest/gtest.h>

#include <string>

#include "core/commands/CommandHandler.h"
#include "core/platform/UserPaths.h"
#include "core/protocol/PendingReply.h"
#include "core/protocol/PendingReplyTesting.h"
#include "core/util/FailureDetail.h"
#include "core/util/Log.h"
#include "core/util/LogTesting.h"

namespace {

int Dispatch(const std::wstring& message) {
    TakePendingReply();
    return CommandHandler::HandleCommand(message);
}

}  // namespace

TEST(Dispatcher, MatchingIsByCaseSensitivePrefixOfTheFirstWord) {
    EXPECT_EQ(Dispatch(L"exitNow"), -7);
    EXPECT_EQ(PeekPendingReply(), L"");
    EXPECT_EQ(Dispatch(L"getcoreversion"), -2);
    EXPECT_EQ(RecordedFailureDetail(), L"Unknown command");
    EXPECT_EQ(Dispatch(L"\"\""), -2);  // only quotes: no words at all
    EXPECT_EQ(RecordedFailureDetail(), L"No command found.");
    EXPECT_EQ(Dispatch(L"removeWidget a"), -2);
    EXPECT_EQ(RecordedFailureDetail(), L"Wrong number of arguments");
}

TEST(Dispatcher, PermissionRepairsStayInsideTheCommonFolder) {
    const std::wstring common = GetCommonVendorDir();
    LogFailureDetail(std::string("marker"));
    EXPECT_EQ(Dispatch(L"fixDirectoryPermissions \"" + common + L"..\\x\""), -2);
    EXPECT_EQ(RecordedFailureDetail(), L"marker");  // refused without a word of its own

    CreateDirectoryW(common.c_str(), nullptr);
    const std::wstring folder = common + L"repair-test";
    CreateDirectoryW(folder.c_str(), nullptr);
    EXPECT_EQ(Dispatch(L"fixDirectoryPermissions '" + folder + L"'"), 0);
    EXPECT_EQ(PeekPendingReply(), L"DirectoryPermissionsFixed=" + folder);
    EXPECT_EQ(Dispatch(L"fixFilePermissions '" + folder + L"'"), 0);
    EXPECT_EQ(PeekPendingReply(), L"FilePermissionsFixed=" + folder);
    RemoveDirectoryW(folder.c_str());
}

TEST(Dispatcher, OnlyPlainQueriesAreAnsweredWithoutSendingTheRepliesBefore) {
    // The installers and elevated copies wait for minutes: the replies queued
    // before them must not wait with them.
    // A file test may wait as long on an unreachable share.
    for (const wchar_t* blocking : {L"installAirApp a b", L"installNativeApp a b c", L"update C:\\x",
                                    L"startProcess x", L"\"getCoreVersion\"", L" getCoreVersion",
                                    L"checkExists \\\\server\\share\\x"})
        EXPECT_TRUE(CommandHandler::MayBlock(blocking)) << blocking;
    for (const wchar_t* query : {L"getCoreVersion", L"platform", L""})
        EXPECT_FALSE(CommandHandler::MayBlock(query)) << query;
}
