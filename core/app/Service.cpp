#include "core/app/Service.h"

#include <atomic>
#include <cstdlib>

#include "core/app/PortCollision.h"
#include "core/app/SocketRelease.h"
#include "core/net/AppsCommunicationServer.h"
#include "core/net/Authorization.h"
#include "core/net/PressureServer.h"
#include "core/net/PressureStream.h"
#include "core/net/ResultCodes.h"
#include "core/net/Server.h"
#include "core/net/Servers.h"
#include "core/tablet/TabletDevices.h"
#include "core/tablet/TabletSession.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"

namespace {

constexpr wchar_t kSocketsWindowClass[] = L"MarlinSocksHookQ";
constexpr wchar_t kSocketsWindowTitle[] = L"MarlinSocketsListener";
constexpr wchar_t kTabletWindowClass[] = L"MarlinWTHookQ";
constexpr wchar_t kTabletWindowTitle[] = L"MarlinTabletListener";

constexpr DWORD kTabletWindowStartMs = 500;  // how long start-up gives the thread before going on
constexpr DWORD kTabletWindowPollMs = 100;
constexpr DWORD kClosePressureServerMs = 5000;

// The service's handles, set once at start. The window handles are read by
// both threads; the thread handle only by the main thread.
struct ServiceState {
    std::atomic<HWND> socketsWindow{nullptr};
    std::atomic<HWND> tabletWindow{nullptr};
    marlin::unique_handle tabletThread;
};

ServiceState& State() {
    static ServiceState* state = new ServiceState();  // lives until the process ends
    return *state;
}

HWND CreateListenerWindow(const wchar_t* className, const wchar_t* title) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = socketWindowProc;
    windowClass.lpszClassName = className;
    if (RegisterClassW(&windowClass) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        LogSystemError(L"RegisterClass()");
        return nullptr;
    }
    // Style 0: an overlapped window that is never shown.
    const HWND window =
        CreateWindowExW(0, className, title, 0, 50, 50, 300, 300, nullptr, nullptr, nullptr, nullptr);
    if (window == nullptr) LogSystemError(L"CreateWindowEx()");
    return window;
}

void RunThreadMessageLoop() {
    MSG message;
    for (;;) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0) return;  // WM_QUIT
        if (got == -1) {
            LogSystemError(L"GetMessage()");
            return;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

bool TabletThreadEnded() {
    const HANDLE thread = State().tabletThread.get();
    return thread == nullptr || WaitForSingleObject(thread, 0) != WAIT_TIMEOUT;
}

// Waits until the tablet listener window exists; null when the thread ended
// without one (it could not create it), or after limitMs.
HWND WaitForTabletWindow(DWORD limitMs, DWORD pollMs) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (TabletThreadEnded()) return nullptr;
        const HWND window = State().tabletWindow.load();
        if (window != nullptr) return window;
        if (limitMs != INFINITE && GetTickCount() - start >= limitMs) return nullptr;
        WaitForSingleObject(State().tabletThread.get(), pollMs);
    }
}

// Seconds and milliseconds of the current time, as one number modulo 0xFFFFFFFF.
unsigned int RandomSeed() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;  // 100 ns since 1601
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    const unsigned long long unixMs = (ticks.QuadPart - 116444736000000000ULL) / 10000ULL;
    return static_cast<unsigned int>(unixMs % 0xFFFFFFFFULL);
}

// Which server a socket event message belongs to. Each server's events are
// only taken on its own window, so no server is ever driven by the other
// thread, whoever posts the message.
Server* ServerForEvent(HWND window, UINT message) {
    const ServiceState& s = State();
    switch (message) {
    case kMsgCommandEvents:
        return window == s.socketsWindow.load() ? GetCommandServer() : nullptr;
    case kMsgAppsEvents:
        return window == s.socketsWindow.load() ? static_cast<Server*>(GetAppsServer()) : nullptr;
    case kMsgPressureEvents:
        return window == s.tabletWindow.load() ? static_cast<Server*>(GetPressureServer()) : nullptr;
    default:
        return nullptr;
    }
}

