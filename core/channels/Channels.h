// Named channels between dock applications on the apps port: a client
// registers one channel name, then sends data to other channels by name.
#pragma once

#include <winsock2.h>

#include <string>

class Server;

// registerChannel NAME | sendDataToChannel TARGET DATA TAG from the client
// socket of the apps server; 0 or -2. What other clients are told goes
// through that server.
int HandleCommandFromSocket(Server& apps, const std::wstring& message, SOCKET socket);
