#include "core/net/BufferBudget.h"

#include <algorithm>

#include "core/net/Server.h"
#include "core/util/Log.h"

void BufferBudget::attach(Server& server) {
    if (std::find(servers_.begin(), servers_.end(), &server) == servers_.end()) servers_.push_back(&server);
    server.setBudget(this);
}

void BufferBudget::detach(Server& server) {
    servers_.erase(std::remove(servers_.begin(), servers_.end(), &server), servers_.end());
}

void BufferBudget::enforce() {
    // Closing a client can make others send (a freed channel is announced):
    // the outer call goes on until the total fits.
    if (enforcing_) return;
    enforcing_ = true;
    while (total_ > cap_) {
        Server* holder = nullptr;
        SOCKET client = INVALID_SOCKET;
        size_t most = 0;
        for (Server* server : servers_) {
            size_t bytes = 0;
            const SOCKET candidate = server->largestHolder(bytes);
            if (candidate != INVALID_SOCKET && bytes > most) {
                holder = server;
                client = candidate;
                most = bytes;
            }
        }
        if (holder == nullptr) break;
        LogFormatted("Service buffers full, closing the client holding the most [%d]", holder->port());
        holder->closeClient(client);  // its buffers are dropped at once
    }
    enforcing_ = false;
}
