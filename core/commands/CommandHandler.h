// The command port's dispatcher: splits a message into words, finds the
// command by prefix, runs it and returns a result code (the reply data, if
// any, is left in the pending reply text).
#pragma once

#include <string>
#include <vector>

namespace CommandHandler {

int HandleCommand(const std::wstring& message);
// The dispatcher's own command words, in the order they are tested.
std::vector<std::string> CommandWords();
// True unless the message is one of the dispatcher's plain queries (which
// answer at once): the server sends the replies queued before a message
// whose handler may wait.
bool MayBlock(const std::wstring& message);

}  // namespace CommandHandler
