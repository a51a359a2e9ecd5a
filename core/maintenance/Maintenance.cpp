#include "core/maintenance/Maintenance.h"

#include <winsock2.h>
#include <windows.h>

#include <vector>

#include "core/maintenance/RegistryRepairs.h"
#include "core/maintenance/UpdateInstaller.h"
#include "core/platform/ProcessManager.h"
#include "core/platform/SystemVersion.h"
#include "core/platform/UserPaths.h"
#include "core/protocol/CommandParsing.h"
#include "core/util/FailureDetail.h"
#include "core/util/Log.h"

namespace {

// This process's maintenance record: the update request (set by the update
// command, read at the very end of the process) and whether a Fixer has been
// started, so the start-entry operations do not ask for elevation again.
struct MaintenanceRecord {
    bool updatePending = false;
    bool fixerStarted = false;
};
MaintenanceRecord gMaintenance;

bool startFixer() {
    gMaintenance.fixerStarted = true;
    return startMaintenanceCopy(L"Fixer");
}

}  // namespace

void runFixer() {
    fixUninstallEntry();
    spreadRunEntryToUsers();
}

void CoreUpdate(const std::wstring& arguments) {
    LogMessage(std::string("Maintenance: Updating!"));
    const std::vector<std::wstring> tokens = TokenizeCommand(arguments);
    if (tokens.size() != 2) {
        LogMessage(std::string("CoreUpdate: Invalid arguments"));
        return;
    }
    InstallUpdate(tokens[1], GetModuleDirectory());
}

void checkMaintenance() { checkMaintenanceFor(IsUserAdmin()); }

void checkMaintenanceFor(bool userIsAdmin) {
    if (!userIsAdmin) return;  // only an administrator can run the Fixer
    if (maintenanceRequired()) {
        startFixer();
    } else {
        LogMessage(std::string("No maintenance required."));
    }
}

bool maintenanceRequired() {
    bool required = false;
    // Without an entry (the dock uninstalled) the Fixer would find nothing to
    // mark; asking for elevation for that at every start helps nobody.
    const std::wstring entry = findUninstallEntry();
    if (!entry.empty()) {
        if (uninstallEntryOkAt(entry)) {
            LogMessage(std::string("Maintenance: + Uninstall key is ok."));
        } else {
            LogMessage(std::string("Maintenance: - Uninstall key is wrong."));
            required = true;
        }
    }
    if (machineRunEntryExists()) {
        LogMessage(std::string("Maintenance: - Autostart entry is machine-wide."));
        required = true;
    }
    return required;
}

bool moveMachineRunEntryToUsers() { return moveMachineRunEntryToUsersFor(IsUserAdmin()); }

bool moveMachineRunEntryToUsersFor(bool userIsAdmin) {
    if (!userIsAdmin || gMaintenance.fixerStarted || !machineRunEntryExists()) return false;
    return startFixer();
}

void startUpdater(const std::wstring& updateFolder) { startUpdaterFor(IsUserAdmin(), updateFolder); }

void startUpdaterFor(bool userIsAdmin, const std::wstring& updateFolder) {
    // The update command closes the listeners whatever happens here, so the
    // service restarts in any case; otherwise it would simply be gone.
    gMaintenance.updatePending = true;
    if (!userIsAdmin) {
        LogMessage(std::string("Maintenance: only an administrator can update, restarting unchanged."));
        return;
    }
    startMaintenanceCopy(L"Updater \"" + updateFolder + L"\"");
}

bool startMaintenanceCopy(const std::wstring& workerArguments) {
    LogMessage(std::string("Maintenance required, starting maintenance copy."));
    if (!runMaintenanceCopy(IsVistaOrLater(), workerArguments)) return false;
    Sleep(1000);
    LogFailureDetail(std::string("Maintenance complete."));
    return true;
}

bool runMaintenanceCopy(bool elevate, const std::wstring& workerArguments) {
    ProcessManager::LaunchRequest request{GetModuleDirectory(), L"MarlinCore.exe", workerArguments};
    request.elevated = elevate;
    request.wait = true;
    return ProcessManager::LaunchProgram(request);
}

bool updatePending() { return gMaintenance.updatePending; }
