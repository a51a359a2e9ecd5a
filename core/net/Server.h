// A loopback TCP listener and its clients. The parts, one file each:
// Listener (the listening socket and its port), ClientTable (the clients and
// what they hold), AdmissionPolicy (connection caps, the authorize-by
// deadline), AuthorizationGate (the key), ReadTurn (one client's read and
// its messages), ReplyWriter (result code to reply), ClientOutput (each
// client's bounded output queue and its flush), OutputScheduler (when queued
// output leaves), PeerProbe (whether a peer is still there), FrameLog (what
// the traffic writes to the log). The server wires them and closes clients.
//
// Threads: a server is driven by exactly one thread, the thread whose window
// receives its socket events (command and apps servers: the main thread;
// pressure server: the tablet-listener thread). Every member below belongs
// to that thread; nothing here is locked.
//
// Output: every byte for a client goes through that client's output queue.
// It is written at once when the socket takes it; the rest waits for FD_WRITE
// (onWritable). While a batch is held (OutputBatch, and the whole handling
// of one read event) the queues are only filled (OutputScheduler.h). Frames
// are never cut or interleaved. A client whose output waits past its bound
// (Limits.h) is never closed for it: its own replies are still queued but its
// input is not read until the output drains (ServerTurns::requestRead
// resumes it), and frames from elsewhere (sendRaw, broadcast, pen tokens)
// are refused for it (sooner for a stranger on a port with a key). Only the
// service-wide budget, or a client that takes nothing for kStalledOutputMs
// (closeStalled, on the service's timer), closes it.
//
// Closing: a client closed while a batch is held is only marked; it is
// closed when the batch ends, so callers walking their own tables (channels,
// broadcasts) never see a client vanish under them. Its socket is closed
// with its connection, through the SocketCloser the service gives.
#pragma once

#include <winsock2.h>

#include <string>
#include <utility>
#include <vector>

#include "core/net/AuthorizationGate.h"
#include "core/net/BudgetMember.h"
#include "core/net/ClientOutput.h"
#include "core/net/ClientSocket.h"
#include "core/net/ClientTable.h"
#include "core/net/FrameLog.h"
#include "core/net/Limits.h"
#include "core/net/Listener.h"
#include "core/net/PeerProbe.h"
#include "core/net/PortHandler.h"
#include "core/net/ReadTurn.h"
#include "core/util/ReusedBuffer.h"

class Server : public BudgetMember, private ClientOutput::Host, private ReadTurn::Host {
public:
    // logLimit: how much of a message its "Received" log line keeps (bytes).
    explicit Server(AuthMode authMode = AuthMode::Required, size_t maxMessage = netlimits::kMaxMessage,
                    size_t logLimit = static_cast<size_t>(-1));
    virtual ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Whom the server asks; each may be null (no handler: nothing is handled).
    void setHandler(PortHandler* handler) { handler_ = handler; }
    void setTurns(ServerTurns* turns) { turns_ = turns; }
    void setCloser(SocketCloser* closer) { closer_ = closer; }

    // Opens a non-blocking listener on 127.0.0.1 at a random port in
    // 3400-3655 (25 attempts). Returns the port, or -1.
    int listen();
    // Accepts one pending connection; the new socket, or INVALID_SOCKET
    // (nothing pending, or refused: too many connections). The listener is
    // never closed here, whatever accept() reports.
    SOCKET acceptClient();
    // One read turn of the client (ReadTurn.h). Returns the result code of
    // the last handled message, -8 if none.
    int receive(SOCKET socket);
    // True when receive should be called again for the client although no
    // read event may come (messages wait, or the last turn did not read);
    // the service posts itself a read event behind the others' events.
    bool wantsAnotherTurn(SOCKET socket) const { return clients_.turnDue(socket); }
    // True while the client's input is held back because its output waits
    // past the bound; the drain gives it its next read turn (requestRead).
    bool inputHeld(SOCKET socket) const { return clients_.inputHeld(socket); }
    // FD_WRITE: the socket takes data again; writes what waits for it.
    void onWritable(SOCKET socket) { output_.onWritable(socket); }
    // The later turn asked for through requestFlush: sends the next share.
    void flushWaiting();
    // Closes command-port clients that have not authorized in time (now is
    // GetTickCount()).
    void expireUnauthorized(DWORD now);
    // Closes every client that has taken no byte of its waiting output for
    // kStalledOutputMs, whether or not anything is being sent to it now; the
    // service calls it on a timer.
    void closeStalled(DWORD now);

    // Whether a close event tells the truth: any program can post socket
    // event messages to our windows, so the socket itself is asked.
    using PeerState = ::PeerState;
    PeerState peerState(SOCKET socket) const { return ProbePeer(socket); }

