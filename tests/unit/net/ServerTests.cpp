// A Server on a real loopback listener under Wine, with clients in the same
// process. The tests pump the server's events themselves.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/app/Authorization.h"
#include "core/app/PortHandlers.h"
#include "core/net/BufferBudget.h"
#include "core/net/Limits.h"
#include "core/net/PressureServer.h"
#include "core/net/Server.h"
#include "core/protocol/PendingReply.h"
#include "core/util/FailureDetail.h"
#include "core/util/Log.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestLog.h"

using testsupport::AcceptNext;
using testsupport::Client;
using testsupport::Pump;

namespace {

// Records every message and answers with scripted result codes (0 when the
// script has run out); "0" results reply with the scripted pending text.
class ScriptedServer : public Server, private PortHandler {
public:
    // A small message limit, so the long-message rules need little traffic.
    static constexpr size_t kLimit = 2000;
    ScriptedServer() : Server(AuthMode::None, kLimit) { setHandler(this); }
    std::vector<std::wstring> messages;
    std::vector<int> results;
    std::wstring pendingText;
    std::function<void(const std::wstring&)> onMessage;
    std::wstring blocking;  // the message whose handler may block

private:
    bool mayBlock(const std::wstring& message) override { return !blocking.empty() && message == blocking; }
    int handleMessage(Server&, SOCKET, const std::wstring& message) override {
        messages.push_back(message);
        if (onMessage) onMessage(message);
        const int result = messages.size() <= results.size() ? results[messages.size() - 1] : 0;
        if (result == 0) SetPendingReply(pendingText);
        if (result == -1) LogFailureDetail(std::string("it broke"));
        return result;
    }
};

class ServerSockets : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(server_.listen(), 0);
        client_ = std::make_unique<Client>(server_.port());
        ASSERT_TRUE(client_->connected());
        serverSide_ = AcceptNext(server_);
        ASSERT_NE(serverSide_, INVALID_SOCKET);
    }
    void TearDown() override { server_.deinit(); }

    int SendAndPump(const std::string& bytes) {
        EXPECT_TRUE(client_->send(bytes));
        return Pump(server_, serverSide_);
    }

    testsupport::WinsockSession winsock_;
    ScriptedServer server_;
    std::unique_ptr<Client> client_;
    SOCKET serverSide_ = INVALID_SOCKET;
};

}  // namespace

TEST_F(ServerSockets, MessagesAreJoinedAcrossReadsAndCleanedOfLineBreaks) {
    EXPECT_EQ(SendAndPump("getCo"), -8);  // no delimiter yet: nothing handled
    EXPECT_TRUE(server_.messages.empty());
    SendAndPump("re\rVer\nsion|two\r\n||");
    EXPECT_EQ(server_.messages, (std::vector<std::wstring>{L"getCoreVersion", L"two", L""}));
    // Exactly one full read buffer, then a longer message over several reads.
    SendAndPump(std::string(511, 'a') + "|" + std::string(1500, 'b') + "|");
    ASSERT_EQ(server_.messages.size(), 5u);
    EXPECT_EQ(server_.messages[3], std::wstring(511, L'a'));
    EXPECT_EQ(server_.messages[4], std::wstring(1500, L'b'));
}

TEST_F(ServerSockets, Utf8CharacterSplitBetweenReadsIsDecodedWhole) {
    SendAndPump("caf\xC3");
    SendAndPump("\xA9|");
    SendAndPump("smile \xF0\x9F");
    SendAndPump("\x98");
    SendAndPump("\x80|");
    EXPECT_EQ(server_.messages, (std::vector<std::wstring>{L"caf\u00E9", L"smile \xD83D\xDE00"}));
}

TEST_F(ServerSockets, ResultCodesBecomeReplies) {
    server_.results = {0, -9, -10, -1, -2, 5, 0};
    server_.pendingText = L"Key=value";
    EXPECT_EQ(SendAndPump("a|b|c|d|e|f|g|"), 0);
    EXPECT_EQ(client_->readFrame(), "Success Key=value|");
    EXPECT_EQ(client_->readFrame(), "True|");
    EXPECT_EQ(client_->readFrame(), "False|");
    EXPECT_EQ(client_->readFrame().rfind("Failure it broke - ", 0), 0u);
    // Without a log line of its own, the syntax error carries the message's own "Received" line.
    const std::string syntaxError = client_->readFrame();
    EXPECT_EQ(syntaxError.rfind("SyntaxError Received [" + std::to_string(server_.port()) + "]: e - ", 0), 0u);
    EXPECT_EQ(syntaxError.find('|'), syntaxError.size() - 1);
    EXPECT_EQ(client_->readFrame(), "Success Key=value|");  // the code 5 got no reply
    EXPECT_TRUE(client_->quiet());
}

