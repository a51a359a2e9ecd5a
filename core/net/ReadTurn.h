// One read turn of one client: read what it sent (one bounded read), frame
// it, and hand its complete messages on, as many as one turn's work allows,
// through the port's gates (output past its bound, earlier output waiting,
// authorization, the long-message rule); each result becomes its reply.
// Messages left over wait in the client's backlog and are handled, before
// anything more is read, at its next turn.
//
// Threads: runs on its server's thread, inside a held output batch.
#pragma once

#include <winsock2.h>

#include <string>
#include <vector>

#include "core/net/AuthorizationGate.h"
#include "core/net/Connection.h"
#include "core/net/FrameLog.h"
#include "core/net/OutputScheduler.h"
#include "core/net/PortHandler.h"
#include "core/util/ReusedBuffer.h"

class Server;

class ReadTurn {
public:
    // What the turn does to its server.
    class Host {
    public:
        virtual Server& server() = 0;
        virtual int port() const = 0;
        // Logs the client's own reply frame and queues it.
        virtual void queueOwnFrame(SOCKET socket, const std::string& frame) = 0;
        virtual void flush(SOCKET socket, Connection& client) = 0;
        // Before a handler that can wait: everything queued leaves now.
        virtual void sendBeforeBlocking(SOCKET socket, Connection& client) = 0;
        virtual void account(Connection& client) = 0;
        // Closes a client that has taken no byte for kStalledOutputMs while
        // output waits for it; true when it did.
        virtual bool closeIfStalled(SOCKET socket, Connection& client) = 0;
        virtual void closeClient(SOCKET socket) = 0;
        virtual void closeAll() = 0;
        // Result codes -3 and -4: the pen stream's start and stop.
        virtual void startStream(SOCKET socket) = 0;
        virtual void stopStream(SOCKET socket) = 0;

    protected:
        ~Host() = default;
    };

    struct Port {
        AuthorizationGate& gate;
        PortHandler& handler;
        const FrameLog& log;
        const OutputScheduler& output;
        size_t messageLimit;
        std::vector<char>& readBuffer;  // one read's bytes, kept between reads
        // A message's decoded text and a reply's frame, kept between messages.
        ReusedBuffer<std::wstring>& messageBuffer;
        ReusedBuffer<std::string>& frameBuffer;
    };

    ReadTurn(Host& host, Port port) : host_(host), port_(port) {}
    // Returns the result code of the last handled message, -8 if none.
    int run(SOCKET socket, Connection& client);

private:
    enum class Next {
        Message,  // the next message
        Checked,  // the output bound is checked first
        End,      // the turn ends now
    };
    std::string readAvailable(SOCKET socket);
    // One message through the gates to its handler.
    Next handle(SOCKET socket, Connection& client, Connection::Framed framed, int& result);
    // Acts on the handler's result.
    Next actOn(SOCKET socket, Connection& client, int result);

    Host& host_;
    Port port_;
};
