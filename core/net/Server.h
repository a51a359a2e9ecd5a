// A loopback TCP listener and its clients: splits each client's byte stream
// into '|'-framed messages, hands them to the message handler the service
// gave it, and turns the handler's result code into the reply.
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
// service gives through requestFlush). Frames are never cut or interleaved:
// a client whose queue passes its bound is closed.
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

class Server;
class BufferBudget;

// What a server calls outside itself, handed to it by the service when it
// wires the servers. Every member may be empty.
struct ServerHooks {
    // One complete message of a client; returns a result code (ResultCodes.h).
    std::function<int(Server& server, SOCKET client, const std::wstring& message)> handleMessage;
    // True when the message is a valid authorization ("auth" and the key).
    std::function<bool(const std::wstring& message)> checkKey;
    // True when the message is meant as an authorization attempt (ports
    // where authorizing is optional tell it from their other commands).
    std::function<bool(const std::wstring& message)> isKeyAttempt;
    // A client of a port that requires authorization has just authorized.
    std::function<void(Server& server, SOCKET client)> onAuthorized;
    // A client is about to be closed (its socket is still valid).
    std::function<void(Server& server, SOCKET client)> onClientClosed;
    // The pen stream started (on the client that asked) or stopped.
    std::function<void()> onStreamStart;
    std::function<void()> onStreamStop;
    // More output waits than one turn sends: the server asks for a later
    // turn, in which the service calls flushWaiting (behind the events that
    // wait meanwhile); false when none can be had. Without it every turn
    // sends everything at once.
    std::function<bool(Server& server)> requestFlush;
    // Closes a client socket; false when it did not take the socket, which is
    // then closed at once. The service defers the close until the events
    // already queued for the socket have been handled, so a late event can
    // never reach a new connection given the same handle.
    std::function<bool(SOCKET client)> closeSocket;
};

enum class AuthMode {
    Required,  // command port: the first message must be the key; one client at a time holds it
    Optional,  // pressure port: a client may authorize; an authorized stream cannot be taken
    None,      // apps port
};

class Server {
public:
    Server();
    Server(const char* name, AuthMode authMode, size_t maxMessage);
    virtual ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    void setHooks(ServerHooks hooks);
    // The budget shared by the servers of this thread (may be null).
    void setBudget(BufferBudget* budget) { budget_ = budget; }

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
    // FD_WRITE: the socket takes data again; writes what waits for it.
    void onWritable(SOCKET socket);
    // The later turn asked for through requestFlush: sends the next share.
    void flushWaiting();
    // Closes command-port clients that have not authorized in time (now is
    // GetTickCount()).
    void expireUnauthorized(DWORD now);

    // Whether a close event tells the truth: any program can post socket
    // event messages to our windows, so the socket itself is asked.
    enum class PeerState { Open, Gone, DataPending };
    PeerState peerState(SOCKET socket) const;

    // With closeListener: closes the listener and every client. Without: nothing.
    void deinit(bool closeListener);
    void handleConnectionLost(SOCKET socket);
    void closeClient(SOCKET socket);

    // Narrows to Latin-1, appends '|' and queues it; 0, or -1 for a client
    // that is gone or being closed.
    int sendReply(const std::wstring& text, SOCKET socket);
    // Queues an already narrow, already framed text; 0 or -1 as above.
    int sendRaw(SOCKET socket, const std::string& frame);
    // sendReply to every client, in ascending socket order; 0.
    int broadcast(const std::wstring& text);
    // Space-terminated values for the pressure client (no '|' framing);
    // -1 when no stream runs.
    int sendPressureNumber(int value);
    int sendPressureToken(const std::string& text);

    // The pen stream: the client that started it, INVALID_SOCKET when none.
    bool streaming() const { return streamClient_ != INVALID_SOCKET; }
    SOCKET streamClient() const { return streamClient_; }

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
    // The client holding the most; INVALID_SOCKET when none holds anything.
    SOCKET largestHolder(size_t& bytes) const;

    const char* name() const { return name_; }

protected:
    virtual int handleMessage(SOCKET socket, const std::wstring& message);
    virtual bool requiresAuthorization() const;

private:
    struct Framed {
        std::string bytes;
        bool tooLong = false;
    };
    struct Client {
        std::string input;          // the unfinished message (bytes after the last delimiter)
        std::deque<Framed> backlog;  // complete messages not handled yet
        size_t backlogBytes = 0;
        bool resume = false;         // see wantsAnotherTurn
        bool skipping = false;      // past the message limit: dropping up to the next delimiter
        bool pastFirstLine = false;  // a delimiter has been seen
        std::string logTail;        // a UTF-8 character cut by the last read, for the log line
        std::string output;         // queued bytes; output[sent..] is still unsent
        size_t sent = 0;
        bool dirty = false;         // queued since the last flush
        bool writeBlocked = false;  // waiting for FD_WRITE
        bool closing = false;       // closed when the held batch ends; takes no more output
        bool authorized = false;
        DWORD acceptedAt = 0;
        size_t counted = 0;  // what held_ counts for this client
    };
    std::string readAvailable(SOCKET socket);
    bool frame(SOCKET socket, Client& client, std::string chunk, std::vector<Framed>& batch);
    bool authorize(SOCKET socket, Client& client, const std::wstring& message);
    bool optionalAuthorize(SOCKET socket, Client& client, const std::wstring& message);
    void startPressureStream(SOCKET socket);
    void stopPressureStream(SOCKET socket);
    void endStream();
    size_t messageLimit() const { return maxMessage_; }

    int queue(SOCKET socket, const char* bytes, size_t size);
    void flush(SOCKET socket, Client& client);
    void markClosing(SOCKET socket, Client& client);
    void dropBacklog(Client& client);
    void closeNow(SOCKET socket);
    void account(Client& client);
    void release();
    void settle();

    const char* name_ = "Command Server";
    AuthMode authMode_ = AuthMode::Required;
    size_t maxMessage_;
    ServerHooks hooks_;
    BufferBudget* budget_ = nullptr;

    std::wstring greeting_;  // sent when a client starts the pressure stream; never assigned
    SOCKET authorizedSocket_ = 0;
    SOCKET listenSocket_ = INVALID_SOCKET;
    SOCKET streamClient_ = INVALID_SOCKET;
    int port_ = 0;
    std::map<SOCKET, Client> clients_;
    std::deque<SOCKET> dirty_;     // clients with output queued and not yet sent
    bool flushRequested_ = false;
    std::vector<SOCKET> closing_;  // clients marked while a batch was held
    size_t held_ = 0;
    size_t framesQueued_ = 0;  // frames queued so far, to bound one turn's work
    int holdDepth_ = 0;
    bool settling_ = false;
};
