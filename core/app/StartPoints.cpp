#include "core/app/StartPoints.h"

#include "core/app/CrashHandler.h"
#include "core/app/RunMode.h"
#include "core/apps/air/AirAppCommands.h"
#include "core/apps/air/AirLookup.h"
#include "core/apps/native/NativeAppCommands.h"
#include "core/commands/StartupRegistration.h"
#include "core/maintenance/Maintenance.h"
#include "core/maintenance/RegistryRepairs.h"
#include "core/platform/SystemVersion.h"
#include "core/util/Log.h"

namespace {

// Runs the worker the mode names; false for the service. The two elevated
// application workers first pass the normal-start maintenance test, as the
// service does.
bool runWorker(RunMode mode, const std::wstring& commandLine) {
    switch (mode) {
        case RunMode::Updater:
            CoreUpdate(commandLine);
            return true;
        case RunMode::Fixer:
            runFixer();
            return true;
        case RunMode::AirUpgrade:
            checkMaintenance();
            HandleAirAppUpgradeCommand(commandLine);
            return true;
        case RunMode::NativeInstaller:
            checkMaintenance();
            // An elevated copy that cannot do its job must not go on as a
            // second, elevated service.
            if (!HandleElevatedNativeAppMSI(commandLine)) {
                LogMessage(std::string("HandleElevatedNativeAppMSI: Invalid command line, nothing done."));
            }
            return true;
        case RunMode::Service:
            break;
    }
    return false;
}

// The service's per-start checks, before the servers open.
void runStartChecks() {
    checkMaintenance();
    // Every start drops the user's logon entry until the dock asks for it
    // again (setAsStartup), also after a Fixer has just moved the machine-wide
    // entry to the users: the dock decides, not the installer.
    RemoveAsStartup();
    InstallCrashHandlers();
    getCommonDesktopPath();
    repairDockOpenCommand();
}

}  // namespace

void openLog() {
    DWORD minor = 0;
    const DWORD major = GetOSVersion(&minor);
    SetLogWindowsVersion(major, minor);
    LogVersionBanner();
}

bool runWorkerAndStartChecks(const std::wstring& commandLine) {
    if (runWorker(ParseRunMode(commandLine), commandLine)) {
        LogMessage(std::string("Quitting maintenance worker..."));
        return true;
    }
    runStartChecks();
    return false;
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
