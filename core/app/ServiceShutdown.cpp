#include "core/app/ServiceShutdown.h"

#include <string>

#include "core/app/ListenerWindows.h"
#include "core/app/MessageLoop.h"
#include "core/app/ServiceRecord.h"
#include "core/tablet/TabletSession.h"
#include "core/util/Log.h"

namespace {

constexpr DWORD kClosePressureServerMs = 5000;
// How long the shutdown waits for the tablet thread to leave its socket work.
// A hook refresh waits at most a few seconds for a dock's thread.
constexpr DWORD kTabletThreadEndMs = 10000;

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

bool QuitWhenRequested() { return State().quitRequested.load(); }

}  // namespace

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

void runMessageLoop(HINSTANCE) {
    RunThreadMessageLoop("Sockets listener", QuitWhenRequested, State().ignoredQuitsMain);
    StopService();
    shutdownTablet(State().tabletSession);
}
