// Folderguard: folder-rights plug-in for the product's installer.
#include <windows.h>

extern "C" void IsPublicFolder(HWND, int, wchar_t*, void*) {}
extern "C" void RemoveFolder(HWND, int, wchar_t*, void*) {}

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
