#include "core/net/Connection.h"

#include <algorithm>

#include "core/net/Limits.h"
#include "core/util/Log.h"

namespace {

// A drained queue keeps at most this much capacity; a client that once
// received a large frame does not keep its memory.
constexpr size_t kKeptCapacity = 64 * 1024;

// What a waiting message costs, its record included: a read full of empty
// messages must count for more than nothing.
size_t BacklogCost(const Connection::Framed& framed) { return framed.bytes.size() + sizeof(framed) + 16; }

void DropBuffer(std::string& buffer) {
    buffer.clear();
    if (buffer.capacity() > kKeptCapacity) std::string().swap(buffer);
}

}  // namespace

bool Connection::takeInput(std::string chunk, size_t messageLimit, size_t firstLineLimit) {
    chunk.erase(std::remove_if(chunk.begin(), chunk.end(), [](char c) { return c == '\r' || c == '\n'; }),
                chunk.end());
    size_t start = 0;
    for (;;) {
        const bool firstLine = firstLineLimit != 0 && !pastFirstLine_;
        const size_t limit = firstLine ? firstLineLimit : messageLimit;
        const size_t end = chunk.find('|', start);
        const size_t length = (end == std::string::npos ? chunk.size() : end) - start;
        if (!skipping_ && input_.size() + length > limit) {
            if (firstLine) return false;
            skipping_ = true;
            DropBuffer(input_);
            backlog_.push_back(Framed{std::string(), true});
            backlogBytes_ += BacklogCost(backlog_.back());
        }
        if (end == std::string::npos) {
            if (!skipping_) input_.append(chunk, start, length);
            return true;
        }
        if (skipping_) {
            skipping_ = false;  // the long message ends here
        } else if (input_.empty()) {
            backlog_.push_back(Framed{chunk.substr(start, length), false});
            backlogBytes_ += BacklogCost(backlog_.back());
        } else {
            input_.append(chunk, start, length);
            backlog_.push_back(Framed{std::move(input_), false});
            backlogBytes_ += BacklogCost(backlog_.back());
            input_.clear();
        }
        pastFirstLine_ = true;
        start = end + 1;
    }
}

Connection::Framed Connection::nextMessage() {
    Framed framed = std::move(backlog_.front());
    backlog_.pop_front();
    backlogBytes_ -= BacklogCost(framed);
    return framed;
}

void Connection::dropBacklog() {
    backlog_.clear();
    backlogBytes_ = 0;
}

void Connection::queue(const char* bytes, size_t size) {
    if (!hasUnsent()) lastProgress_ = GetTickCount();  // the wait starts now
    const unsigned long long start = base_ + output_.size();
    output_.append(bytes, size);
    if (size >= netlimits::kLargeFrame) largeFrames_.emplace_back(start, start + size);
}

void Connection::queue(std::string&& frame) {
    if (!output_.empty()) {
        queue(frame.data(), frame.size());
        return;
    }
    lastProgress_ = GetTickCount();
    const unsigned long long start = base_;
    const size_t size = frame.size();
    output_.swap(frame);
    sent_ = 0;
    if (size >= netlimits::kLargeFrame) largeFrames_.emplace_back(start, start + size);
}

size_t Connection::waitingOutput() const {
    const unsigned long long sent = base_ + sent_;
    const size_t unsent = output_.size() - sent_;
    for (const auto& frame : largeFrames_) {
        if (frame.second <= sent) continue;  // gone already
        if (frame.first > sent) return unsent;
        return unsent - static_cast<size_t>(frame.second - sent);
    }
    return unsent;
}

void Connection::dropSentLargeFrames() {
    const unsigned long long sent = base_ + sent_;
    while (!largeFrames_.empty() && largeFrames_.front().second <= sent) largeFrames_.pop_front();
}

bool Connection::flush() {
    const SOCKET socket = socket_.get();
    while (!writeBlocked_ && sent_ < output_.size()) {
        const size_t left = output_.size() - sent_;
        const int chunk = static_cast<int>(std::min<size_t>(left, 1u << 30));
        const int written = send(socket, output_.data() + sent_, chunk, 0);
        if (written == SOCKET_ERROR) {
            if (WSAGetLastError() != WSAEWOULDBLOCK) {
                LogSystemError(L"send()");
                return false;
            }
            writeBlocked_ = true;  // FD_WRITE brings us back
        } else {
            sent_ += static_cast<size_t>(written);
            if (written > 0) lastProgress_ = GetTickCount();
        }
    }
    dropSentLargeFrames();
    if (sent_ == output_.size()) {
        base_ += sent_;
        DropBuffer(output_);
        sent_ = 0;
    } else if (sent_ > kKeptCapacity && sent_ * 2 > output_.size()) {
        base_ += sent_;
        output_.erase(0, sent_);
        sent_ = 0;
    }
    return true;
}

void Connection::dropAll() {
    dropBacklog();
    DropBuffer(input_);
    base_ += output_.size();
    DropBuffer(output_);
    sent_ = 0;
    largeFrames_.clear();
}

size_t Connection::held() const { return input_.size() + backlogBytes_ + (output_.size() - sent_); }
