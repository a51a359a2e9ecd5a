// The pressure port: tablet commands in, pen events and pressure values out.
// Authorizing with the command port's key is optional here; it only keeps a
// stream from being taken by a client that has not authorized.
//
// Threads: driven by the tablet-listener thread alone (its window receives
// the port's socket events and the pen messages), like every Server.
#pragma once

#include "core/net/Limits.h"
#include "core/net/Server.h"

class PressureServer;

// What the pressure port asks of the service: its messages (handed the
// pressure server itself) and the pen stream's start and stop.
class PressurePortHandler {
public:
    virtual int handleMessage(PressureServer& server, SOCKET client, const std::wstring& message) = 0;
    virtual bool checkKey(const std::wstring&) { return false; }
    virtual bool isKeyAttempt(const std::string&) { return false; }
    virtual bool mayBlock(const std::wstring&) { return false; }
    // The stream starts (before its client is set: WinTab and the hook
    // refresh), has its client (the pen record is reset), or stopped.
    virtual void onStreamStart() {}
    virtual void onStreamStarted() {}
    virtual void onStreamStop() {}

protected:
    ~PressurePortHandler() = default;
};

class PressureServer : public Server {
public:
    PressureServer() : Server(AuthMode::Optional, netlimits::kMaxMessage), port_(*this) { Server::setHandler(&port_); }
    ~PressureServer() override = default;

    void setHandler(PressurePortHandler* handler) { port_.handler = handler; }

    // The pen stream: on from the start of a startTablet until its client
    // goes or stops it; the client that receives it, INVALID_SOCKET when
    // none (also while a start refreshes the hooks: tokens made then reach
    // nobody, so the empty reply comes before any of the stream).
    bool streaming() const { return streaming_; }
    SOCKET streamClient() const { return streamClient_; }

    // Space-terminated values for the stream's client (no '|' framing),
    // refused as sendRaw refuses; -1 when no client receives the stream.
    int sendPressureNumber(int value);
    int sendPressureToken(const std::string& text);

protected:
    void startStream(SOCKET socket) override;
    void stopStream(SOCKET socket) override;
    void clientClosing(SOCKET socket) override;

private:
    // The port's handler as the server sees it.
    class Port : public PortHandler {
    public:
        explicit Port(PressureServer& server) : server_(server) {}
        int handleMessage(Server&, SOCKET client, const std::wstring& message) override {
            return handler != nullptr ? handler->handleMessage(server_, client, message) : kResultNothingHandled;
        }
        bool checkKey(const std::wstring& message) override { return handler != nullptr && handler->checkKey(message); }
        bool isKeyAttempt(const std::string& message) override {
            return handler != nullptr && handler->isKeyAttempt(message);
        }
        bool mayBlock(const std::wstring& message) override { return handler != nullptr && handler->mayBlock(message); }

        PressurePortHandler* handler = nullptr;

    private:
        PressureServer& server_;
    };

    void endStream();

    Port port_;
    SOCKET streamClient_ = INVALID_SOCKET;
    bool streaming_ = false;
};
