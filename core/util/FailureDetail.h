// The failure detail: the explanation a "Failure " or "SyntaxError " reply
// carries to the client ("Failure <detail> - <error text>"). Only the lines a
// handler logs with LogFailureDetail or LogFailureSystemError record it, and
// the "Received [port]: " line of each message (LogReceived), which explains
// a failure that has no line of its own. Every other log line leaves it
// alone, so adding or moving a log line never changes a reply.
//
// Threads: kept per thread, so the pressure port's handlers on the tablet
// thread never replace the explanation a command handler is about to send.
#pragma once

#include <string>

// Logs the text like LogMessage and records it as the failure detail.
void LogFailureDetail(const std::wstring& text);
void LogFailureDetail(const std::string& text);  // widened byte by byte
// The system-error block of LogSystemError for the calling thread's
// GetLastError(), logged and recorded.
void LogFailureSystemError(const std::wstring& callName);

// Records without logging, for the log's own "Received" line.
void RecordFailureDetail(const std::wstring& text);
// Records prefix and text as one detail, built in place; returns it.
const std::wstring& RecordFailureDetail(const std::wstring& prefix, const std::wstring& text);
// The calling thread's detail, for the reply writer.
std::wstring RecordedFailureDetail();
// Empty again; for tests that start from no explanation.
void ResetFailureDetail();
