// The pressure port: tablet commands in, pen events and pressure values out.
// Authorizing with the command port's key is optional here; it only keeps a
// stream from being taken by a client that has not authorized.
#pragma once

#include "core/net/Limits.h"
#include "core/net/Server.h"

class PressureServer : public Server {
public:
    PressureServer() : Server("Pressure Server", AuthMode::Optional, netlimits::kMaxMessage) {}
    ~PressureServer() override = default;
};
