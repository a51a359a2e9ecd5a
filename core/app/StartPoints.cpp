#include "core/app/StartPoints.h"

#include "core/apps/air/AirLookup.h"
#include "core/util/Log.h"

void runWorkerAndStartChecks(const std::wstring& /*commandLine*/) {}

bool airRuntimePresent() {
    if (RegistryManager::GetAirInstaller().empty()) {
        LogMessage(std::string("Adobe AIR not installed, exiting!"));
        return false;
    }
    return true;
}

void hotRestartIfRequested() {}
