#include "core/protocol/PendingReply.h"

namespace {

constexpr size_t kKeptCapacity = 4096;

thread_local std::wstring tPendingReply;

}  // namespace

void SetPendingReply(const std::wstring& text) { tPendingReply = text; }

std::wstring TakePendingReply() {
    std::wstring text;
    text.swap(tPendingReply);
    return text;
}

const std::wstring& PendingReplyText() { return tPendingReply; }

void ClearPendingReply() {
    std::wstring& text = tPendingReply;
    if (text.capacity() > kKeptCapacity) {
        std::wstring().swap(text);
    } else {
        text.clear();
    }
}
