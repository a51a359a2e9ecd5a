#include "core/maintenance/UpdateInstaller.h"

#include <winsock2.h>
#include <windows.h>

#include "core/platform/FileManager.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

const UpdatedFile kUpdatedCore = {L"MarlinCoreUpdate.exe", L"MarlinCore.exe", "ProcessManager::InstallCoreUpdate",
                                  ImageKind::Program};
const UpdatedFile kUpdatedHookLibrary = {L"MarlinWinTabUpdate.dll", L"MarlinWinTab.dll",
                                         "ProcessManager::InstallDllUpdate", ImageKind::Library};

namespace {

// Each step names its source and destination in the log before it runs.
void LogStep(const std::wstring& step, const std::wstring& from, const std::wstring& to) {
    LogMessage(step + L"from " + from);
    LogMessage(step + L"to " + to);
}

bool LoggedMove(const UpdatedFile& file, const std::wstring& from, const std::wstring& to) {
    LogStep(Widen(file.logName) + L" MoveFile ", from, to);
    return moveFile(from, to);
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Copies the delivered file to incoming and checks the copy; removes a bad copy.
bool CopyChecked(const UpdatedFile& file, const std::wstring& delivered, const std::wstring& incoming) {
    LogStep(Widen(file.logName) + L" CopyFile ", delivered, incoming);
    const bool copied = copyFile(delivered, incoming);
    if (copied && FileSizeOf(incoming) == FileSizeOf(delivered) && IsCompleteImage(incoming, file.kind)) {
        return true;
    }
    if (Exists(incoming)) deleteFile(incoming);
    return false;
}

}  // namespace

bool InstallUpdatedFile(const UpdatedFile& file, const std::wstring& updateFolder, const std::wstring& installFolder) {
    const std::wstring delivered = updateFolder + L"\\" + file.deliveredName;
    const std::wstring installed = installFolder + L"\\" + file.installedName;
    const std::wstring incoming = installed + L".new";
    const std::wstring backup = installed + L".bck";
    const std::wstring step = Widen(file.logName);

    // Nothing to install: the installed file must stay where it is.
    if (!fileExists(delivered)) {
        LogMessage(step + L": no new file, keeping " + installed);
        return false;
    }
    // Checked beside the installed file, so the swap below is two renames in
    // one folder and a damaged delivery never replaces a working program.
    if (!CopyChecked(file, delivered, incoming)) {
        LogMessage(step + L": new file damaged or unreadable, keeping " + installed);
        return false;
    }
    // A running executable may be renamed, so this works while the service
    // that started the worker still runs.
    const bool hadInstalled = Exists(installed);
    if (hadInstalled && !LoggedMove(file, installed, backup)) {
        deleteFile(incoming);
        LogMessage(step + L": installed file cannot be moved aside, keeping " + installed);
        return false;
    }
    if (!LoggedMove(file, incoming, installed)) {
        if (hadInstalled) LoggedMove(file, backup, installed);
        deleteFile(incoming);
        LogMessage(step + L": new file not installed, restoring " + installed);
        return false;
    }
    resetUpdatedCorePermissions(installed);
    return hadInstalled;
}

bool RestoreBackup(const std::wstring& programPath) {
    const std::wstring backup = programPath + L".bck";
    if (!Exists(backup) || !IsCompleteImage(backup, ImageKind::Program)) return false;
    LogMessage(L"Maintenance: putting back " + backup);
    return moveFile(backup, programPath);
}

bool RestoreBackupIfUnusable(const std::wstring& programPath) {
    if (Exists(programPath) && IsCompleteImage(programPath, ImageKind::Program)) return false;
    return RestoreBackup(programPath);
}

bool InstallUpdate(const std::wstring& updateFolder, const std::wstring& installFolder) {
    const bool core = InstallUpdatedFile(kUpdatedCore, updateFolder, installFolder);
    const bool library = InstallUpdatedFile(kUpdatedHookLibrary, updateFolder, installFolder);
    if (!core || !library) {
        LogMessage(L"Maintenance: not every update file was installed, the update files stay in " + updateFolder);
        return false;
    }
    // Both new files are in place and the old ones kept as backups: the
    // delivered copies have done their job.
    bool removed = true;
    for (const UpdatedFile* file : {&kUpdatedCore, &kUpdatedHookLibrary}) {
        const std::wstring delivered = updateFolder + L"\\" + file->deliveredName;
        if (!deleteFile(delivered)) {
            LogSystemError(L"DeleteFile()");
            LogMessage(L"Maintenance: cannot remove " + delivered);
            removed = false;
        }
    }
    if (removed) LogMessage(L"Maintenance: update installed, update files removed from " + updateFolder);
    return true;
}
