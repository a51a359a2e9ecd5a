// Folderguard: the installer's folder-rights plug-in. Both exports take the
// installer's plug-in parameters (parent window, string size, variables,
// stack top), work on its string stack and return nothing.
#include <windows.h>

#include "installer-plugin/FolderRemoval.h"
#include "installer-plugin/FolderRights.h"
#include "installer-plugin/InstallerStack.h"

using folderguard::g_plugin;
using folderguard::StackEntry;

// Pops a folder path; pushes the error code, then the answer (1 public, 0 not),
// so the script pops the answer first.
extern "C" void IsPublicFolder(HWND, int stringSize, wchar_t* variables, StackEntry** stackTop) {
    folderguard::BeginCall(stringSize, variables, stackTop);
    const std::wstring path = folderguard::PopText();
    const int isPublic = folderguard::IsPublicPath(path, g_plugin.lastSecurityError);
    folderguard::PushNumber(static_cast<int>(g_plugin.lastSecurityError));
    folderguard::PushNumber(isPublic);
}

// Pops a folder path, deletes it with its contents and pushes the shell's code.
extern "C" void RemoveFolder(HWND, int stringSize, wchar_t* variables, StackEntry** stackTop) {
    folderguard::BeginCall(stringSize, variables, stackTop);
    const std::wstring path = folderguard::PopText();
    folderguard::PushNumber(folderguard::DeleteFolderTree(path));
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_plugin.module = instance;
    return TRUE;
}
