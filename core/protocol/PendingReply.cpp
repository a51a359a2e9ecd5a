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

namespace pendingreply {

std::wstring& ThreadText() { return tPendingReply; }

void Empty(std::wstring& text) {
    if (text.capacity() > kKeptCapacity) {
        std::wstring().swap(text);
    } else {
        text.clear();
    }
}

}  // namespace pendingreply
