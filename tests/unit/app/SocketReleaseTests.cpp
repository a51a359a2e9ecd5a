#include <gtest/gtest.h>

#include "core/app/SocketRelease.h"
#include "core/app/SocketReleaseTesting.h"

#include <vector>

#include "core/util/Handles.h"

namespace {

constexpr UINT kLateEvent = WM_APP + 7;  // stands for a socket event queued before the close

struct Seen {
    UINT message;
    bool socketOpen;
};
std::vector<Seen> gSeen;

bool IsOpen(SOCKET s) {
    int type = 0;
    int size = sizeof(type);
    return getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &size) == 0;
}

LRESULT CALLBACK TestWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kLateEvent || message == kMsgReleaseSocket) {
        gSeen.push_back({message, IsOpen(static_cast<SOCKET>(wParam))});
        if (message == kMsgReleaseSocket) ReleaseDeferredSocket(static_cast<SOCKET>(wParam));
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void Pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
}

class SocketRelease : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA data;
        ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = TestWindowProc;
        windowClass.lpszClassName = L"SocketReleaseTest";
        RegisterClassW(&windowClass);
        window_ = CreateWindowExW(0, L"SocketReleaseTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
        ASSERT_NE(nullptr, window_);

        marlin::unique_socket listener(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        ASSERT_EQ(0, bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)));
        int size = sizeof(address);
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);
        ASSERT_EQ(0, listen(listener.get(), 1));
        peer_.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        ASSERT_EQ(0, connect(peer_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)));
        served_ = accept(listener.get(), nullptr, nullptr);
        ASSERT_NE(INVALID_SOCKET, served_);
        gSeen.clear();
    }
    void TearDown() override {
        if (window_ != nullptr) DestroyWindow(window_);
        WSACleanup();
    }

    HWND window_ = nullptr;
    marlin::unique_socket peer_;
    SOCKET served_ = INVALID_SOCKET;  // owned by the code under test once deferred
};

TEST_F(SocketRelease, TheHandleStaysOpenUntilTheEventsQueuedBeforeTheCloseAreTaken) {
    PostMessageW(window_, kLateEvent, served_, 0);
    ASSERT_TRUE(DeferSocketClose(window_, served_));
    EXPECT_EQ(1u, DeferredSocketCount());

    // The peer sees the end of the connection at once.
    DWORD timeout = 5000;
    setsockopt(peer_.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    char byte;
    EXPECT_EQ(0, recv(peer_.get(), &byte, 1, 0));

    Pump();
    ASSERT_EQ(2u, gSeen.size());
    EXPECT_EQ(kLateEvent, gSeen[0].message);
    EXPECT_TRUE(gSeen[0].socketOpen);  // the late event could not meet a new connection
    EXPECT_EQ(kMsgReleaseSocket, gSeen[1].message);
    EXPECT_FALSE(IsOpen(served_));
    EXPECT_EQ(0u, DeferredSocketCount());
}

TEST_F(SocketRelease, AReleaseForASocketThatWasNotDeferredChangesNothing) {
    PostMessageW(window_, kMsgReleaseSocket, served_, 0);
    Pump();
    EXPECT_TRUE(IsOpen(served_));
    closesocket(served_);
}

}  // namespace
