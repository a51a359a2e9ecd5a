#include "core/apps/native/NativeAppCommands.h"

#include <windows.h>
#include <msi.h>

#include "core/maintenance/Maintenance.h"
#include "core/platform/FileManager.h"
#include "core/platform/ProcessManager.h"
#include "core/platform/UserPaths.h"
#include "core/protocol/CommandParsing.h"
#include "core/protocol/PendingReply.h"
#include "core/protocol/ResultCodes.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

using Tokens = std::vector<std::wstring>;

constexpr DWORD kStopWaitMs = 5000;

// What a command's action concluded.
enum class Outcome { Success, Failure, Unknown };

struct NativeRequest {
    const std::wstring& message;
    const Tokens& tokens;
    UINT productInfoStatus;  // of startNativeApplication's location lookup, else 0
};

// The products of an upgrade code; logs the none-found line when there are none.
int CountProducts(const std::wstring& upgradeCode, Tokens& products) {
    const int n = FindAllProducts(upgradeCode, products);
    if (n < 1) LogMessage(std::string("NativeApps: FindAllProducts: none found"));
    return n;
}

Outcome FromBool(bool ok) { return ok ? Outcome::Success : Outcome::Failure; }

// install and upgrade hand the whole message to the elevated copy; a folder
// name that would leave the Apps folder is refused here already.
bool StartElevatedCopy(const NativeRequest& r, bool installs) {
    if (installs && !IsPlainFolderName(r.tokens[4])) {
        LogMessage(std::string("NativeApps: Invalid folder name"));
        return false;
    }
    return startMaintenanceCopy(r.message);
}

Outcome InstallNative(NativeRequest& r) {
    Tokens products;
    if (FindAllProducts(r.tokens[2], products) > 0) return Outcome::Success;  // already installed
    return FromBool(StartElevatedCopy(r, true));
}

Outcome UninstallNative(NativeRequest& r) {
    Tokens products;
    if (CountProducts(r.tokens[2], products) < 1) return Outcome::Success;  // nothing to remove
    return FromBool(StartElevatedCopy(r, false));
}

Outcome UpgradeNative(NativeRequest& r) {
    Tokens products;
    if (CountProducts(r.tokens[2], products) < 1) return Outcome::Failure;
    return FromBool(StartElevatedCopy(r, true));
}

Outcome IsNativeInstalled(NativeRequest& r) {
    Tokens products;
    const int n = CountProducts(r.tokens[2], products);
    if (n == -1) return Outcome::Unknown;
    return FromBool(n > 0);
}

Outcome StartNative(NativeRequest& r) {
    Tokens products;
    if (CountProducts(r.tokens[2], products) < 1) return Outcome::Failure;
    wchar_t location[260] = {};
    DWORD capacity = 260;
    r.productInfoStatus = MsiGetProductInfoW(products[0].c_str(), L"InstallLocation", location, &capacity);
    if (r.productInfoStatus != ERROR_SUCCESS) {
        LogFormatted("NativeApps: MSIGetProductInfoFailed %d", static_cast<int>(r.productInfoStatus));
        return Outcome::Failure;
    }
    std::wstring path = location;
    if (path.empty() || path.back() != L'\\') path += L'\\';
    path += r.tokens[4];
    return FromBool(ProcessManager::LaunchPath(path, r.tokens[3]));
}

Outcome StopNative(NativeRequest& r) {
    const marlin::unique_handle process = ProcessManager::GetProcessHandleByName(r.tokens[3], true);
    if (!process) {
        LogMessage(std::string("NativeApps: Can't find process"));
        return Outcome::Success;  // not running counts as stopped
    }
    // Stopped means gone: ending a process is asynchronous, so wait for it.
    if (!TerminateProcess(process.get(), 0)) return Outcome::Failure;
    return FromBool(WaitForSingleObject(process.get(), kStopWaitMs) == WAIT_OBJECT_0);
}

Outcome IsNativeRunning(NativeRequest& r) {
    // Only whether there is one: the handle is closed at once.
    return FromBool(static_cast<bool>(ProcessManager::GetProcessHandleByName(r.tokens[3], false)));
}

constexpr char kUserCanAdministerNativeApps[] = "userCanAdministerNativeApps";

struct NativeCommand {
    const char* word;
    size_t arguments;
    Outcome (*action)(NativeRequest& request);
    const wchar_t* successKey;
    const wchar_t* failureKey;
    bool explainsFailure;  // log the runtime's error text before the failure key
};

