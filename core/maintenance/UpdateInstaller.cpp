#include "core/maintenance/UpdateInstaller.h"

#include "core/platform/FileManager.h"
#include "core/platform/UserPaths.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

const UpdatedFile kUpdatedCore = {L"MarlinCoreUpdate.exe", L"MarlinCore.exe", "ProcessManager::InstallCoreUpdate"};
const UpdatedFile kUpdatedHookLibrary = {L"MarlinWinTabUpdate.dll", L"MarlinWinTab.dll",
                                         "ProcessManager::InstallDllUpdate"};

namespace {

// Each step names its source and destination in the log before it runs.
void LogStep(const UpdatedFile& file, const std::wstring& from, const std::wstring& to) {
    const std::wstring step = Widen(file.logName) + L" MoveFile ";
    LogMessage(step + L"from " + from);
    LogMessage(step + L"to " + to);
}

bool LoggedMove(const UpdatedFile& file, const std::wstring& from, const std::wstring& to) {
    LogStep(file, from, to);
    return moveFile(from, to);
}

}  // namespace

bool InstallUpdatedFile(const UpdatedFile& file, const std::wstring& updateFolder, const std::wstring& installFolder) {
    const std::wstring delivered = updateFolder + L"\\" + file.deliveredName;
    const std::wstring staged = updateFolder + L"\\" + file.installedName;
    const std::wstring installed = installFolder + L"\\" + file.installedName;
    const std::wstring backup = installed + L".bck";

    // Nothing to install: the installed file must stay where it is.
    if (!fileExists(delivered)) {
        LogMessage(Widen(file.logName) + L": no new file, keeping " + installed);
        return false;
    }
    const bool backedUp = LoggedMove(file, installed, backup);  // a running executable may be renamed
    // Never copy from a stale staged file that an earlier run left behind.
    const bool isStaged = LoggedMove(file, delivered, staged);
    bool copied = false;
    if (isStaged) {
        LogStep(file, staged, installed);
        copied = copyFile(staged, installed);
    }
    if (!copied) {
        LogMessage(Widen(file.logName) + L": new file not installed, restoring " + installed);
        if (backedUp) LoggedMove(file, backup, installed);
        if (isStaged) LoggedMove(file, staged, delivered);
        return false;
    }
    deleteFile(staged);
    resetUpdatedCorePermissions(installed);
    return backedUp;
}

namespace ProcessManager {

bool InstallCoreUpdate(std::wstring updateFolder) {
    return InstallUpdatedFile(kUpdatedCore, updateFolder, GetModuleDirectory());
}

bool InstallDllUpdate(std::wstring updateFolder) {
    return InstallUpdatedFile(kUpdatedHookLibrary, updateFolder, GetModuleDirectory());
}

}  // namespace ProcessManager
