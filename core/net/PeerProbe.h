// Whether a client's connection is still there, asked of the socket itself:
// any program can post socket event messages to our windows, so a close
// event alone tells nothing.
#pragma once

#include <winsock2.h>

enum class PeerState { Open, Gone, DataPending };

// Gone when the socket reports an error or the peer has closed its side;
// DataPending when bytes wait to be read. Reads nothing (a peek).
PeerState ProbePeer(SOCKET socket);
