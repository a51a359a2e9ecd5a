// When a server's queued output leaves. While a batch is held (the handling
// of one read event, one pen packet, one broadcast) queues are only filled;
// when the outermost batch ends each client with queued output gets one
// send (at most kMaxSendsPerTurn clients per turn when the thread can give
// a later turn for the rest), then the clients closed meanwhile are closed,
// then the budget is enforced.
//
// Threads: belongs to its server's thread.
#pragma once

#include <winsock2.h>

#include <cstddef>
#include <deque>
#include <vector>

#include "core/net/Connection.h"

class OutputScheduler {
public:
    // What the scheduler asks of its server.
    class Host {
    public:
        // Sends what the client has queued, if it still has; true when it did.
        virtual bool flushIfQueued(SOCKET socket) = 0;
        virtual void closeNow(SOCKET socket) = 0;
        // False when the thread gives no later turns (everything goes now).
        virtual bool canWaitForLaterTurn() const = 0;
        // Asks for the later turn; false when none can be had.
        virtual bool requestLaterTurn() = 0;
        // The batch is over: the service-wide cap is enforced.
        virtual void settled() = 0;

    protected:
        ~Host() = default;
    };

    void hold() { ++depth_; }
    void release(Host& host) {
        if (--depth_ == 0) settle(host);
    }
    // Closes wait for the end of the batch while this is true.
    bool holding() const { return depth_ > 0 || settling_; }

    // A frame was queued for the client.
    void queued(SOCKET socket, ConnectionState& state);
    // Frames queued so far, to bound one turn's work.
    size_t framesQueued() const { return framesQueued_; }
    // Clients whose queued output waits for its send.
    size_t waitingClients() const { return waiting_.size(); }
    const std::deque<SOCKET>& waiting() const { return waiting_; }

    void closeLater(SOCKET socket) { closing_.push_back(socket); }
    void closedNow(SOCKET socket);
    // The later turn came.
    void laterTurnCame() { laterTurnAsked_ = false; }

private:
    void settle(Host& host);

    std::deque<SOCKET> waiting_;  // clients with output queued and not yet sent
    std::vector<SOCKET> closing_;  // clients closed while a batch was held
    size_t framesQueued_ = 0;
    int depth_ = 0;
    bool settling_ = false;
    bool laterTurnAsked_ = false;
};
