// The command port's dispatcher: splits a message into words, finds the
// command by prefix, runs it and returns a result code (the reply data, if
// any, is left in the pending reply text).
#pragma once

#include <winsock2.h>

#include <string>
#include <vector>

namespace CommandHandler {

int HandleCommand(std::wstring message);
// The dispatcher's own command words, in the order they are tested.
std::vector<std::string> CommandWords();
// Called whenever an apps-port client is closed: frees its channel and tells
// the other channel owners.
void FreeChannel(SOCKET socket);

}  // namespace CommandHandler
