#include "core/net/AdmissionPolicy.h"

#include "core/net/Limits.h"

namespace admission {

bool RoomForAnother(const ClientTable& clients) { return clients.size() < netlimits::kMaxConnectionsPerPort; }

SOCKET StrangerToMakeRoom(const ClientTable& clients, SOCKET authorized, DWORD now) {
    size_t waiting = 0;
    SOCKET oldest = INVALID_SOCKET;
    DWORD oldestAge = 0;
    clients.forEach([&](SOCKET socket, const Connection& client) {
        if (socket == authorized || client.state.closing()) return;
        ++waiting;
        if (oldest == INVALID_SOCKET || now - client.state.acceptedAt > oldestAge) {
            oldest = socket;
            oldestAge = now - client.state.acceptedAt;
        }
    });
    return waiting >= netlimits::kMaxAwaitingAuthorization ? oldest : INVALID_SOCKET;
}

std::vector<SOCKET> LateStrangers(const ClientTable& clients, SOCKET authorized, DWORD now) {
    std::vector<SOCKET> late;
    clients.forEach([&](SOCKET socket, const Connection& client) {
        if (socket != authorized && !client.state.closing() &&
            now - client.state.acceptedAt >= netlimits::kAuthorizeWithinMs)
            late.push_back(socket);
    });
    return late;
}

}  // namespace admission
