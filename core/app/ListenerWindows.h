// The service's two hidden listener windows: the sockets listener window of
// the main thread and the tablet listener window of its own thread (their
// procedures and the thread are declared in Service.h).
//
// Threads: each window belongs to the thread that created it; the functions
// below are the main thread's (start-up and shutdown wait for the other).
#pragma once

#include <winsock2.h>
#include <windows.h>

// The main thread's hidden window; null on failure (logged).
HWND CreateSocketsListenerWindow();
// True when there is no tablet thread, or it has ended.
bool TabletThreadEnded();
// Waits until the tablet listener window exists; null when the thread ended
// without one (it could not create it), or after limitMs.
HWND WaitForTabletWindow(DWORD limitMs, DWORD pollMs);
