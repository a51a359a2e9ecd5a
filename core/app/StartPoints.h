// The three points where the entry point hands over to start-up checks and
// worker modes: before the servers start, before the main loop, at the end.
#pragma once

#include <string>

// The start-up point: when the command line belongs to a worker mode, the
// worker runs and the process ends here; otherwise the per-start checks run
// and the call returns.
void runWorkerAndStartChecks(const std::wstring& commandLine);

// The serving point: the service serves only where Adobe AIR is installed.
bool airRuntimePresent();

// The closing point: starts a fresh copy of the program when an update asked for it.
void hotRestartIfRequested();
