#include "core/net/PeerProbe.h"

PeerState ProbePeer(SOCKET socket) {
    int error = 0;
    int length = sizeof(error);
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error != 0)
        return PeerState::Gone;
    char byte;
    const int peeked = recv(socket, &byte, 1, MSG_PEEK);
    if (peeked == 0) return PeerState::Gone;  // the peer has closed its side
    if (peeked > 0) return PeerState::DataPending;
    return WSAGetLastError() == WSAEWOULDBLOCK ? PeerState::Open : PeerState::Gone;
}
