#include "core/tablet/TabletSession.h"
#include "core/tablet/TabletSessionTesting.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <utility>
#include <vector>

#include <ntsecapi.h>

#include "core/net/PressureServer.h"
#include "core/protocol/HookContract.h"
#include "core/tablet/PenEvents.h"
#include "core/util/Log.h"

namespace {

constexpr DWORD kStartupGraceSeconds = 60;
constexpr DWORD kStartupDelayMs = 10000;
// A dock thread that does not answer the context request within this time is
// hung; the listener thread must not hang with it (the pen stream and the
// pressure port both live on that thread).
constexpr UINT kHookRefreshTimeoutMs = 5000;

// The secret the hook library signs its forwards with: random, its lowest bit
// clear (that bit tells proximity in from out), never 0. Only the service and
// the library in the dock's thread learn it.
LPARAM MakeSessionKey() {
    LPARAM key = 0;
    if (!RtlGenRandom(&key, sizeof(key))) {
        // No system random source: the time and ids still differ per session.
        key = static_cast<LPARAM>((GetTickCount() * 2654435761u) ^ (GetCurrentProcessId() << 7));
    }
    key &= ~hookmsg::kProximityEntering;
    return key != 0 ? key : 2;
}

// wintab32.dll from the system folder only, never through the search path
// (the current folder or PATH could hold any library of that name). In a
// 32-bit process on 64-bit Windows this is the 32-bit system folder.
marlin::unique_hmodule LoadWinTabLibrary() {
    wchar_t folder[MAX_PATH] = L"";
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return marlin::unique_hmodule();
    const std::wstring path = std::wstring(folder, length) + L"\\wintab32.dll";
    return marlin::unique_hmodule(LoadLibraryW(path.c_str()));
}

BOOL CALLBACK AddMonitor(HMONITOR, HDC, LPRECT rect, LPARAM rects) {
    reinterpret_cast<std::vector<RECT>*>(rects)->push_back(*rect);
    return TRUE;
}

std::vector<RECT> EnumerateMonitors() {
    std::vector<RECT> rects;
    RECT screen;
    screen.left = GetSystemMetrics(SM_XVIRTUALSCREEN);
    screen.top = GetSystemMetrics(SM_YVIRTUALSCREEN);
    screen.right = screen.left + GetSystemMetrics(SM_CXVIRTUALSCREEN);
    screen.bottom = screen.top + GetSystemMetrics(SM_CYVIRTUALSCREEN);
    rects.push_back(screen);
    EnumDisplayMonitors(nullptr, nullptr, AddMonitor, reinterpret_cast<LPARAM>(&rects));
    return rects;
}

// The driver and the desktop as the session has them; used under the session lock.
class SessionPenInput : public PenInput {
public:
    SessionPenInput(TabletSession& session, TabletSessionLock& lock) : session_(session), lock_(lock) {}
    bool readPacket(LPARAM context, WPARAM serial, wintab::Packet& packet) override {
        return session_.initialized &&
               session_.WTPacket(reinterpret_cast<wintab::HCTX>(context), static_cast<UINT>(serial), &packet) != FALSE;
    }
    bool ensureWinTab(const char* why) override {
        if (session_.initialized) return true;
        LogMessage(std::string(why));
        // initWinTab takes the lock itself and loads a library: step out of
        // the lock meanwhile. The pen state stays as it is; only another
        // message handled in between could change it, as it could before.
        const HWND listener = session_.listenerWindow;
        lock_.unlock();
        const bool loaded = initWinTab(session_, listener);
        lock_.relock();
        return loaded && session_.initialized;
    }
    UINT cursorType(UINT cursor) override {
        UINT type = 0;
        session_.WTInfoW(wintab::WTI_CURSORS + cursor, wintab::CSR_TYPE, &type);
        return type;
    }
    void flushPackets(WPARAM context) override {
        if (session_.WTPacketsGet != nullptr)
            session_.WTPacketsGet(reinterpret_cast<wintab::HCTX>(context), 1000, nullptr);
    }
    POINT cursorPosition() override {
        POINT p{0, 0};
        GetCursorPos(&p);
        return p;
    }
    std::vector<RECT> monitorRects() override { return EnumerateMonitors(); }
    LONG inputExtentX() override { return session_.inputExtentX; }
    LONG inputExtentY() override { return session_.inputExtentY; }

private:
    TabletSession& session_;
    TabletSessionLock& lock_;
};

// The pressure port as the pen logic sees it under the session lock: what
// one message sends is kept, in order, and sent once the lock is released.
class PressurePortOutput : public PenOutput {
public:
    explicit PressurePortOutput(PressureServer* server) : server_(server) {}
    bool streaming() override { return server_ != nullptr && server_->streaming(); }
    void broadcast(const std::wstring& word) override { sends_.push_back({Send::Word, word, 0, {}}); }
    void sendPressureNumber(int pressure) override { sends_.push_back({Send::Number, {}, pressure, {}}); }
    void sendPressureToken(const std::string& token) override { sends_.push_back({Send::Token, {}, 0, token}); }

