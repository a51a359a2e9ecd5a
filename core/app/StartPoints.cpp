#include "core/app/StartPoints.h"

#include <cstdlib>

#include "core/app/CrashHandler.h"
#include "core/apps/air/AirAppCommands.h"
#include "core/apps/air/AirLookup.h"
#include "core/apps/native/NativeAppCommands.h"
#include "core/commands/StartupRegistration.h"
#include "core/maintenance/Maintenance.h"
#include "core/maintenance/RegistryRepairs.h"
#include "core/util/Log.h"

void runWorkerAndStartChecks(const std::wstring& commandLine) {
    // The Updater/Fixer check also runs the normal-start maintenance test for
    // every other command line, so it goes first.
    if (runWorkerMode(commandLine) || HandleAirAppUpgradeCommand(commandLine) ||
        HandleElevatedNativeAppMSI(commandLine)) {
        LogMessage(std::string("Quitting maintenance worker..."));
        exit(0);  // a worker never opens a listener nor writes the key file
    }
    RemoveAsStartup();  // the dock registers again with setAsStartup when it wants to
    InstallCrashHandlers();
    getCommonDesktopPath();
    repairDockOpenCommand();
}

bool airRuntimePresent() {
    if (RegistryManager::GetAirInstaller().empty()) {
        LogMessage(std::string("Adobe AIR not installed, exiting!"));
        return false;
    }
    return true;
}

void hotRestartIfRequested() {
    if (updatePending()) HotRestart();
}
