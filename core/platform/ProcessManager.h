// Starting programs (always through the shell, one launcher), finding running
// processes by executable name, bringing a process's window to the front and
// the core's message boxes.
#pragma once

#include <winsock2.h>  // before windows.h, as Handles.h needs
#include <windows.h>

#include <string>

#include "core/util/Handles.h"

namespace ProcessManager {

// The one launcher: asks the shell to start directory\fileName with the verb
// "runas" (elevated) or "open". With wait it waits for the process to end,
// up to 10 000 ms or, with waitForever, without limit; a time-out is not an
// error. Logs the attempt; a failure becomes a system-error block naming it.
bool LaunchProgram(std::wstring directory, std::wstring fileName, std::wstring arguments, bool elevated, bool wait,
                   bool bringToForeground, bool waitForever);

// A full path and its arguments, started without waiting.
bool LaunchPath(std::wstring path, std::wstring arguments);
// A full path without arguments; a name ending in ".cpl" opens the applet.
bool OpenPath(std::wstring path);
// Shell verb "cplopen"; nothing is logged.
bool OpenControlPanelApplet(std::wstring folder, std::wstring fileName);
// Starts the dock's front end; tells the user the installation is corrupt
// when that fails.
bool OpenManager(std::wstring arguments);

// The first process (of at most 1024) whose executable is named exactly
// name (letter case counts); an empty handle when there is none.
marlin::unique_handle GetProcessHandleByName(std::wstring name, bool withTerminate);
// Brings the visible top-level windows of the process to the front, giving a
// starting program up to about 3.5 s to show one. Takes the handle and closes it.
void BringToForeground(marlin::unique_handle process);

// True when the user answered OK or Yes. Blocks until answered.
bool ShowMessageBox(std::wstring caption, std::wstring text, UINT style);

// The front end lives in a sub-folder of the core's own folder.
std::wstring GetFrontEndFolder();
std::wstring GetFrontEndExePath();

}  // namespace ProcessManager
