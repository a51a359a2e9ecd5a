// Fatal-signal handlers and the hot restart that follows a self-update.
#pragma once

#include <string>

// Installs CrashHandler for SIGABRT, SIGFPE, SIGILL, SIGINT, SIGSEGV and
// SIGTERM. A signal the environment chose to ignore stays ignored.
void InstallCrashHandlers();

// Leaves "[CRASH] ..." and a system-error block in the log, then ends the
// process with exit code 1. Never waits long for the log: a crash may come
// while another thread, or this one, is inside it.
[[noreturn]] void CrashHandler(int signal);

// Replaces this process with a new run of its own executable, whose only
// argument is the quoted path (so the new run starts as the service). When
// the program there cannot run, or its start fails, and a ".bck" backup that
// can is beside it, the backup is put back and started instead. Returns only
// when no new run could be started; that is logged.
void HotRestart();
void HotRestartInto(const std::wstring& programPath);
