// The service's shutdown after its main loop has ended.
//
// Threads: main thread only.
#pragma once

#include <winsock2.h>
#include <windows.h>

// The shutdown after the main loop: the servers are closed, each on its own
// thread, and the socket layer once the tablet thread has ended. True when
// it has ended.
bool StopService();
