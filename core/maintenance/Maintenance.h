// Self-maintenance: the Updater and Fixer worker modes, the maintenance test
// made at every start, and the elevated copy of the program that does the work.
#pragma once

#include <string>

// The worker check of the start-up point. "Updater ..." installs an update,
// "Fixer" runs the registry repairs: both answer true (the process is a worker
// and ends). Any other command line runs checkMaintenance and answers false.
bool runWorkerMode(const std::wstring& arguments);

// The Updater worker: arguments are "Updater" and the quoted update folder.
void CoreUpdate(const std::wstring& arguments);

// Starts a Fixer worker when the user is an administrator and a repair is
// needed; also the action of the dockUpdateFinished command.
void checkMaintenance();
void checkMaintenanceFor(bool userIsAdmin);

// True (and logged) when the dock's uninstall entry needs the Fixer.
bool maintenanceRequired();

// The action of the update command: asks for a hot restart once the service
// has stopped and, for an administrator, first runs the Updater worker on
// updateFolder and waits for it (up to 10 s).
void startUpdater(const std::wstring& updateFolder);
void startUpdaterFor(bool userIsAdmin, const std::wstring& updateFolder);

// Starts MarlinCore.exe from the install folder with the worker arguments,
// elevated on Windows Vista and later, waits up to 10 s for it, then 1 s more.
// False when it could not be started (the launcher logs why).
bool startMaintenanceCopy(const std::wstring& workerArguments);
bool runMaintenanceCopy(bool elevate, const std::wstring& workerArguments);

// The hot-restart request, read at the very end of the process.
bool updatePending();
