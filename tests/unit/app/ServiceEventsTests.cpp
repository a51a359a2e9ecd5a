// The service's socket event dispatch, driven in this process: runServers()
// opens the real listeners and windows, the test pumps the main thread's
// messages itself. (runServers writes the key file into the test prefix.)
#include <gtest/gtest.h>

#include "core/app/Service.h"
#include "core/app/ServiceTesting.h"

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "core/app/Authorization.h"
#include "core/net/PressureServer.h"
#include "core/net/Server.h"
#include "core/protocol/HookContract.h"
#include "core/tablet/TabletSession.h"
#include "core/tablet/TabletSessionTesting.h"
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

bool Send(SOCKET s, const std::string& bytes) {
    return send(s, bytes.c_str(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
}

// The next frame the service sends, pumping the main thread meanwhile.
std::string PumpForFrame(SOCKET s, std::string& pending) {
    PumpUntil([&] { return (pending += ReadSome(s)).find('|') != std::string::npos; }, 5000);
    const size_t end = pending.find('|');
    if (end == std::string::npos) return std::string();
    std::string frame = pending.substr(0, end + 1);
    pending.erase(0, end + 1);
    return frame;
}

// A command-port client that has authorized (the device report read too).
marlin::unique_socket AuthorizedDock() {
    marlin::unique_socket dock = Connect(GetCommandServer()->port());
    std::string pending;
    if (!dock || !Send(dock.get(), "auth " + getAuthKey() + "|") || PumpForFrame(dock.get(), pending) != "authOk|" ||
        PumpForFrame(dock.get(), pending).rfind("CurrentAttachedDevices=", 0) != 0)
        dock.reset();
    return dock;
}

// Each case starts a service of its own in this one process, from the
// service's first state.
class ServiceEvents : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(resetService()); }
    void TearDown() override { EXPECT_TRUE(resetService()); }
};

TEST_F(ServiceEvents, AFailedAcceptLeavesTheListenerOpen) {
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

TEST_F(ServiceEvents, MessagesToTheSocketsWindowNeverReachThePenLogic) {
    ASSERT_TRUE(runServers());
    const int pressureBefore = tabletPenState(GetTabletSession()).lastPressure;
    PostMessageW(GetSocketsListenerWindow(), WM_MOUSEMOVE, MK_LBUTTON, 0);
    SendMessageW(GetSocketsListenerWindow(), wintab::WT_PROXIMITY, 1, 0);
    PumpUntil([] { return false; }, 200);
    EXPECT_EQ(pressureBefore, tabletPenState(GetTabletSession()).lastPressure);
}

// Other programs may post any number of messages to the sockets window; a
// socket event waiting behind them is handled first. Here a WM_CLOSE posted
// before the dock's command would otherwise end the loop unanswered; a bare
// WM_QUIT from another program ends nothing.
TEST_F(ServiceEvents, SocketEventsAreTakenBeforeOtherProgramsPostedMessages) {
    ASSERT_TRUE(runServers());
    marlin::unique_socket dock = AuthorizedDock();
    ASSERT_TRUE(dock);
    const HWND window = GetSocketsListenerWindow();
    for (int i = 0; i < 1000; ++i) PostMessageW(window, WM_USER, 0, 0);
    PostMessageW(window, WM_QUIT, 0, 0);
    PostMessageW(window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(Send(dock.get(), "getCoreVersion|"));
    MSG waiting = {};
    for (int i = 0; i < 500 && !PeekMessageW(&waiting, window, kMsgCommandEvents, kMsgCommandEvents, PM_NOREMOVE); ++i)
        Sleep(10);
    ASSERT_EQ(kMsgCommandEvents, waiting.message) << "the read event is queued behind the flood";

    WSADATA data;  // the test's own reference: the service's cleanup leaves the dock's socket open
    WSAStartup(MAKEWORD(2, 0), &data);
    runMessageLoop(nullptr);
    std::string reply;
    for (int i = 0; i < 100 && reply.find('|') == std::string::npos; ++i) {
        reply += ReadSome(dock.get());
        Sleep(10);
    }
    EXPECT_EQ("Success CoreVersion=2.06.0|", reply);
}

// The dock ended its connection while the main thread was busy, and
// reconnected: the end of the old connection still waits behind that
// connection's own queued turns when the new one asks for the port.
TEST_F(ServiceEvents, ADockReconnectingBeforeItsOldCloseIsHandledIsAnswered) {
    ASSERT_TRUE(runServers());
    marlin::unique_socket old = AuthorizedDock();
    ASSERT_TRUE(old);
    std::string pipelined;
    for (int i = 0; i < 1000; ++i) pipelined += "getCoreVersion|";
    ASSERT_TRUE(Send(old.get(), pipelined));
    shutdown(old.get(), SD_SEND);  // its replies still arrive: the service's sends do not fail

    marlin::unique_socket dock = Connect(GetCommandServer()->port());
    ASSERT_TRUE(dock);
    ASSERT_TRUE(Send(dock.get(), "auth " + getAuthKey() + "|"));
    std::string pending;
    EXPECT_EQ("authOk|", PumpForFrame(dock.get(), pending));
}

// A dock thread that takes its time over the hook refresh of a stream start.
class SlowDock {
public:
    SlowDock() : thread_([this] { run(); }) {
        while (window_.load() == nullptr) Sleep(5);
    }
    ~SlowDock() {
        PostMessageW(window_.load(), WM_QUIT, 0, 0);
        thread_.join();
    }
    HWND window() const { return window_.load(); }
    bool refreshing() const { return refreshing_.load(); }

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == WM_NULL && wParam == hookmsg::MSG_CONTEXT_OPEN) {
            reinterpret_cast<SlowDock*>(GetWindowLongPtrW(window, GWLP_USERDATA))->refreshing_ = true;
            Sleep(1500);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
    void run() {
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = Procedure;
        windowClass.lpszClassName = L"SlowDockTest";
        RegisterClassW(&windowClass);
        const HWND window =
            CreateWindowExW(0, L"SlowDockTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        window_ = window;
        MSG message;
        while (GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
        DestroyWindow(window);
    }

    std::atomic<HWND> window_{nullptr};
    std::atomic<bool> refreshing_{false};
    std::thread thread_;
};

TEST_F(ServiceEvents, ShutdownWaitsUntilTheTabletThreadHasLeftItsPortWork) {
    ASSERT_TRUE(runServers());
    SlowDock dock;
    addHookedWindow(GetTabletSession(), dock.window(), HookedWindow{});
    marlin::unique_socket pen = Connect(GetPressureServer()->port());
    ASSERT_TRUE(pen);
    ASSERT_TRUE(Send(pen.get(), "startTablet|"));
    ASSERT_TRUE(PumpUntil([&] { return dock.refreshing(); }, 5000));

    // The close reaches the tablet thread while it waits for the dock.
    PostMessageW(GetSocketsListenerWindow(), WM_CLOSE, 0, 0);
    runMessageLoop(nullptr);
    EXPECT_EQ(nullptr, GetTabletListenerWindow()) << "the tablet thread had ended before the socket layer was cleaned up";
}

}  // namespace
