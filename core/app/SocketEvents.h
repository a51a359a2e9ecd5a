// Socket event dispatch: which server an event message is for, whether the
// socket itself confirms it, and the read turns, accepts and closes it leads to.
//
// Threads: each server's events are handled on the thread of its own window.
#pragma once

#include <winsock2.h>
#include <windows.h>

// What each listener window does for the servers its thread drives: their
// socket events, a later turn of sending, a deferred socket release.
LRESULT ServeOwnServers(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
