// The pending reply text: what a handler answers with data ("Key=value"),
// sent by the server after "Success ". Kept per thread, like the failure
// detail, so a reply made on the tablet thread can never be sent to a client
// of the command thread.
#pragma once

#include <string>

void SetPendingReply(const std::wstring& text);     // replaces the pending text
std::wstring TakePendingReply();                    // returns it and leaves it empty
// The pending text left where it is, for a writer that frames it in place;
// ClearPendingReply then empties it and keeps its memory for the next reply
// (a long one's is let go).
const std::wstring& PendingReplyText();
void ClearPendingReply();
