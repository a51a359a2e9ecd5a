// What a buffer budget asks of a group member (a server): what its clients
// hold, which of them it should close first, and closing that one.
#pragma once

#include <winsock2.h>

#include <cstddef>

class BufferBudget;

// A member's best candidate for a close, and what ranks it.
struct CapCandidate {
    SOCKET socket = INVALID_SOCKET;
    bool outputWaiting = false;  // unsent output waits for it
    bool keyless = false;        // it has not authorized on a port that has a key
    DWORD idleMs = 0;            // how long none of its waiting output has left
    size_t bytes = 0;            // what it holds
    // The order of closing: clients with output waiting before those that
    // hold only input (data on its way in); keyless before authorized; among
    // those waiting, the one whose output has not moved for longest, among
    // input holders the largest.
    bool closesBefore(const CapCandidate& other) const;
};


class BudgetMember {
public:
    // Unfinished input plus unsent output of all its clients, in bytes.
    virtual size_t heldBytes() const = 0;
    // The client to close first (now is GetTickCount()); no socket when
    // none holds anything.
    virtual CapCandidate capCandidate(DWORD now) const = 0;
    // Closes the client (its buffers are dropped at once).
    virtual void closeClient(SOCKET socket) = 0;
    // For the log line that names the port.
    virtual int port() const = 0;
    // The budget the member reports its counts to from now on (nullptr: none).
    virtual void countTo(BufferBudget* budget) = 0;

protected:
    ~BudgetMember() = default;
};