void HandleSocketEvent(Server* server, HWND window, UINT message, SOCKET socket, WORD event) {
    switch (event) {
    case FD_READ: {
        const int result = server->receive(socket);
        if (result == kResultRestartForUpdate) {
            // receive has closed them already; cancel only what is still open.
            if (server->listenSocket() != INVALID_SOCKET) WSAAsyncSelect(server->listenSocket(), window, 0, 0);
            if (server->hasClient(socket)) WSAAsyncSelect(socket, window, 0, 0);
            PostQuitMessage(0);
        } else if (result == kResultQuit) {
            LogMessage(std::string("Connection closed"));
            onConnectionClosed(server, socket, window);
        }
        break;
    }
    case FD_ACCEPT: {
        if (socket != server->listenSocket()) break;  // not this server's listener (a late or stray event)
        const SOCKET client = server->acceptClient();
        if (client == INVALID_SOCKET) {
            // The listener stays open: a connection that vanished before it
            // was accepted must not close the port for everyone else.
            WSAAsyncSelect(server->listenSocket(), window, message, FD_ACCEPT);
        } else if (WSAAsyncSelect(client, window, message, FD_READ | FD_CLOSE) != 0) {
            // A client whose events cannot reach us would wait forever.
            LogSystemError(L"WSAAsyncSelect()");
            server->handleConnectionLost(client);
        }
        break;
    }
    case FD_CLOSE:
        if (!server->hasClient(socket)) break;  // the server closed it already
        LogMessage(std::string("Unexpected connection lost"));
        onConnectionClosed(server, socket, window);
        break;
    default:
        LogFormatted("Unknown socket event %d", event);
        break;
    }
}

// Closes the pressure server on the thread that drives it. Only when that
// thread has ended does the main thread close it itself.
void ClosePressureServer() {
    PressureServer* pressure = GetPressureServer();
    if (pressure == nullptr) return;
    const HWND tabletWindow = State().tabletWindow.load();
    if (!TabletThreadEnded() && tabletWindow != nullptr) {
        DWORD_PTR closed = 0;
        if (SendMessageTimeoutW(tabletWindow, kMsgClosePressureServer, 0, 0, SMTO_NORMAL, kClosePressureServerMs,
                                &closed) &&
            closed != 0) {
            return;
        }
        if (!TabletThreadEnded()) {
            LogMessage(std::string("Pressure server left open: the tablet listener does not answer"));
            return;
        }
    }
    pressure->deinit(true);
}

}  // namespace

HWND GetSocketsListenerWindow() { return State().socketsWindow.load(); }

HWND GetTabletListenerWindow() { return State().tabletWindow.load(); }

