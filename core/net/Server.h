// A loopback TCP listener and its clients: accepts them (the port's limits
// and authorization mode), hands each complete message of a client
// (Connection.h frames them) to the message handler the service gave it,
// turns the handler's result code into the reply, and schedules every
// client's output. The pen stream is the pressure server's (PressureServer.h).
//
// Threads: a server is driven by exactly one thread, the thread whose window
// receives its socket events (command and apps servers: the main thread;
// pressure server: the tablet-listener thread). Every member below belongs
// to that thread; nothing here is locked.
//
// Output: every byte for a client goes through that client's output queue.
// It is written at once when the socket takes it; the rest waits for FD_WRITE
// (onWritable). While a batch is held (OutputBatch, and the whole handling
// of one read event) the queues are only filled, and each client's queue
// leaves in one send when the batch ends (the client being served first; at
// most kMaxSendsPerTurn clients per turn, the others in a later turn the
// service gives through requestFlush). Frames are never cut or interleaved.
// A client whose output waits past its bound (Limits.h) is never closed for
// it: its own replies are still queued but its input is not read until the
// output drains (requestRead resumes it), and frames from elsewhere
// (sendRaw, broadcast, pen tokens) are refused for it. Only the service-wide
// budget, or a client that takes nothing for kStalledOutputMs, closes it.
//
// Closing: a client closed while a batch is held is only marked; it is
// closed when the batch ends, so callers walking their own tables (channels,
// broadcasts) never see a client vanish under them.
#pragma once

#include <winsock2.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/net/BufferBudget.h"
#include "core/net/Connection.h"

class Server;

// What a server calls outside itself, handed to it by the service when it
// wires the servers. Every member may be empty.
struct ServerHooks {
    // One complete message of a client; returns a result code (ResultCodes.h).
    std::function<int(Server& server, SOCKET client, const std::wstring& message)> handleMessage;
    // True when the message is a valid authorization ("auth" and the key).
    std::function<bool(const std::wstring& message)> checkKey;
    // True when the message is meant as an authorization attempt (ports
    // where authorizing is optional tell it from their other commands). It is
    // asked before anything is decoded, with no more than the first
    // kMaxAuthorizationMessage bytes of the message as it arrived (UTF-8).
    std::function<bool(const std::string& head)> isKeyAttempt;
    // A client of a port that requires authorization has just authorized.
    std::function<void(Server& server, SOCKET client)> onAuthorized;
    // A client is about to be closed (its socket is still valid).
    std::function<void(Server& server, SOCKET client)> onClientClosed;
    // The pen stream starts (before its client is set: WinTab and the hook
    // refresh), has its client (the pen record is reset), or stopped.
    std::function<void()> onStreamStart;
    std::function<void()> onStreamStarted;
    std::function<void()> onStreamStop;
    // More output waits than one turn sends: the server asks for a later
    // turn, in which the service calls flushWaiting (behind the events that
    // wait meanwhile); false when none can be had. Without it every turn
    // sends everything at once.
    std::function<bool(Server& server)> requestFlush;
    // A client whose input was held back while its output drained may be read
    // again: the service gives it a read turn behind the waiting events.
    // Without it, wantsAnotherTurn reports the client.
    std::function<void(Server& server, SOCKET client)> requestRead;
    // True for a message whose handler can wait (installers, elevated copies,
    // process waits, message boxes): the replies queued so far are sent
    // before it runs, so a client never waits for an answer already made.
    std::function<bool(const std::wstring& message)> mayBlock;
    // A message longer than a large frame that is not an authorization
    // attempt, as it arrived (UTF-8, cut at a NUL): a port whose
    // handler reads a few words of a long message (a channel forward of up
    // to 16 MiB) takes it here rather than as a UTF-16 copy twice its size.
    // Returns a result code, as handleMessage.
    std::function<int(Server& server, SOCKET client, const std::string& utf8)> handleLongMessage;
    // Closes a client socket; false when it did not take the socket, which is
    // then closed at once. The service defers the close until the events
    // already queued for the socket have been handled, so a late event can
    // never reach a new connection given the same handle.
    std::function<bool(SOCKET client)> closeSocket;
};

enum class AuthMode {
    Required,  // command port: the first message must be the key; one client at a time holds it
    Optional,  // pressure and apps ports: a client may authorize (a held stream, a held name)
    None,      // no key at all
};

class Server {
public:
    Server();
    // logLimit: how much of a message its "Received" log line keeps (bytes).
    Server(const char* name, AuthMode authMode, size_t maxMessage, size_t logLimit = static_cast<size_t>(-1));
    virtual ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void setHooks(ServerHooks hooks);

    // Opens a non-blocking listener on 127.0.0.1 at a random port in
    // 3400-3655 (25 attempts). Returns the port, or -1.
    int listen();
    // Accepts one pending connection; the new socket, or INVALID_SOCKET
    // (nothing pending, or refused: too many connections). The listener is
    // never closed here, whatever accept() reports.
    SOCKET acceptClient();
    // Reads what the client has sent (one bounded read) and handles its
    // complete messages, as many as one turn's work allows; the rest wait in
    // the client's backlog and are handled, before anything more is read, at
    // the next call. Returns the result code of the last handled message, -8
    // if none.
    int receive(SOCKET socket);
    // True when receive should be called again for the client although no
    // read event may come (messages wait, or the last turn did not read);
    // the service posts itself a read event behind the others' events.
    bool wantsAnotherTurn(SOCKET socket) const;
    // True while the client's input is held back because its output waits
    // past the bound; the drain gives it its next read turn (requestRead).
    bool inputHeld(SOCKET socket) const;
    // FD_WRITE: the socket takes data again; writes what waits for it.
    void onWritable(SOCKET socket);
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
    enum class PeerState { Open, Gone, DataPending };
    PeerState peerState(SOCKET socket) const;

