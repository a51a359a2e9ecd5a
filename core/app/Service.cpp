#include "core/app/Service.h"
#include "core/app/ServiceTesting.h"

#include <atomic>
#include <cstdlib>
#include <memory>

#include "core/app/Authorization.h"
#include "core/app/PortCollision.h"
#include "core/app/PortHandlers.h"
#include "core/app/SocketRelease.h"
#include "core/net/AppsCommunicationServer.h"
#include "core/net/BufferBudget.h"
#include "core/net/Limits.h"
#include "core/net/PressureServer.h"
#include "core/protocol/HookContract.h"
#include "core/protocol/ResultCodes.h"
#include "core/tablet/TabletDevices.h"
#include "core/tablet/TabletSession.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"

namespace {

constexpr wchar_t kSocketsWindowClass[] = L"MarlinSocksHookQ";
constexpr wchar_t kSocketsWindowTitle[] = L"MarlinSocketsListener";
constexpr const wchar_t* kTabletWindowClass = hookmsg::kTabletListenerClass;
constexpr wchar_t kTabletWindowTitle[] = L"MarlinTabletListener";

constexpr DWORD kTabletWindowStartMs = 500;  // how long start-up gives the thread before going on
constexpr DWORD kTabletWindowPollMs = 100;
constexpr DWORD kClosePressureServerMs = 5000;
// How long the shutdown waits for the tablet thread to leave its socket work.
// A hook refresh waits at most a few seconds for a dock's thread.
constexpr DWORD kTabletThreadEndMs = 10000;
// The system timer message; like WM_TIMER, DispatchMessage calls its lParam.
constexpr UINT kWmSysTimer = 0x0118;
// Turns given at once to an authorized client whose connection has ended,
// before a new client of its port is read (each turn is bounded).
constexpr int kEndedHolderTurns = 256;

bool RequestFlush(HWND window, UINT serverEvents);
void PostReadTurn(HWND window, UINT serverEvents, SOCKET socket);

// The turns and the socket closes a listener window gives the servers its
// thread drives: later turns are messages to the window, and a client socket
// is released only behind the events already queued for it.
class WindowTurns : public ServerTurns, public SocketCloser {
public:
    WindowTurns(const std::atomic<HWND>& window, UINT serverEvents) : window_(window), serverEvents_(serverEvents) {}
    bool requestFlush(Server&) override { return RequestFlush(window_.load(), serverEvents_); }
    void requestRead(Server&, SOCKET client) override { PostReadTurn(window_.load(), serverEvents_, client); }
    bool closeSocket(SOCKET socket) override {
        const HWND owner = window_.load();
        return owner != nullptr && DeferSocketClose(owner, socket);
    }

private:
    const std::atomic<HWND>& window_;
    UINT serverEvents_;
};

// The running service: its windows, the tablet-listener thread, the three
// servers with their handlers and turns, and the two budgets. Made afresh by
// resetService; everything is set up by runServers before the tablet thread
// starts, except the tablet window, which that thread sets. The window
// handles are read by both threads; the thread handle only by the main
// thread. Each budget belongs to the thread that drives its servers.
struct Service {
    std::atomic<HWND> socketsWindow{nullptr};
    std::atomic<HWND> tabletWindow{nullptr};
    marlin::unique_handle tabletThread;
    // Set by the main thread once its loop has ended, before it closes the
    // pressure server: only then may the tablet thread end.
    std::atomic<bool> stopping{false};
    // Set by the main thread when it asks its own loop to end (WM_CLOSE, the
    // update's restart): a WM_QUIT that anyone posted to the thread is no such request.
    std::atomic<bool> quitRequested{false};
    // WM_QUIT messages ignored, per thread's loop (each counted by its own thread).
    int ignoredQuitsMain = 0;
    int ignoredQuitsTablet = 0;
    // Socket events naming a socket no server knows (both threads count).
    std::atomic<int> strayEvents{0};
    bool started = false;  // runServers has begun
    bool stopped = false;  // the main loop's shutdown has run

