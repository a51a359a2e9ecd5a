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
    : maxMessage_(maxMessage), gate_(authMode), log_(logLimit), output_(*this, clients_, gate_, log_) {}

Server::~Server() {
    if (budget_ != nullptr) budget_->detach(*this);
}

void Server::countTo(BufferBudget* budget) {
    budget_ = budget;
    clients_.countTo(budget);
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
        if (client != nullptr) output_.closeIfStalled(socket, *client, now);
    }
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
    ReadTurn turn(*this, ReadTurn::Port{gate_, handler, log_, output_.scheduler(), maxMessage_, readBuffer_,
                                               messageBuffer_, frameBuffer_});
    return turn.run(socket, *client);
}

void Server::sendFailure(SOCKET socket) { sendReply(reply::FailureText(), socket); }

void Server::closeClient(SOCKET socket) {
    Connection* client = clients_.find(socket);
    if (client == nullptr) return;
    if (output_.scheduler().holding()) {
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
    output_.scheduler().closeLater(socket);
}

void Server::closeNow(SOCKET socket) {
    output_.scheduler().closedNow(socket);
    Connection* client = clients_.find(socket);
    if (client == nullptr) return;
    // What the handler sends, and the clients that fail on it, wait until it
    // is done: it may be walking a table those closes would change.
    OutputBatch batch(*this);
    // Only a socket this server still holds is closed: a second close of a
    // handle that has since been reused would end another connection.
    markClosing(socket, *client);
    output_.scheduler().closedNow(socket);
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

bool Server::requestRead(SOCKET socket) {
    if (turns_ == nullptr) return false;
    turns_->requestRead(*this, socket);
    return true;
}

void Server::settled() {
    if (budget_ != nullptr) budget_->enforce();
}

void Server::flushWaiting() {
    output_.scheduler().laterTurnCame();
    OutputBatch batch(*this);  // its end sends the next share
}

int Server::sendReply(const std::wstring& text, SOCKET socket) {
    const std::string frame = reply::FrameOf(text);
    return output_.send(socket, frame, true);
}

int Server::broadcast(const std::wstring& text) {
    OutputBatch batch(*this);
    const std::string frame = reply::FrameOf(text);
    for (SOCKET client : clients()) output_.send(client, frame, false);
    return 0;
}
