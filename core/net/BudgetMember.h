// What a buffer budget asks of a group member (a server): what its clients
// hold, which holds the most, and closing that one.
#pragma once

#include <winsock2.h>

#include <cstddef>

class BufferBudget;

class BudgetMember {
public:
    // Unfinished input plus unsent output of all its clients, in bytes.
    virtual size_t heldBytes() const = 0;
    // The client holding the most; INVALID_SOCKET when none holds anything.
    virtual SOCKET largestHolder(size_t& bytes) const = 0;
    // Closes the client (its buffers are dropped at once).
    virtual void closeClient(SOCKET socket) = 0;
    // For the log line that names the port.
    virtual int port() const = 0;
    // The budget the member reports its counts to from now on (nullptr: none).
    virtual void countTo(BufferBudget* budget) = 0;

protected:
    ~BudgetMember() = default;
};
