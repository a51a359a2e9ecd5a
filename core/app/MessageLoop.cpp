#include "core/app/MessageLoop.h"

#include <string>

#include "core/app/Service.h"
#include "core/app/ServiceRecord.h"
#include "core/util/Log.h"

namespace {

// The system timer message; like WM_TIMER, DispatchMessage calls its lParam.
constexpr UINT kWmSysTimer = 0x0118;

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

}  // namespace

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

void RequestQuit() {
    State().quitRequested = true;
    PostQuitMessage(0);
}