    // Closes every client and the listener.
    void deinit();
    void handleConnectionLost(SOCKET socket);
    void closeClient(SOCKET socket) override;

    // The client's own reply: narrows to Latin-1, appends '|' and queues it,
    // whatever waits (its input is held back meanwhile); 0, or -1 for a
    // client that is gone or being closed.
    int sendReply(const std::wstring& text, SOCKET socket);
    // A frame from elsewhere (another client's data, a broadcast), already
    // narrow and framed: 0 when queued; -1 when the client is gone or being
    // closed, or when its waiting output is past the bound (nothing queued,
    // the client keeps its connection and everything queued before).
    int sendRaw(SOCKET socket, const std::string& frame) { return output_.send(socket, frame, false); }
    // The same; a frame for a client with nothing waiting is taken over, not copied.
    int sendRaw(SOCKET socket, std::string&& frame) { return output_.send(socket, std::move(frame), false); }
    // The text, framed, to every client in ascending socket order, refused
    // for a client as sendRaw refuses; 0.
    int broadcast(const std::wstring& text);

    // Holds the output of a stretch of work (one pen packet, one broadcast):
    // each client's share leaves in one send when the outermost batch ends.
    class OutputBatch {
    public:
        explicit OutputBatch(Server& server) : batch_(server.output_) {}

    private:
        ClientOutput::Batch batch_;
    };

    SOCKET listenSocket() const { return listener_.socket(); }
    int port() const override { return listener_.port(); }
    // The client holding the command port's key; INVALID_SOCKET when none.
    SOCKET authorizedSocket() const { return gate_.holder(); }
    bool hasClient(SOCKET socket) const { return clients_.find(socket) != nullptr; }
    bool isAuthorized(SOCKET socket) const { return clients_.authorized(socket); }
    std::vector<SOCKET> clients() const { return clients_.sockets(); }
    // Unfinished input plus unsent output of one client, and of all of them.
    size_t heldBytes(SOCKET socket) const { return clients_.counted(socket); }
    size_t heldBytes() const override { return clients_.held(); }
    CapCandidate capCandidate(DWORD now) const override { return clients_.capCandidate(now, gate_.hasKey()); }
    void countTo(BufferBudget* budget) override;

protected:
    // Result codes -3 and -4 of a handler: the pen stream's start and stop
    // (the pressure server's; elsewhere they get no reply).
    void startStream(SOCKET) override {}
    void stopStream(SOCKET) override {}
    // A client is being closed: whatever the subclass keeps about it ends.
    virtual void clientClosing(SOCKET) {}

    bool isClosing(SOCKET socket) const { return clients_.closing(socket); }
    // A frame from elsewhere for the client, refused as sendRaw refuses.
    int queueFromElsewhere(SOCKET socket, const char* bytes, size_t size) {
        return output_.queue(socket, bytes, size, false);
    }
    void sendFailure(SOCKET socket);

private:
    // ReadTurn::Host
    Server& server() override { return *this; }
    void queueOwnFrame(SOCKET socket, const std::string& frame) override { output_.send(socket, frame, true); }
    void flush(SOCKET socket, Connection& client) override { output_.flush(socket, client); }
    void sendBeforeBlocking(SOCKET socket, Connection& client) override { output_.sendBeforeBlocking(socket, client); }
    void account(Connection& client) override { clients_.account(client); }
    bool closeIfStalled(SOCKET socket, Connection& client) override {
        return output_.closeIfStalled(socket, client, GetTickCount());
    }
    void closeAll() override { deinit(); }
    // ClientOutput::Host
    bool requestRead(SOCKET socket) override;
    bool flushIfQueued(SOCKET socket) override { return output_.flushIfQueued(socket); }
    void closeNow(SOCKET socket) override;
    bool canWaitForLaterTurn() const override { return turns_ != nullptr; }
    bool requestLaterTurn() override { return turns_->requestFlush(*this); }
    void settled() override;

    void markClosing(SOCKET socket, Connection& client);

    size_t maxMessage_;
    PortHandler* handler_ = nullptr;
    ServerTurns* turns_ = nullptr;
    SocketCloser* closer_ = nullptr;
    BufferBudget* budget_ = nullptr;

    Listener listener_;
    AuthorizationGate gate_;
    FrameLog log_;
    ClientTable clients_;
    ClientOutput output_;
    std::vector<char> readBuffer_;  // one read's bytes, kept between reads
    ReusedBuffer<std::wstring> messageBuffer_;
    ReusedBuffer<std::string> frameBuffer_;
};
