#include "core/net/Server.h"

#include "core/net/AdmissionPolicy.h"
#include "core/net/BufferBudget.h"
#include "core/net/ReplyWriter.h"
#include "core/util/Log.h"

namespace {

// A server without a handler handles nothing and answers nothing.
class NoHandler : public PortHandler {
public:
    int handleMessage(Server&, SOCKET, const std::wstring&) override { return kResultNothingHandled; }
};

NoHandler gNoHandler;

}  // namespace

Server::Server(AuthMode authMode, size_t maxMessage, size_t logLimit)
    : maxMessage_(maxMessage), gate_(authMode), log_(logLimit) {}

Server::~Server() {
    if (budget_ != nullptr) budget_->detach(*this);
}

void Server::countTo(BufferBudget* budget) {
    budget_ = budget;
    clients_.countTo(budget);
}

bool Server::isAuthorized(SOCKET socket) const {
    const Connection* client = clients_.find(socket);
    return client != nullptr && client->state.authorized();
}

size_t Server::heldBytes(SOCKET socket) const {
    const Connection* client = clients_.find(socket);
    return client == nullptr ? 0 : client->state.counted;
}

int Server::listen() {
    gate_.reset();
    const int port = listener_.open();
    if (port > 0) log_.setPort(port);
    return port;
}

SOCKET Server::acceptClient() {
    const SOCKET socket = listener_.accept();
    if (socket == INVALID_SOCKET) return INVALID_SOCKET;
    if (!admission::RoomForAnother(clients_)) {
        LogFormatted("Too many connections, refusing a new one [%d]", port());
        closesocket(socket);  // never registered for events: nothing can be queued for it
        return INVALID_SOCKET;
    }
    if (gate_.required()) {
        const SOCKET oldest = admission::StrangerToMakeRoom(clients_, gate_.holder(), GetTickCount());
        if (oldest != INVALID_SOCKET) {
            LogFormatted("Too many connections waiting to authorize, closing the oldest [%d]", port());
            closeClient(oldest);
        }
    }
    // Replies and pen tokens are small writes to a client that rarely answers:
    // with Nagle's algorithm each would wait for the client's delayed
    // acknowledgement. The bytes on the wire stay the same.
    const BOOL noDelay = TRUE;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
    LogFormatted("New connection [%d].", port());
    clients_.add(ClientSocket(socket, closer_)).state.acceptedAt = GetTickCount();
    return socket;
}

void Server::expireUnauthorized(DWORD now) {
    if (!gate_.required()) return;
    for (SOCKET socket : admission::LateStrangers(clients_, gate_.holder(), now)) {
        LogFormatted("No authorization in time, closing client [%d]", port());
        closeClient(socket);
    }
}

void Server::closeStalled(DWORD now) {
    for (SOCKET socket : clients()) {
        Connection* client = clients_.find(socket);
        if (client != nullptr) closeIfStalled(socket, *client, now);
    }
}

Server::PeerState Server::peerState(SOCKET socket) const {
    int error = 0;
    int length = sizeof(error);
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error != 0)
        return PeerState::Gone;
    char byte;
    const int peeked = recv(socket, &byte, 1, MSG_PEEK);
    if (peeked == 0) return PeerState::Gone;  // the peer has closed its side
    if (peeked > 0) return PeerState::DataPending;
    return WSAGetLastError() == WSAEWOULDBLOCK ? PeerState::Open : PeerState::Gone;
}

int Server::receive(SOCKET socket) {
    Connection* client = clients_.find(socket);
    if (client == nullptr) {
        // A late event for a client this server has already closed.
        LogMessage("Server::receive: no such client " + std::to_string(static_cast<unsigned long long>(socket)));
        return kResultNothingHandled;
    }
    if (client->state.closing()) return kResultNothingHandled;
    OutputBatch batch(*this);  // the replies to everything handled now leave in one send
    PortHandler& handler = handler_ != nullptr ? *handler_ : gNoHandler;
    ReadTurn turn(*this, ReadTurn::Port{gate_, handler, log_, output_, maxMessage_, readBuffer_});
    return turn.run(socket, *client);
}

bool Server::wantsAnotherTurn(SOCKET socket) const {
    const Connection* client = clients_.find(socket);
    return client != nullptr && client->state.input == ConnectionState::Input::TurnDue;
}

bool Server::inputHeld(SOCKET socket) const {
    const Connection* client = clients_.find(socket);
    return client != nullptr && client->state.input == ConnectionState::Input::Held;
}

bool Server::isClosing(SOCKET socket) const {
    const Connection* client = clients_.find(socket);
    return client == nullptr || client->state.closing();
}

void Server::sendFailure(SOCKET socket) { sendOwnFrame(socket, reply::FrameOf(reply::FailureText())); }

void Server::closeClient(SOCKET socket) {
    Connection* client = clients_.find(socket);
    if (client == nullptr) return;
    if (output_.holding()) {
        markClosing(socket, *client);
    } else {
        closeNow(socket);
    }
}

// The client takes no more output and holds nothing from now on; it is
// closed when the held batch ends.
void Server::markClosing(SOCKET socket, Connection& client) {
    clientClosing(socket);
    gate_.forget(socket);
    ConnectionState& state = client.state;
    if (state.closing()) return;
    state.life = ConnectionState::Life::Closing;
    if (state.input == ConnectionState::Input::TurnDue) state.input = ConnectionState::Input::AwaitRead;
    client.dropAll();
    account(client);
    output_.closeLater(socket);
}

