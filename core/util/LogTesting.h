// Test controls of the session log; product code never calls them.
#pragma once

#include <string>

// Takes the log's lock on the calling thread and keeps it; for tests of
// callers that must never wait on it (the crash path).
void AcquireLogLockForTest();

// Puts the log back in its first state (closed, enabled, no session time), as
// at process start; for tests that exercise the opening rules in one process.
void ResetFileLogState();

// The calling thread's last log entry, whatever call made it (no reply
// carries it: see FailureDetail.h); for tests of what a helper logs. Kept
// only from KeepLastLogLinesForTest on (the unit programs' main calls it
// first thing).
std::wstring LastLogLineForTest();
void KeepLastLogLinesForTest();
