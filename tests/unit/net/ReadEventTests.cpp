// Read events as the service gets them: WSAAsyncSelect on a window, one
// receive per FD_READ message. A client that keeps sending must not fill the
// window's queue with read events, or every other client's events wait
// behind them.
#include <gtest/gtest.h>

#include <string>

#include "core/net/Server.h"
#include "core/util/Handles.h"
#include "tests/support/Loopback.h"

using testsupport::AcceptNext;
using testsupport::Client;

namespace {

constexpr UINT kSocketEvent = WM_APP + 7;

// Counts messages and sends no reply, so only reading and framing run.
class CountingHandler : public PortHandler {
public:
    size_t messages = 0;

    int handleMessage(Server&, SOCKET, const std::wstring&) override {
        ++messages;
        return 12345;  // a code without a reply
    }
};

// Takes the queued read events of the window; how many there were.
int TakeReadEvents(HWND window) {
    int count = 0;
    MSG msg;
    while (PeekMessageW(&msg, window, kSocketEvent, kSocketEvent, PM_REMOVE)) {
        if (WSAGETSELECTEVENT(msg.lParam) == FD_READ) ++count;
    }
    return count;
}

bool WaitForReadEvent(HWND window) {
    MSG msg;
    for (int i = 0; i < 500; ++i) {
        if (PeekMessageW(&msg, window, kSocketEvent, kSocketEvent, PM_NOREMOVE)) return true;
        Sleep(10);
    }
    return false;
}

TEST(ReadEvents, OneReceiveLeavesAtMostOneMoreReadEventQueued) {
    testsupport::WinsockSession winsock;
    marlin::unique_hwnd window(
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
    ASSERT_TRUE(window);

    CountingHandler counter;
    Server server(AuthMode::None);
    server.setHandler(&counter);
    ASSERT_GT(server.listen(), 0);
    Client client(server.port());
    ASSERT_TRUE(client.connected());
    const SOCKET serverSide = AcceptNext(server);
    ASSERT_NE(serverSide, INVALID_SOCKET);
    ASSERT_EQ(WSAAsyncSelect(serverSide, window.get(), kSocketEvent, FD_READ | FD_CLOSE), 0);

    // Far more than one event reads: 20 000 messages of 8 bytes.
    std::string burst;
    for (int i = 0; i < 20000; ++i) burst += "message|";
    ASSERT_TRUE(client.send(burst));

    ASSERT_TRUE(WaitForReadEvent(window.get()));
    size_t events = 0;
    for (int round = 0; round < 200 && counter.messages < 20000; ++round) {
        const int queued = TakeReadEvents(window.get());
        // Each receive re-arms the event once; a queue that holds more than
        // one read event for the socket means one receive posted several.
        ASSERT_LE(queued, 1) << "after " << events << " receives";
        if (queued == 0) {
            ASSERT_TRUE(WaitForReadEvent(window.get()));
            continue;
        }
        server.receive(serverSide);
        ++events;
        Sleep(20);  // the runtime posts the next event meanwhile
    }
    EXPECT_EQ(counter.messages, 20000u);
    EXPECT_GT(events, 1u);  // a receive takes a bounded share, the rest waits for the next event
    WSAAsyncSelect(serverSide, window.get(), 0, 0);
    server.deinit();
}

}  // namespace
