// The running service: the two hidden listener windows and their threads,
// the three servers on their ports, socket event dispatch and the main loop.
//
// The main thread owns the sockets listener window ("MarlinSocksHookQ"): the
// command and apps servers, device changes and the shutdown. The
// tablet-listener thread owns the tablet listener window ("MarlinWTHookQ"):
// the pressure server and the pen notifications. Each server is only ever
// touched by the thread that owns its window.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "core/net/Server.h"

// Socket event messages; the number tells which server the event is for.
constexpr UINT kMsgCommandEvents = 0x4000;   // command server, sockets listener window
constexpr UINT kMsgPressureEvents = 0x4001;  // pressure server, tablet listener window
constexpr UINT kMsgAppsEvents = 0x4002;      // apps server, sockets listener window

// Sent by the main thread at shutdown so the tablet thread closes the
// pressure server itself, rather than the main thread closing it under it,
// and then ends. Acted on only once the service is stopping: any program can
// send it.
constexpr UINT kMsgClosePressureServer = WM_APP + 0x100;
// Posted by a server to its own window when output waits for another turn
// of sending; wParam is the server's socket event message.
constexpr UINT kMsgFlushOutput = WM_APP + 0x102;

// Starts the service: sockets, both windows, the tablet-listener thread, the
// three listeners on distinct ports, the key file and the event registration.
// True when all three servers listen and their events are registered.
bool runServers();

// The main thread's message loop; returns after the service's own WM_QUIT
// (WM_CLOSE to the sockets listener window, or the update's restart), once
// the servers are shut down and the tablet-listener thread has ended (or did not end in
// time: the socket layer is then left to the process's end).
void runMessageLoop(HINSTANCE instance);

// Ends what an earlier runServers left running in this process (its servers
// closed, each on its thread, its tablet thread ended, its window destroyed)
// and makes the service's record afresh, with the tablet session and the
// attached-tablet list in their first state, so runServers can run again:
// tests call it between cases. Main thread only. False when the earlier
// tablet thread did not end: the old record is then kept.
bool resetService();

// The timer of the sockets listener window that closes command-port clients
// which have not authorized in time, and command and apps clients that have
// stopped taking their output.
constexpr UINT_PTR kAuthorizationTimer = 1;
// The tablet-listener window's timer: pressure clients that stopped taking theirs.
constexpr UINT_PTR kStalledOutputTimer = 2;

// Thread procedure of the tablet listener window; 0, or -1 when its window
// could not be created. It ends only when the service is stopping: WM_CLOSE,
// WM_QUIT and the close message from anyone else are ignored (logged).
DWORD WINAPI tabletListenerThread(LPVOID);

// Window procedure of the sockets listener window (main thread): command and
// apps socket events, device changes, the authorization timer, WM_CLOSE
// (stops the service: the documented way for other programs, as Windows and
// installers close a program). A bare WM_QUIT that another program posts to
// the main thread is no request to stop: it is ignored (and counted). Nothing else reaches the servers or the pen logic.
LRESULT CALLBACK socketWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
// Window procedure of the tablet listener window (tablet-listener thread):
// pressure socket events, the shutdown's close message, and the pen
// notifications the hook library sends (a posted one is ignored).
LRESULT CALLBACK tabletWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// A client connection ended: its events are cancelled and the server closes
// it (a pen stream ends only with its own client, in the server).
void onConnectionClosed(Server* server, SOCKET socket, HWND window);

