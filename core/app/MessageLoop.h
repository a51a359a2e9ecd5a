// The message loop each listener thread runs: socket events first, foreign
// timer callbacks and unasked-for WM_QUIT messages ignored.
//
// Threads: each listener thread runs its own loop.
#pragma once

#include <winsock2.h>
#include <windows.h>

// The message loop of a listener thread, until a WM_QUIT that quitAccepted
// lets through.
void RunThreadMessageLoop(const char* owner, bool (*quitAccepted)(), int& ignoredQuits);
// Ends the main loop once the work in hand is done (the quit message goes to
// the calling thread: the main thread's loop is the one that may end).
void RequestQuit();
