// The dispatcher called directly: result codes, the pending reply text and
// the failure detail the server turns into the reply.
#include <gtest/gtest.h>

#include <string>

#include "core/commands/CommandHandler.h"
#include "core/net/Reply.h"
#include "core/platform/UserPaths.h"
#include "core/util/Log.h"

namespace {

int Dispatch(const std::wstring& message) {
    TakePendingReply();
    return CommandHandler::HandleCommand(message);
}

}  // namespace

TEST(Dispatcher, CommandWordsAreMatchedByPrefix) {
    EXPECT_EQ(Dispatch(L"exitNow"), -7);
    EXPECT_EQ(PeekPendingReply(), L"");
    EXPECT_EQ(Dispatch(L"platformX extra words"), 0);
    EXPECT_EQ(PeekPendingReply(), L"WIN32");
    EXPECT_EQ(Dispatch(L"getCoreVersion 1 2"), 0);
    EXPECT_EQ(PeekPendingReply(), L"CoreVersion=2.06.0");
    EXPECT_EQ(Dispatch(L"getcoreversion"), -2);  // case matters
    EXPECT_EQ(GetLastLogMessage(), L"Unknown command");
}

TEST(Dispatcher, EmptyAndMalformedMessagesAreSyntaxErrors) {
    EXPECT_EQ(Dispatch(L""), -2);
    EXPECT_EQ(GetLastLogMessage(), L"No command found.");
    EXPECT_EQ(Dispatch(L"\"\""), -2);  // only quotes: no words
    EXPECT_EQ(GetLastLogMessage(), L"No command found.");
    EXPECT_EQ(Dispatch(L" "), -2);  // one empty word
    EXPECT_EQ(GetLastLogMessage(), L"Unknown command");
    EXPECT_EQ(Dispatch(L"createUUID now"), -2);
    EXPECT_EQ(GetLastLogMessage(), L"Wrong number of arguments");
    EXPECT_EQ(Dispatch(L"getLocalCountryCode x"), -2);
    EXPECT_EQ(Dispatch(L"removeWidget a"), -2);
}

TEST(Dispatcher, AnswersWithData) {
    EXPECT_EQ(Dispatch(L"userCanAdministerAirApps"), 0);
    EXPECT_EQ(PeekPendingReply(), L"UserCanAdministerAirApps=true");  // Wine's user is an administrator
    EXPECT_EQ(Dispatch(L"getCommonUserDir"), 0);
    EXPECT_EQ(PeekPendingReply(), L"CommonUserDir=" + GetCommonVendorDir());
    EXPECT_EQ(Dispatch(L"createUUID"), 0);
    EXPECT_EQ(PeekPendingReply().size(), 5u + 38u);
}

TEST(Dispatcher, PermissionRepairsStayInsideTheCommonFolder) {
    const std::wstring common = GetCommonVendorDir();
    LogMessage(std::string("marker"));
    EXPECT_EQ(Dispatch(L"fixFilePermissions C:\\Windows\\win.ini"), -2);
    EXPECT_EQ(Dispatch(L"fixDirectoryPermissions \"" + common + L"..\\x\""), -2);
    EXPECT_EQ(GetLastLogMessage(), L"marker");  // refused without a word: the client sees the previous entry

    CreateDirectoryW(common.c_str(), nullptr);
    const std::wstring folder = common + L"repair-test";
    CreateDirectoryW(folder.c_str(), nullptr);
    EXPECT_EQ(Dispatch(L"fixDirectoryPermissions '" + folder + L"'"), 0);
    EXPECT_EQ(PeekPendingReply(), L"DirectoryPermissionsFixed=" + folder);
    RemoveDirectoryW(folder.c_str());
}

TEST(Dispatcher, AssociationsNeedAtLeastOneExtension) {
    LogMessage(std::string("marker"));
    EXPECT_EQ(Dispatch(L"associateFileTypes"), -2);
    EXPECT_EQ(Dispatch(L"unassociateFileTypes"), -2);
    EXPECT_EQ(GetLastLogMessage(), L"marker");
}