    // Declared before the servers, which use them until they go.
    CommandPortHandler commandPort;
    TabletPortHandler tabletPort;
    AppsPortHandler appsPort;
    WindowTurns commandTurns{socketsWindow, kMsgCommandEvents};
    WindowTurns appsTurns{socketsWindow, kMsgAppsEvents};
    WindowTurns pressureTurns{tabletWindow, kMsgPressureEvents};
    BufferBudget mainBudget{netlimits::kMainBufferShare};
    BufferBudget pressureBudget{netlimits::kPressureBufferShare};
    std::unique_ptr<Server> command;
    std::unique_ptr<PressureServer> pressure;
    std::unique_ptr<AppsCommunicationServer> apps;
};

Service*& CurrentService() {
    static Service* service = new Service();  // replaced only by resetService
    return service;
}

Service& State() { return *CurrentService(); }

HWND CreateListenerWindow(const wchar_t* className, const wchar_t* title, WNDPROC procedure) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = procedure;
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

// The next message of the calling thread: 1, 0 for WM_QUIT, -1 on failure.
// A socket event already waiting is taken before anything else: other
// programs may post any number of messages to our windows, and the socket
// events behind them would wait until all were handled. Sent messages are
// handled inside both calls, as always. (A filtered peek also returns
// WM_QUIT, whatever the filter.)
int TakeMessage(MSG& message) {
    if (PeekMessageW(&message, nullptr, kMsgCommandEvents, kMsgAppsEvents, PM_REMOVE))
        return message.message == WM_QUIT ? 0 : 1;
    return GetMessageW(&message, nullptr, 0, 0);
}

// A timer message that names a callback: DispatchMessage would call that
// address. The service's timers have none, so it can only come from
// another program.
bool IsForeignTimerCallback(const MSG& message) {
    return (message.message == WM_TIMER || message.message == kWmSysTimer) && message.lParam != 0;
}

// The message loop of a listener thread, until a WM_QUIT that quitAccepted
// lets through.
void RunThreadMessageLoop(const char* owner, bool (*quitAccepted)(), int& ignoredQuits) {
    MSG message;
    for (;;) {
        const int got = TakeMessage(message);
        if (got == -1) {
            LogSystemError(L"GetMessage()");
            return;
        }
        if (got == 0) {
            if (quitAccepted()) return;
            if (IsLoggedCount(++ignoredQuits)) {
                LogMessage(std::string(owner) + ": WM_QUIT ignored, the service is not stopping (" +
                           std::to_string(ignoredQuits) + " so far)");
            }
            continue;
        }
        if (IsForeignTimerCallback(message)) {
            LogFormatted("%s: timer message with a callback address ignored", owner);
            continue;
        }
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

bool QuitWhenRequested() { return State().quitRequested.load(); }
bool QuitWhenStopping() { return State().stopping.load(); }

// Ends the main loop once the work in hand is done (the quit message goes to
// the calling thread: the main thread's loop is the one that may end).
void RequestQuit() {
    State().quitRequested = true;
    PostQuitMessage(0);
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
    const Service& s = State();
    switch (message) {
    case kMsgCommandEvents:
        return window == s.socketsWindow.load() ? s.command.get() : nullptr;
    case kMsgAppsEvents:
        return window == s.socketsWindow.load() ? s.apps.get() : nullptr;
    case kMsgPressureEvents:
        return window == s.tabletWindow.load() ? s.pressure.get() : nullptr;
    default:
        return nullptr;
    }
}

// What a turn's result asks of the loop: -6 leaves the main loop, -7 closes
// the client.
void ActOnReceiveResult(Server* server, HWND window, SOCKET socket, int result) {
    if (result == kResultRestartForUpdate) {
        // receive has closed them already; cancel only what is still open.
        if (server->listenSocket() != INVALID_SOCKET) WSAAsyncSelect(server->listenSocket(), window, 0, 0);
        if (server->hasClient(socket)) WSAAsyncSelect(socket, window, 0, 0);
        RequestQuit();
    } else if (result == kResultQuit) {
        LogMessage(std::string("Connection closed"));
        onConnectionClosed(server, socket, window);
    }
}

// A read event for the client, behind the events already queued: a later turn.
void PostReadTurn(HWND window, UINT serverEvents, SOCKET socket) {
    PostMessageW(window, serverEvents, socket, WSAMAKESELECTREPLY(FD_READ, 0));
}

// A read event: one bounded turn of reading and handling (the client gets
// another turn behind the other events when messages wait).
void HandleRead(Server* server, HWND window, UINT message, SOCKET socket) {
    const int result = server->receive(socket);
    if (server->wantsAnotherTurn(socket)) PostReadTurn(window, message, socket);
    ActOnReceiveResult(server, window, socket, result);
}

// Before a new client of a port that one client at a time may hold is read:
// when the holder's connection has already ended but its close waits behind
// its own turns (the thread was busy with a long command meanwhile), the
// dock reconnecting now would be refused although nobody holds the port any
// more. The holder's last messages are handled and its close is done first.
// A holder that is still connected is left as it is.
void CloseEndedHolder(Server* server, HWND window, SOCKET reader) {
    const SOCKET holder = server->authorizedSocket();
    if (holder == INVALID_SOCKET || holder == reader || !server->hasClient(holder)) return;
    if (server->peerState(holder) == Server::PeerState::Open) return;
    for (int turn = 0; turn < kEndedHolderTurns && server->hasClient(holder); ++turn) {
        if (!server->wantsAnotherTurn(holder) && server->peerState(holder) != Server::PeerState::DataPending) break;
        const int result = server->receive(holder);
        if (result == kResultRestartForUpdate || result == kResultQuit) {
            ActOnReceiveResult(server, window, holder, result);
            return;
        }
    }
    if (server->hasClient(holder) && !server->wantsAnotherTurn(holder) &&
        server->peerState(holder) == Server::PeerState::Gone) {
        LogMessage(std::string("Unexpected connection lost"));
        onConnectionClosed(server, holder, window);
    }
}

// Any program can post socket events with invented socket numbers, as fast
// as it likes: one that names no client of the server, or an accept while no
// connection waits, costs a counter here, never a read, a turn or a log line.
void CountStrayEvent() {
    const int count = ++State().strayEvents;
    if (IsLoggedCount(count)) LogFormatted("Socket events for sockets no server knows ignored: %d", count);
}

bool ConnectionWaiting(SOCKET listener) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener, &ready);
    timeval now = {0, 0};
    return select(0, &ready, nullptr, nullptr, &now) == 1;
}

void HandleSocketEvent(Server* server, HWND window, UINT message, SOCKET socket, LPARAM lParam) {
    const WORD event = WSAGETSELECTEVENT(lParam);
    const bool forListener = event == FD_ACCEPT && socket == server->listenSocket();
    if (!forListener && !server->hasClient(socket)) {
        CountStrayEvent();  // a late event for a closed client is one too
        return;
    }
    switch (event) {
    case FD_READ:
        CloseEndedHolder(server, window, socket);
        HandleRead(server, window, message, socket);
        break;
    case FD_WRITE:
        server->onWritable(socket);
        break;
    case FD_ACCEPT: {
        if (!forListener) break;  // a client's socket
        if (!ConnectionWaiting(socket)) {
            // Accept events come again only after an accept or a new registration.
            WSAAsyncSelect(socket, window, message, FD_ACCEPT);
            CountStrayEvent();
            break;
        }
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
            // Input held back behind unsent output is read when the output
            // drains; posting the close again meanwhile would only spin.
            if (server->inputHeld(socket)) break;
            HandleRead(server, window, message, socket);
            if (server->hasClient(socket)) PostMessageW(window, message, socket, lParam);
            break;
        }
        break;
    default:
        CountStrayEvent();  // no event Winsock sends us
        break;
    }
}

// Asks the server's window for another turn of sending; the message names
// the server by its event number, so a posted copy can only make a server
// send what it has queued anyway.
bool RequestFlush(HWND window, UINT serverEvents) {
    return window != nullptr && PostMessageW(window, kMsgFlushOutput, serverEvents, 0);
}

// Closes the pressure server on the thread that drives it, which then ends
// (the service is stopping). Only when that thread has ended already does the
// main thread close it itself.
void ClosePressureServer() {
    PressureServer* pressure = State().pressure.get();
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
    pressure->deinit();
}

// True when the tablet thread has ended within limitMs: none of its socket
// work can then run any more.
bool WaitForTabletThreadEnd(DWORD limitMs) {
    const HANDLE thread = State().tabletThread.get();
    return thread == nullptr || WaitForSingleObject(thread, limitMs) != WAIT_TIMEOUT;
}

// What each listener window does for the servers its thread drives: their
// socket events, a later turn of sending, a deferred socket release.
LRESULT ServeOwnServers(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case kMsgFlushOutput:
        if (Server* server = ServerForEvent(window, static_cast<UINT>(wParam))) server->flushWaiting();
        return 0;
    case kMsgReleaseSocket:
        ReleaseDeferredSocket(static_cast<SOCKET>(wParam));
        return 0;
    default:
        if (Server* server = ServerForEvent(window, message)) {
            HandleSocketEvent(server, window, message, static_cast<SOCKET>(wParam), lParam);
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

HWND GetSocketsListenerWindow() { return State().socketsWindow.load(); }

HWND GetTabletListenerWindow() { return State().tabletWindow.load(); }

Server* GetCommandServer() { return State().command.get(); }

PressureServer* GetPressureServer() { return State().pressure.get(); }

bool runServers() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 0), &data);

