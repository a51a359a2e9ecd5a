// The read turn's gates: the plain rules Server::receive applies before it
// reads a client or hands a message on, kept apart from the sockets so each
// rule is tried on its own.
#pragma once

#include <cstddef>
#include <string>

#include "core/net/Limits.h"

namespace readgates {

// More clients hold queued output than one turn sends: that output is still
// waiting for its turn, and nothing new is read or handled until it has left
// (a client whose messages fan out to every other client is held to the pace
// its output leaves at). A turn that fills exactly one turn's sends reads on.
inline bool EarlierOutputWaits(size_t clientsWithQueuedOutput) {
    return clientsWithQueuedOutput > netlimits::kMaxSendsPerTurn;
}

// The first character of a message whose first word can be "auth...": the
// word itself, or a quote that opens it.
template <typename Char>
bool MayBeKeyAttempt(Char first) {
    return first == 'a' || first == '"' || first == '\'';
}

// A long message taken as it arrived (UTF-8, never decoded whole): longer
// than a large frame, on a port that takes such messages and where no key is
// required. An authorization attempt never gets here: the gate has judged
// it by its first bytes (AuthorizationGate::attemptIn).
inline bool TakesAsArrived(bool portTakesLongMessages, bool requiresAuthorization, const std::string& bytes) {
    return portTakesLongMessages && bytes.size() > netlimits::kLargeFrame && !requiresAuthorization;
}

}  // namespace readgates
