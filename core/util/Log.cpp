#include "core/util/Log.h"
#include "core/util/LogTesting.h"

#include <io.h>
#include <share.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <cwctype>
#include <vector>

#include "core/util/CriticalSectionGuard.h"
#include "core/util/FailureDetail.h"
#include "core/util/Text.h"
#include "core/util/Version.h"

namespace {

constexpr wchar_t kPathTemplate[] = L"%USERPROFILE%\\marlinLog.txt";
constexpr long kSizeLimit = 524288;  // a larger file is emptied, at opening and while writing
constexpr size_t kLineBuffer = 1024;
constexpr size_t kDateTimeBuffer = 120;

// One record for the whole log. The lock covers the file state.
struct LogState {
    CRITICAL_SECTION lock;
    // Written under the lock; read without it on every entry, so that a
    // service whose log is off (the usual case) pays no lock and no escaping
    // for the line it will not write.
    std::atomic<bool> logEnabled{true};
    FILE* logFile = nullptr;
    std::wstring logPath;
    LONG sessionStart = 0;
    // The system the session header names, handed over at start; 0.0 (what
    // a failed version query gives) until then.
    DWORD windowsMajor = 0;
    DWORD windowsMinor = 0;

    LogState() { InitializeCriticalSection(&lock); }
};

LogState& State() {
    static LogState* state = new LogState();  // never freed: logging may run during process exit
    return *state;
}

// The calling thread's last entry, for tests that check what a helper logs
// without a log file (LogTesting.h). No reply reads it, and only a test
// program keeps it: a service whose log is closed pays nothing for a line.
thread_local std::wstring tLastLine;
std::atomic<bool> gKeepLastLine{false};

bool KeepsLastLine() { return gKeepLastLine.load(std::memory_order_relaxed); }

class LogLock : public marlin::critical_section_guard {
public:
    LogLock() : critical_section_guard(State().lock) {}
};

void WriteLineLocked(const std::wstring& text, bool timestamped);
void WriteHeaderLocked();

}  // namespace

std::wstring SystemErrorText(const std::wstring& callName, DWORD code) {
    std::wstring text = L"================================================\nCall to " + callName + L", returned error: ";
    wchar_t message[1024] = L"";
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        code, 0, message, 1024, nullptr);
    if (length > 0) {
        text += message;
    } else {
        text += L"<Unable to retrieve error message for error: " + std::to_wstring(code) + L">";
    }
    return text;
}

