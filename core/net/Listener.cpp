#include "core/net/Listener.h"

#include <cstdlib>
#include <string>

#include "core/net/Limits.h"
#include "core/util/Log.h"

namespace {

constexpr int kBindAttempts = 25;
constexpr int kFirstPort = 3400;

}  // namespace

int Listener::open() {
    LogMessage(std::string("Listener starting..."));
    marlin::unique_socket listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener) {
        LogSystemError(L"socket()");
        return -1;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    // No other program may bind the same port while we hold it; failure is harmless.
    const BOOL exclusive = TRUE;
    setsockopt(listener.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof(exclusive));

    bool bound = false;
    for (int attempt = 0; attempt < kBindAttempts && !bound; ++attempt) {
        port_ = (rand() & 0xFF) + kFirstPort;
        address.sin_port = htons(static_cast<u_short>(port_));
        if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
            LogFormatted("Listen [%d] succesful, waiting for clients", port_);
            bound = true;
        } else {
            LogSystemError(L"bind()");
        }
    }
    if (!bound) return -1;
    if (::listen(listener.get(), netlimits::kListenBacklog) != 0) {
        LogSystemError(L"listen()");
        return -1;
    }
    u_long nonBlocking = 1;
    ioctlsocket(listener.get(), FIONBIO, &nonBlocking);
    socket_ = std::move(listener);
    return port_;
}

SOCKET Listener::accept() {
    const SOCKET client = ::accept(socket_.get(), nullptr, nullptr);
    if (client == INVALID_SOCKET) {
        LogSystemError(L"accept()");
        return INVALID_SOCKET;
    }
    // Replies and pen tokens are small writes to a client that rarely answers:
    // with Nagle's algorithm each would wait for the client's delayed
    // acknowledgement. The bytes on the wire stay the same.
    const BOOL noDelay = TRUE;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
    return client;
}

void Listener::close() {
    if (!socket_) return;
    LogFormatted("deinit server [%d]", port_);
    socket_.reset();
}
