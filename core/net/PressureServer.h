// The pressure port: tablet commands in, pen events and pressure values out.
// Authorizing with the command port's key is optional here; it only keeps a
// stream from being taken by a client that has not authorized.
//
// Threads: driven by the tablet-listener thread alone (its window receives
// the port's socket events and the pen messages), like every Server.
#pragma once

#include "core/net/Limits.h"
#include "core/net/Server.h"

class PressureServer : public Server {
public:
    PressureServer() : Server("Pressure Server", AuthMode::Optional, netlimits::kMaxMessage) {}
    ~PressureServer() override = default;

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
    void endStream();

    SOCKET streamClient_ = INVALID_SOCKET;
    bool streaming_ = false;
};