    Service& s = State();
    s.started = true;
    // The key exists before any thread or client can ask for it.
    getAuthKey();
    const HWND socketsWindow = CreateListenerWindow(kSocketsWindowClass, kSocketsWindowTitle, socketWindowProc);
    if (socketsWindow == nullptr) return false;
    s.socketsWindow.store(socketsWindow);
    registerTabletNotifications(socketsWindow);

    // The servers exist before the tablet thread starts, so that thread only
    // ever sees them complete.
    s.command = std::make_unique<Server>();
    s.pressure = std::make_unique<PressureServer>();
    s.apps = std::make_unique<AppsCommunicationServer>();
    Server& command = *s.command;
    PressureServer& pressure = *s.pressure;
    Server& apps = *s.apps;
    command.setHandler(&s.commandPort);
    command.setTurns(&s.commandTurns);
    command.setCloser(&s.commandTurns);
    apps.setHandler(&s.appsPort);
    apps.setTurns(&s.appsTurns);
    apps.setCloser(&s.appsTurns);
    pressure.setHandler(&s.tabletPort);
    pressure.setTurns(&s.pressureTurns);
    pressure.setCloser(&s.pressureTurns);
    s.mainBudget.attach(command);
    s.mainBudget.attach(apps);
    s.pressureBudget.attach(pressure);

