// A server's listening socket: a non-blocking loopback listener on a port
// found by trying random ones in 3400-3655. Owns the socket.
//
// Threads: belongs to its server's thread.
#pragma once

#include <winsock2.h>

#include "core/util/Handles.h"

class Listener {
public:
    // Opens the listener (25 bind attempts). Returns the port, or -1; port()
    // is the last one tried either way.
    int open();
    // Accepts one pending connection (Nagle's algorithm off); INVALID_SOCKET
    // when none (logged).
    SOCKET accept();
    void close();

    SOCKET socket() const { return socket_.get(); }
    bool isOpen() const { return static_cast<bool>(socket_); }
    int port() const { return port_; }

private:
    marlin::unique_socket socket_;
    int port_ = 0;
};
