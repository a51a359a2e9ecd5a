#include "core/net/ClientOutput.h"

#include <utility>

#include "core/net/Limits.h"
#include "core/util/Log.h"

int ClientOutput::send(SOCKET socket, const std::string& frame, bool own) {
    log_.frame(frame);
    return queue(socket, frame.data(), frame.size(), own);
}

int ClientOutput::send(SOCKET socket, std::string&& frame, bool own) {
    log_.frame(frame);
    return queueWith(socket, own, [&](Connection& client) { client.queue(std::move(frame)); });
}

int ClientOutput::queue(SOCKET socket, const char* bytes, size_t size, bool own) {
    return queueWith(socket, own, [&](Connection& client) { client.queue(bytes, size); });
}

template <typename Append>
int ClientOutput::queueWith(SOCKET socket, bool own, Append append) {
    Connection* client = clients_.find(socket);
    if (client == nullptr || client->state.closing()) return -1;
    Batch batch(*this);
    if (!own && client->waitingOutput() >= bound(*client)) {
        if (!closeIfStalled(socket, *client, GetTickCount()) &&
            client->state.foreign != ConnectionState::Foreign::Refused) {
            client->state.foreign = ConnectionState::Foreign::Refused;
            LogFormatted("Client does not take its output, refusing frames for it until it drains [%d]",
                         host_.port());
        }
        return -1;
    }
    append(*client);
    scheduler_.queued(socket, client->state);
    clients_.account(*client);
    return 0;
}

size_t ClientOutput::bound(const Connection& client) const {
    // Anyone may connect to a port whose key is optional: a stranger's share is small.
    return gate_.hasKey() && !client.state.authorized() ? netlimits::kMaxKeylessUnsentOutput
                                                        : netlimits::kMaxUnsentOutput;
}

bool ClientOutput::closeIfStalled(SOCKET socket, Connection& client, DWORD now) {
    if (client.state.closing() || client.stalledMs(now) < netlimits::kStalledOutputMs) return false;
    LogMessage("Client has taken none of its output for " + std::to_string(netlimits::kStalledOutputMs / 1000) +
               " s, closing it [" + std::to_string(host_.port()) + "]");
    host_.closeClient(socket);
    return true;
}

void ClientOutput::sendBeforeBlocking(SOCKET socket, Connection& client) {
    flush(socket, client);
    for (SOCKET other : scheduler_.waiting()) {
        Connection* waiting = clients_.find(other);
        if (waiting != nullptr && waiting->state.queued) flush(other, *waiting);
    }
}

void ClientOutput::flush(SOCKET socket, Connection& client) {
    ConnectionState& state = client.state;
    state.queued = false;
    if (state.closing()) return;
    if (!client.flush()) {
        host_.closeClient(socket);
        return;
    }
    clients_.account(client);
    const bool held = state.input == ConnectionState::Input::Held;
    const bool refusing = state.foreign == ConnectionState::Foreign::Refused;
    const size_t waiting = held || refusing ? client.waitingOutput() : 0;
    if (refusing && waiting < bound(client)) state.foreign = ConnectionState::Foreign::Taken;
    if (held && waiting < netlimits::kMaxUnsentOutput) {
        // Its read turns stopped while its input was held: it gets one.
        state.input = ConnectionState::Input::AwaitRead;
        if (!host_.requestRead(socket)) state.input = ConnectionState::Input::TurnDue;
    }
}

bool ClientOutput::flushIfQueued(SOCKET socket) {
    Connection* client = clients_.find(socket);
    if (client == nullptr || !client->state.queued) return false;
    flush(socket, *client);
    return true;
}

void ClientOutput::onWritable(SOCKET socket) {
    Connection* client = clients_.find(socket);
    if (client == nullptr) return;
    Batch batch(*this);
    client->writable();
    flush(socket, *client);
}
