// MarlinCore's entry point: a GUI program without a visible window. With a
// maintenance command line it is a short-lived worker; otherwise the service.
#include "core/app/Service.h"  // winsock2.h before windows.h

#include <objbase.h>

#include <string>

#include "core/app/StartPoints.h"
#include "core/util/Log.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR commandLine, int) {
    openLog();
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);

    // A worker does its job in here and then ends like the service: COM and
    // the log closed, exit code 0; it never opens a listener.
    const bool worker = runWorkerAndStartChecks(commandLine != nullptr ? std::wstring(commandLine) : std::wstring());

    // Without Adobe AIR the servers stay open until the process ends, but nothing is served.
    if (!worker && runServers() && airRuntimePresent()) runMessageLoop(instance);

    CoUninitialize();
    DeinitFileLog();
    if (!worker) hotRestartIfRequested();
    // The process ends here rather than through the C runtime's exit. Its exit
    // handlers include the threading runtime's deletion of its thread-local
    // keys, which waits for a lock that the cleanup of a thread ended earlier
    // can leave taken: the process then never ended (a few stops in a hundred
    // under Wine, with a dock hooked). Nothing of ours needs those handlers:
    // the log is closed, COM is done, and what the service keeps goes with the
    // process.
    ExitProcess(0);
}
