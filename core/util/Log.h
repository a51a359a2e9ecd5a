// The session log: "%USERPROFILE%\marlinLog.txt", written only when the file
// already exists. A log line is no reply text: the explanation a failure
// reply carries is recorded only by the calls of FailureDetail.h (and by
// LogReceived, the "Received" line of every message).
//
// Safe for the two service threads: one lock keeps lines whole.
#pragma once

#include <windows.h>

#include <string>

bool InitFileLog();
void DeinitFileLog();
void WriteLogLine(const std::wstring& text, bool timestamped);

void LogMessage(const std::wstring& text);
void LogMessage(const std::string& text);  // widened byte by byte
void LogFormatted(const char* format, const char* text);
void LogFormatted(const char* format, int value);
// "Received [port]: " and the text, the key of an auth message masked. A
// caller that logs every message of a port makes the line's beginning once
// (ReceivedPrefix) and passes it. The line is also recorded as the failure
// detail: a message that fails without a line of its own is explained by it.
std::wstring ReceivedPrefix(int port);
void LogReceived(const std::wstring& prefix, const std::wstring& text);
void LogReceived(int port, const std::wstring& text);
std::wstring MaskAuthKeys(const std::wstring& text);
void LogSystemError(const std::wstring& callName);  // block for the calling thread's GetLastError()
// The text of that block for a given error code.
std::wstring SystemErrorText(const std::wstring& callName, DWORD code);
void LogVersionBanner();
// The Windows version the session header names; the entry point hands it over
// before the first entry (the log does not ask the system itself).
void SetLogWindowsVersion(DWORD major, DWORD minor);
void Trace(const char* text);  // writes nothing
// For entries that another program can cause at will (forged messages):
// whether the count-th one is logged. The first and then each tenfold are, so
// a flood costs a counter and a few lines, not the log.
bool IsLoggedCount(int count);

int GetSessionStartTime();

// For the crash handler: logs like LogMessage but waits at most timeoutMs for
// the log's lock (a crash may come while another thread, or this one, holds
// it). Returns false when the lock could not be had.
bool TryLogMessage(const std::wstring& text, DWORD timeoutMs);
// The system-error block of LogSystemError for a given error code, written
// like TryLogMessage.
bool TryLogSystemError(const std::wstring& callName, DWORD code, DWORD timeoutMs);

// Opens the log file again after DeinitFileLog, without a new session header,
// for the last words of a process whose log was already closed (a hot restart
// that fails). Only when the file exists; false otherwise.
bool ReopenFileLog();

