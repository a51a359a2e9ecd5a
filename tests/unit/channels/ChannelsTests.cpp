// Channels between dock applications over a real apps-port listener.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/app/PortHandlers.h"
#include "core/net/Limits.h"
#include "core/net/Server.h"
#include "tests/support/Loopback.h"

using testsupport::AcceptNext;
using testsupport::Client;
using testsupport::Pump;

namespace {

// The apps port with its optional authorization, under a key of the test's own.
class TestKeyAppsPort : public AppsPortHandler {
public:
    bool isKeyAttempt(const std::string& message) override { return message.rfind("auth ", 0) == 0; }
    bool checkKey(const std::wstring& message) override { return message == L"auth right-key"; }
};

class Channels : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(apps_.listen(), 0);
        // A client that never sends the key is served as any client.
        apps_.setHandler(&handler_);
        for (int i = 0; i < 3; ++i) {
            clients_[i] = std::make_unique<Client>(apps_.port());
            sides_[i] = AcceptNext(apps_);
            ASSERT_NE(sides_[i], INVALID_SOCKET);
        }
    }
    void TearDown() override {
        for (SOCKET side : apps_.clients()) apps_.handleConnectionLost(side);
        apps_.deinit();
    }

    // Client i sends a message; returns its reply frame.
    std::string Say(int i, const std::string& message) {
        clients_[i]->send(message + "|");
        Pump(apps_, sides_[i]);
        return clients_[i]->readFrame();
    }
    Client& client(int i) { return *clients_[i]; }

    testsupport::WinsockSession winsock_;
    TestKeyAppsPort handler_;
    Server apps_{AuthMode::Optional, netlimits::kMaxAppsMessage};
    std::unique_ptr<Client> clients_[3];
    SOCKET sides_[3] = {INVALID_SOCKET, INVALID_SOCKET, INVALID_SOCKET};
};

}  // namespace

TEST_F(Channels, RegistrationsAreAnnouncedToTheOthers) {
    EXPECT_EQ(Say(0, "registerChannel paint"), "Success ChannelRegistered=true|");
    EXPECT_EQ(Say(1, "registerChannel palette"), "Success ChannelRegistered=true|");
    EXPECT_EQ(client(0).readFrame(), "BroadcastRegisteredChannel=palette|");
    // A second registration replaces the first; only the new name is announced.
    EXPECT_EQ(Say(1, "registerChannel brushes"), "Success ChannelRegistered=true|");
    EXPECT_EQ(client(0).readFrame(), "BroadcastRegisteredChannel=brushes|");
    EXPECT_TRUE(client(0).quiet());
    EXPECT_TRUE(client(2).quiet());  // not registered: hears nothing

    EXPECT_EQ(Say(2, "registerChannel").rfind("SyntaxError Wrong number of arguments - ", 0), 0u);
    EXPECT_EQ(Say(2, "").rfind("SyntaxError No command found. - ", 0), 0u);
    EXPECT_EQ(Say(2, "hello there"), "Success |");
}

TEST_F(Channels, DataIsForwardedByName) {
    Say(0, "registerChannel paint");
    Say(1, "registerChannel brushes");
    client(0).readFrame();

    EXPECT_EQ(Say(0, "sendDataToChannel brushes 'size 12' t1"), "Success DataSentToChannel=t1|");
    EXPECT_EQ(client(1).readFrame(), "ForwardDataToChannel paint size 12|");
    // To itself: the forward comes before the reply.
    EXPECT_EQ(Say(0, "sendDataToChannel paint self t2"), "ForwardDataToChannel paint self|");
    EXPECT_EQ(client(0).readFrame(), "Success DataSentToChannel=t2|");

    EXPECT_EQ(Say(0, "sendDataToChannel nobody x t3"), "Success DataSentToChannelError=t3|");
    EXPECT_EQ(Say(2, "sendDataToChannel paint x t4"), "Success DataSentToChannelError=t4|");  // sender unregistered
    EXPECT_EQ(Say(0, "sendDataToChannel brushes x").rfind("SyntaxError Wrong number of arguments - ", 0), 0u);
    EXPECT_TRUE(client(1).quiet());
    EXPECT_TRUE(client(0).quiet());
}

// A long forward is taken as it arrived (no UTF-16 copy of it): quotes, a
// character outside Latin-1 and the tag come out as for a short one.
TEST_F(Channels, LongForwardArrivesAsAShortOneWould) {
    Say(0, "registerChannel paint");
    Say(1, "registerChannel brushes");
    client(0).readFrame();
    const std::string data(netlimits::kLargeFrame, 'd');
    client(0).send("sendDataToChannel brushes '" + data + " \xE2\x82\xAC\xC3\xA9'x \"t \xC3\xA9\"|");
    for (int turn = 0; turn < 4; ++turn) Pump(apps_, sides_[0]);  // more than one read's worth
    EXPECT_EQ(client(0).readFrame(), "Success DataSentToChannel=t \xE9|");
    EXPECT_EQ(client(1).readFrame(), "ForwardDataToChannel paint " + data + " ?\xE9x|");
}