namespace {

// "%USERPROFILE%\marlinLog.txt" with the variable expanded, in the system's
// 520-character path buffer; a path that cannot be expanded names no file.
std::wstring LogFilePath() {
    wchar_t buffer[520];
    const DWORD count = ExpandEnvironmentStringsW(kPathTemplate, buffer, 520);
    if (count == 0 || count > 520) return L"<Failed to expand path>";
    return std::wstring(buffer);
}

std::string BannerText() {
    char banner[512];
    snprintf(banner, sizeof(banner), "Marlin Dock Core - Version %s.0%s RC%s (PID: %d)", kVersionMajor,
             kVersionMinor, kVersionRelease, static_cast<int>(GetCurrentProcessId()));
    return banner;
}

void EmptyFile(const std::wstring& path) {
    FILE* truncate = _wfsopen(path.c_str(), L"w", _SH_DENYNO);
    if (truncate != nullptr) fclose(truncate);
}

bool InitFileLogLocked() {
    // logEnabled changes only to its final value: other threads read it
    // without the lock, and a passing "off" would drop their lines.
    LogState& s = State();
    s.logPath = LogFilePath();

    FILE* probe = _wfsopen(s.logPath.c_str(), L"r", _SH_DENYNO);
    if (probe == nullptr) {  // no file: logging stays off for this process
        s.logEnabled = false;
        return false;
    }
    fseek(probe, 0, SEEK_END);
    const long size = ftell(probe);
    fclose(probe);
    if (size > kSizeLimit) EmptyFile(s.logPath);

    s.logFile = _wfsopen(s.logPath.c_str(), L"a", _SH_DENYNO);
    if (s.logFile == nullptr) {
        s.logEnabled = false;
        return false;
    }
    s.logEnabled = true;
    WriteHeaderLocked();
    return true;
}

void WriteHeaderLocked() {
    const LogState& s = State();
    std::wstring header = L"---------------------------------\nMarlinCore Session ";
    header += ToWideString(GetSessionStartTime());
    header += L" on Windows " + ToWideString(static_cast<int>(s.windowsMajor)) + L"." +
              ToWideString(static_cast<int>(s.windowsMinor));
    header += L"\n---------------------------------";
    WriteLineLocked(header, false);
}

// The cap holds while the session runs, not only at opening: a client that
// floods a port would otherwise grow the file without bound. Past the cap the
// file is emptied and starts again as a start opens it: the header, then the
// version banner, so the file still tells which program and process wrote it.
void KeepUnderSizeLimitLocked() {
    LogState& s = State();
    if (_filelength(_fileno(s.logFile)) <= kSizeLimit) return;
    fclose(s.logFile);
    EmptyFile(s.logPath);
    s.logFile = _wfsopen(s.logPath.c_str(), L"a", _SH_DENYNO);
    if (s.logFile == nullptr) {
        s.logEnabled = false;
        return;
    }
    WriteHeaderLocked();
    WriteLineLocked(Widen(BannerText()), true);  // well under the cap: no second emptying
}

// A line cut at the buffer's end keeps its line feed, so the next entry starts
// a line of its own; the cut backs off to a whole UTF-8 character.
void EndCutLine(char* line, int formatted) {
    if (formatted < static_cast<int>(kLineBuffer)) return;
    size_t end = kLineBuffer - 2;
    while (end > 0 && (static_cast<unsigned char>(line[end]) & 0xC0) == 0x80) --end;
    line[end] = '\n';
    line[end + 1] = '\0';
}

void WriteLineLocked(const std::wstring& text, bool timestamped) {
    LogState& s = State();
    if (!s.logEnabled) return;
    // The line that opens the log goes right after its header, even when the
    // file was appended to at exactly the cap; the next line keeps the cap.
    const bool opening = s.logFile == nullptr;
    if (opening && !InitFileLogLocked()) return;

    const std::string utf8 = WideToUtf8(text);
    char line[kLineBuffer];
    int formatted = 0;
    if (timestamped) {
        std::string id = ToNarrowString(GetSessionStartTime());
        if (id.size() > 5) id = id.substr(id.size() - 5);
        char dateTime[kDateTimeBuffer] = "";
        const time_t now = time(nullptr);
        const struct tm* local = localtime(&now);
        if (local != nullptr) strftime(dateTime, sizeof(dateTime), "%x-%X", local);
        formatted = snprintf(line, sizeof(line), "%s (%s)- %s\n", id.c_str(), dateTime, utf8.c_str());
    } else {
        formatted = snprintf(line, sizeof(line), "%s\n", utf8.c_str());
    }
    EndCutLine(line, formatted);
    if (timestamped && !opening) {
        KeepUnderSizeLimitLocked();
        if (s.logFile == nullptr) return;
    }
    fputs(line, s.logFile);
    fflush(s.logFile);
}

}  // namespace

bool InitFileLog() {
    LogLock lock;
    return InitFileLogLocked();
}

void DeinitFileLog() {
    LogLock lock;
    LogState& s = State();
    if (s.logFile != nullptr) fclose(s.logFile);
    s.logFile = nullptr;
    s.logEnabled = false;
}

void WriteLogLine(const std::wstring& text, bool timestamped) {
    if (!State().logEnabled.load(std::memory_order_relaxed)) return;
    LogLock lock;
    WriteLineLocked(text, timestamped);
}

// The echo to standard output is left out: a GUI process has no console, and
// the message must never be used as a format.
void LogMessage(const std::wstring& text) {
    if (KeepsLastLine()) tLastLine = text;
    if (!State().logEnabled.load(std::memory_order_relaxed)) return;
    WriteLogLine(EscapePercent(text), true);
}

// A line the closed log will not write is not widened at all.
void LogMessage(const std::string& text) {
    if (!KeepsLastLine() && !State().logEnabled.load(std::memory_order_relaxed)) return;
    LogMessage(Widen(text));
}

void LogFormatted(const char* format, const char* text) {
    std::vector<char> buffer(strlen(format) + strlen(text) + 2, '\0');
    snprintf(buffer.data(), buffer.size(), format, text);
    LogMessage(std::string(buffer.data()));
}

