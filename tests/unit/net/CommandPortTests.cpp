// The command port as the dock sees it: the key handshake and the commands of
// the dispatcher, byte for byte over a real loopback connection under Wine.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <string>

#include "core/app/Authorization.h"
#include "core/net/Server.h"
#include "core/app/PortHandlers.h"
#include "core/platform/UserPaths.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"
#include "core/util/LogTesting.h"
#include "core/util/Text.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestFiles.h"

using testsupport::AcceptNext;
using testsupport::Client;
using testsupport::Pump;

namespace {

class CommandPort : public ::testing::Test {
protected:
    void SetUp() override {
        key_ = getAuthKey();
        ASSERT_EQ(key_.size(), 38u);
        ASSERT_GT(server_.listen(), 0);
        server_.setHandler(&handler_);
    }
    void TearDown() override {
        server_.deinit();
    }
    // The handshake's answer: "authOk", then the attached-device report
    // (no tablets under Wine).
    void ExpectAuthorized(Client& client) {
        EXPECT_EQ(client.readFrame(), "authOk|");
        EXPECT_EQ(client.readFrame(), "CurrentAttachedDevices=|");
    }

    // Connects a client and accepts it; its server-side socket is returned.
    SOCKET Connect(std::unique_ptr<Client>& client) {
        client = std::make_unique<Client>(server_.port());
        return AcceptNext(server_);
    }
    // Sends text and lets the server handle it.
    void Say(Client& client, SOCKET side, const std::string& text) {
        client.send(text);
        Pump(server_, side);
    }

