#include "core/app/Service.h"
#include "core/app/ServiceTesting.h"

#include <atomic>
#include <cstdlib>

#include "core/app/Authorization.h"
#include "core/app/PortCollision.h"
#include "core/app/SocketRelease.h"
#include "core/channels/Channels.h"
#include "core/commands/CommandHandler.h"
#include "core/net/AppsCommunicationServer.h"
#include "core/net/BufferBudget.h"
#include "core/net/Limits.h"
#include "core/net/PressureServer.h"
#include "core/net/ResultCodes.h"
#include "core/tablet/TabletCommands.h"
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

// The service's handles, set once at start. The window handles and the
// servers are read by both threads; the thread handle only by the main
// thread. Each budget belongs to the thread that drives its servers.
struct ServiceState {
    std::atomic<HWND> socketsWindow{nullptr};
    std::atomic<HWND> tabletWindow{nullptr};
    marlin::unique_handle tabletThread;
    std::atomic<Server*> command{nullptr};
    std::atomic<PressureServer*> pressure{nullptr};
    std::atomic<AppsCommunicationServer*> apps{nullptr};
    BufferBudget mainBudget{netlimits::kMainBufferShare};
    BufferBudget pressureBudget{netlimits::kPressureBufferShare};
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
        return window == s.socketsWindow.load() ? s.command.load() : nullptr;
    case kMsgAppsEvents:
        return window == s.socketsWindow.load() ? static_cast<Server*>(s.apps.load()) : nullptr;
    case kMsgPressureEvents:
        return window == s.tabletWindow.load() ? static_cast<Server*>(s.pressure.load()) : nullptr;
    default:
        return nullptr;
    }
}

// A read event: one bounded turn of reading and handling (the client gets
// another turn behind the other events when messages wait); -6 leaves the
// main loop, -7 closes the client.
void HandleRead(Server* server, HWND window, UINT message, SOCKET socket) {
    const int result = server->receive(socket);
    if (server->wantsAnotherTurn(socket)) PostMessageW(window, message, socket, WSAMAKESELECTREPLY(FD_READ, 0));
    if (result == kResultRestartForUpdate) {
        // receive has closed them already; cancel only what is still open.
        if (server->listenSocket() != INVALID_SOCKET) WSAAsyncSelect(server->listenSocket(), window, 0, 0);
        if (server->hasClient(socket)) WSAAsyncSelect(socket, window, 0, 0);
        PostQuitMessage(0);
    } else if (result == kResultQuit) {
        LogMessage(std::string("Connection closed"));
        onConnectionClosed(server, socket, window);
    }
}

