// Test access to the pending reply text; product code takes it only through
// TakePendingReply.
#pragma once

#include <string>

// The calling thread's pending reply text, left as it is.
const std::wstring& PeekPendingReply();