    // Closes every client and the listener.
    void deinit();
    void handleConnectionLost(SOCKET socket);
    void closeClient(SOCKET socket);

    // The client's own reply: narrows to Latin-1, appends '|' and queues it,
    // whatever waits (its input is held back meanwhile); 0, or -1 for a
    // client that is gone or being closed.
    int sendReply(const std::wstring& text, SOCKET socket);
    // A frame from elsewhere (another client's data, a broadcast), already
    // narrow and framed: 0 when queued; -1 when the client is gone or being
    // closed, or when its waiting output is past the bound (nothing queued,
    // the client keeps its connection and everything queued before).
    int sendRaw(SOCKET socket, const std::string& frame);
    // The same; a frame for a client with nothing waiting is taken over, not copied.
    int sendRaw(SOCKET socket, std::string&& frame);
    // The text, framed, to every client in ascending socket order, refused
    // for a client as sendRaw refuses; 0.
    int broadcast(const std::wstring& text);

    // Holds the output of a stretch of work (one pen packet, one broadcast):
    // each client's share leaves in one send when the outermost batch ends.
    class OutputBatch {
    public:
        explicit OutputBatch(Server& server) : server_(server) { ++server_.holdDepth_; }
        ~OutputBatch() { server_.release(); }
        OutputBatch(const OutputBatch&) = delete;
        OutputBatch& operator=(const OutputBatch&) = delete;

    private:
        Server& server_;
    };

    SOCKET listenSocket() const { return listenSocket_; }
    int port() const { return port_; }
    SOCKET authorizedSocket() const { return authorizedSocket_; }
    bool hasClient(SOCKET socket) const { return clients_.count(socket) != 0; }
    bool isAuthorized(SOCKET socket) const;
    std::vector<SOCKET> clients() const;
    // Unfinished input plus unsent output of one client, and of all of them.
    size_t heldBytes(SOCKET socket) const;
    size_t heldBytes() const { return held_; }
    // The client the service-wide cap should close first among this
    // server's (BufferBudget.h ranks them); no socket when none holds anything.
    CapCandidate capCandidate(DWORD now) const;

    const char* name() const { return name_; }

protected:
    virtual int handleMessage(SOCKET socket, const std::wstring& message);
    virtual bool requiresAuthorization() const;
    // Result codes -3 and -4 of a handler: the pen stream's start and stop
    // (the pressure server's; elsewhere they get no reply).
    virtual void startStream(SOCKET socket);
    virtual void stopStream(SOCKET socket);
    // A client is being closed: whatever the subclass keeps about it ends.
    virtual void clientClosing(SOCKET socket);

    const ServerHooks& hooks() const { return hooks_; }
    bool isClosing(SOCKET socket) const;
    // A frame from elsewhere for the client, refused as sendRaw refuses.
    int queueFromElsewhere(SOCKET socket, const char* bytes, size_t size) { return queue(socket, bytes, size, false); }
    // "Failure " + the failure detail + " - " + the runtime's error text.
    void sendFailure(SOCKET socket);

private:
    friend class BufferBudget;  // sets itself at attach time only
    void setBudget(BufferBudget* budget) { budget_ = budget; }

    std::string readAvailable(SOCKET socket);
    bool authorize(SOCKET socket, Connection& client, const std::wstring& message);
    bool takesAsArrived(const std::string& bytes) const;
    bool refusesLongKeyAttempt(SOCKET socket, const std::string& bytes);
    bool keyless(const Connection& client) const { return authMode_ != AuthMode::None && !client.authorized; }
    size_t outputBound(const Connection& client) const;
    bool optionalAuthorize(SOCKET socket, Connection& client, const std::wstring& message);
    size_t messageLimit() const { return maxMessage_; }

    int queue(SOCKET socket, const char* bytes, size_t size, bool own);
    int queue(SOCKET socket, std::string&& frame, bool own);
    template <typename Append>
    int queueWith(SOCKET socket, bool own, Append append);
    bool stalled(SOCKET socket, Connection& client);
    void sendBeforeBlocking(SOCKET socket, Connection& client);
    void flush(SOCKET socket, Connection& client);
    void logFrame(const std::string& frame);
    int sendOwnFrame(SOCKET socket, const std::string& frame);
    void markClosing(SOCKET socket, Connection& client);
    void closeNow(SOCKET socket);
    void account(Connection& client);
    void release();
    void settle();

    const char* name_ = "Command Server";
    AuthMode authMode_ = AuthMode::Required;
    size_t maxMessage_;
    size_t logLimit_ = static_cast<size_t>(-1);
    ServerHooks hooks_;
    BufferBudget* budget_ = nullptr;

    SOCKET authorizedSocket_ = 0;
    SOCKET listenSocket_ = INVALID_SOCKET;
    int port_ = 0;
    std::map<SOCKET, Connection> clients_;
    std::vector<char> readBuffer_;  // one read's bytes, kept between reads
    std::wstring receivedPrefix_ = L"Received [0]: ";
    std::deque<SOCKET> dirty_;     // clients with output queued and not yet sent
    bool flushRequested_ = false;
    std::vector<SOCKET> closing_;  // clients marked while a batch was held
    size_t held_ = 0;
    size_t framesQueued_ = 0;  // frames queued so far, to bound one turn's work
    int holdDepth_ = 0;
    bool settling_ = false;
};
