#include "core/maintenance/Maintenance.h"

#include <winsock2.h>
#include <windows.h>

#include <vector>

#include "core/commands/CommandParsing.h"
#include "core/maintenance/RegistryRepairs.h"
#include "core/maintenance/UpdateInstaller.h"
#include "core/platform/ProcessManager.h"
#include "core/platform/SystemVersion.h"
#include "core/platform/UserPaths.h"
#include "core/util/Log.h"

namespace {

// The update request of this process: set by the update command, read at
// the very end of the process.
struct UpdateRequest {
    bool updatePending = false;
};
UpdateRequest gUpdateRequest;

}  // namespace

bool runWorkerMode(const std::wstring& arguments) {
    if (IsCommand("Updater", arguments)) {
        CoreUpdate(arguments);
        return true;
    }
    if (IsCommand("Fixer", arguments)) {
        fixUninstallEntry();
        spreadRunEntryToUsers();
        return true;
    }
    checkMaintenance();
    return false;
}

void CoreUpdate(const std::wstring& arguments) {
    LogMessage(std::string("Maintenance: Updating!"));
    const std::vector<std::wstring> tokens = TokenizeCommand(arguments);
    if (tokens.size() != 2) {
        LogMessage(std::string("CoreUpdate: Invalid arguments"));
        return;
    }
    ProcessManager::InstallCoreUpdate(tokens[1]);
    ProcessManager::InstallDllUpdate(tokens[1]);
}

void checkMaintenance() { checkMaintenanceFor(IsUserAdmin()); }

void checkMaintenanceFor(bool userIsAdmin) {
    if (!userIsAdmin) return;  // only an administrator can run the Fixer
    if (maintenanceRequired()) {
        startMaintenanceCopy(L"Fixer");
    } else {
        LogMessage(std::string("No maintenance required."));
    }
}

bool maintenanceRequired() {
    if (uninstallEntryOk()) {
        LogMessage(std::string("Maintenance: + Uninstall key is ok."));
        return false;
    }
    LogMessage(std::string("Maintenance: - Uninstall key is wrong."));
    return true;
}

void startUpdater(const std::wstring& updateFolder) { startUpdaterFor(IsUserAdmin(), updateFolder); }

void startUpdaterFor(bool userIsAdmin, const std::wstring& updateFolder) {
    // The update command closes the listeners whatever happens here, so the
    // service restarts in any case; otherwise it would simply be gone.
    gUpdateRequest.updatePending = true;
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
    LogMessage(std::string("Maintenance complete."));
    return true;
}

bool runMaintenanceCopy(bool elevate, const std::wstring& workerArguments) {
    ProcessManager::LaunchRequest request{GetModuleDirectory(), L"MarlinCore.exe", workerArguments};
    request.elevated = elevate;
    request.wait = true;
    return ProcessManager::LaunchProgram(request);
}

bool updatePending() { return gUpdateRequest.updatePending; }
