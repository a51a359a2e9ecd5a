// A loopback TCP listener and its clients: splits each client's byte stream
// into '|'-framed messages, hands them to the message handler of the class,
// and turns the handler's result code into the reply. Driven by one thread
// (the thread whose window receives the server's socket events).
#pragma once

#include <winsock2.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

class Server {
public:
    // A client's input without a delimiter may grow to this many characters;
    // beyond it the client is closed.
    static constexpr size_t kMaxUnfinishedInput = 65536;
    // One receive reads at most this many bytes; the rest stays in the socket
    // and Winsock reports it with the next read event.
    static constexpr size_t kMaxReadPerEvent = 8192;

    Server();
    virtual ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Opens a non-blocking listener on 127.0.0.1 at a random port in
    // 3400-3655 (25 attempts). Returns the port, or -1.
    int listen();
    // Accepts one pending connection; the new socket, or INVALID_SOCKET.
    // The listener is never closed here, whatever accept() reports.
    SOCKET acceptClient();
    // Reads what the client has sent and handles every complete message.
    // Returns the result code of the last handled message, -8 if none.
    int receive(SOCKET socket);
    // Closes the current client; with closeListener also the listener.
    virtual void deinit(bool closeListener);
    void handleConnectionLost(SOCKET socket);

    // Narrows to Latin-1, appends '|' and sends; 0 or -1.
    int sendReply(const std::wstring& text, SOCKET socket);
    int replyToCurrent(const std::wstring& text);
    // sendReply to every client, in ascending socket order; 0.
    int broadcast(const std::wstring& text);
    // Space-terminated values for the pressure client (no '|' framing).
    int sendPressureNumber(int value);
    int sendPressureToken(const std::string& text);

    SOCKET listenSocket() const { return listenSocket_; }
    int port() const { return port_; }
    SOCKET currentSocket() const { return currentSocket_; }
    SOCKET authorizedSocket() const { return authorizedSocket_; }
    bool hasClient(SOCKET socket) const { return clients_.count(socket) != 0; }
    std::vector<SOCKET> clients() const;

    virtual const char* name() const;

    // How a client's socket is closed: at once by default. The service makes
    // the close wait until the events already queued for the socket have
    // been handled, so a late event can never reach a new connection that is
    // given the same handle. A closer that returns false did not take the
    // socket, which is then closed at once.
    void setClientCloser(std::function<bool(SOCKET)> closer) { clientCloser_ = std::move(closer); }

protected:
    virtual int handleMessage(SOCKET socket, const std::wstring& message);
    virtual bool requiresAuthorization() const;

    SOCKET currentSocket_ = INVALID_SOCKET;

private:
    // What is left of a client's input after the last delimiter: the
    // unfinished message and the bytes of a UTF-8 sequence cut by the read.
    struct ClientInput {
        std::wstring message;
        std::string utf8Tail;
    };

    std::string readAvailable(SOCKET socket);
    std::wstring decode(ClientInput& input, std::string bytes);
    bool frame(ClientInput& input, const std::wstring& text, std::vector<std::wstring>& batch);
    bool authorize(SOCKET socket, const std::wstring& message);
    void startPressureStream(SOCKET socket);
    void stopPressureStream(SOCKET socket);
    void closeClient(SOCKET socket);

    std::wstring greeting_;  // sent when a client starts the pressure stream; never assigned
    SOCKET authorizedSocket_ = 0;
    SOCKET listenSocket_ = INVALID_SOCKET;
    int port_ = 0;
    std::map<SOCKET, ClientInput> clients_;
    std::function<bool(SOCKET)> clientCloser_;
};