TEST_F(ServerSockets, RepliesAreLatin1) {
    server_.pendingText = L"caf\u00E9 \u20AC5";
    SendAndPump("x|");
    EXPECT_EQ(client_->readFrame(), "Success caf\xE9 ?5|");
}

TEST_F(ServerSockets, QuitInTheMiddleOfABatchDropsTheRest) {
    server_.results = {0, -7, 0};
    EXPECT_EQ(SendAndPump("a|b|c|"), -7);
    EXPECT_EQ(server_.messages, (std::vector<std::wstring>{L"a", L"b"}));
    EXPECT_EQ(client_->readFrame(), "Success |");
    EXPECT_EQ(client_->readFrame(), "QuitAcknowledged|");
    EXPECT_TRUE(client_->quiet());
    EXPECT_TRUE(server_.hasClient(serverSide_));  // the window procedure closes it
}

TEST_F(ServerSockets, RestartForUpdateSendsTheEarlierRepliesThenClosesClientAndListener) {
    server_.results = {0, -6, 0};
    EXPECT_EQ(SendAndPump("first|update x|more|"), -6);
    EXPECT_EQ(server_.messages.size(), 2u);
    EXPECT_EQ(client_->readFrame(), "Success |");
    EXPECT_TRUE(client_->closedByServer());
    EXPECT_EQ(server_.listenSocket(), INVALID_SOCKET);
}

TEST_F(ServerSockets, OverLongMessageIsAnsweredAndSkippedAndTheClientStays) {
    const std::string limitReply = "Failure Message too long, the limit is 2000 bytes - ";
    // Past the limit within one read, and past it over several reads.
    SendAndPump("first|" + std::string(ScriptedServer::kLimit + 1, 'x') + "|second|");
    SendAndPump(std::string(ScriptedServer::kLimit - 1, 'y'));
    SendAndPump(std::string(5, 'y'));
    SendAndPump(std::string(3000, 'y'));
    SendAndPump("yyy|third|" + std::string(ScriptedServer::kLimit, 'z') + "|");
    EXPECT_EQ(server_.messages, (std::vector<std::wstring>{L"first", L"second", L"third",
                                                           std::wstring(ScriptedServer::kLimit, L'z')}));
    for (const char* reply : {"Success |", limitReply.c_str(), "Success |", limitReply.c_str(), "Success |",
                              "Success |"})
        EXPECT_EQ(client_->readFrame().rfind(reply, 0), 0u) << reply;
    EXPECT_TRUE(server_.hasClient(serverSide_));
    EXPECT_EQ(server_.heldBytes(), 0u);
}

TEST_F(ServerSockets, AClientThatNeverReadsIsHeldBackNotClosedWhileAnotherIsAnswered) {
    Client other(server_.port());
    const SOCKET otherSide = AcceptNext(server_);
    ASSERT_NE(otherSide, INVALID_SOCKET);
    server_.pendingText = std::wstring(64 * 1024, L'r');
    std::string pipelined;
    for (int i = 0; i < 400; ++i) pipelined += "a|";  // 26 MB of replies, more than the system buffers
    SendAndPump(pipelined);
    for (int turn = 0; turn < 100 && server_.wantsAnotherTurn(serverSide_); ++turn) server_.receive(serverSide_);
    // Its input is no longer read: what it holds stays near the bound, and
    // it keeps its connection.
    EXPECT_TRUE(server_.hasClient(serverSide_));
    EXPECT_LT(server_.messages.size(), 400u);
    EXPECT_LT(server_.heldBytes(serverSide_), netlimits::kMaxUnsentOutput + 64 * 66 * 1024 + 8 * 1024);
    EXPECT_EQ(server_.sendRaw(serverSide_, "from elsewhere|"), -1);  // refused, nothing queued

    server_.pendingText.clear();
    other.send("b|");
    Pump(server_, otherSide);
    EXPECT_EQ(other.readFrame(), "Success |");
}

