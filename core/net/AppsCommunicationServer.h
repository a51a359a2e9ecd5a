// The apps port: dock applications register named channels and send each
// other data through it. It carries widget data, so its messages may be long.
#pragma once

#include "core/net/Limits.h"
#include "core/net/Server.h"

class AppsCommunicationServer : public Server {
public:
    AppsCommunicationServer() : Server("Command Server", AuthMode::None, netlimits::kMaxAppsMessage) {}
    ~AppsCommunicationServer() override = default;
};
