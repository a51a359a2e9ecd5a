// Self-maintenance: the Updater and Fixer worker modes, the maintenance test
// made at every start, and the elevated copy of the program that does the work.
#pragma once

#include <string>

// The Updater worker: arguments are "Updater" and the quoted update folder.
void CoreUpdate(const std::wstring& arguments);

// The Fixer worker: marks the dock's uninstall entry and moves the
// machine-wide autostart value to the users.
void runFixer();

// Starts a Fixer worker when the user is an administrator and a repair is
// needed; the normal-start test, and the action of the dockUpdateFinished
// command. A start with nothing to repair starts no worker.
void checkMaintenance();
void checkMaintenanceFor(bool userIsAdmin);

// True (and logged) when the Fixer has something to do: the dock's uninstall
// entry lacks its mark, or the autostart value is still machine-wide. With
// the dock uninstalled there is no entry to mark.
bool maintenanceRequired();

// The start-entry operations' trigger: when the autostart value is still
// machine-wide, an administrator's run starts a Fixer to move it, at most
// once per run (a Fixer that ran and left it, or was refused, is not asked
// again before the next start). True when a Fixer was started here.
bool moveMachineRunEntryToUsers();
bool moveMachineRunEntryToUsersFor(bool userIsAdmin);

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
