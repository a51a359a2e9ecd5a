// Socket-level test helpers: a blocking client on the loopback interface, and
// the pumping of a Server's events that the service's window procedure does
// (select() stands in for the window message, the calls are the same).
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>

#include "core/net/Server.h"
#include "core/util/Handles.h"

namespace testsupport {

constexpr DWORD kWaitMs = 5000;

// Winsock for the length of a test.
class WinsockSession {
public:
    WinsockSession() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 0), &data);
    }
    ~WinsockSession() { WSACleanup(); }
    WinsockSession(const WinsockSession&) = delete;
    WinsockSession& operator=(const WinsockSession&) = delete;
};

inline bool WaitReadable(SOCKET socket, DWORD timeoutMs = kWaitMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    timeval timeout = {static_cast<long>(timeoutMs / 1000), static_cast<long>((timeoutMs % 1000) * 1000)};
    return select(0, &set, nullptr, nullptr, &timeout) == 1;
}

// Accepts the next connection on the server once it is pending.
inline SOCKET AcceptNext(Server& server) {
    if (!WaitReadable(server.listenSocket())) return INVALID_SOCKET;
    return server.acceptClient();
}

// Waits until the client's data has arrived, then lets the server read it.
inline int Pump(Server& server, SOCKET serverSide) {
    WaitReadable(serverSide);
    return server.receive(serverSide);
}

// The dock's side of a connection: blocking socket with a read timeout.
class Client {
public:
    explicit Client(int port) : socket_(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)) {
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        address.sin_port = htons(static_cast<u_short>(port));
        connected_ = connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
        const DWORD timeout = kWaitMs;
        setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    }

    bool connected() const { return connected_; }
    SOCKET get() const { return socket_.get(); }

    bool send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            const int sent = ::send(socket_.get(), bytes.data() + done, static_cast<int>(bytes.size() - done), 0);
            if (sent <= 0) return false;
            done += static_cast<size_t>(sent);
        }
        return true;
    }

    // The next '|'-terminated frame, delimiter included; what arrived so far
    // when the connection ends or nothing comes in time.
    std::string readFrame() { return readUntil('|'); }
    std::string readUntil(char last) {
        for (;;) {
            const size_t end = buffer_.find(last);
            if (end != std::string::npos) {
                std::string frame = buffer_.substr(0, end + 1);
                buffer_.erase(0, end + 1);
                return frame;
            }
            if (!fill()) {
                std::string rest;
                rest.swap(buffer_);
                return rest;
            }
        }
    }
    std::string readBytes(size_t count) {
        while (buffer_.size() < count && fill()) {
        }
        std::string bytes = buffer_.substr(0, count);
        buffer_.erase(0, bytes.size());
        return bytes;
    }
    // True when the server has closed the connection (end of stream or reset).
    bool closedByServer() {
        for (;;) {
            char c;
            const int got = recv(socket_.get(), &c, 1, 0);
            if (got == 0) return true;
            if (got < 0) return WSAGetLastError() != WSAETIMEDOUT;
            buffer_.push_back(c);
        }
    }
    // True when nothing more arrives within a short wait.
    bool quiet(DWORD ms = 300) { return buffer_.empty() && !WaitReadable(socket_.get(), ms); }

private:
    bool fill() {
        char chunk[4096];
        const int got = recv(socket_.get(), chunk, sizeof(chunk), 0);
        if (got <= 0) return false;
        buffer_.append(chunk, static_cast<size_t>(got));
        return true;
    }

    marlin::unique_socket socket_;
    bool connected_ = false;
    std::string buffer_;
};

}  // namespace testsupport
