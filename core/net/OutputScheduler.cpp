#include "core/net/OutputScheduler.h"

#include <algorithm>

#include "core/net/Limits.h"

void OutputScheduler::queued(SOCKET socket, ConnectionState& state) {
    ++framesQueued_;
    if (state.queued) return;
    state.queued = true;
    waiting_.push_back(socket);
}

void OutputScheduler::closedNow(SOCKET socket) {
    closing_.erase(std::remove(closing_.begin(), closing_.end(), socket), closing_.end());
}

void OutputScheduler::settle(Host& host) {
    if (settling_) return;
    settling_ = true;
    // Each send is a round trip to the system: a turn sends to a bounded
    // number of clients when the service can give us a later turn, and the
    // rest leave then, each client's share still in one send.
    bool bounded = host.canWaitForLaterTurn();
    size_t sends = 0;
    for (;;) {
        while (!waiting_.empty() && (!bounded || sends < netlimits::kMaxSendsPerTurn)) {
            const SOCKET socket = waiting_.front();
            waiting_.pop_front();
            if (host.flushIfQueued(socket)) ++sends;  // gone, or already sent: not counted
        }
        // A close may make others send (a freed channel is announced) and
        // fail: they join the lists and the loop goes on.
        while (!closing_.empty()) host.closeNow(closing_.back());
        if (waiting_.empty() && closing_.empty()) break;
        if (bounded && sends >= netlimits::kMaxSendsPerTurn) {
            if (laterTurnAsked_) break;
            laterTurnAsked_ = true;
            if (host.requestLaterTurn()) break;
            laterTurnAsked_ = false;
            bounded = false;  // no later turn to be had: everything now
        }
    }
    settling_ = false;
    host.settled();
}
