// Installing the files of a self-update: the new core and hook library are
// delivered in an update folder and copied over the installed ones, which are
// kept under their ".bck" names.
#pragma once

#include <string>

// One file of an update.
struct UpdatedFile {
    const wchar_t* deliveredName;  // in the update folder: "MarlinCoreUpdate.exe"
    const wchar_t* installedName;  // in the install folder: "MarlinCore.exe"
    const char* logName;           // names the step in the log
};

extern const UpdatedFile kUpdatedCore;
extern const UpdatedFile kUpdatedHookLibrary;

// Moves the installed file to its ".bck" name and copies the delivered one in
// its place. The installed file is moved aside only when its new file is
// there, and is put back when the new one cannot be copied in (the delivered
// file then stays in the update folder for another try). True only when the
// backup and the new file are both in place.
bool InstallUpdatedFile(const UpdatedFile& file, const std::wstring& updateFolder, const std::wstring& installFolder);

namespace ProcessManager {

// InstallUpdatedFile for the core and the hook library, installed in the
// folder of the running executable.
bool InstallCoreUpdate(std::wstring updateFolder);
bool InstallDllUpdate(std::wstring updateFolder);

}  // namespace ProcessManager
