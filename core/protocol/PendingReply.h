// The pending reply text: what a handler answers with data ("Key=value"),
// sent by the server after "Success ". Kept per thread, like the failure
// detail, so a reply made on the tablet thread can never be sent to a client
// of the command thread.
#pragma once

#include <string>

void SetPendingReply(const std::wstring& text);     // replaces the pending text
std::wstring TakePendingReply();                    // returns it and leaves it empty
// For the reply writer: use(text) with the pending text where it stands,
// which is then left empty; its memory is kept for the next reply (a long
// one's is let go).
template <typename Use>
void TakePendingReply(Use use);

// What TakePendingReply uses: the calling thread's text, and emptying it.
namespace pendingreply {
std::wstring& ThreadText();
void Empty(std::wstring& text);
}  // namespace pendingreply

template <typename Use>
void TakePendingReply(Use use) {
    std::wstring& text = pendingreply::ThreadText();
    use(static_cast<const std::wstring&>(text));
    pendingreply::Empty(text);
}