TEST_F(Channels, HeldOrMalformedNamesAreRefusedAndChangeNothing) {
    Say(1, "registerChannel twin");
    Say(0, "registerChannel caller");
    client(1).readFrame();

    // Every refusal is a syntax error. A client that has not authorized hears
    // the same for a held name as for a malformed one (it cannot probe which
    // names are held); a blank, a control character, nothing (two blanks end
    // in an empty word), a character outside Latin-1 (announced as '?') or
    // more than 256 characters would make forwards misread or unaddressable.
    const std::string refused = "SyntaxError registerChannel - a channel name must be 1 to 256 Latin-1 characters "
                                "without a blank or a control character, and not held by another client - ";
    for (const std::string& message :
         {std::string("registerChannel twin"), std::string("registerChannel 'weather sunny-and-25C'"),
          std::string("registerChannel tab\there"), std::string("registerChannel  "),
          std::string("registerChannel \xE6\xBC\xA2"), std::string("registerChannel x\xF0\x9F\x98\x80"),
          "registerChannel " + std::string(257, 'n')})
        EXPECT_EQ(Say(2, message).rfind(refused, 0), 0u) << message;
    EXPECT_TRUE(client(0).quiet());
    EXPECT_TRUE(client(1).quiet());
    EXPECT_EQ(Say(2, "registerChannel caf\xC3\xA9" + std::string(252, 'n')), "Success ChannelRegistered=true|");
    client(0).readFrame();
    client(1).readFrame();

    // The holder may register its own name again; a refused client keeps its earlier channel.
    EXPECT_EQ(Say(1, "registerChannel twin"), "Success ChannelRegistered=true|");
    client(0).readFrame();
    client(2).readFrame();
    EXPECT_EQ(Say(0, "registerChannel twin").rfind(refused, 0), 0u);
    EXPECT_EQ(Say(0, "sendDataToChannel twin ping t"), "Success DataSentToChannel=t|");
    EXPECT_EQ(client(1).readFrame(), "ForwardDataToChannel caller ping|");
    EXPECT_TRUE(client(2).quiet());
}

// A widget whose connection broke reconnects before the service has handled
// the close: the old connection is gone, so the name is free at once, and the
// others hear of it as they would of the close.
TEST_F(Channels, ReconnectingWidgetGetsItsNameAtOnce) {
    Say(0, "registerChannel dock");
    Say(1, "registerChannel clock");
    client(0).readFrame();
    clients_[1].reset();  // closed on the widget's side; the service has not seen it yet
    for (int i = 0; i < 100 && apps_.peerState(sides_[1]) != Server::PeerState::Gone; ++i) Sleep(20);

    EXPECT_EQ(Say(2, "registerChannel clock"), "Success ChannelRegistered=true|");
    EXPECT_EQ(client(0).readFrame(), "BroadcastUnRegisteredChannel=clock|");
    EXPECT_EQ(client(0).readFrame(), "BroadcastRegisteredChannel=clock|");
    EXPECT_EQ(Say(0, "sendDataToChannel clock tick t"), "Success DataSentToChannel=t|");
    EXPECT_EQ(client(2).readFrame(), "ForwardDataToChannel dock tick|");
    apps_.handleConnectionLost(sides_[1]);  // the late close frees nothing more
    EXPECT_TRUE(client(0).quiet());
}

// A name taken first by a client that has not authorized goes to the
// authorized widget that registers it; the squatter is left without a
// channel. Never the other way round, and between two authorized clients the
// first keeps it, the second being told why.
TEST_F(Channels, AuthorizedClientTakesANameFromAnUnauthorizedOne) {
    Say(0, "registerChannel dock");
    Say(1, "registerChannel clock");  // the squatter
    client(0).readFrame();
    EXPECT_EQ(Say(2, "auth right-key"), "authOk|");

    EXPECT_EQ(Say(2, "registerChannel clock"), "Success ChannelRegistered=true|");
    EXPECT_EQ(client(0).readFrame(), "BroadcastRegisteredChannel=clock|");
    EXPECT_TRUE(client(1).quiet());  // no longer registered: hears nothing
    EXPECT_EQ(Say(0, "sendDataToChannel clock tick t1"), "Success DataSentToChannel=t1|");
    EXPECT_EQ(client(2).readFrame(), "ForwardDataToChannel dock tick|");
    EXPECT_EQ(Say(1, "sendDataToChannel dock forged t2"), "Success DataSentToChannelError=t2|");
    EXPECT_EQ(Say(1, "registerChannel clock").rfind("SyntaxError registerChannel - a channel name must be", 0), 0u);

    EXPECT_EQ(Say(0, "auth right-key"), "authOk|");
    EXPECT_EQ(Say(0, "registerChannel clock").rfind(
                  "SyntaxError registerChannel - the channel name is held by another client: clock - ", 0),
              0u);
    EXPECT_TRUE(client(1).quiet());
    EXPECT_TRUE(client(2).quiet());
}

TEST_F(Channels, DepartureIsAnnouncedOnlyForRegisteredClients) {
    Say(0, "registerChannel paint");
    Say(1, "registerChannel brushes");
    client(0).readFrame();

    apps_.handleConnectionLost(sides_[2]);  // never registered
    EXPECT_TRUE(client(0).quiet());
    EXPECT_TRUE(client(1).quiet());

    apps_.handleConnectionLost(sides_[1]);
    EXPECT_EQ(client(0).readFrame(), "BroadcastUnRegisteredChannel=brushes|");
    EXPECT_EQ(Say(0, "sendDataToChannel brushes x t"), "Success DataSentToChannelError=t|");
}