TEST_F(ServerSockets, BroadcastGoesOnPastAClientThatFails) {
    Client second(server_.port());
    const SOCKET secondSide = AcceptNext(server_);
    Client third(server_.port());
    const SOCKET thirdSide = AcceptNext(server_);
    ASSERT_NE(thirdSide, INVALID_SOCKET);

    // The middle client of the walk cannot be written to and is the current
    // one, so its failed send closes it and removes it from the table.
    std::vector<SOCKET> sockets = server_.clients();
    ASSERT_EQ(sockets.size(), 3u);
    const SOCKET failing = sockets[1];
    shutdown(failing, SD_SEND);
    server_.receive(failing);  // nothing to read; makes it the current client
    EXPECT_EQ(server_.broadcast(L"PenData.PROXIMITY_IN"), 0);

    EXPECT_FALSE(server_.hasClient(failing));
    EXPECT_EQ(server_.clients().size(), 2u);
    for (Client* client : {client_.get(), &second, &third}) {
        const SOCKET side = client == client_.get() ? serverSide_ : client == &second ? secondSide : thirdSide;
        if (side == failing) {
            EXPECT_TRUE(client->closedByServer());
        } else {
            EXPECT_EQ(client->readFrame(), "PenData.PROXIMITY_IN|");
        }
    }
}

TEST_F(ServerSockets, LargeForwardsAreQueuedWholeAndARefusedOneLeavesEverythingElse) {
    // A frame at the head of the queue does not count against the bound,
    // so a long forward and the one after it both go to a client that reads.
    const std::string big(5 * 1024 * 1024, 'd');
    EXPECT_EQ(server_.sendRaw(serverSide_, big + "|"), 0);
    EXPECT_EQ(server_.sendRaw(serverSide_, big + "|"), 0);
    EXPECT_EQ(server_.sendRaw(serverSide_, "small|"), -1);  // 5 MiB waits behind the head: refused
    EXPECT_EQ(server_.sendReply(L"own", serverSide_), 0);    // the client's own reply is never refused
    std::string got;
    const size_t expected = 2 * (big.size() + 1) + 4;
    for (int round = 0; round < 2000 && got.size() < expected; ++round) {
        server_.onWritable(serverSide_);
        if (testsupport::WaitReadable(client_->get(), 50)) {
            char chunk[65536];
            const int n = recv(client_->get(), chunk, sizeof(chunk), 0);
            if (n <= 0) break;
            got.append(chunk, static_cast<size_t>(n));
        }
    }
    EXPECT_EQ(got, big + "|" + big + "|own|");
    EXPECT_TRUE(server_.hasClient(serverSide_));
    EXPECT_EQ(server_.sendRaw(serverSide_, "small|"), 0);  // drained: taken again
}

TEST_F(ServerSockets, ANulByteSpoilsOnlyItsOwnMessage) {
    SendAndPump(std::string("ab\0cd|getCoreVersion|", 21));
    EXPECT_EQ(server_.messages, (std::vector<std::wstring>{L"ab", L"getCoreVersion"}));
}

TEST_F(ServerSockets, RepliesLeaveBeforeAHandlerThatMayBlock) {
    server_.blocking = L"slow";
    std::string seenBySlow = "<not run>";
    server_.onMessage = [&](const std::wstring& message) {
        if (message == L"slow") seenBySlow = client_->readFrame();  // times out when nothing was sent
    };
    server_.pendingText = L"fast";
    SendAndPump("quick|slow|quick|");
    EXPECT_EQ(seenBySlow, "Success fast|");
    EXPECT_EQ(client_->readFrame(), "Success fast|");
    EXPECT_EQ(client_->readFrame(), "Success fast|");
}

TEST_F(ServerSockets, ABudgetCountsWhatItsServerHoldsAlreadyAndNeverWraps) {
    SendAndPump("unfinished");
    ASSERT_GT(server_.heldBytes(), 0u);
    BufferBudget budget(1 << 20);
    budget.attach(server_);
    EXPECT_EQ(budget.total(), server_.heldBytes());
    SendAndPump("|");  // handled: what the client held is given back
    EXPECT_EQ(budget.total(), server_.heldBytes());
    budget.detach(server_);
    EXPECT_EQ(budget.total(), 0u);
}

TEST_F(ServerSockets, FailedAcceptLeavesTheListenerOpen) {
    const SOCKET listener = server_.listenSocket();
    EXPECT_EQ(server_.acceptClient(), INVALID_SOCKET);  // nothing pending
    EXPECT_EQ(server_.listenSocket(), listener);
    Client next(server_.port());
    EXPECT_NE(AcceptNext(server_), INVALID_SOCKET);
}

TEST_F(ServerSockets, LateConnectionLostClosesNothingElse) {
    server_.handleConnectionLost(serverSide_);
    EXPECT_FALSE(server_.hasClient(serverSide_));
    EXPECT_TRUE(client_->closedByServer());

    Client next(server_.port());
    const SOCKET nextSide = AcceptNext(server_);
    ASSERT_NE(nextSide, INVALID_SOCKET);
    server_.handleConnectionLost(serverSide_);  // a second report for the closed client
    EXPECT_EQ(server_.receive(serverSide_), -8);
    next.send("alive|");
    Pump(server_, nextSide);
    EXPECT_EQ(next.readFrame(), "Success |");
}

