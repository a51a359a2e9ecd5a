// The turns and the socket closes a listener window gives the servers its
// thread drives.
//
// Threads: each WindowTurns serves the servers of one window, on the thread
// that owns that window; the window handle it reads is set by that thread.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <atomic>

#include "core/app/Service.h"
#include "core/app/SocketRelease.h"
#include "core/net/Server.h"

// Asks the server's window for another turn of sending; the message names
// the server by its event number, so a posted copy can only make a server
// send what it has queued anyway.
bool RequestFlush(HWND window, UINT serverEvents);
// A read event for the client, behind the events already queued: a later turn.
void PostReadTurn(HWND window, UINT serverEvents, SOCKET socket);

// Later turns are messages to the window, and a client socket
// is released only behind the events already queued for it.
class WindowTurns : public ServerTurns, public SocketCloser {
public:
    WindowTurns(const std::atomic<HWND>& window, UINT serverEvents) : window_(window), serverEvents_(serverEvents) {}
    bool requestFlush(Server&) override { return RequestFlush(window_.load(), serverEvents_); }
    void requestRead(Server&, SOCKET client) override { PostReadTurn(window_.load(), serverEvents_, client); }
    bool closeSocket(SOCKET socket) override {
        const HWND owner = window_.load();
        return owner != nullptr && DeferSocketClose(owner, socket);
    }

private:
    const std::atomic<HWND>& window_;
    UINT serverEvents_;
};

