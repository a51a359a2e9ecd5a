#include "core/app/CrashHandler.h"

#include <windows.h>
#include <process.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "core/maintenance/UpdateInstaller.h"
#include "core/platform/UserPaths.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

// How long each crash entry may wait for the log's lock. A holder that is
// still running writes one line in far less; a longer wait means it never
// will, and the process must end regardless.
constexpr DWORD kCrashLogWaitMs = 1000;

}  // namespace

void InstallCrashHandlers() {
    // abort() in a GUI program first shows a message box and waits for a click
    // that a service without a window never gets; the crash handler would not
    // run. Its message goes to the (discarded) error stream instead.
    _set_error_mode(_OUT_TO_STDERR);
    const int signals[] = {SIGABRT, SIGFPE, SIGILL, SIGINT, SIGSEGV, SIGTERM};
    for (int sig : signals) {
        if (signal(sig, CrashHandler) == SIG_IGN) signal(sig, SIG_IGN);
    }
}

void CrashHandler(int sig) {
    const DWORD lastError = GetLastError();  // before anything here can change it
    char text[64];
    snprintf(text, sizeof(text), "[CRASH] Program terminated unexpectedly. Signal: %d", sig);
    // If the first entry cannot get the lock, the second would only wait again.
    if (TryLogMessage(Widen(text), kCrashLogWaitMs)) {
        TryLogSystemError(L"[CRASH]", lastError, kCrashLogWaitMs);
    }
    exit(1);
}

namespace {

// Replaces this process with a new run of the program; returns only when it
// could not be started, with the reason logged. The log is closed around the
// call: the new run opens the file itself.
void ExecProgram(const std::wstring& programPath) {
    DeinitFileLog();
    const std::wstring quoted = Quote(programPath);  // a path with blanks stays one argument
    const wchar_t* const arguments[] = {quoted.c_str(), nullptr};
    _wexecv(programPath.c_str(), arguments);

    // Still here: the new run did not start. The standard error stream of a
    // GUI process goes nowhere, so the reason goes to the session log too.
    const std::wstring reason = CrtErrorText();
    fwprintf(stderr, L"Unable to hotreboot: %ls\n", reason.c_str());
    ReopenFileLog();
    LogMessage(L"Unable to hotreboot: " + reason);
}

}  // namespace

void HotRestartInto(const std::wstring& programPath) {
    // The log was closed before the restart; these lines still belong in it.
    ReopenFileLog();
    LogMessage(std::string("[HOTREBOOT] Rebooting into: [HOTREBOOT]"));
    LogMessage(programPath);

    // An update that left a program that cannot run (or none) beside the
    // backup of the one running now: the backup goes back and is started.
    RestoreBackupIfUnusable(programPath);
    ExecProgram(programPath);
    if (RestoreBackup(programPath)) ExecProgram(programPath);
    DeinitFileLog();
}

void HotRestart() { HotRestartInto(GetModulePath()); }
