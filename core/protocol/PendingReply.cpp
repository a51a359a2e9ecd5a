#include "core/protocol/PendingReply.h"
#include "core/protocol/PendingReplyTesting.h"

namespace {
thread_local std::wstring tPendingReply;
}

void SetPendingReply(const std::wstring& text) { tPendingReply = text; }


std::wstring TakePendingReply() {
    std::wstring text;
    text.swap(tPendingReply);
    return text;
}

const std::wstring& PeekPendingReply() { return tPendingReply; }
