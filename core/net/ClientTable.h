// A server's connected clients by socket, and the bytes they make the
// service hold (counted per client, for the server and for its budget).
//
// Threads: belongs to its server's thread.
#pragma once

#include <winsock2.h>

#include <cstddef>
#include <map>
#include <vector>

#include "core/net/BudgetMember.h"
#include "core/net/Connection.h"

class BufferBudget;

class ClientTable {
public:
    Connection& add(ClientSocket socket);
    Connection* find(SOCKET socket);
    const Connection* find(SOCKET socket) const;
    void erase(SOCKET socket) { clients_.erase(socket); }  // closes its socket
    size_t size() const { return clients_.size(); }
    std::vector<SOCKET> sockets() const;  // ascending

    // What the server asks about one client; a socket the table does not
    // hold is none of these, except closing.
    bool authorized(SOCKET socket) const;
    size_t counted(SOCKET socket) const;
    bool turnDue(SOCKET socket) const;
    bool inputHeld(SOCKET socket) const;
    bool closing(SOCKET socket) const;

    // The client's count is brought up to what it holds now.
    void account(Connection& client);
    void countTo(BufferBudget* budget) { budget_ = budget; }
    size_t held() const { return held_; }
    // The client the cap should close first (BudgetMember.h); strangers are
    // clients that have not authorized on a port that has a key.
    CapCandidate capCandidate(DWORD now, bool portHasKey) const;

    template <typename Visit>
    void forEach(Visit visit) const {
        for (const auto& entry : clients_) visit(entry.first, entry.second);
    }

private:
    std::map<SOCKET, Connection> clients_;
    size_t held_ = 0;
    BufferBudget* budget_ = nullptr;
};
