// A server's output to its clients. Every byte for a client goes through
// that client's output queue, a frame whole or not at all: past the client's
// bound a frame from elsewhere is refused (the client keeps its connection
// and everything queued before), its own replies never are (its input is
// held back meanwhile, so they stay bounded). A flush writes what the socket
// takes; the one that brings the waiting output back under the bound gives
// a held client its next read turn. A client that takes no byte for
// kStalledOutputMs is closed. While a batch is held (OutputScheduler.h) the
// queues are only filled.
//
// Threads: belongs to its server's thread.
#pragma once

#include <winsock2.h>

#include <cstddef>
#include <string>

#include "core/net/AuthorizationGate.h"
#include "core/net/ClientTable.h"
#include "core/net/Connection.h"
#include "core/net/FrameLog.h"
#include "core/net/OutputScheduler.h"

class ClientOutput {
public:
    // What the output asks of its server, besides what its scheduler asks.
    class Host : public OutputScheduler::Host {
    public:
        virtual int port() const = 0;
        virtual void closeClient(SOCKET socket) = 0;
        // The held client may be read again; false when the thread gives no
        // turns (the next receive then reads it).
        virtual bool requestRead(SOCKET socket) = 0;

    protected:
        ~Host() = default;
    };

    ClientOutput(Host& host, ClientTable& clients, const AuthorizationGate& gate, const FrameLog& log)
        : host_(host), clients_(clients), gate_(gate), log_(log) {}
    ClientOutput(const ClientOutput&) = delete;
    ClientOutput& operator=(const ClientOutput&) = delete;

    // Holds the output of a stretch of work: each client's share leaves in
    // one send when the outermost batch ends.
    class Batch {
    public:
        explicit Batch(ClientOutput& output) : output_(output) { output_.scheduler_.hold(); }
        ~Batch() { output_.scheduler_.release(output_.host_); }
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        ClientOutput& output_;
    };

    OutputScheduler& scheduler() { return scheduler_; }
    const OutputScheduler& scheduler() const { return scheduler_; }

    // The frame, logged and queued; own: the client's own reply. 0, or -1
    // when refused (gone, closing, or from elsewhere past the bound).
    int send(SOCKET socket, const std::string& frame, bool own);
    int send(SOCKET socket, std::string&& frame, bool own);
    // Queued without a log line (pen tokens).
    int queue(SOCKET socket, const char* bytes, size_t size, bool own);

    // Writes what the client's queue holds and the socket takes.
    void flush(SOCKET socket, Connection& client);
    // The same when it has output queued since its last flush; true when it had.
    bool flushIfQueued(SOCKET socket);
    // Before a handler that can wait: the served client's replies, and
    // whatever else is queued, leave now rather than after it.
    void sendBeforeBlocking(SOCKET socket, Connection& client);
    // FD_WRITE: the socket takes data again.
    void onWritable(SOCKET socket);
    // Closes the client when it has taken no byte of its waiting output for
    // kStalledOutputMs; true when it did.
    bool closeIfStalled(SOCKET socket, Connection& client, DWORD now);

private:
    template <typename Append>
    int queueWith(SOCKET socket, bool own, Append append);
    // Output a client may leave waiting before frames from elsewhere are refused.
    size_t bound(const Connection& client) const;

    Host& host_;
    ClientTable& clients_;
    const AuthorizationGate& gate_;
    const FrameLog& log_;
    OutputScheduler scheduler_;
};
