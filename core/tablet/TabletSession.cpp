#include "core/tablet/TabletSession.h"
#include "core/tablet/TabletSessionTesting.h"

#include <atomic>
#include <ctime>
#include <map>
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

struct TabletSession {
    CRITICAL_SECTION lock;
    HWND listenerWindow = nullptr;
    marlin::unique_hmodule winTabModule;
    wintab::WTInfoWFn WTInfoW = nullptr;
    wintab::WTPacketFn WTPacket = nullptr;
    wintab::WTPacketsGetFn WTPacketsGet = nullptr;  // optional: only the proximity flush needs it
    bool initialized = false;
    bool shutDown = false;  // after shutdownTablet WinTab stays unloaded
    LONG inputExtentX = -1;
    LONG inputExtentY = -1;
    marlin::unique_hmodule hookModule;
    std::map<HWND, HookedWindow> hookedWindows;  // ascending handle order
    PenState pen;
    std::atomic<bool> delayedStartWaiting{false};
    // Made once, before either thread uses the record; read without the lock.
    LPARAM sessionKey = MakeSessionKey();
    std::atomic<int> unsignedNotifications{0};

    TabletSession() { InitializeCriticalSection(&lock); }
};

TabletSession& Session() {
    static TabletSession* session = new TabletSession();  // never freed: used until the process ends
    return *session;
}

// The session lock. Scoped; unlock() and lock() let a holder step out of it
// around work that must not run under it. Nothing that can come back into
// the session runs under it: no sends (a failed one ends the pen stream,
// which takes the lock), no library loads (the loader lock is taken inside,
// and a driver's start-up code may wait for another thread that waits for us).
class SessionLock {
public:
    SessionLock() { lock(); }
    ~SessionLock() {
        if (held_) unlock();
    }
    SessionLock(const SessionLock&) = delete;
    SessionLock& operator=(const SessionLock&) = delete;

    void lock() {
        EnterCriticalSection(&Session().lock);
        held_ = true;
    }
    void unlock() {
        held_ = false;
        LeaveCriticalSection(&Session().lock);
    }

private:
    bool held_ = false;
};

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
    explicit SessionPenInput(SessionLock& lock) : lock_(lock) {}
    bool readPacket(LPARAM context, WPARAM serial, wintab::Packet& packet) override {
        TabletSession& s = Session();
        return s.initialized &&
               s.WTPacket(reinterpret_cast<wintab::HCTX>(context), static_cast<UINT>(serial), &packet) != FALSE;
    }
    bool ensureWinTab(const char* why) override {
        if (Session().initialized) return true;
        LogMessage(std::string(why));
        // initWinTab takes the lock itself and loads a library: step out of
        // the lock meanwhile. The pen state stays as it is; only another
        // message handled in between could change it, as it could before.
        const HWND listener = Session().listenerWindow;
        lock_.unlock();
        const bool loaded = initWinTab(listener);
        lock_.lock();
        return loaded && Session().initialized;
    }
    UINT cursorType(UINT cursor) override {
        UINT type = 0;
        Session().WTInfoW(wintab::WTI_CURSORS + cursor, wintab::CSR_TYPE, &type);
        return type;
    }
    void flushPackets(WPARAM context) override {
        if (Session().WTPacketsGet != nullptr)
            Session().WTPacketsGet(reinterpret_cast<wintab::HCTX>(context), 1000, nullptr);
    }
    POINT cursorPosition() override {
        POINT p{0, 0};
        GetCursorPos(&p);
        return p;
    }
    std::vector<RECT> monitorRects() override { return EnumerateMonitors(); }
    LONG inputExtentX() override { return Session().inputExtentX; }
    LONG inputExtentY() override { return Session().inputExtentY; }

private:
    SessionLock& lock_;
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

void setTabletListenerWindow(HWND window) {
    if (window == nullptr) return;
    SessionLock lock;
    Session().listenerWindow = window;
}