const NativeCommand kNativeCommands[] = {
    {"installNativeApp", 4, InstallNative, L"NativeAppInstallStarted=", L"NativeAppInstallFailed=", true},
    {"uninstallNativeApp", 2, UninstallNative, L"NativeAppUninstallStarted=", L"NativeAppUninstallFailed=", true},
    {"upgradeNativeApp", 4, UpgradeNative, L"NativeAppUpgradeStarted=", L"NativeAppUpgradeFailed=", true},
    {"isNativeAppInstalled", 2, IsNativeInstalled, L"NativeAppIsInstalled=", L"NativeAppIsNotInstalled=", true},
    {"startNativeApplication", 4, StartNative, L"NativeAppIsStarted=", L"NativeAppIsNotStarted=", true},
    {"stopNativeApplication", 3, StopNative, L"NativeAppIsStopped=", L"NativeAppIsNotStopped=", true},
    {"isNativeAppRunning", 3, IsNativeRunning, L"NativeAppIsRunning=", L"NativeAppIsNotRunning=", false},
};

}  // namespace

std::wstring NativeAppFolder(const std::wstring& folderName) {
    return GetModuleDirectory() + L"\\Apps\\" + folderName + L"\\";
}

int FindAllProducts(const std::wstring& upgradeCode, std::vector<std::wstring>& products) {
    int appended = 0;
    for (DWORD index = 0;; ++index) {
        wchar_t code[39] = {};
        const UINT status = MsiEnumRelatedProductsW(upgradeCode.c_str(), 0, index, code);
        if (status == ERROR_INSTALL_ALREADY_RUNNING) return -1;
        if (status != ERROR_SUCCESS) return appended;
        products.push_back(code);
        ++appended;
    }
}

namespace {

enum class Match { None, WrongCount, Done };

// Finds the command word, checks the count and runs the action; the reply is
// its key followed by the appId.
Match RunNativeCommand(NativeRequest& request) {
    const Tokens& tokens = request.tokens;
    if (tokens.empty()) return Match::None;
    for (const NativeCommand& command : kNativeCommands) {
        if (!IsCommand(command.word, tokens[0])) continue;
        if (!CheckArgumentCount(tokens.size(), command.arguments)) return Match::WrongCount;
        const Outcome outcome = command.action(request);
        std::wstring key = command.successKey;
        if (outcome == Outcome::Unknown) {
            key = L"NativeAppInstallStateUnknown=";
        } else if (outcome == Outcome::Failure) {
            if (command.explainsFailure) LogMessage(CrtErrorText());
            key = command.failureKey;
        }
        SetPendingReply(key + tokens[1]);
        return Match::Done;
    }
    if (IsCommand(kUserCanAdministerNativeApps, tokens[0])) {
        if (!CheckArgumentCount(tokens.size(), 0)) return Match::WrongCount;
        SetPendingReply(std::wstring(L"UserCanAdministerNativeApps=") + (IsUserAdmin() ? L"true" : L"false"));
        return Match::Done;
    }
    return Match::None;
}

}  // namespace

std::vector<std::string> NativeAppCommandWords() {
    std::vector<std::string> words;
    for (const NativeCommand& command : kNativeCommands) words.push_back(command.word);
    words.push_back(kUserCanAdministerNativeApps);
    return words;
}

bool HandleNativeAppCommand(const std::wstring& message, int& result) {
    const Tokens tokens = TokenizeCommand(message);
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);
    NativeRequest request{message, tokens, 0};
    const Match match = RunNativeCommand(request);
    if (match == Match::WrongCount) {
        result = kResultSyntaxError;
        return true;
    }
    LogFormatted("MSI Err: %d", static_cast<int>(request.productInfoStatus));
    if (match == Match::None) return false;
    result = kResultSuccess;
    return true;
}

bool HandleElevatedNativeAppMSI(const std::wstring& commandLine) {
    const Tokens tokens = TokenizeCommand(commandLine);
    if (tokens.empty()) {
        LogMessage(std::string("HandleElevatedNativeAppMSI: No command found."));
        return false;
    }
    LogMessage(std::string("Processing MSI commands: "));
    LogMessage(commandLine);
    MsiSetInternalUI(INSTALLUILEVEL_NONE, nullptr);

    UINT status = ERROR_SUCCESS;
    const bool installs = IsCommand("installNativeApp", tokens[0]) || IsCommand("upgradeNativeApp", tokens[0]);
    if (installs) {
        // An upgrade installs the new package, which replaces the old product itself.
        if (!CheckArgumentCount(tokens.size(), 4)) return false;
        if (!IsPlainFolderName(tokens[4])) {
            LogMessage(std::string("NativeApps: Invalid folder name"));
            status = ERROR_INVALID_PARAMETER;
        } else {
            const std::wstring properties = L"APPDIR=\"" + NativeAppFolder(tokens[4]) + L"\"";
            status = MsiInstallProductW(tokens[3].c_str(), properties.c_str());
        }
    } else if (IsCommand("uninstallNativeApp", tokens[0])) {
        if (!CheckArgumentCount(tokens.size(), 2)) return false;
        Tokens products;
        if (FindAllProducts(tokens[2], products) > 0) {
            status = MsiConfigureProductW(products[0].c_str(), INSTALLLEVEL_DEFAULT, INSTALLSTATE_ABSENT);
        }
    } else {
        return false;
    }
    LogFormatted("MSI Err (elevated): %d", static_cast<int>(status));
    return true;
}
