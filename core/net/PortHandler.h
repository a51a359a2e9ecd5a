// What a server asks outside itself. The service implements one handler per
// port (PressurePortHandler.h is the pen port's, typed to its server) and
// one ServerTurns per listener window; every method has a harmless default
// so a port overrides only what it serves.
#pragma once

#include <winsock2.h>

#include <string>

#include "core/protocol/ResultCodes.h"

class Server;

class PortHandler {
public:
    // One complete message of a client; returns a result code (ResultCodes.h).
    virtual int handleMessage(Server& server, SOCKET client, const std::wstring& message) = 0;
    // True when the message is a valid authorization ("auth" and the key).
    virtual bool checkKey(const std::wstring&) { return false; }
    // True when the message is meant as an authorization attempt (ports
    // where authorizing is optional tell it from their other commands). It is
    // asked before anything is decoded, with no more than the first
    // kMaxAuthorizationMessage bytes of the message as it arrived (UTF-8).
    virtual bool isKeyAttempt(const std::string&) { return false; }
    // True for a message whose handler can wait (installers, elevated copies,
    // process waits, message boxes): the replies queued so far are sent
    // before it runs, so a client never waits for an answer already made.
    virtual bool mayBlock(const std::wstring&) { return false; }
    // A client of a port that requires authorization has just authorized.
    virtual void onAuthorized(Server&, SOCKET) {}
    // A client is about to be closed (its socket is still valid).
    virtual void onClientClosed(Server&, SOCKET) {}
    // A port whose handler reads a few words of a long message (a channel
    // forward of up to 16 MiB) takes a message longer than a large frame,
    // that is not an authorization attempt, as it arrived (UTF-8, cut
    // at a NUL) rather than as a UTF-16 copy twice its size.
    virtual bool takesLongMessages() const { return false; }
    virtual int handleLongMessage(Server&, SOCKET, const std::string&) { return kResultNothingHandled; }

protected:
    ~PortHandler() = default;
};

// The turns the thread that drives a server gives it.
class ServerTurns {
public:
    // More output waits than one turn sends: a later turn, in which
    // flushWaiting is called (behind the events that wait meanwhile); false
    // when none can be had, and everything is sent at once.
    virtual bool requestFlush(Server& server) = 0;
    // A client whose input was held back while its output drained may be
    // read again: a read turn behind the waiting events.
    virtual void requestRead(Server& server, SOCKET client) = 0;

protected:
    ~ServerTurns() = default;
};
