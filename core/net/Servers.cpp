#include "core/net/Servers.h"

#include <atomic>

namespace {

// Written by the main thread at start, read by both service threads.
struct ServerSet {
    std::atomic<Server*> command{nullptr};
    std::atomic<PressureServer*> pressure{nullptr};
    std::atomic<AppsCommunicationServer*> apps{nullptr};
};

ServerSet& Set() {
    static ServerSet set;
    return set;
}

}  // namespace

void SetServers(Server* command, PressureServer* pressure, AppsCommunicationServer* apps) {
    Set().command.store(command);
    Set().pressure.store(pressure);
    Set().apps.store(apps);
}

Server* GetCommandServer() { return Set().command.load(); }

PressureServer* GetPressureServer() { return Set().pressure.load(); }

AppsCommunicationServer* GetAppsServer() { return Set().apps.load(); }