void Server::closeNow(SOCKET socket) {
    output_.closedNow(socket);
    Connection* client = clients_.find(socket);
    if (client == nullptr) return;
    // What the handler sends, and the clients that fail on it, wait until it
    // is done: it may be walking a table those closes would change.
    OutputBatch batch(*this);
    // Only a socket this server still holds is closed: a second close of a
    // handle that has since been reused would end another connection.
    markClosing(socket, *client);
    output_.closedNow(socket);
    if (handler_ != nullptr) handler_->onClientClosed(*this, socket);  // e.g. its channel is freed
    LogFormatted("deiniting a client [%d]", port());
    clients_.erase(socket);  // its socket goes with it
}

void Server::deinit() {
    for (SOCKET socket : clients()) closeClient(socket);
    listener_.close();
}

void Server::handleConnectionLost(SOCKET socket) {
    LogMessage("Server::handleConnectionLost " + std::to_string(static_cast<unsigned long long>(socket)));
    closeClient(socket);
}

template <typename Append>
int Server::queueWith(SOCKET socket, bool own, Append append) {
    Connection* client = clients_.find(socket);
    if (client == nullptr || client->state.closing()) return -1;
    OutputBatch batch(*this);
    // A frame goes in whole or not at all. Past the bound a frame from
    // elsewhere is refused: the client keeps its connection and everything
    // queued before; its own replies are always queued (its input is held
    // back meanwhile, so they stay bounded).
    if (!own && client->waitingOutput() >= outputBound(*client)) {
        if (!closeIfStalled(socket, *client) && client->state.foreign != ConnectionState::Foreign::Refused) {
            client->state.foreign = ConnectionState::Foreign::Refused;
            LogFormatted("Client does not take its output, refusing frames for it until it drains [%d]", port());
        }
        return -1;
    }
    append(*client);
    output_.queued(socket, client->state);
    account(*client);
    return 0;
}

size_t Server::outputBound(const Connection& client) const {
    // Anyone may connect to a port whose key is optional: a stranger's share is small.
    return gate_.hasKey() && !client.state.authorized() ? netlimits::kMaxKeylessUnsentOutput
                                                        : netlimits::kMaxUnsentOutput;
}

int Server::queue(SOCKET socket, const char* bytes, size_t size, bool own) {
    return queueWith(socket, own, [&](Connection& client) { client.queue(bytes, size); });
}

int Server::queue(SOCKET socket, std::string&& frame, bool own) {
    return queueWith(socket, own, [&](Connection& client) { client.queue(std::move(frame)); });
}

bool Server::closeIfStalled(SOCKET socket, Connection& client) { return closeIfStalled(socket, client, GetTickCount()); }

bool Server::closeIfStalled(SOCKET socket, Connection& client, DWORD now) {
    if (client.state.closing() || client.stalledMs(now) < netlimits::kStalledOutputMs) return false;
    LogMessage("Client has taken none of its output for " + std::to_string(netlimits::kStalledOutputMs / 1000) +
               " s, closing it [" + std::to_string(port()) + "]");
    closeClient(socket);
    return true;
}

// Before a handler that can wait: the served client's replies, and whatever
// else is queued, leave now rather than after it.
void Server::sendBeforeBlocking(SOCKET socket, Connection& client) {
    flush(socket, client);
    for (SOCKET other : output_.waiting()) {
        Connection* waiting = clients_.find(other);
        if (waiting != nullptr && waiting->state.queued) flush(other, *waiting);
    }
}

void Server::flush(SOCKET socket, Connection& client) {
    ConnectionState& state = client.state;
    state.queued = false;
    if (state.closing()) return;
    if (!client.flush()) {
        closeClient(socket);
        return;
    }
    account(client);
    const bool held = state.input == ConnectionState::Input::Held;
    const bool refusing = state.foreign == ConnectionState::Foreign::Refused;
    const size_t waiting = held || refusing ? client.waitingOutput() : 0;
    if (refusing && waiting < outputBound(client)) state.foreign = ConnectionState::Foreign::Taken;
    if (held && waiting < netlimits::kMaxUnsentOutput) {
        // Its read turns stopped while its input was held: it gets one.
        if (turns_ != nullptr) {
            state.input = ConnectionState::Input::AwaitRead;
            turns_->requestRead(*this, socket);
        } else {
            state.input = ConnectionState::Input::TurnDue;
        }
    }
}

bool Server::flushIfQueued(SOCKET socket) {
    Connection* client = clients_.find(socket);
    if (client == nullptr || !client->state.queued) return false;
    flush(socket, *client);
    return true;
}

void Server::onWritable(SOCKET socket) {
    Connection* client = clients_.find(socket);
    if (client == nullptr) return;
    OutputBatch batch(*this);
    client->writable();
    flush(socket, *client);
}

void Server::settled() {
    if (budget_ != nullptr) budget_->enforce();
}

void Server::flushWaiting() {
    output_.laterTurnCame();
    OutputBatch batch(*this);  // its end sends the next share
}

int Server::sendRaw(SOCKET socket, const std::string& frame) {
    log_.frame(frame);
    return queue(socket, frame.data(), frame.size(), false);
}

int Server::sendRaw(SOCKET socket, std::string&& frame) {
    log_.frame(frame);
    return queue(socket, std::move(frame), false);
}

int Server::sendReply(const std::wstring& text, SOCKET socket) { return sendOwnFrame(socket, reply::FrameOf(text)); }

int Server::sendOwnFrame(SOCKET socket, const std::string& frame) {
    log_.frame(frame);
    return queue(socket, frame.data(), frame.size(), true);
}

int Server::broadcast(const std::wstring& text) {
    OutputBatch batch(*this);
    const std::string frame = reply::FrameOf(text);
    for (SOCKET client : clients()) {
        log_.frame(frame);
        queue(client, frame.data(), frame.size(), false);
    }
    return 0;
}