bool IsLoggedCount(int count) {
    int step = 1;
    while (step < count && step <= 100000000) step *= 10;
    return count == step;
}

void LogFormatted(const char* format, int value) {
    size_t digits = 0;
    for (int v = value; v != 0; v /= 10) ++digits;
    std::vector<char> buffer(strlen(format) + 3 + digits, '\0');
    snprintf(buffer.data(), buffer.size(), format, value);
    LogMessage(std::string(buffer.data()));
}

std::wstring ReceivedPrefix(int port) { return L"Received [" + ToWideString(port) + L"]: "; }

void LogReceived(const std::wstring& prefix, const std::wstring& text) {
    // Built where the failure detail is kept, reusing its memory.
    if (text.find(L"auth") == std::wstring::npos) {
        LogMessage(RecordFailureDetail(prefix, text));
    } else {
        LogMessage(RecordFailureDetail(prefix, MaskAuthKeys(text)));
    }
}

void LogReceived(int port, const std::wstring& text) { LogReceived(ReceivedPrefix(port), text); }

// The key proves that a client can read the user's profile; the log may be
// read by others (support, bug reports), so it never holds the key. Every
// message of the read that begins with the word auth (the test the
// authorization check makes) keeps its first word and its shape; letters and
// digits after it become '*'.
std::wstring MaskAuthKeys(const std::wstring& text) {
    std::wstring masked = text;
    size_t start = 0;
    while (start < masked.size()) {
        while (start < masked.size() && (masked[start] == L'\r' || masked[start] == L'\n')) ++start;
        size_t end = masked.find(L'|', start);
        if (end == std::wstring::npos) end = masked.size();
        if (masked.compare(start, 4, L"auth") == 0) {
            size_t i = masked.find(L' ', start);
            for (; i < end; ++i) {
                if (iswalnum(masked[i])) masked[i] = L'*';
            }
        }
        start = end + 1;
    }
    return masked;
}

void LogSystemError(const std::wstring& callName) { LogMessage(SystemErrorText(callName, GetLastError())); }

void LogVersionBanner() { LogMessage(BannerText()); }

void SetLogWindowsVersion(DWORD major, DWORD minor) {
    LogLock lock;
    State().windowsMajor = major;
    State().windowsMinor = minor;
}

void Trace(const char*) {}

std::wstring LastLogLineForTest() { return tLastLine; }

void KeepLastLogLinesForTest() { gKeepLastLine = true; }

int GetSessionStartTime() {
    LogState& s = State();
    if (s.sessionStart == 0) {
        InterlockedCompareExchange(&s.sessionStart, static_cast<LONG>(time(nullptr)), 0);
    }
    return s.sessionStart;
}

bool TryLogMessage(const std::wstring& text, DWORD timeoutMs) {
    if (KeepsLastLine()) tLastLine = text;
    LogState& s = State();
    // The lock is re-entrant: a thread that crashed inside the log would get
    // it at once and write into a half-made line. Leave such a log alone.
    if (HandleToULong(s.lock.OwningThread) == GetCurrentThreadId()) return false;
    const DWORD start = GetTickCount();
    while (!TryEnterCriticalSection(&s.lock)) {
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(1);
    }
    WriteLineLocked(EscapePercent(text), true);
    LeaveCriticalSection(&s.lock);
    return true;
}

bool TryLogSystemError(const std::wstring& callName, DWORD code, DWORD timeoutMs) {
    return TryLogMessage(SystemErrorText(callName, code), timeoutMs);
}

bool ReopenFileLog() {
    LogLock lock;
    LogState& s = State();
    if (s.logFile != nullptr) return true;
    const std::wstring path = LogFilePath();
    FILE* probe = _wfsopen(path.c_str(), L"r", _SH_DENYNO);
    if (probe == nullptr) return false;  // never created files: the log stays off
    fclose(probe);
    s.logPath = path;
    s.logFile = _wfsopen(path.c_str(), L"a", _SH_DENYNO);
    s.logEnabled = s.logFile != nullptr;
    return s.logEnabled;
}

void AcquireLogLockForTest() { EnterCriticalSection(&State().lock); }

void ResetFileLogState() {
    LogLock lock;
    LogState& s = State();
    if (s.logFile != nullptr) fclose(s.logFile);
    s.logFile = nullptr;
    s.logEnabled = true;
    s.logPath.clear();
    s.sessionStart = 0;
}