    // Without the session lock. The words, values and tokens of one packet
    // leave in one send per client.
    void send() {
        if (server_ == nullptr || sends_.empty()) return;
        Server::OutputBatch batch(*server_);
        for (const Send& s : sends_) {
            switch (s.kind) {
            case Send::Word: server_->broadcast(s.word); break;
            case Send::Number: server_->sendPressureNumber(s.number); break;
            case Send::Token: server_->sendPressureToken(s.token); break;
            }
        }
    }

private:
    struct Send {
        enum Kind { Word, Number, Token } kind;
        std::wstring word;
        int number;
        std::string token;
    };
    PressureServer* server_;
    std::vector<Send> sends_;
};

}  // namespace

TabletSession::TabletSession()
    : endingEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)), sessionKey(MakeSessionKey()) {
    InitializeCriticalSection(&section_);
}

// Only its own delayed starts may still use the session: their wait is ended
// here, and what is left of their work waits at most for a hung dock. The
// hooks, the hook library and WinTab then go in that order.
TabletSession::~TabletSession() {
    if (endingEvent) SetEvent(endingEvent.get());
    for (const marlin::unique_handle& thread : delayedStarts) WaitForSingleObject(thread.get(), INFINITE);
    DeleteCriticalSection(&section_);
}

void setTabletListenerWindow(TabletSession& session, HWND window) {
    if (window == nullptr) return;
    TabletSessionLock lock = session.lock();
    session.listenerWindow = window;
}

bool initWinTab(TabletSession& session, HWND window) {
    LogMessage(std::string("WinTab init called."));
    {
        TabletSessionLock lock = session.lock();
        if (window != nullptr) session.listenerWindow = window;
        if (session.initialized) return true;
        if (session.shutDown) return false;
    }

    // Loaded, resolved and asked for its extents outside the lock; only the
    // result is published under it. A library that loses the race to another
    // thread, or comes too late for the shutdown, is freed after the lock.
    marlin::unique_hmodule module = LoadWinTabLibrary();
    if (!module) {
        LogMessage(std::string("WinTab not installed."));
        return false;
    }
    auto info = wintab::Resolve<wintab::WTInfoWFn>(module.get(), "WTInfoW");
    auto packet = wintab::Resolve<wintab::WTPacketFn>(module.get(), "WTPacket");
    auto packetsGet = wintab::Resolve<wintab::WTPacketsGetFn>(module.get(), "WTPacketsGet");
    if (info == nullptr || packet == nullptr) return false;  // the library is freed; a later call tries afresh

    LONG extentX = -1;
    LONG extentY = -1;
    info(wintab::WTI_DEFSYSCTX, wintab::CTX_INEXTX, &extentX);
    info(wintab::WTI_DEFSYSCTX, wintab::CTX_INEXTY, &extentY);

    TabletSessionLock lock = session.lock();
    if (session.initialized) return true;
    if (session.shutDown) return false;
    session.winTabModule = std::move(module);
    session.WTInfoW = info;
    session.WTPacket = packet;
    session.WTPacketsGet = packetsGet;
    session.inputExtentX = extentX;
    session.inputExtentY = extentY;
    session.initialized = true;
    return true;
}