void HandleSocketEvent(Server* server, HWND window, UINT message, SOCKET socket, LPARAM lParam) {
    const WORD event = WSAGETSELECTEVENT(lParam);
    switch (event) {
    case FD_READ:
        HandleRead(server, window, message, socket);
        break;
    case FD_WRITE:
        server->onWritable(socket);
        break;
    case FD_ACCEPT: {
        if (socket != server->listenSocket()) break;  // not this server's listener (a late or stray event)
        const SOCKET client = server->acceptClient();
        if (client == INVALID_SOCKET) {
            // The listener stays open: a connection that vanished before it
            // was accepted must not close the port for everyone else.
            WSAAsyncSelect(server->listenSocket(), window, message, FD_ACCEPT);
        } else if (WSAAsyncSelect(client, window, message, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
            // A client whose events cannot reach us would wait forever.
            LogSystemError(L"WSAAsyncSelect()");
            server->handleConnectionLost(client);
        }
        break;
    }
    case FD_CLOSE:
        if (!server->hasClient(socket)) break;  // the server closed it already
        // Any program may post this message: the socket itself must say it
        // is closed or failing. Data the peer sent before closing is handled
        // first, one read per event.
        switch (server->peerState(socket)) {
        case Server::PeerState::Open:
            LogFormatted("Close event for an open connection ignored [%d]", server->port());
            break;
        case Server::PeerState::Gone:
            if (!server->wantsAnotherTurn(socket)) {
                LogMessage(std::string("Unexpected connection lost"));
                onConnectionClosed(server, socket, window);
                break;
            }
            // its last messages are handled first
            [[fallthrough]];
        case Server::PeerState::DataPending:
            HandleRead(server, window, message, socket);
            if (server->hasClient(socket)) PostMessageW(window, message, socket, lParam);
            break;
        }
        break;
    default:
        LogFormatted("Unknown socket event %d", event);
        break;
    }
}

// Asks the server's window for another turn of sending; the message names
// the server by its event number, so a posted copy can only make a server
// send what it has queued anyway.
bool RequestFlush(HWND window, UINT serverEvents) {
    return window != nullptr && PostMessageW(window, kMsgFlushOutput, serverEvents, 0);
}

// Closes the pressure server on the thread that drives it. Only when that
// thread has ended does the main thread close it itself.
void ClosePressureServer() {
    PressureServer* pressure = State().pressure.load();
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

Server* GetCommandServer() { return State().command.load(); }

PressureServer* GetPressureServer() { return State().pressure.load(); }

AppsCommunicationServer* GetAppsServer() { return State().apps.load(); }

ServerHooks CommandServerHooks() {
    ServerHooks hooks;
    hooks.handleMessage = [](Server&, SOCKET, const std::wstring& message) {
        return CommandHandler::HandleCommand(message);
    };
    hooks.checkKey = checkAuthorization;
    // The dock learns at once which tablets are plugged in.
    hooks.onAuthorized = [](Server& server, SOCKET) { reportAttachedDevices(server); };
    return hooks;
}

ServerHooks PressureServerHooks() {
    ServerHooks hooks;
    hooks.handleMessage = [](Server&, SOCKET, const std::wstring& message) { return handleTabletCommand(message); };
    hooks.checkKey = checkAuthorization;
    hooks.isKeyAttempt = isAuthorizationAttempt;
    hooks.onStreamStart = [] {
        initWinTab(nullptr);
        sendHookRefresh();
        penStreamStarted();
    };
    hooks.onStreamStop = penStreamStopped;
    return hooks;
}

ServerHooks AppsServerHooks() {
    ServerHooks hooks;
    hooks.handleMessage = [](Server& server, SOCKET client, const std::wstring& message) {
        return HandleCommandFromSocket(server, message, client);
    };
    hooks.onClientClosed = [](Server& server, SOCKET client) { CommandHandler::FreeChannel(server, client); };
    return hooks;
}

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
    const auto closeOnSocketsWindow = [](SOCKET socket) {
        const HWND window = State().socketsWindow.load();
        return window != nullptr && DeferSocketClose(window, socket);
    };
    ServerHooks commandHooks = CommandServerHooks();
    commandHooks.closeSocket = closeOnSocketsWindow;
    commandHooks.requestFlush = [](Server&) { return RequestFlush(State().socketsWindow.load(), kMsgCommandEvents); };
    command->setHooks(std::move(commandHooks));
    ServerHooks appsHooks = AppsServerHooks();
    appsHooks.closeSocket = closeOnSocketsWindow;
    appsHooks.requestFlush = [](Server&) { return RequestFlush(State().socketsWindow.load(), kMsgAppsEvents); };
    apps->setHooks(std::move(appsHooks));
    ServerHooks pressureHooks = PressureServerHooks();
    pressureHooks.closeSocket = [](SOCKET socket) {
        const HWND window = State().tabletWindow.load();
        return window != nullptr && DeferSocketClose(window, socket);
    };
    pressureHooks.requestFlush = [](Server&) { return RequestFlush(State().tabletWindow.load(), kMsgPressureEvents); };
    pressure->setHooks(std::move(pressureHooks));
    s.mainBudget.attach(*command);
    s.mainBudget.attach(*apps);
    s.pressureBudget.attach(*pressure);
    s.command.store(command);
    s.pressure.store(pressure);
    s.apps.store(apps);

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
    if (registered && SetTimer(socketsWindow, kAuthorizationTimer, netlimits::kAuthorizationCheckMs, nullptr) == 0) {
        LogSystemError(L"SetTimer()");  // late strangers are then only bounded by their number
    }
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
        if (window == State().socketsWindow.load() && State().command.load() != nullptr)
            onDeviceChange(wParam, lParam, *State().command.load());
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_TIMER:
        if (wParam == kAuthorizationTimer && window == State().socketsWindow.load() && State().command.load()) {
            State().command.load()->expireUnauthorized(GetTickCount());
            return 0;
        }
        return handleTabletMessage(window, message, wParam, lParam, State().pressure.load());
    case WM_CLOSE:
        // Ends the loop of the thread that owns this window.
        PostQuitMessage(0);
        return DefWindowProcW(window, message, wParam, lParam);
    case kMsgCommandEvents:
    case kMsgPressureEvents:
    case kMsgAppsEvents:
        if (Server* server = ServerForEvent(window, message)) {
            HandleSocketEvent(server, window, message, static_cast<SOCKET>(wParam), lParam);
        }
        return DefWindowProcW(window, message, wParam, lParam);
    case kMsgFlushOutput:
        if (Server* server = ServerForEvent(window, static_cast<UINT>(wParam))) server->flushWaiting();
        return 0;
    case kMsgReleaseSocket:
        ReleaseDeferredSocket(static_cast<SOCKET>(wParam));
        return 0;
    case kMsgClosePressureServer:
        if (window != State().tabletWindow.load() || State().pressure.load() == nullptr) return 0;
        State().pressure.load()->deinit(true);
        return 1;
    default:
        // Pen notifications forwarded by the hook library, and everything else.
        return handleTabletMessage(window, message, wParam, lParam, State().pressure.load());
    }
}

void onConnectionClosed(Server* server, SOCKET socket, HWND window) {
    // Events are cancelled before the close: once closed, the handle may be
    // given to a new connection of either thread.
    if (server->hasClient(socket)) WSAAsyncSelect(socket, window, 0, 0);
    server->handleConnectionLost(socket);
}

void runMessageLoop(HINSTANCE) {
    RunThreadMessageLoop();
    if (Server* command = State().command.load()) command->deinit(true);
    ClosePressureServer();
    WSACleanup();
    shutdownTablet();
}
