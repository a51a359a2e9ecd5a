// The points where the entry point hands over to the log, start-up checks
// and worker modes: first of all, before the servers start, before the main
// loop, at the end. All on the main thread.
#pragma once

#include <string>

// The opening point, before anything is logged: the log learns the system
// its session header names, and the version banner opens it.
void openLog();

// The start-up point. When the command line belongs to a worker mode, the
// worker does its job here and the answer is true: the entry point then ends
// the run through its normal exit path, without servers. Otherwise the
// per-start checks run and the answer is false.
bool runWorkerAndStartChecks(const std::wstring& commandLine);

// The serving point: the service serves only where Adobe AIR is installed.
bool airRuntimePresent();

// The closing point: starts a fresh copy of the program when an update asked for it.
void hotRestartIfRequested();
