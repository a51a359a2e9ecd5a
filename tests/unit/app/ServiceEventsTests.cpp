// The service's socket event dispatch, driven in this process: runServers()
// opens the real listeners and windows, the test pumps the main thread's
// messages itself. (runServers writes the key file into the test prefix.)
#include <gtest/gtest.h>

#include "core/app/Service.h"
#include "core/app/ServiceTesting.h"

#include <functional>
#include <string>

#include "core/app/Authorization.h"
#include "core/net/Server.h"
#include "core/util/Handles.h"

namespace {

bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > timeoutMs) return false;
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(5);
    }
    return true;
}

marlin::unique_socket Connect(int port) {
    marlin::unique_socket client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(static_cast<u_short>(port));
    if (connect(client.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) client.reset();
    u_long nonBlocking = 1;
    if (client) ioctlsocket(client.get(), FIONBIO, &nonBlocking);
    return client;
}

std::string ReadSome(SOCKET s) {
    char buffer[512];
    const int got = recv(s, buffer, sizeof(buffer), 0);
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
}

TEST(ServiceEvents, AFailedAcceptLeavesTheListenerOpen) {
    ASSERT_TRUE(runServers());
    Server* command = GetCommandServer();
    const SOCKET listener = command->listenSocket();
    ASSERT_NE(INVALID_SOCKET, listener);

    // An accept event with no connection waiting: accept() fails.
    PostMessageW(GetSocketsListenerWindow(), kMsgCommandEvents, listener, FD_ACCEPT);
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(listener, command->listenSocket());

    // The port still takes a client and serves it.
    marlin::unique_socket client = Connect(command->port());
    ASSERT_TRUE(client);
    ASSERT_TRUE(PumpUntil([&] { return !command->clients().empty(); }, 5000));
    const std::string auth = "auth " + getAuthKey() + "|";
    send(client.get(), auth.c_str(), static_cast<int>(auth.size()), 0);
    std::string reply;
    EXPECT_TRUE(PumpUntil([&] { return (reply += ReadSome(client.get())).find('|') != std::string::npos; }, 5000));
    EXPECT_EQ("authOk|", reply.substr(0, 7));
}

}  // namespace
