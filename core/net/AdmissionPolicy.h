// Who may stay connected to a port: the cap on connections, the cap on
// strangers waiting to authorize on a port that requires a key (the oldest
// makes room: the dock, connecting now, is never kept out) and the time a
// stranger has to authorize. Plain decisions over the client table; the
// server closes whom they name.
#pragma once

#include <winsock2.h>

#include <vector>

#include "core/net/ClientTable.h"

namespace admission {

// False when a new connection must be refused (too many already).
bool RoomForAnother(const ClientTable& clients);
// The stranger to close so a new connection finds room; INVALID_SOCKET when
// fewer than the cap wait.
SOCKET StrangerToMakeRoom(const ClientTable& clients, SOCKET authorized, DWORD now);
// The strangers whose time to authorize is up.
std::vector<SOCKET> LateStrangers(const ClientTable& clients, SOCKET authorized, DWORD now);

}  // namespace admission
