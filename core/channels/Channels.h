// Named channels between dock applications on the apps port: a client
// registers one channel name, then sends data to other channels by name.
#pragma once

#include <winsock2.h>

#include <string>

// registerChannel NAME | sendDataToChannel TARGET DATA TAG; 0 or -2.
int HandleCommandFromSocket(const std::wstring& message, SOCKET socket);
