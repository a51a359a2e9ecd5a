// One client connection of a server: its input framing (the byte stream cut
// into '|'-framed messages under the port's message limit), the messages not
// handled yet, its output queue (written as far as the socket takes it,
// frames never cut or interleaved) and the bytes it makes the service hold.
// The server decides when to read, handle, send and close; a connection only
// keeps the bytes and the facts about them.
//
// Threads: a connection belongs to its server, and so to the one thread that
// drives that server. Nothing here is locked.
#pragma once

#include <winsock2.h>

#include <cstddef>
#include <deque>
#include <string>
#include <utility>

#include "core/net/ClientSocket.h"

// What the server knows about a client, one named state per question.
struct ConnectionState {
    enum class Life { Open, Closing };  // Closing: closed when the held batch ends; takes no more output
    enum class Input {
        AwaitRead,  // read when its next read event comes
        TurnDue,    // another turn is due without a read event
        Held,       // output past the bound: input not read until it drains
    };
    enum class Foreign { Taken, Refused };  // frames from elsewhere (Refused is logged once)
    enum class Standing { Stranger, Authorized };

    Life life = Life::Open;
    Input input = Input::AwaitRead;
    Foreign foreign = Foreign::Taken;
    Standing standing = Standing::Stranger;
    bool queued = false;  // output queued since the last flush (the scheduler's list holds it)
    DWORD acceptedAt = 0;
    size_t counted = 0;  // what the server counts for this client

    bool closing() const { return life == Life::Closing; }
    bool authorized() const { return standing == Standing::Authorized; }
};

class Connection {
public:
    Connection() = default;
    explicit Connection(ClientSocket socket) : socket_(std::move(socket)) {}
    SOCKET socket() const { return socket_.get(); }

    // One complete message, not decoded yet; tooLong stands for a message
    // that passed the limit (its bytes are dropped).
    struct Framed {
        std::string bytes;
        bool tooLong = false;
    };

    // Input. Cuts chunk into messages (CR and LF dropped, '|' ends one, a
    // NUL is a byte like any other) and appends them to the backlog; the
    // unfinished rest waits for the next chunk. A message longer than
    // messageLimit becomes a tooLong entry and the rest of it is skipped up
    // to its delimiter. firstLineLimit (0: none) bounds the first message;
    // false when it is passed (the caller closes the connection).
    bool takeInput(std::string chunk, size_t messageLimit, size_t firstLineLimit);
    bool hasBacklog() const { return !backlog_.empty(); }
    Framed nextMessage();  // the oldest waiting message, taken off the backlog
    void dropBacklog();

    // Output. Queues one whole frame.
    void queue(const char* bytes, size_t size);
    void queue(std::string&& frame);  // taken over when nothing waits
    // Unsent bytes behind the frame now leaving: a large frame at the head
    // does not count, whatever is left of it.
    size_t waitingOutput() const;
    bool hasUnsent() const { return sent_ < output_.size(); }
    // Writes what the socket takes; FD_WRITE brings the rest (writable).
    // False when send failed for good (logged).
    bool flush();
    void writable() { writeBlocked_ = false; }
    // How long no byte has left while output waits (0 when none waits).
    DWORD stalledMs(DWORD now) const { return hasUnsent() ? now - lastProgress_ : 0; }

    // Drops everything it holds: the connection is closing.
    void dropAll();
    // Unfinished input, waiting messages and unsent output, in bytes.
    size_t held() const;

    ConnectionState state;

private:
    void dropSentLargeFrames();

    ClientSocket socket_;  // closed (through the service's deferred release) with the connection
    bool writeBlocked_ = false;  // waiting for FD_WRITE
    std::string input_;  // the unfinished message (bytes after the last delimiter)
    std::deque<Framed> backlog_;
    size_t backlogBytes_ = 0;
    bool skipping_ = false;      // past the message limit: dropping up to the next delimiter
    bool pastFirstLine_ = false;  // a delimiter has been seen

    std::string output_;  // queued bytes; output_[sent_..] is still unsent
    size_t sent_ = 0;
    unsigned long long base_ = 0;  // stream offset of output_[0]
    // Stream offsets (start, end) of the large frames still queued.
    std::deque<std::pair<unsigned long long, unsigned long long>> largeFrames_;
    DWORD lastProgress_ = 0;  // when output last left (or began to wait)
};
