// The command port's dispatcher: splits a message into words, finds the
// command by prefix, runs it and returns a result code (the reply data, if
// any, is left in the pending reply text).
#pragma once

#include <winsock2.h>

#include <string>
#include <vector>

class Server;

namespace CommandHandler {

int HandleCommand(const std::wstring& message);
// The dispatcher's own command words, in the order they are tested.
std::vector<std::string> CommandWords();
// True unless the message is one of the dispatcher's plain queries (which
// answer at once): the server sends the replies queued before a message
// whose handler may wait.
bool MayBlock(const std::wstring& message);
// Called whenever a client of the apps server is closed: frees its channel
// and tells the other channel owners through that server.
void FreeChannel(Server& apps, SOCKET socket);

}  // namespace CommandHandler
