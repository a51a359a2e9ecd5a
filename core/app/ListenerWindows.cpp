#include "core/app/ListenerWindows.h"

#include <string>

#include "core/app/MessageLoop.h"
#include "core/app/ServiceRecord.h"
#include "core/app/SocketEvents.h"
#include "core/protocol/HookContract.h"
#include "core/tablet/TabletDevices.h"
#include "core/tablet/TabletSession.h"
#include "core/util/Log.h"

namespace {

constexpr wchar_t kSocketsWindowClass[] = L"MarlinSocksHookQ";
constexpr wchar_t kSocketsWindowTitle[] = L"MarlinSocketsListener";
constexpr const wchar_t* kTabletWindowClass = hookmsg::kTabletListenerClass;
constexpr wchar_t kTabletWindowTitle[] = L"MarlinTabletListener";

bool QuitWhenStopping() { return State().stopping.load(); }

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

}  // namespace

HWND CreateSocketsListenerWindow() {
    return CreateListenerWindow(kSocketsWindowClass, kSocketsWindowTitle, socketWindowProc);
}

bool TabletThreadEnded() {
    const HANDLE thread = State().tabletThread.get();
    return thread == nullptr || WaitForSingleObject(thread, 0) != WAIT_TIMEOUT;
}

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

DWORD WINAPI tabletListenerThread(LPVOID) {
    const HWND window = CreateListenerWindow(kTabletWindowClass, kTabletWindowTitle, tabletWindowProc);
    if (window == nullptr) return static_cast<DWORD>(-1);
    State().tabletWindow.store(window);
    setTabletListenerWindow(State().tabletSession, window);  // the hook library forwards the dock's pen messages here
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
        if (State().command) onDeviceChange(State().tablets, wParam, lParam, *State().command);
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
        if (!takeSignedPenNotification(State().tabletSession, message, lParam)) return 0;
        return handleTabletMessage(State().tabletSession, window, message, wParam, lParam, State().pressure.get());
    }
}