namespace {

// A request to the hook library in each window's thread (WM_NULL carrying the
// request and the listener window); a hung dock is given up on.
void SendHookRequest(const std::vector<HWND>& windows, HWND listener, WPARAM request) {
    for (HWND window : windows) {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(window, WM_NULL, request, reinterpret_cast<LPARAM>(listener),
                            SMTO_NORMAL | SMTO_ABORTIFHUNG, kHookRefreshTimeoutMs, &ignored);
    }
}

// The hooked windows and the listener window, copied under the lock.
std::vector<HWND> HookedWindows(TabletSession& session, HWND& listener) {
    TabletSessionLock lock = session.lock();
    std::vector<HWND> windows;
    for (const auto& entry : session.hookedWindows) windows.push_back(entry.first);
    listener = session.listenerWindow;
    return windows;
}

}  // namespace

void sendHookRefresh(TabletSession& session) {
    HWND listener = nullptr;
    const std::vector<HWND> windows = HookedWindows(session, listener);
    // Without the lock: the dock's thread answers with MSG_CONTEXT_RESULT to
    // the listener thread, which may itself need the lock meanwhile.
    // The key goes first: the library signs its answer to the open request with it.
    for (HWND window : windows) {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(window, WM_NULL, hookmsg::MSG_SESSION_KEY, session.sessionKey,
                            SMTO_NORMAL | SMTO_ABORTIFHUNG, kHookRefreshTimeoutMs, &ignored);
        SendHookRequest({window}, listener, hookmsg::MSG_CONTEXT_OPEN);
    }
}

// Before the hooks go, the hook library in the window's thread is asked to
// close its context: once unhooked, the library is unloaded from the dock's
// process, and closing a driver context is no work for its unload (the
// loader lock). Sent without the lock, like the refresh.
bool removeHook(TabletSession& session, HWND window) {
    HWND listener = nullptr;
    {
        TabletSessionLock lock = session.lock();
        if (session.hookedWindows.count(window) == 0) return true;
        listener = session.listenerWindow;
    }
    SendHookRequest({window}, listener, hookmsg::MSG_CONTEXT_CLOSE);
    TabletSessionLock lock = session.lock();
    session.hookedWindows.erase(window);  // unhooks both
    return true;
}

void shutdownTablet(TabletSession& session) {
    // Taken out under the lock, given back after it in this order: the
    // hooks, the hook library, WinTab (locals end in reverse order).
    marlin::unique_hmodule winTab;
    marlin::unique_hmodule hookLibrary;
    std::map<HWND, HookedWindow> hooks;
    HWND listener = nullptr;
    const std::vector<HWND> windows = HookedWindows(session, listener);
    SendHookRequest(windows, listener, hookmsg::MSG_CONTEXT_CLOSE);  // as removeHook
    TabletSessionLock lock = session.lock();
    session.shutDown = true;
    hooks.swap(session.hookedWindows);
    hookLibrary = std::move(session.hookModule);
    session.initialized = false;
    session.WTInfoW = nullptr;
    session.WTPacket = nullptr;
    session.WTPacketsGet = nullptr;
    winTab = std::move(session.winTabModule);
    lock.unlock();
}

DWORD WINAPI delayedTabletStart(LPVOID parameter) {
    TabletSession& session = *static_cast<TabletSession*>(parameter);
    bool ending = false;
    if (clock() / CLOCKS_PER_SEC < static_cast<clock_t>(kStartupGraceSeconds)) {
        if (!session.endingEvent) {
            Sleep(kStartupDelayMs);
        } else {
            ending = WaitForSingleObject(session.endingEvent.get(), kStartupDelayMs) == WAIT_OBJECT_0;
        }
    }
    session.delayedStartWaiting = false;  // from here on a new request needs a thread of its own
    if (ending) return 0;  // the session is going: nothing left to start
    initWinTab(session, nullptr);
    sendHookRefresh(session);
    return 0;
}

