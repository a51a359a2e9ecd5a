// Installing the files of a self-update: the new core and hook library are
// delivered in an update folder and put in place of the installed ones,
// which are kept under their ".bck" names. Runs in the Updater worker; the
// backup is put back by the service's hot restart when the new program
// cannot run.
#pragma once

#include <string>

#include "core/maintenance/ProgramImage.h"

// One file of an update.
struct UpdatedFile {
    const wchar_t* deliveredName;  // in the update folder: "MarlinCoreUpdate.exe"
    const wchar_t* installedName;  // in the install folder: "MarlinCore.exe"
    const char* logName;           // names the step in the log
    ImageKind kind;                // what the new file must be
};

extern const UpdatedFile kUpdatedCore;
extern const UpdatedFile kUpdatedHookLibrary;

// Copies the delivered file beside the installed one under a temporary name
// (installed name + ".new"), checks the copy (the delivered file's size, a
// complete image of its kind for this machine), then renames the installed file to its
// ".bck" name and the copy to the installed name. A damaged or missing new
// file leaves the installed one untouched. The delivered file stays in the
// update folder (InstallUpdate decides). True only when the backup and the
// new file are both in place.
bool InstallUpdatedFile(const UpdatedFile& file, const std::wstring& updateFolder, const std::wstring& installFolder);

// When the program at programPath cannot run (missing or damaged) and its
// ".bck" backup can, puts the backup back. True when it did.
bool RestoreBackupIfUnusable(const std::wstring& programPath);
// Puts the ".bck" backup of programPath back when it is a complete program,
// whatever is at programPath now. True when it did.
bool RestoreBackup(const std::wstring& programPath);

// The Updater's job: InstallUpdatedFile for the core, then for the hook
// library (each is tried whatever became of the other). Once both are in
// place the delivered files are removed from updateFolder; when either was
// refused both stay there, and the log says so. True when both were installed.
bool InstallUpdate(const std::wstring& updateFolder, const std::wstring& installFolder);
