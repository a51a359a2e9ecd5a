// The running service's one record, which its parts act on: the listener
// windows and their threads (ListenerWindows), their message loop
// (MessageLoop), the socket event dispatch (SocketEvents), the start
// (ServiceStart) and the shutdown (ServiceShutdown). resetService makes it
// afresh (ServiceRecord.cpp).
//
// Threads: the record is made afresh by resetService on the main thread;
// everything is set up by runServers before the tablet thread starts, except
// the tablet window, which that thread sets. The window handles are read by
// both threads; the thread handle only by the main thread. Each budget, and
// each server, belongs to the thread that drives its servers. The tablet
// session is reached by the tablet thread, the main thread's shutdown and
// the delayed starts of listenTablet, under its own lock (TabletSession.h).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <memory>

#include "core/app/PortHandlers.h"
#include "core/app/Service.h"
#include "core/app/WindowTurns.h"
#include "core/net/AppsCommunicationServer.h"
#include "core/net/BufferBudget.h"
#include "core/net/Limits.h"
#include "core/net/PressureServer.h"
#include "core/tablet/TabletSession.h"
#include "core/util/Handles.h"

// The running service: its windows, the tablet-listener thread, the WinTab
// session, the three servers with their handlers and turns, and the two budgets.
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

    // The attached tablets (device changes of the sockets listener window)
    // and, in the apps port's handler, the channels: main thread only.
    AttachedTabletList tablets;
    // WinTab, the hooks and the pen state; goes after the handler and the
    // servers that use it, once its delayed starts have ended.
    TabletSession tabletSession;
    // Declared before the servers, which use them until they go.
    CommandPortHandler commandPort{tablets};
    TabletPortHandler tabletPort{tabletSession};
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

// The one record of the running service (replaced only by resetService).
Service& State();
