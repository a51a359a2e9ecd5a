// What a server writes to the log about its traffic: the "Received" line of
// each message and each frame it queues, both cut at the port's log limit
// (an apps message of 16 MiB is not copied into the log).
//
// Threads: belongs to its server's thread.
#pragma once

#include <cstddef>
#include <string>

class FrameLog {
public:
    explicit FrameLog(size_t limit) : limit_(limit) {}

    void setPort(int port);
    size_t limit() const { return limit_; }

    // The "Received [port]: " line of one message, decoded already; bytes
    // is the message as it arrived, logged in part when it is long.
    void received(const std::wstring& message, const std::string& bytes) const;
    // A long message taken as it arrived (never decoded whole).
    void received(const std::string& bytes) const;
    void frame(const std::string& frame) const;

private:
    size_t limit_;
    std::wstring receivedPrefix_ = L"Received [0]: ";
};
