// The apps port: dock applications register named channels and send each
// other data through it. It carries widget data, so its messages may be long.
// Authorizing with the command port's key is optional, as on the pressure
// port: a client that never sends "auth" sees no change; one that does owns
// its channel name against clients that have not.
#pragma once

#include "core/net/Limits.h"
#include "core/net/Server.h"

class AppsCommunicationServer : public Server {
public:
    AppsCommunicationServer()
        : Server(AuthMode::Optional, netlimits::kMaxAppsMessage, netlimits::kMaxLoggedAppsMessage) {}
    ~AppsCommunicationServer() override = default;
};
