// MarlinCore's entry point: a GUI program without a visible window.
#include <windows.h>
#include <objbase.h>

#include "core/util/Log.h"

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE, PWSTR /*commandLine*/, int) {
    LogVersionBanner();
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    CoUninitialize();
    Trace("DeinitFileLog");
    DeinitFileLog();
    return 0;
}