bool initWinTab(HWND window) {
    LogMessage(std::string("WinTab init called."));
    TabletSession& s = Session();
    {
        SessionLock lock;
        if (window != nullptr) s.listenerWindow = window;
        if (s.initialized) return true;
        if (s.shutDown) return false;
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

    SessionLock lock;
    if (s.initialized) return true;
    if (s.shutDown) return false;
    s.winTabModule = std::move(module);
    s.WTInfoW = info;
    s.WTPacket = packet;
    s.WTPacketsGet = packetsGet;
    s.inputExtentX = extentX;
    s.inputExtentY = extentY;
    s.initialized = true;
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

}  // namespace

void sendHookRefresh() {
    std::vector<HWND> windows;
    HWND listener = nullptr;
    {
        SessionLock lock;
        for (const auto& entry : Session().hookedWindows) windows.push_back(entry.first);
        listener = Session().listenerWindow;
    }
    // Without the lock: the dock's thread answers with MSG_CONTEXT_RESULT to
    // the listener thread, which may itself need the lock meanwhile.
    // The key goes first: the library signs its answer to the open request with it.
    for (HWND window : windows) {
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(window, WM_NULL, hookmsg::MSG_SESSION_KEY, Session().sessionKey,
                            SMTO_NORMAL | SMTO_ABORTIFHUNG, kHookRefreshTimeoutMs, &ignored);
        SendHookRequest({window}, listener, hookmsg::MSG_CONTEXT_OPEN);
    }
}

// Before the hooks go, the hook library in the window's thread is asked to
// close its context: once unhooked, the library is unloaded from the dock's
// process, and closing a driver context is no work for its unload (the
// loader lock). Sent without the lock, like the refresh.
bool removeHook(HWND window) {
    HWND listener = nullptr;
    {
        SessionLock lock;
        if (Session().hookedWindows.count(window) == 0) return true;
        listener = Session().listenerWindow;
    }
    SendHookRequest({window}, listener, hookmsg::MSG_CONTEXT_CLOSE);
    SessionLock lock;
    Session().hookedWindows.erase(window);  // unhooks both
    return true;
}

void shutdownTablet() {
    // Taken out under the lock, given back after it in this order: the
    // hooks, the hook library, WinTab (locals end in reverse order).
    marlin::unique_hmodule winTab;
    marlin::unique_hmodule hookLibrary;
    std::map<HWND, HookedWindow> hooks;
    std::vector<HWND> windows;
    HWND listener = nullptr;
    {
        SessionLock lock;
        for (const auto& entry : Session().hookedWindows) windows.push_back(entry.first);
        listener = Session().listenerWindow;
    }
    SendHookRequest(windows, listener, hookmsg::MSG_CONTEXT_CLOSE);  // as removeHook
    SessionLock lock;
    TabletSession& s = Session();
    s.shutDown = true;
    hooks.swap(s.hookedWindows);
    hookLibrary = std::move(s.hookModule);
    s.initialized = false;
    s.WTInfoW = nullptr;
    s.WTPacket = nullptr;
    s.WTPacketsGet = nullptr;
    winTab = std::move(s.winTabModule);
    lock.unlock();
}

void resetTabletSession() {
    shutdownTablet();
    SessionLock lock;
    TabletSession& s = Session();
    s.shutDown = false;
    s.pen = PenState();
    s.inputExtentX = -1;
    s.inputExtentY = -1;
}

DWORD WINAPI delayedTabletStart(LPVOID) {
    if (clock() / CLOCKS_PER_SEC < static_cast<clock_t>(kStartupGraceSeconds)) Sleep(kStartupDelayMs);
    Session().delayedStartWaiting = false;  // from here on a new request needs a thread of its own
    initWinTab(nullptr);
    sendHookRefresh();
    return 0;
}

void startDelayedTabletStart() {
    if (Session().delayedStartWaiting.exchange(true)) return;
    marlin::unique_handle thread(CreateThread(nullptr, 0, delayedTabletStart, nullptr, 0, nullptr));
    if (!thread) {
        Session().delayedStartWaiting = false;
        LogSystemError(L"CreateThread()");
    }
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

bool takeSignedPenNotification(UINT message, LPARAM& lParam) {
    const LPARAM key = Session().sessionKey;
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
        const int count = ++Session().unsignedNotifications;
        if (IsLoggedCount(count)) {
            LogFormatted("Tablet listener: pen messages without the session key ignored: %d", count);
        }
    }
    return signedByHook;
}

LPARAM tabletSessionKey() { return Session().sessionKey; }

LRESULT handleTabletMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, PressureServer* pressureServer) {
    std::optional<PressurePortOutput> output;
    {
        SessionLock lock;
        SessionPenInput input(lock);
        // The sockets listener window shares the window procedure, but its
        // thread must never drive the pressure server: only the tablet
        // listener window's messages reach the port, whoever sends them where.
        output.emplace(window == Session().listenerWindow ? pressureServer : nullptr);
        HandlePenMessage(Session().pen, input, *output, message, wParam, lParam);
    }
    output->send();
    return DefWindowProcW(window, message, wParam, lParam);
}

void storeHookModule(marlin::unique_hmodule module) {
    SessionLock lock;
    Session().hookModule = std::move(module);  // the same library: the earlier reference is given back
}

void addHookedWindow(HWND window, HookedWindow hooks) {
    SessionLock lock;
    Session().hookedWindows[window] = std::move(hooks);  // an earlier pair for the window is removed
}

bool isHookedWindow(HWND window) {
    SessionLock lock;
    return Session().hookedWindows.count(window) != 0;
}

PenState tabletPenState() {
    SessionLock lock;
    return Session().pen;
}

void penStreamStarted() {
    SessionLock lock;
    Session().pen.proximityState = -1;
    // As while the stream was off: a pen that is only near sends no "0000";
    // the first pressure sent is the first press.
    Session().pen.lastPressure = 0;
}

void penStreamStopped() {
    SessionLock lock;
    Session().pen.inProximity = false;
    Session().pen.proximityState = -1;
}