void startDelayedTabletStart(TabletSession& session) {
    if (session.delayedStartWaiting.exchange(true)) return;
    marlin::unique_handle thread(CreateThread(nullptr, 0, delayedTabletStart, &session, 0, nullptr));
    if (!thread) {
        session.delayedStartWaiting = false;
        LogSystemError(L"CreateThread()");
        return;
    }
    // Kept until the thread has ended: the session must outlive it. The
    // ended ones are given back here, so the list stays short.
    TabletSessionLock lock = session.lock();
    std::vector<marlin::unique_handle>& threads = session.delayedStarts;
    threads.erase(std::remove_if(threads.begin(), threads.end(),
                                 [](const marlin::unique_handle& t) {
                                     return WaitForSingleObject(t.get(), 0) != WAIT_TIMEOUT;
                                 }),
                  threads.end());
    threads.push_back(std::move(thread));
}

bool isPenNotification(UINT message) {
    switch (message) {
    case hookmsg::MSG_CONTEXT_RESULT:
    case wintab::WT_PACKET:
    case wintab::WT_PROXIMITY:
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
        return true;
    default:
        return false;
    }
}

bool takeSignedPenNotification(TabletSession& session, UINT message, LPARAM& lParam) {
    const LPARAM key = session.sessionKey;
    bool signedByHook = true;
    switch (message) {
    case wintab::WT_PACKET:
        return true;  // the driver reads a packet only for a real context and serial
    case wintab::WT_PROXIMITY:
        signedByHook = (lParam & ~hookmsg::kProximityEntering) == key;
        if (signedByHook) lParam &= hookmsg::kProximityEntering;
        break;
    default:
        signedByHook = lParam == key;
        if (signedByHook) lParam = 0;
        break;
    }
    if (!signedByHook) {
        const int count = ++session.unsignedNotifications;
        if (IsLoggedCount(count)) {
            LogFormatted("Tablet listener: pen messages without the session key ignored: %d", count);
        }
    }
    return signedByHook;
}

LRESULT handleTabletMessage(TabletSession& session, HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                            PressureServer* pressureServer) {
    std::optional<PressurePortOutput> output;
    {
        TabletSessionLock lock = session.lock();
        SessionPenInput input(session, lock);
        // The sockets listener window shares the window procedure, but its
        // thread must never drive the pressure server: only the tablet
        // listener window's messages reach the port, whoever sends them where.
        output.emplace(window == session.listenerWindow ? pressureServer : nullptr);
        HandlePenMessage(session.pen, input, *output, message, wParam, lParam);
    }
    output->send();
    return DefWindowProcW(window, message, wParam, lParam);
}

void storeHookModule(TabletSession& session, marlin::unique_hmodule module) {
    marlin::unique_hmodule earlier;  // the same library: its earlier reference is given back after the lock
    TabletSessionLock lock = session.lock();
    earlier = std::move(session.hookModule);
    session.hookModule = std::move(module);
}

void addHookedWindow(TabletSession& session, HWND window, HookedWindow hooks) {
    TabletSessionLock lock = session.lock();
    session.hookedWindows[window] = std::move(hooks);  // an earlier pair for the window is removed
}

bool isHookedWindow(TabletSession& session, HWND window) {
    TabletSessionLock lock = session.lock();
    return session.hookedWindows.count(window) != 0;
}

PenState tabletPenState(TabletSession& session) {
    TabletSessionLock lock = session.lock();
    return session.pen;
}

void penStreamStarted(TabletSession& session) {
    TabletSessionLock lock = session.lock();
    session.pen.proximityState = -1;
    // As while the stream was off: a pen that is only near sends no "0000";
    // the first pressure sent is the first press.
    session.pen.lastPressure = 0;
}

void penStreamStopped(TabletSession& session) {
    TabletSessionLock lock = session.lock();
    session.pen.inProximity = false;
    session.pen.proximityState = -1;
}