bool runServers() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 0), &data);

    ServiceState& s = State();
    const HWND socketsWindow = CreateListenerWindow(kSocketsWindowClass, kSocketsWindowTitle);
    if (socketsWindow == nullptr) return false;
    s.socketsWindow.store(socketsWindow);
    registerTabletNotifications(socketsWindow);

    // The servers exist before the tablet thread starts, so that thread only
    // ever sees them complete.
    auto* command = new Server();
    auto* pressure = new PressureServer();
    auto* apps = new AppsCommunicationServer();
    SetServers(command, pressure, apps);
    const auto closeOnSocketsWindow = [](SOCKET socket) {
        const HWND window = State().socketsWindow.load();
        return window != nullptr && DeferSocketClose(window, socket);
    };
    command->setClientCloser(closeOnSocketsWindow);
    apps->setClientCloser(closeOnSocketsWindow);
    pressure->setClientCloser([](SOCKET socket) {
        const HWND window = State().tabletWindow.load();
        return window != nullptr && DeferSocketClose(window, socket);
    });

    s.tabletThread.reset(CreateThread(nullptr, 0, tabletListenerThread, nullptr, 0, nullptr));
    if (!s.tabletThread) LogSystemError(L"CreateThread()");
    WaitForTabletWindow(kTabletWindowStartMs, 10);

    srand(RandomSeed());

    Server* servers[kListenerCount] = {command, pressure, apps};
    int ports[kListenerCount];
    for (int i = 0; i < kListenerCount; ++i) ports[i] = servers[i]->listen();
    const bool distinct = ResolvePortCollisions(ports, [&servers](int index) {
        servers[index]->deinit(true);
        return servers[index]->listen();
    });
    if (!distinct || ports[0] < 1 || ports[1] < 1 || ports[2] < 1) {
        LogMessage(std::string("Unable to open the three listeners, not starting"));
        return false;
    }

    writeKeyFile(ports[0], ports[1], ports[2]);

    // Failed binds during the port search leave an error behind; only an
    // error of the registration below is worth reporting.
    WSASetLastError(0);
    bool registered = true;
    if (WSAAsyncSelect(command->listenSocket(), socketsWindow, kMsgCommandEvents, FD_ACCEPT) != 0) {
        LogMessage(std::string("Set events for port1 success: FALSE"));
        registered = false;
    } else if (WSAAsyncSelect(apps->listenSocket(), socketsWindow, kMsgAppsEvents, FD_ACCEPT) != 0) {
        LogMessage(std::string("Set events for port3 success: FALSE"));
        registered = false;
    } else {
        const HWND tabletWindow = WaitForTabletWindow(INFINITE, kTabletWindowPollMs);
        if (tabletWindow == nullptr ||
            WSAAsyncSelect(pressure->listenSocket(), tabletWindow, kMsgPressureEvents, FD_ACCEPT) != 0) {
            LogMessage(std::string("Set events for port2 success: FALSE"));
            registered = false;
        }
    }
    const int error = WSAGetLastError();
    if (error != 0) LogFormatted("Unable to perform WSAAsyncSelect on socket: %d", error);
    if (registered) scanAttachedDevices();
    return registered;
}

DWORD WINAPI tabletListenerThread(LPVOID) {
    const HWND window = CreateListenerWindow(kTabletWindowClass, kTabletWindowTitle);
    if (window == nullptr) return static_cast<DWORD>(-1);
    State().tabletWindow.store(window);
    setTabletListenerWindow(window);  // the hook library forwards the dock's pen messages here
    RunThreadMessageLoop();
    // The service goes on without this thread (the command and apps ports
    // keep serving); the window is gone, so nobody may use its handle.
    State().tabletWindow.store(nullptr);
    return 0;
}

LRESULT CALLBACK socketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DEVICECHANGE:
        // Broadcast device events reach the tablet listener window too; the
        // attached-tablet list belongs to the main thread alone.
        if (window == State().socketsWindow.load()) onDeviceChange(wParam, lParam);
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_CLOSE:
        // Ends the loop of the thread that owns this window.
        PostQuitMessage(0);
        return DefWindowProcW(window, message, wParam, lParam);
    case kMsgCommandEvents:
    case kMsgPressureEvents:
    case kMsgAppsEvents:
        if (Server* server = ServerForEvent(window, message)) {
            HandleSocketEvent(server, window, message, static_cast<SOCKET>(wParam), WSAGETSELECTEVENT(lParam));
        }
        return DefWindowProcW(window, message, wParam, lParam);
    case kMsgReleaseSocket:
        ReleaseDeferredSocket(static_cast<SOCKET>(wParam));
        return 0;
    case kMsgClosePressureServer:
        if (window != State().tabletWindow.load() || GetPressureServer() == nullptr) return 0;
        GetPressureServer()->deinit(true);
        return 1;
    default:
        // Pen notifications forwarded by the hook library, and everything else.
        return handleTabletMessage(window, message, wParam, lParam, GetPressureServer());
    }
}

void onConnectionClosed(Server* server, SOCKET socket, HWND window) {
    // Events are cancelled before the close: once closed, the handle may be
    // given to a new connection of either thread.
    if (server->hasClient(socket)) WSAAsyncSelect(socket, window, 0, 0);
    server->handleConnectionLost(socket);
    SetPressureStreaming(false);
    LogMessage(std::string("Sending pressure stopped"));
}

void runMessageLoop(HINSTANCE) {
    RunThreadMessageLoop();
    if (Server* command = GetCommandServer()) command->deinit(true);
    ClosePressureServer();
    WSACleanup();
    shutdownTablet();
}
