// The bytes that the clients of a group of servers make the service hold
// (unfinished input plus unsent output), against one cap. Past the cap
// clients are closed, whichever server they belong to, in the order
// CapCandidate::closesBefore gives: those that leave output unread before
// those whose data is in flight, so that clients parked on the port cannot
// make a widget's legal upload the one that is cut.
//
// Threads: a budget belongs to one thread, like the servers attached to it;
// a thread only ever closes its own servers' clients. The servers are
// attached before that thread drives them (at start, possibly by another
// thread); the first count made after that records the owning thread, and a
// call from any other thread is refused with a log line.
#pragma once

#include <winsock2.h>

#include <cstddef>
#include <vector>

#include "core/net/BudgetMember.h"

class BufferBudget {
public:
    explicit BufferBudget(size_t cap) : cap_(cap) {}
    BufferBudget(const BufferBudget&) = delete;
    BufferBudget& operator=(const BufferBudget&) = delete;

    // The member counts its clients here from now on, and what they already
    // hold is counted at once; it may lose its largest to the cap.
    void attach(BudgetMember& member);
    void detach(BudgetMember& member);
    // A server's count of one client went from before to after. The total
    // never wraps: a before larger than the total is taken as the total.
    void adjust(size_t before, size_t after);
    // Closes clients, in the candidates' order, until the total is under the cap.
    void enforce();

    size_t total() const { return total_; }
    size_t cap() const { return cap_; }

private:
    bool onOwningThread();

    size_t cap_;
    size_t total_ = 0;
    std::vector<BudgetMember*> members_;
    bool enforcing_ = false;
    DWORD owner_ = 0;  // the thread that drives the servers; 0 until the first count
    bool complained_ = false;
};
