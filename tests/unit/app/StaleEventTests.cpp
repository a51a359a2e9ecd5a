// Socket events that arrive after their connection is gone. The window queue
// keeps what was posted before a socket was closed, and the runtime hands a
// closed socket's handle to the next connection, so a late close event names
// a live client. The service must check the connection, not trust the event.
#include <gtest/gtest.h>

#include "core/app/Service.h"

#include <functional>
#include <string>

#include "core/net/AppsCommunicationServer.h"
#include "core/net/Server.h"
#include "core/net/Servers.h"
#include "core/util/Handles.h"

namespace {

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Sleep(5);
    }
    return true;
}

void PumpFor(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

marlin::unique_socket Connect(int port) {
    marlin::unique_socket client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(static_cast<u_short>(port));
    if (connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) client.reset();
    return client;
}

void Send(SOCKET s, const std::string& text) { send(s, text.data(), static_cast<int>(text.size()), 0); }

// The next '|'-framed reply, pumping the service meanwhile.
std::string ReadFrame(SOCKET s) {
    std::string frame;
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    PumpUntil(
        [&] {
            char c;
            while (recv(s, &c, 1, 0) == 1) {
                frame.push_back(c);
                if (c == '|') return true;
            }
            return false;
        },
        5000);
    return frame;
}

class StaleEvents : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(runServers());
        apps_ = GetAppsServer();
        client_ = Connect(apps_->port());
        ASSERT_TRUE(client_);
        ASSERT_TRUE(PumpUntil([&] { return apps_->clients().size() == 1; }, 5000));
        serverSide_ = apps_->clients().front();
    }

    void PostClose() { PostMessageW(GetSocketsListenerWindow(), kMsgAppsEvents, serverSide_, FD_CLOSE); }

    AppsCommunicationServer* apps_ = nullptr;
    marlin::unique_socket client_;
    SOCKET serverSide_ = INVALID_SOCKET;
};

TEST_F(StaleEvents, CloseEventForAnOpenIdleConnectionKeepsIt) {
    PostClose();
    PumpFor(300);
    ASSERT_TRUE(apps_->hasClient(serverSide_));
    Send(client_.get(), "registerChannel idle|");
    EXPECT_EQ(ReadFrame(client_.get()), "Success ChannelRegistered=true|");
}

TEST_F(StaleEvents, CloseEventForAConnectionWithInputAnswersItAndKeepsIt) {
    // The new client's first message is already waiting when the late event is handled.
    Send(client_.get(), "registerChannel early|");
    Sleep(100);
    PostClose();
    EXPECT_EQ(ReadFrame(client_.get()), "Success ChannelRegistered=true|");
    PumpFor(300);
    ASSERT_TRUE(apps_->hasClient(serverSide_));
    Send(client_.get(), "registerChannel later|");
    EXPECT_EQ(ReadFrame(client_.get()), "Success ChannelRegistered=true|");
}

TEST_F(StaleEvents, ARealCloseStillEndsTheConnection) {
    client_.reset();
    EXPECT_TRUE(PumpUntil([&] { return !apps_->hasClient(serverSide_); }, 5000));
}

}  // namespace
