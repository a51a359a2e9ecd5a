// Closing a client socket whose listener window may still hold events for it.
//
// Winsock hands out a closed socket's handle again at once, while events
// posted for the old connection can still wait in the window's queue; handled
// later, such an event would act on the new connection. So a client socket
// is first silenced and shut down, and its handle is closed only when a
// message posted behind those late events comes through.
#pragma once

#include <winsock2.h>
#include <windows.h>

constexpr UINT kMsgReleaseSocket = WM_APP + 0x101;

// Cancels the socket's events, shuts it down (the peer sees the end now) and
// posts kMsgReleaseSocket to window. The calling thread owns the socket
// from here on. False when the message could not be posted: the caller then
// closes the socket itself.
bool DeferSocketClose(HWND window, SOCKET socket);

// For kMsgReleaseSocket, on the thread that owns the window: closes the
// socket if this thread deferred it; any other value is ignored.
void ReleaseDeferredSocket(SOCKET socket);

