#include "core/net/ClientTable.h"

#include "core/net/BufferBudget.h"

Connection& ClientTable::add(ClientSocket socket) {
    const SOCKET key = socket.get();
    return clients_.emplace(key, Connection(std::move(socket))).first->second;
}

Connection* ClientTable::find(SOCKET socket) {
    const auto entry = clients_.find(socket);
    return entry == clients_.end() ? nullptr : &entry->second;
}

const Connection* ClientTable::find(SOCKET socket) const {
    const auto entry = clients_.find(socket);
    return entry == clients_.end() ? nullptr : &entry->second;
}

std::vector<SOCKET> ClientTable::sockets() const {
    std::vector<SOCKET> sockets;
    sockets.reserve(clients_.size());
    for (const auto& entry : clients_) sockets.push_back(entry.first);
    return sockets;
}

bool ClientTable::authorized(SOCKET socket) const {
    const Connection* client = find(socket);
    return client != nullptr && client->state.authorized();
}

size_t ClientTable::counted(SOCKET socket) const {
    const Connection* client = find(socket);
    return client == nullptr ? 0 : client->state.counted;
}

bool ClientTable::turnDue(SOCKET socket) const {
    const Connection* client = find(socket);
    return client != nullptr && client->state.input == ConnectionState::Input::TurnDue;
}

bool ClientTable::inputHeld(SOCKET socket) const {
    const Connection* client = find(socket);
    return client != nullptr && client->state.input == ConnectionState::Input::Held;
}

bool ClientTable::closing(SOCKET socket) const {
    const Connection* client = find(socket);
    return client == nullptr || client->state.closing();
}

void ClientTable::account(Connection& client) {
    const size_t now = client.held();
    held_ = held_ - client.state.counted + now;
    if (budget_ != nullptr) budget_->adjust(client.state.counted, now);
    client.state.counted = now;
}

CapCandidate ClientTable::capCandidate(DWORD now, bool portHasKey) const {
    CapCandidate first;
    for (const auto& entry : clients_) {
        const Connection& client = entry.second;
        if (client.state.closing() || client.state.counted == 0) continue;
        CapCandidate candidate;
        candidate.socket = entry.first;
        candidate.outputWaiting = client.hasUnsent();
        candidate.keyless = portHasKey && !client.state.authorized();
        candidate.idleMs = client.stalledMs(now);
        candidate.bytes = client.state.counted;
        if (candidate.closesBefore(first)) first = candidate;
    }
    return first;
}