    testsupport::WinsockSession winsock_;
    AttachedTabletList tablets_;
    CommandPortHandler handler_{tablets_};
    Server server_;
    std::string key_;
};

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

TEST_F(CommandPort, KeyThenCommandInOneRead) {
    std::unique_ptr<Client> dock;
    const SOCKET side = Connect(dock);
    Say(*dock, side, "auth " + key_ + "|getCoreVersion|");
    ExpectAuthorized(*dock);
    EXPECT_EQ(dock->readFrame(), "Success CoreVersion=2.06.0|");
    EXPECT_EQ(server_.authorizedSocket(), side);
}

TEST_F(CommandPort, RefusedAttemptsCloseTheClientWithoutReply) {
    const std::string attempts[] = {
        "auth {00000000-0000-0000-0000-000000000000}|",
        "auth " + Lower(key_) + "|",
        "auth " + key_ + " extra|",
        "auth  " + key_ + "|",  // two blanks make an empty word
        "auth '' |",            // an empty key never matches
        "getCoreVersion|",
        "|",
    };
    for (const std::string& attempt : attempts) {
        SCOPED_TRACE(attempt);
        std::unique_ptr<Client> client;
        const SOCKET side = Connect(client);
        ASSERT_NE(side, INVALID_SOCKET);
        Say(*client, side, attempt + "getCoreVersion|");
        EXPECT_TRUE(client->closedByServer());
        EXPECT_FALSE(server_.hasClient(side));
        EXPECT_EQ(server_.authorizedSocket(), INVALID_SOCKET);
    }
}

TEST_F(CommandPort, QuotedKeyAndLongerAuthWordPass) {
    std::unique_ptr<Client> dock;
    const SOCKET side = Connect(dock);
    Say(*dock, side, "authorize '" + key_ + "'|");
    ExpectAuthorized(*dock);
}

TEST_F(CommandPort, OneAuthorizedClientAtATime) {
    std::unique_ptr<Client> first;
    const SOCKET firstSide = Connect(first);
    Say(*first, firstSide, "auth \"" + key_ + "\"|");
    ExpectAuthorized(*first);

    std::unique_ptr<Client> second;
    const SOCKET secondSide = Connect(second);
    Say(*second, secondSide, "auth " + key_ + "|");
    EXPECT_TRUE(second->closedByServer());
    EXPECT_EQ(server_.authorizedSocket(), firstSide);

    server_.handleConnectionLost(firstSide);  // the dock goes away
    std::unique_ptr<Client> third;
    const SOCKET thirdSide = Connect(third);
    Say(*third, thirdSide, "auth " + key_ + "|platform|");
    ExpectAuthorized(*third);
    EXPECT_EQ(third->readFrame(), "Success WIN32|");
}

TEST(Authorization, NoKeyRefusesEverything) {
    EXPECT_FALSE(checkAuthorizationAgainst(L"auth '' ", ""));
    EXPECT_FALSE(checkAuthorizationAgainst(L"auth x", ""));
    EXPECT_TRUE(checkAuthorizationAgainst(L"auth x", "x"));
}

TEST_F(CommandPort, EveryCommandAnswersAsTheDockExpects) {
    std::unique_ptr<Client> dock;
    const SOCKET side = Connect(dock);
    Say(*dock, side, "auth " + key_ + "|");
    ExpectAuthorized(*dock);

    const std::wstring existing = testsupport::MakeTempFolder(L"marlin-exists");
    const std::string existingPath = Narrow(existing);
    const std::string common = Narrow(GetCommonVendorDir());
    const std::string received = "Received [" + std::to_string(server_.port()) + "]: ";
    struct Exchange {
        std::string command;
        std::string reply;  // a reply ending in " - " is compared up to there (the runtime's text follows)
    };
    const Exchange exchanges[] = {
        {"getCoreVersion", "Success CoreVersion=2.06.0|"},
        {"getCoreVersion and more words", "Success CoreVersion=2.06.0|"},
        {"platformX", "Success WIN32|"},
        {"userCanAdministerAirApps", "Success UserCanAdministerAirApps=true|"},
        {"userCanPerformDockUpdate", "Success UserCanPerformDockUpdate=true|"},
        {"userCanPerformDockUpdate now", "SyntaxError Wrong number of arguments - "},
        {"getCommonUserDir", "Success CommonUserDir=" + common + "|"},
        {"createUUID x", "SyntaxError Wrong number of arguments - "},
        {"checkExists \"" + existingPath + "\"", "True|"},
        {"checkExists '" + existingPath + "\\missing'", "False|"},
        {"checkExists  " + existingPath, "SyntaxError Wrong number of arguments - "},
        // Refused without a log line of their own: the detail is the received text.
        {"fixFilePermissions C:\\Windows\\win.ini", "SyntaxError " + received + "fixFilePermissions C:\\Windows\\win.ini - "},
        {"fixDirectoryPermissions " + common + "..\\x", "SyntaxError " + received + "fixDirectoryPermissions " + common + "..\\x - "},
        {"associateFileTypes", "SyntaxError " + received + "associateFileTypes - "},
        {" ", "SyntaxError Unknown command - "},
        {"", "SyntaxError No command found. - "},
        {"exitNow", "QuitAcknowledged|"},
    };
    for (const Exchange& exchange : exchanges) {
        SCOPED_TRACE(exchange.command);
        Say(*dock, side, exchange.command + "|");
        const std::string frame = dock->readFrame();
        if (exchange.reply.size() > 3 && exchange.reply.compare(exchange.reply.size() - 3, 3, " - ") == 0) {
            EXPECT_EQ(frame.substr(0, exchange.reply.size()), exchange.reply);
            EXPECT_EQ(frame.back(), '|');
        } else {
            EXPECT_EQ(frame, exchange.reply);
        }
    }

    Say(*dock, side, "createUUID|");
    EXPECT_TRUE(std::regex_match(dock->readFrame(), std::regex(R"(Success UUID=\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}\|)")));
    Say(*dock, side, "getLocalCountryCode|");
    EXPECT_TRUE(std::regex_match(dock->readFrame(), std::regex(R"(Success LocalCountryCode=[A-Z]{2} ?\|)")));
    RemoveDirectoryW(existing.c_str());
}

namespace {

// Starts tests/fixtures/hostile in a process of its own.
marlin::unique_handle StartHostile(const std::wstring& arguments) {
    std::wstring line = L"\"" + testsupport::BinDir() + L"\\hostile.exe\" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return {};
    CloseHandle(pi.hThread);
    return marlin::unique_handle(pi.hProcess);
}

bool WaitForPath(const std::wstring& path) {
    for (const DWORD start = GetTickCount(); GetTickCount() - start < 15000; Sleep(10))
        if (testsupport::PathExists(path)) return true;
    return false;
}

}  // namespace

// One case, since every write goes to the same file: the format; another
// program holding the file open for reading without write or delete sharing
// (a runtime's default reader, a backup or scanning tool) keeps it from being
// replaced, so the service waits for it a bounded time; a reader polling
// while the service starts again and again (100 starts' worth of key files)
// never sees an empty or partial file.
TEST(KeyFile, IsRewrittenWholeInTheFixedFormatWhateverReadersDo) {
    const std::wstring path = GetUserVendorDir() + L"marlinAuth.key";
    writeKeyFile(3401, 3655, 3512);
    const std::string content = testsupport::ReadBytes(path);
    EXPECT_EQ(content,
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?> \r\n"
              "<root> \r\n"
              "\t<commandPort>3401</commandPort> \r\n"
              "\t<pressurePort>3655</pressurePort> \r\n"
              "\t<airAppsPort>3512</airAppsPort> \r\n"
              "\t<authKey>" + getAuthKey() + "</authKey> \r\n"
              "</root> \r\n");
    writeKeyFile(-1, 3400, 3401);  // rewritten, not appended
    const std::string again = testsupport::ReadBytes(path);
    EXPECT_EQ(again.size(), content.size() - 2);
    EXPECT_NE(again.find("\t<commandPort>-1</commandPort> \r\n"), std::string::npos);

    const std::wstring ready = path + L".ready";
    ASSERT_TRUE(writeKeyFile(3401, 3402, 3403));
    DeleteFileW(ready.c_str());
    marlin::unique_handle holder = StartHostile(L"hold \"" + path + L"\" 1500 \"" + ready + L"\"");
    ASSERT_TRUE(holder);
    ASSERT_TRUE(WaitForPath(ready));
    const DWORD start = GetTickCount();
    EXPECT_TRUE(writeKeyFile(3501, 3502, 3503));
    printf("key file replaced %lu ms after a 1500 ms hold began\n", static_cast<unsigned long>(GetTickCount() - start));
    EXPECT_NE(testsupport::ReadBytes(path).find("<commandPort>3501</commandPort>"), std::string::npos);
    WaitForSingleObject(holder.get(), 15000);

    DeleteFileW(ready.c_str());
    holder = StartHostile(L"hold \"" + path + L"\" 8000 \"" + ready + L"\"");
    ASSERT_TRUE(WaitForPath(ready));
    EXPECT_FALSE(writeKeyFileWithin(3601, 3602, 3603, 300));
    EXPECT_NE(LastLogLineForTest().find(L"marlinAuth.key"), std::wstring::npos);
    TerminateProcess(holder.get(), 0);
    WaitForSingleObject(holder.get(), 15000);
    EXPECT_NE(testsupport::ReadBytes(path).find("<commandPort>3501</commandPort>"), std::string::npos)
        << "the old file is left whole";
    EXPECT_FALSE(testsupport::PathExists(path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp"));
    DeleteFileW(ready.c_str());

    const std::wstring stop = path + L".stop";
    const std::wstring result = path + L".result";
    DeleteFileW(stop.c_str());
    DeleteFileW(result.c_str());
    writeKeyFile(3400, 3401, 3402);
    marlin::unique_handle poller = StartHostile(L"poll \"" + path + L"\" \"" + stop + L"\" \"" + result + L"\"");
    ASSERT_TRUE(poller);
    Sleep(200);
    int written = 0;
    for (int n = 0; n < 100; ++n) written += writeKeyFile(3400 + n, 3500 + n, 3600 + n) ? 1 : 0;
    testsupport::WriteBytes(stop, "stop");
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(poller.get(), 15000));
    const std::string counts = testsupport::ReadBytes(result);
    printf("100 key file writes (%d replaced), reader: %s", written, counts.c_str());
    EXPECT_EQ(100, written);
    EXPECT_NE(counts.find(" empty=0 partial=0 "), std::string::npos) << counts;
    EXPECT_EQ(counts.find("reads=0 "), std::string::npos) << counts;
    DeleteFileW(stop.c_str());
    DeleteFileW(result.c_str());
}
