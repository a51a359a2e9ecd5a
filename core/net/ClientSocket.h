// A client socket owned by its connection. Closing it is handed to the
// closer the service gives (the deferred release: events already queued for
// the handle are handled before the handle can be reused); without one, or
// when the closer does not take it, it is closed at once.
#pragma once

#include <winsock2.h>

#include <utility>

class SocketCloser {
public:
    // False when the socket was not taken (the owner then closes it).
    virtual bool closeSocket(SOCKET socket) = 0;

protected:
    ~SocketCloser() = default;
};

class ClientSocket {
public:
    ClientSocket() = default;
    ClientSocket(SOCKET socket, SocketCloser* closer) : socket_(socket), closer_(closer) {}
    ~ClientSocket() { reset(); }
    ClientSocket(ClientSocket&& other) noexcept
        : socket_(std::exchange(other.socket_, INVALID_SOCKET)), closer_(other.closer_) {}
    ClientSocket& operator=(ClientSocket&& other) noexcept {
        if (this != &other) {
            reset();
            socket_ = std::exchange(other.socket_, INVALID_SOCKET);
            closer_ = other.closer_;
        }
        return *this;
    }
    ClientSocket(const ClientSocket&) = delete;
    ClientSocket& operator=(const ClientSocket&) = delete;

    SOCKET get() const { return socket_; }
    void reset() {
        const SOCKET socket = std::exchange(socket_, INVALID_SOCKET);
        if (socket == INVALID_SOCKET) return;
        if (closer_ == nullptr || !closer_->closeSocket(socket)) closesocket(socket);
    }

private:
    SOCKET socket_ = INVALID_SOCKET;
    SocketCloser* closer_ = nullptr;
};