namespace {

class PressureSockets : public ::testing::Test {
protected:
    void SetUp() override {
        server_.setHandler(&handler_);
        ASSERT_GT(server_.listen(), 0);
        for (int i = 0; i < 2; ++i) {
            clients_[i] = std::make_unique<Client>(server_.port());
            sides_[i] = AcceptNext(server_);
            ASSERT_NE(sides_[i], INVALID_SOCKET);
        }
    }
    void TearDown() override { server_.deinit(); }

    void Command(int i, const std::string& text) {
        clients_[i]->send(text);
        Pump(server_, sides_[i]);
    }

    // The service's pressure port, whose stream start a test may replace.
    class TabletPort : public TabletPortHandler {
    public:
        using TabletPortHandler::TabletPortHandler;
        std::function<void()> onStart;
        void onStreamStart() override {
            if (onStart) {
                onStart();
            } else {
                TabletPortHandler::onStreamStart();
            }
        }
    };

    testsupport::WinsockSession winsock_;
    TabletSession session_;
    TabletPort handler_{session_};
    PressureServer server_;
    std::unique_ptr<Client> clients_[2];
    SOCKET sides_[2] = {INVALID_SOCKET, INVALID_SOCKET};
};

}  // namespace

TEST_F(PressureSockets, OnlyThePressureClientGetsValuesButEveryoneGetsEvents) {
    EXPECT_EQ(server_.sendPressureNumber(7), -1);  // no stream yet
    Command(0, "startTablet|");
    EXPECT_EQ(clients_[0]->readFrame(), "|");  // the empty greeting
    EXPECT_TRUE(server_.streaming());
    EXPECT_EQ(server_.streamClient(), sides_[0]);

    server_.sendPressureNumber(7);
    server_.sendPressureNumber(512);
    server_.sendPressureNumber(12000);  // longer values keep their blank
    server_.sendPressureNumber(-1234);
    server_.sendPressureToken("m812_344");
    EXPECT_EQ(clients_[0]->readBytes(32), "0007 0512 12000 -1234 m812_344 ");
    server_.broadcast(L"PenData.USE_TIP");
    EXPECT_EQ(clients_[0]->readFrame(), "PenData.USE_TIP|");
    EXPECT_EQ(clients_[1]->readFrame(), "PenData.USE_TIP|");
    EXPECT_TRUE(clients_[1]->quiet());

    Command(1, "stopTablet|");  // not the pressure client: changes nothing
    EXPECT_EQ(server_.streamClient(), sides_[0]);
    Command(0, "stopTablet|");
    EXPECT_FALSE(server_.streaming());
    EXPECT_EQ(server_.sendPressureToken("m1_1"), -1);
    EXPECT_TRUE(clients_[0]->quiet());
}

TEST_F(PressureSockets, ClosingThePressureClientEndsItsStream) {
    Command(1, "startTablet|");
    clients_[1]->readFrame();
    server_.handleConnectionLost(sides_[0]);  // another client leaving changes nothing
    EXPECT_EQ(server_.streamClient(), sides_[1]);
    server_.handleConnectionLost(sides_[1]);
    EXPECT_FALSE(server_.streaming());
    EXPECT_EQ(server_.sendPressureNumber(1), -1);
}

TEST_F(PressureSockets, AnAuthorizedStreamIsNeverTakenByAClientWithoutTheKey) {
    Command(0, "auth " + getAuthKey() + "|startTablet|");
    EXPECT_EQ(clients_[0]->readFrame(), "authOk|");
    EXPECT_EQ(clients_[0]->readFrame(), "|");

    Command(1, "startTablet|auth wrong|startTablet|");
    // Failures in the form every failure has: detail, " - ", the runtime's error text.
    EXPECT_EQ(clients_[1]->readFrame().rfind("Failure The pen stream is held by an authorized client - ", 0), 0u);
    EXPECT_EQ(clients_[1]->readFrame().rfind("Failure Authorization failed! - ", 0), 0u);
    EXPECT_EQ(clients_[1]->readFrame().rfind("Failure The pen stream is held by an authorized client - ", 0), 0u);
    EXPECT_EQ(server_.streamClient(), sides_[0]);
    server_.sendPressureNumber(5);
    EXPECT_EQ(clients_[0]->readBytes(5), "0005 ");
    EXPECT_TRUE(clients_[1]->quiet());
}

