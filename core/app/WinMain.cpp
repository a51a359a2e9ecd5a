// MarlinCore's entry point: a GUI program without a visible window. With a
// maintenance command line it is a short-lived worker; otherwise the service.
#include "core/app/Service.h"  // winsock2.h before windows.h

#include <objbase.h>

#include <string>

#include "core/app/StartPoints.h"
#include "core/util/Log.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    LogVersionBanner();
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    runWorkerAndStartChecks(commandLine != nullptr ? std::wstring(commandLine) : std::wstring());

    // Without Adobe AIR the servers stay open until the process ends, but nothing is served.
    if (runServers() && airRuntimePresent()) runMessageLoop(instance);

    CoUninitialize();
    DeinitFileLog();
    hotRestartIfRequested();
    return 0;
}
