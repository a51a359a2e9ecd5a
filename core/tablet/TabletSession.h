// The WinTab session: WinTab loaded into this process, the hook library and
// the table of hooked dock windows, the pen state behind the pen events and
// the key the hook library signs its forwards with. The running service holds
// one in its record; every function below acts on the session it is given.
//
// Two kinds of thread reach it: the tablet listener thread (messages of the
// listener window, pressure-port commands, the stream start) and a
// delayedTabletStart thread per listenTablet. One lock covers the record. It
// is never held across the synchronous send of sendHookRefresh, because the
// dock's thread answers that send with MSG_CONTEXT_RESULT, which the listener
// thread must be free to take; never held while a library is loaded or freed
// (the loader's own lock is taken inside); and never taken twice on one thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <map>
#include <vector>

#include "core/protocol/HookContract.h"
#include "core/tablet/PenEvents.h"
#include "core/util/Handles.h"

class PressureServer;

// The two hooks that load the hook library into one dock window's thread.
struct HookedWindow {
    marlin::unique_hhook callWndProcHook;
    marlin::unique_hhook getMessageHook;
};

class TabletSession;

// The session lock, as TabletSession::lock() hands it out: held for the life
// of the scope; unlock() and relock() let a holder step out of it around work
// that must not run under it. Nothing that can come back into the session
// runs under it: no sends (a failed one ends the pen stream, which takes the
// lock), no library loads (the loader lock is taken inside, and a driver's
// start-up code may wait for another thread that waits for us).
class TabletSessionLock {
public:
    explicit TabletSessionLock(CRITICAL_SECTION& section) : section_(section) { relock(); }
    ~TabletSessionLock() {
        if (held_) unlock();
    }
    TabletSessionLock(const TabletSessionLock&) = delete;
    TabletSessionLock& operator=(const TabletSessionLock&) = delete;

    void relock() {
        EnterCriticalSection(&section_);
        held_ = true;
    }
    void unlock() {
        held_ = false;
        LeaveCriticalSection(&section_);
    }

private:
    CRITICAL_SECTION& section_;
    bool held_ = false;
};

// The fields are reached only by the functions of this header, under the
// lock unless a field says otherwise. A session that goes first ends and
// waits for its delayedTabletStart threads; the service shuts it down before
// (shutdownTablet).
class TabletSession {
public:
    TabletSession();
    ~TabletSession();
    TabletSession(const TabletSession&) = delete;
    TabletSession& operator=(const TabletSession&) = delete;

    TabletSessionLock lock() { return TabletSessionLock(section_); }

    HWND listenerWindow = nullptr;
    // Declared before the hook library and the hooks, which go first.
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
    // The delayedTabletStart threads not known to have ended.
    std::vector<marlin::unique_handle> delayedStarts;
    // Without the lock: set when the session goes, ends a delayed start's wait.
    marlin::unique_handle endingEvent;
    std::atomic<bool> delayedStartWaiting{false};
    // Made with the session, before either thread uses it; read without the lock.
    const LPARAM sessionKey;
    std::atomic<int> unsignedNotifications{0};

private:
    CRITICAL_SECTION section_;
};

// Stores the tablet listener window (ignored when null).
void setTabletListenerWindow(TabletSession& session, HWND window);

// Loads wintab32.dll and reads the input extents of the default system
// context; true once loaded. Stores a non-null window as the listener window.
bool initWinTab(TabletSession& session, HWND window);

// Asks the hook library in every hooked dock window to open (or re-enable) its
// context on that window; returns after each has answered.
void sendHookRefresh(TabletSession& session);

// Removes the hooks of one dock window. Always true.
bool removeHook(TabletSession& session, HWND window);

// Process end: removes every hook, unloads the hook library and WinTab.
// A service starting again in the same process (tests do) makes a new
// session after this one is shut down.
void shutdownTablet(TabletSession& session);

// Thread procedure of listenTablet (the parameter is the session): WinTab
// and the hook refresh after a delay while the system may still be starting
// (the first minute). A session that goes ends the delay, and the start.
DWORD WINAPI delayedTabletStart(LPVOID session);
// Starts a delayedTabletStart thread unless one is still waiting to begin:
// that one will load WinTab and refresh every hooked window, including those
// hooked since. Keeps repeated listenTablet requests from piling up threads.
void startDelayedTabletStart(TabletSession& session);

// The messages the hook library sends to the tablet listener window: the
// context result, WinTab packets and proximity, left-button mouse messages.
bool isPenNotification(UINT message);

// Whether a pen notification sent to the tablet listener window comes from
// the hook library in the dock's thread: its lParam carries this session's
// key (WT_PACKET needs none, the driver checks it). A sent message does not
// tell who sent it, and any program can send to the window; the key is
// known only to the service and the library it gave it to. lParam is then
// what the pen logic reads (the entering bit of WT_PROXIMITY, else 0).
// Ignored ones are counted (and logged the first and each tenfold time).
bool takeSignedPenNotification(TabletSession& session, UINT message, LPARAM& lParam);

// A pen notification of the tablet listener window; ends with DefWindowProcW.
// Only the tablet listener window's messages send pen events (its thread
// drives the pressure server).
LRESULT handleTabletMessage(TabletSession& session, HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                            PressureServer* pressureServer);

// For the hook installation: the hook library loaded into this process, and a
// dock window's hooks (replacing, and so removing, an earlier pair).
void storeHookModule(TabletSession& session, marlin::unique_hmodule module);
void addHookedWindow(TabletSession& session, HWND window, HookedWindow hooks);

// The pressure stream started (a first packet announces proximity again; the
// pressure counts from 0) or stopped (the pen counts as away).
void penStreamStarted(TabletSession& session);
void penStreamStopped(TabletSession& session);