    s.tabletThread.reset(CreateThread(nullptr, 0, tabletListenerThread, nullptr, 0, nullptr));
    if (!s.tabletThread) LogSystemError(L"CreateThread()");
    WaitForTabletWindow(kTabletWindowStartMs, 10);

    srand(RandomSeed());

    Server* servers[kListenerCount] = {&command, &pressure, &apps};
    int ports[kListenerCount];
    for (int i = 0; i < kListenerCount; ++i) ports[i] = servers[i]->listen();
    const bool distinct = ResolvePortCollisions(ports, [&servers](int index) {
        servers[index]->deinit();
        return servers[index]->listen();
    });
    if (!distinct || ports[0] < 1 || ports[1] < 1 || ports[2] < 1) {
        LogMessage(std::string("Unable to open the three listeners, not starting"));
        return false;
    }

    // Ports nobody can learn serve nobody: without the key file, no start.
    if (!writeKeyFile(ports[0], ports[1], ports[2])) {
        LogMessage(std::string("Key file not written, not starting"));
        return false;
    }

    // Failed binds during the port search leave an error behind; only an
    // error of the registration below is worth reporting.
    WSASetLastError(0);
    bool registered = true;
    if (WSAAsyncSelect(command.listenSocket(), socketsWindow, kMsgCommandEvents, FD_ACCEPT) != 0) {
        LogMessage(std::string("Set events for port1 success: FALSE"));
        registered = false;
    } else if (WSAAsyncSelect(apps.listenSocket(), socketsWindow, kMsgAppsEvents, FD_ACCEPT) != 0) {
        LogMessage(std::string("Set events for port3 success: FALSE"));
        registered = false;
    } else {
        const HWND tabletWindow = WaitForTabletWindow(INFINITE, kTabletWindowPollMs);
        if (tabletWindow == nullptr ||
            WSAAsyncSelect(pressure.listenSocket(), tabletWindow, kMsgPressureEvents, FD_ACCEPT) != 0) {
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
    const HWND window = CreateListenerWindow(kTabletWindowClass, kTabletWindowTitle, tabletWindowProc);
    if (window == nullptr) return static_cast<DWORD>(-1);
    State().tabletWindow.store(window);
    setTabletListenerWindow(window);  // the hook library forwards the dock's pen messages here
    // Pen readers that stopped taking the stream are closed by time, not only
    // when the next token is refused for them.
    if (SetTimer(window, kStalledOutputTimer, netlimits::kAuthorizationCheckMs, nullptr) == 0)
        LogSystemError(L"SetTimer()");
    RunThreadMessageLoop("Tablet listener", QuitWhenStopping, State().ignoredQuitsTablet);
    // The window goes with the thread, so nobody may use its handle.
    State().tabletWindow.store(nullptr);
    return 0;
}

LRESULT CALLBACK socketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_DEVICECHANGE:
        if (State().command) onDeviceChange(wParam, lParam, *State().command);
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_TIMER:
        if (wParam == kAuthorizationTimer && State().command) {
            const DWORD now = GetTickCount();
            State().command->expireUnauthorized(now);
            State().command->closeStalled(now);
            if (State().apps) State().apps->closeStalled(now);
            return 0;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    case WM_CLOSE:
        // Stops the service: ends the main loop.
        RequestQuit();
        return DefWindowProcW(window, message, wParam, lParam);
    case kMsgCommandEvents:
    case kMsgAppsEvents:
    case kMsgFlushOutput:
    case kMsgReleaseSocket:
        return ServeOwnServers(window, message, wParam, lParam);
    default:
        // Everything else, pen messages included, changes nothing here.
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

LRESULT CALLBACK tabletWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case kMsgPressureEvents:
    case kMsgFlushOutput:
    case kMsgReleaseSocket:
        return ServeOwnServers(window, message, wParam, lParam);
    case WM_TIMER:
        // Only our own timer: a posted WM_TIMER naming a callback would
        // otherwise have DefWindowProc call into an address of anyone's choosing.
        if (wParam == kStalledOutputTimer && State().pressure) State().pressure->closeStalled(GetTickCount());
        return 0;
    case kMsgClosePressureServer:
        if (!State().stopping.load() || window != State().tabletWindow.load()) {
            LogMessage(std::string("Tablet listener: pressure server close ignored, the service is not stopping"));
            return 0;
        }
        if (State().pressure) State().pressure->deinit();
        PostQuitMessage(0);  // the loop ends once the work in hand is done
        return 1;
    case WM_CLOSE:
        // Not passed on: DefWindowProc would destroy the window, and the pen
        // stream and the pressure port with it. The service's own shutdown
        // ends this thread with the close message above.
        LogMessage(std::string("Tablet listener: WM_CLOSE ignored, only the service's shutdown ends it"));
        return 0;
    default:
        if (!isPenNotification(message)) return DefWindowProcW(window, message, wParam, lParam);
        // The hook library sends every pen notification from the dock's
        // thread (a notify send: the dock does not wait for it), signed with
        // the session key; a posted one comes from someone else.
        if (InSendMessageEx(nullptr) == ISMEX_NOSEND) {
            LogFormatted("Tablet listener: posted pen message 0x%04X ignored", static_cast<int>(message));
            return 0;
        }
        // Sent, but perhaps by another program: only the hook library has the key.
        if (!takeSignedPenNotification(message, lParam)) return 0;
        return handleTabletMessage(window, message, wParam, lParam, State().pressure.get());
    }
}

void onConnectionClosed(Server* server, SOCKET socket, HWND window) {
    // Events are cancelled before the close: once closed, the handle may be
    // given to a new connection of either thread.
    if (server->hasClient(socket)) WSAAsyncSelect(socket, window, 0, 0);
    server->handleConnectionLost(socket);
}

namespace {

// The shutdown after the main loop: the servers are closed, each on its own
// thread, and the socket layer once the tablet thread has ended. True when
// it has ended.
bool StopService() {
    Service& s = State();
    s.stopped = true;
    s.stopping.store(true);
    if (s.command) s.command->deinit();
    ClosePressureServer();  // the apps server stays open until the process ends
    // The tablet thread may still be inside a pressure-port turn (a close
    // handled during its hook refresh returns into it): the socket layer is
    // cleaned up only once that thread has ended.
    if (!WaitForTabletThreadEnd(kTabletThreadEndMs)) {
        LogMessage(std::string("Tablet listener still running, socket layer left to the process end"));
        return false;
    }
    WSACleanup();
    return true;
}

}  // namespace

void runMessageLoop(HINSTANCE) {
    RunThreadMessageLoop("Sockets listener", QuitWhenRequested, State().ignoredQuitsMain);
    StopService();
    shutdownTablet();
}

bool resetService() {
    Service* old = CurrentService();
    if (old->apps) old->apps->deinit();  // its channels are freed (a service keeps it open until its end)
    if (old->started && !old->stopped && !StopService()) return false;
    if (!TabletThreadEnded()) return false;  // its thread may still use the record
    const HWND socketsWindow = old->socketsWindow.load();
    if (socketsWindow != nullptr) DestroyWindow(socketsWindow);
    delete old;
    CurrentService() = new Service();
    resetTabletSession();
    ResetAttachedTablets();
    return true;
}
