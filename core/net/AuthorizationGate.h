// Who a port lets through. Where the key is required (the command port),
// a client's first message must be it and one client at a time holds it;
// where it is optional (pressure and apps ports), a client may authorize
// at any time, which only keeps a held stream or name from strangers.
//
// Threads: belongs to its server's thread.
#pragma once

#include <winsock2.h>

#include <string>

#include "core/net/Connection.h"
#include "core/net/PortHandler.h"

enum class AuthMode {
    Required,  // command port: the first message must be the key; one client at a time holds it
    Optional,  // pressure and apps ports: a client may authorize (a held stream, a held name)
    None,      // no key at all
};

class AuthorizationGate {
public:
    explicit AuthorizationGate(AuthMode mode) : mode_(mode) {}

    enum class Verdict {
        Authorized,    // answered "authOk" (logged)
        Refused,       // logged; a required key closes the client, an optional one is answered with the failure
    };

    bool required() const { return mode_ == AuthMode::Required; }
    bool optional() const { return mode_ == AuthMode::Optional; }
    // The port has a key: a client that has not sent it is a stranger.
    bool hasKey() const { return mode_ != AuthMode::None; }
    // A client that must still present the key before anything else.
    bool mustAuthorize(SOCKET socket) const { return required() && socket != holder_; }
    // The client holding the key of a port that requires it; INVALID_SOCKET when none.
    SOCKET holder() const { return holder_; }
    void forget(SOCKET socket) {
        if (socket == holder_) holder_ = INVALID_SOCKET;  // a new client may now authorize
    }
    void reset() { holder_ = INVALID_SOCKET; }

    // The first message of a client on a port that requires the key.
    Verdict judgeRequired(SOCKET socket, Connection& client, const std::wstring& message, PortHandler& handler);
    // On a port where authorizing is optional, before anything is decoded:
    // whether the message is an authorization attempt, told by its first
    // bytes, and whether it is longer than any key needs (kMaxAuthorizationMessage).
    // Decoding and splitting a long message would cost the thread time and
    // memory that no budget counts, for any stranger who asks.
    enum class Attempt { None, Short, TooLong };
    Attempt attemptIn(const std::string& bytes, PortHandler& handler) const;
    // A short attempt (attemptIn), decoded, on a port where authorizing is optional.
    Verdict judgeOptional(Connection& client, const std::wstring& message, PortHandler& handler);

private:
    AuthMode mode_;
    SOCKET holder_ = INVALID_SOCKET;
};