TEST_F(PressureSockets, TheStartReplyPrecedesEveryPenToken) {
    // The hook refresh of a start sends to the dock synchronously; a pen
    // packet handled meanwhile must not reach the new client before its reply.
    handler_.onStart = [this] {
        EXPECT_TRUE(server_.streaming());
        server_.sendPressureToken("m5_5");
    };
    Command(0, "startTablet|");
    EXPECT_EQ(clients_[0]->readFrame(), "|");
    server_.sendPressureToken("m6_6");
    EXPECT_EQ(clients_[0]->readBytes(5), "m6_6 ");
}

TEST_F(PressureSockets, AKeySentOneByteAtATimeNeverReachesTheLog) {
    testsupport::TestLog log(L"keysplit");
    ASSERT_TRUE(InitFileLog());
    const std::string key = getAuthKey();
    for (char c : "auth " + key + "|") Command(0, std::string(1, c));
    EXPECT_EQ(clients_[0]->readFrame(), "authOk|");
    const std::string written = log.Read();
    EXPECT_NE(written.find("Received ["), std::string::npos);
    EXPECT_EQ(written.find(key.substr(1, 8)), std::string::npos);
}

TEST_F(PressureSockets, ALongAuthorizationAttemptIsRefusedByItsFirstBytes) {
    // A stranger's "auth" with a long tail, however its first word is
    // quoted, is refused as it stands: the key check, which decodes and
    // splits the whole message, never sees it.
    class JudgedPort : public TabletPortHandler {
    public:
        using TabletPortHandler::TabletPortHandler;
        size_t judged = 0;
        bool checked = false;
        bool isKeyAttempt(const std::string& head) override {
            judged = std::max(judged, head.size());
            return TabletPortHandler::isKeyAttempt(head);
        }
        bool checkKey(const std::wstring& message) override {
            checked = true;
            return TabletPortHandler::checkKey(message);
        }
    } port{session_};
    server_.setHandler(&port);
    for (const char* first : {"auth", "\"auth\"", "'auth'"}) {
        clients_[0]->send(first + std::string(300 * 1024, ' ') + "x|");
        for (int turn = 0; turn < 50 && !testsupport::WaitReadable(clients_[0]->get(), 0); ++turn)
            Pump(server_, sides_[0]);
        EXPECT_EQ(clients_[0]->readFrame().rfind("Failure Authorization failed!", 0), 0u) << first;
    }
    EXPECT_FALSE(port.checked);
    EXPECT_LE(port.judged, netlimits::kMaxAuthorizationMessage);
    Command(0, "auth " + getAuthKey() + "|");  // the client stays, and a real attempt is judged whole
    EXPECT_EQ(clients_[0]->readFrame(), "authOk|");
    server_.setHandler(&handler_);
}

TEST_F(PressureSockets, StalledReadersAreClosedByTimeAndTheCapClosesThemBeforeAnUpload) {
    // clients_[0] is parked: it reads nothing while frames are queued for it,
    // until the system's buffers are full and some output waits here.
    const std::string frame(64 * 1024, 'p');
    for (int i = 0; i < 400 && server_.heldBytes(sides_[0]) == 0; ++i) server_.sendRaw(sides_[0], frame + "|");
    ASSERT_GT(server_.heldBytes(sides_[0]), 0u);
    // clients_[1] uploads a message larger than all the parked one holds.
    clients_[1]->send(std::string(server_.heldBytes(sides_[0]) + 256 * 1024, 'u'));
    for (int turn = 0; turn < 50 && server_.heldBytes(sides_[1]) <= server_.heldBytes(sides_[0]); ++turn)
        Pump(server_, sides_[1]);
    ASSERT_GT(server_.heldBytes(sides_[1]), server_.heldBytes(sides_[0]));

    // Past the cap the reader that left its output is closed, not the upload.
    BufferBudget budget(server_.heldBytes() - 1);
    budget.attach(server_);
    budget.enforce();
    EXPECT_FALSE(server_.hasClient(sides_[0]));
    EXPECT_TRUE(server_.hasClient(sides_[1]));
    budget.detach(server_);

    // A reader whose output has not moved for a minute is closed by the
    // timer, whether or not anything more is sent to it.
    const size_t uploaded = server_.heldBytes(sides_[1]);
    for (int i = 0; i < 400 && server_.heldBytes(sides_[1]) <= uploaded; ++i) server_.sendRaw(sides_[1], frame + "|");
    server_.closeStalled(GetTickCount());
    EXPECT_TRUE(server_.hasClient(sides_[1]));
    server_.closeStalled(GetTickCount() + netlimits::kStalledOutputMs + 1000);
    EXPECT_FALSE(server_.hasClient(sides_[1]));
}
