#include "core/app/SocketEvents.h"

#include <string>

#include "core/app/MessageLoop.h"
#include "core/app/ServiceRecord.h"
#include "core/app/SocketRelease.h"
#include "core/protocol/ResultCodes.h"
#include "core/util/Log.h"

namespace {

// Turns given at once to an authorized client whose connection has ended,
// before a new client of its port is read (each turn is bounded).
constexpr int kEndedHolderTurns = 256;

// Which server a socket event message belongs to. Each server's events are
// only taken on its own window, so no server is ever driven by the other
// thread, whoever posts the message.
Server* ServerForEvent(HWND window, UINT message) {
    const Service& s = State();
    switch (message) {
    case kMsgCommandEvents:
        return window == s.socketsWindow.load() ? s.command.get() : nullptr;
    case kMsgAppsEvents:
        return window == s.socketsWindow.load() ? s.apps.get() : nullptr;
    case kMsgPressureEvents:
        return window == s.tabletWindow.load() ? s.pressure.get() : nullptr;
    default:
        return nullptr;
    }
}

// What a turn's result asks of the loop: -6 leaves the main loop, -7 closes
// the client.
void ActOnReceiveResult(Server* server, HWND window, SOCKET socket, int result) {
    if (result == kResultRestartForUpdate) {
        // receive has closed them already; cancel only what is still open.
        if (server->listenSocket() != INVALID_SOCKET) WSAAsyncSelect(server->listenSocket(), window, 0, 0);
        if (server->hasClient(socket)) WSAAsyncSelect(socket, window, 0, 0);
        RequestQuit();
    } else if (result == kResultQuit) {
        LogMessage(std::string("Connection closed"));
        onConnectionClosed(server, socket, window);
    }
}


// A read event: one bounded turn of reading and handling (the client gets
// another turn behind the other events when messages wait).
void HandleRead(Server* server, HWND window, UINT message, SOCKET socket) {
    const int result = server->receive(socket);
    if (server->wantsAnotherTurn(socket)) PostReadTurn(window, message, socket);
    ActOnReceiveResult(server, window, socket, result);
}

// Before a new client of a port that one client at a time may hold is read:
// when the holder's connection has already ended but its close waits behind
// its own turns (the thread was busy with a long command meanwhile), the
// dock reconnecting now would be refused although nobody holds the port any
// more. The holder's last messages are handled and its close is done first.
// A holder that is still connected is left as it is.
void CloseEndedHolder(Server* server, HWND window, SOCKET reader) {
    const SOCKET holder = server->authorizedSocket();
    if (holder == INVALID_SOCKET || holder == reader || !server->hasClient(holder)) return;
    if (server->peerState(holder) == Server::PeerState::Open) return;
    for (int turn = 0; turn < kEndedHolderTurns && server->hasClient(holder); ++turn) {
        if (!server->wantsAnotherTurn(holder) && server->peerState(holder) != Server::PeerState::DataPending) break;
        const int result = server->receive(holder);
        if (result == kResultRestartForUpdate || result == kResultQuit) {
            ActOnReceiveResult(server, window, holder, result);
            return;
        }
    }
    if (server->hasClient(holder) && !server->wantsAnotherTurn(holder) &&
        server->peerState(holder) == Server::PeerState::Gone) {
        LogMessage(std::string("Unexpected connection lost"));
        onConnectionClosed(server, holder, window);
    }
}

// Any program can post socket events with invented socket numbers, as fast
// as it likes: one that names no client of the server, or an accept while no
// connection waits, costs a counter here, never a read, a turn or a log line.
void CountStrayEvent() {
    const int count = ++State().strayEvents;
    if (IsLoggedCount(count)) LogFormatted("Socket events for sockets no server knows ignored: %d", count);
}

bool ConnectionWaiting(SOCKET listener) {
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(listener, &ready);
    timeval now = {0, 0};
    return select(0, &ready, nullptr, nullptr, &now) == 1;
}

void HandleSocketEvent(Server* server, HWND window, UINT message, SOCKET socket, LPARAM lParam) {
    const WORD event = WSAGETSELECTEVENT(lParam);
    const bool forListener = event == FD_ACCEPT && socket == server->listenSocket();
    if (!forListener && !server->hasClient(socket)) {
        CountStrayEvent();  // a late event for a closed client is one too
        return;
    }
    switch (event) {
    case FD_READ:
        CloseEndedHolder(server, window, socket);
        HandleRead(server, window, message, socket);
        break;
    case FD_WRITE:
        server->onWritable(socket);
        break;
    case FD_ACCEPT: {
        if (!forListener) break;  // a client's socket
        if (!ConnectionWaiting(socket)) {
            // Accept events come again only after an accept or a new registration.
            WSAAsyncSelect(socket, window, message, FD_ACCEPT);
            CountStrayEvent();
            break;
        }
        const SOCKET client = server->acceptClient();
        if (client == INVALID_SOCKET) {
            // The listener stays open: a connection that vanished before it
            // was accepted must not close the port for everyone else.
            WSAAsyncSelect(server->listenSocket(), window, message, FD_ACCEPT);
        } else if (WSAAsyncSelect(client, window, message, FD_READ | FD_WRITE | FD_CLOSE) != 0) {
            // A client whose events cannot reach us would wait forever.
            LogSystemError(L"WSAAsyncSelect()");
            server->handleConnectionLost(client);
        }
        break;
    }
    case FD_CLOSE:
        // Any program may post this message: the socket itself must say it
        // is closed or failing. Data the peer sent before closing is handled
        // first, one read per event.
        switch (server->peerState(socket)) {
        case Server::PeerState::Open:
            LogFormatted("Close event for an open connection ignored [%d]", server->port());
            break;
        case Server::PeerState::Gone:
            if (!server->wantsAnotherTurn(socket)) {
                LogMessage(std::string("Unexpected connection lost"));
                onConnectionClosed(server, socket, window);
                break;
            }
            // its last messages are handled first
            [[fallthrough]];
        case Server::PeerState::DataPending:
            // Input held back behind unsent output is read when the output
            // drains; posting the close again meanwhile would only spin.
            if (server->inputHeld(socket)) break;
            HandleRead(server, window, message, socket);
            if (server->hasClient(socket)) PostMessageW(window, message, socket, lParam);
            break;
        }
        break;
    default:
        CountStrayEvent();  // no event Winsock sends us
        break;
    }
}

}  // namespace

LRESULT ServeOwnServers(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case kMsgFlushOutput:
        if (Server* server = ServerForEvent(window, static_cast<UINT>(wParam))) server->flushWaiting();
        return 0;
    case kMsgReleaseSocket:
        ReleaseDeferredSocket(static_cast<SOCKET>(wParam));
        return 0;
    default:
        if (Server* server = ServerForEvent(window, message)) {
            HandleSocketEvent(server, window, message, static_cast<SOCKET>(wParam), lParam);
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

void onConnectionClosed(Server* server, SOCKET socket, HWND window) {
    // Events are cancelled before the close: once closed, the handle may be
    // given to a new connection of either thread.
    if (server->hasClient(socket)) WSAAsyncSelect(socket, window, 0, 0);
    server->handleConnectionLost(socket);
}
