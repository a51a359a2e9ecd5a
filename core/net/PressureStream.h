// Who receives the pen stream and whether it runs. The tablet thread starts
// and stops the stream; the main thread stops it whenever any connection
// closes. Both threads read and write it, so each value is atomic.
#pragma once

#include <winsock2.h>

bool IsPressureStreaming();
void SetPressureStreaming(bool streaming);
SOCKET GetPressureClient();  // INVALID_SOCKET when none
void SetPressureClient(SOCKET socket);
