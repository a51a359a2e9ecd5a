// Starting programs (always through the shell, one launcher), finding running
// processes by executable name, bringing a process's window to the front and
// the core's message boxes.
#pragma once

#include <windows.h>

#include <string>

#include "core/util/Handles.h"

namespace ProcessManager {

// What the launcher is asked to start, and how. Callers set the flags they
// need by name; every flag is off unless set.
struct LaunchRequest {
    std::wstring directory;  // the program's folder, also its working folder
    std::wstring fileName;   // without folder
    std::wstring arguments;  // may be empty
    bool elevated = false;   // shell verb "runas" instead of "open"
    bool wait = false;       // wait for the process to end, up to 10 000 ms...
    bool waitForever = false;  // ...or, with wait, without limit
    bool bringToForeground = false;
};

// The one launcher: asks the shell to start directory\fileName. A time-out
// of the wait is not an error. Logs the attempt; a failure becomes a
// system-error block naming it.
bool LaunchProgram(const LaunchRequest& request);

// A full path and its arguments, started without waiting.
bool LaunchPath(std::wstring path, std::wstring arguments);
// A full path without arguments; a name ending in ".cpl" opens the applet.
bool OpenPath(std::wstring path);
// Shell verb "cplopen"; nothing is logged.
bool OpenControlPanelApplet(std::wstring folder, std::wstring fileName);
// Starts the dock's front end; tells the user the installation is corrupt
// when that fails, in a message box on a thread of its own (one at a time;
// this returns without waiting for the user).
bool OpenManager(std::wstring arguments);

// The first process whose executable file is named name, compared without
// regard to case; 64-bit processes are found too. An empty handle when there
// is none. With withTerminate the handle may end the process and wait for it.
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
