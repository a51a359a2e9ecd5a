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

void ClientTable::account(Connection& client) {
    const size_t now = client.held();
    held_ = held_ - client.state.counted + now;
    if (budget_ != nullptr) budget_->adjust(client.state.counted, now);
    client.state.counted = now;
}

SOCKET ClientTable::largestHolder(size_t& bytes) const {
    SOCKET largest = INVALID_SOCKET;
    bytes = 0;
    for (const auto& entry : clients_) {
        if (entry.second.state.counted > bytes) {
            bytes = entry.second.state.counted;
            largest = entry.first;
        }
    }
    return largest;
}
