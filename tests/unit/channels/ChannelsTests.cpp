// Channels between dock applications over a real apps-port listener.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "core/net/AppsCommunicationServer.h"
#include "core/app/Service.h"
#include "tests/support/Loopback.h"

using testsupport::AcceptNext;
using testsupport::Client;
using testsupport::Pump;

namespace {

class Channels : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GT(apps_.listen(), 0);
        apps_.setHooks(AppsServerHooks());
        for (int i = 0; i < 3; ++i) {
            clients_[i] = std::make_unique<Client>(apps_.port());
            sides_[i] = AcceptNext(apps_);
            ASSERT_NE(sides_[i], INVALID_SOCKET);
        }
    }
    void TearDown() override {
        for (SOCKET side : apps_.clients()) apps_.handleConnectionLost(side);
        apps_.deinit(true);
    }

    // Client i sends a message; returns its reply frame.
    std::string Say(int i, const std::string& message) {
        clients_[i]->send(message + "|");
        Pump(apps_, sides_[i]);
        return clients_[i]->readFrame();
    }
    Client& client(int i) { return *clients_[i]; }

    testsupport::WinsockSession winsock_;
    AppsCommunicationServer apps_;
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

TEST_F(Channels, HeldOrMalformedNamesAreRefusedAndChangeNothing) {
    Say(1, "registerChannel twin");
    Say(0, "registerChannel caller");
    client(1).readFrame();

    // A second client cannot take a name another holds (it would get the data meant for it).
    EXPECT_EQ(Say(2, "registerChannel twin").rfind("Failure registerChannel - the channel name is held by another client: twin - ", 0), 0u);
    // A blank, a control character or nothing (two blanks end in an empty word): forwards would be misread.
    for (const char* message : {"registerChannel 'weather sunny-and-25C'", "registerChannel tab\there", "registerChannel  "})
        EXPECT_EQ(Say(2, message).rfind("Failure registerChannel - a channel name must not be empty", 0), 0u) << message;
    EXPECT_TRUE(client(0).quiet());
    EXPECT_TRUE(client(1).quiet());

    // The holder may register its own name again; a refused client keeps its earlier channel.
    EXPECT_EQ(Say(1, "registerChannel twin"), "Success ChannelRegistered=true|");
    client(0).readFrame();
    EXPECT_EQ(Say(0, "registerChannel twin").rfind("Failure ", 0), 0u);
    EXPECT_EQ(Say(0, "sendDataToChannel twin ping t"), "Success DataSentToChannel=t|");
    EXPECT_EQ(client(1).readFrame(), "ForwardDataToChannel caller ping|");
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
