// MarlinWinTab: the hook library loaded into the dock's window thread.
#include <windows.h>

extern "C" LRESULT CALLBACK CallBackWndProc(int code, WPARAM wParam, LPARAM lParam) {
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
