#include "core/net/PressureServer.h"

#include "core/tablet/TabletCommands.h"

const char* PressureServer::name() const { return "Pressure Server"; }

int PressureServer::handleMessage(SOCKET, const std::wstring& message) { return handleTabletCommand(message); }

bool PressureServer::requiresAuthorization() const { return false; }
