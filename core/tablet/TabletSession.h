// The WinTab session: one process-wide record holding WinTab loaded into this
// process, the hook library and the table of hooked dock windows, and the pen
// state behind the pen events.
//
// Two threads reach it: the tablet listener thread (messages of the listener
// window, pressure-port commands, the stream start) and a delayedTabletStart
// thread per listenTablet. One lock covers the record. It is never held
// across the synchronous send of sendHookRefresh, because the dock's thread
// answers that send with MSG_CONTEXT_RESULT, which the listener thread must
// be free to take; never held while a library is loaded or freed (the
// loader's own lock is taken inside); and never taken twice on one thread.
#pragma once

#include <windows.h>

#include "core/util/Handles.h"

class PressureServer;

// The two hooks that load the hook library into one dock window's thread.
struct HookedWindow {
    marlin::unique_hhook callWndProcHook;
    marlin::unique_hhook getMessageHook;
};

// Stores the tablet listener window (ignored when null).
void setTabletListenerWindow(HWND window);

// Loads wintab32.dll and reads the input extents of the default system
// context; true once loaded. Stores a non-null window as the listener window.
bool initWinTab(HWND window);

// Asks the hook library in every hooked dock window to open (or re-enable) its
// context on that window; returns after each has answered.
void sendHookRefresh();

// Removes the hooks of one dock window. Always true.
bool removeHook(HWND window);

// Process end: removes every hook, unloads the hook library and WinTab.
void shutdownTablet();
// A service starting again in the same process (tests do) starts from the
// session's first state: shut down as above, then WinTab may load again and
// the pen record is new.
void resetTabletSession();

// Thread procedure of listenTablet: WinTab and the hook refresh after a
// delay while the system may still be starting (the first minute).
DWORD WINAPI delayedTabletStart(LPVOID);
// Starts a delayedTabletStart thread unless one is still waiting to begin:
// that one will load WinTab and refresh every hooked window, including those
// hooked since. Keeps repeated listenTablet requests from piling up threads.
void startDelayedTabletStart();

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
bool takeSignedPenNotification(UINT message, LPARAM& lParam);

// A pen notification of the tablet listener window; ends with DefWindowProcW.
// Only the tablet listener window's messages send pen events (its thread
// drives the pressure server).
LRESULT handleTabletMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, PressureServer* pressureServer);

// For the hook installation: the hook library loaded into this process, and a
// dock window's hooks (replacing, and so removing, an earlier pair).
void storeHookModule(marlin::unique_hmodule module);
void addHookedWindow(HWND window, HookedWindow hooks);

// The pressure stream started (a first packet announces proximity again; the
// pressure counts from 0) or stopped (the pen counts as away).
void penStreamStarted();
void penStreamStopped();
