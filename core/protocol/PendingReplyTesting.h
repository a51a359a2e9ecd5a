// Test access to the pending reply text.
#pragma once

#include <string>

#include "core/protocol/PendingReply.h"

// The calling thread's pending reply text, left as it is.
inline const std::wstring& PeekPendingReply() { return pendingreply::ThreadText(); }
