#include "core/apps/air/AirAppCommands.h"

#include "core/apps/air/AirLookup.h"
#include "core/platform/FileManager.h"
#include "core/platform/SystemVersion.h"
#include "core/platform/UserPaths.h"
#include "core/protocol/CommandParsing.h"
#include "core/protocol/PendingReply.h"
#include "core/protocol/ResultCodes.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

const wchar_t kAppsFolderBelowProgramFiles[] = L"\\Marlin Dock\\Apps\\";

// The folder the AIR installer puts applications in, expanded. The 32-bit
// product's %ProgramFiles% is the 32-bit program folder on 64-bit Windows;
// a 64-bit build names that folder itself, so both give the installer the
// same -location. Only 64-bit Windows sets %ProgramFiles(x86)%.
std::wstring AppsFolder() {
#ifdef _WIN64
    if (GetEnvironmentVariableW(L"ProgramFiles(x86)", nullptr, 0) != 0)
        return ExpandPath(std::wstring(L"%ProgramFiles(x86)%") + kAppsFolderBelowProgramFiles);
#endif
    return ExpandPath(std::wstring(L"%ProgramFiles%") + kAppsFolderBelowProgramFiles);
}

// A value placed between double quotes on a command line must not contain a
// quote, and must not end with a backslash, which would escape the closing
// quote; otherwise the program receives different words than we meant.
bool FitsInQuotes(const std::wstring& value) {
    return value.find(L'"') == std::wstring::npos && (value.empty() || value.back() != L'\\');
}

// The installer, the uninstaller and the upgrade worker: the command blocks
// until the tool has ended, however long it takes. Elevation is asked for
// only where Windows has it (Vista and later).
ProcessManager::LaunchRequest WaitForeverRequest(const std::wstring& folder, const std::wstring& name,
                                                 const std::wstring& arguments, bool elevate) {
    ProcessManager::LaunchRequest request{folder, name, arguments};
    request.elevated = elevate && IsVistaOrLater();
    request.wait = true;
    request.waitForever = true;
    return request;
}

std::wstring TokenOrEmpty(const std::vector<std::wstring>& tokens, size_t i) {
    return i < tokens.size() ? tokens[i] : std::wstring();
}

}  // namespace

void BuildAirInstallerArguments(const std::wstring& appId, const std::wstring& airFile, std::wstring& arguments) {
    arguments = L"-silent -eulaAccepted -location \"" + AppsFolder() + L"\\" + appId + L"\" \"" + airFile +
                L"\"";
}

void BuildUninstallArguments(const std::wstring& productCode, std::wstring& arguments) {
    arguments = L"/quiet /qn /norestart /x  " + productCode;
}

bool InstallAirApplication(const std::wstring& appId, const std::wstring& osid, const std::string& airFile,
                           bool elevate) {
    const std::wstring file = Widen(airFile);
    if (!FitsInQuotes(appId) || !FitsInQuotes(file)) {
        LogMessage(std::wstring(L"InstallAirApplication - appId or file can not be passed in quotes."));
        return false;
    }
    // The appId names the installation folder below the Apps folder, and the
    // installer writes there elevated: it must not climb out.
    if (!IsPlainFolderName(appId)) {
        LogMessage(std::wstring(L"InstallAirApplication - appId is not a plain folder name."));
        return false;
    }
    std::wstring installer = RegistryManager::FindAirInstaller();
    if (installer.empty()) {
        LogMessage(std::wstring(L"InstallAirApplication - can not find air installer file."));
        return false;
    }
    std::wstring arguments;
    BuildAirInstallerArguments(appId, file, arguments);
    LogFormatted("Installer arguments: %s", Narrow(arguments).c_str());
    const std::wstring name = SplitFileName(installer);
    const bool started = ProcessManager::LaunchProgram(WaitForeverRequest(installer, name, arguments, elevate));
    return started && isAirAppInstalled(appId, osid) == 1;
}

int InstallAirApp(const std::wstring& appId, const std::wstring& osid, const std::wstring& airFile) {
    if (IsBlank(airFile) || IsBlank(osid)) {
        LogMessage(std::string("InstallAirApp: Argument(s) null or empty."));
        return kResultSyntaxError;
    }
    return InstallAirApplication(appId, osid, Narrow(airFile), true) ? kResultSuccess : kResultSyntaxError;
}

int UninstallAirApp(const std::wstring& appId, const std::wstring& osid, bool elevate) {
    if (IsBlank(appId)) {
        LogMessage(std::string("UninstallAirApp: Argument null or empty."));
        return 0;
    }
    if (IsBlank(osid)) {
        LogMessage("UninstallAirApp: Second argument missing (Widget OSID) for widget" + Narrow(appId));
        return 0;
    }
    std::wstring productCode;
    if (GetAirAppProductCode(osid, productCode) != ERROR_SUCCESS) {
        LogMessage("UninstallAirApp: Not Installed " + Narrow(appId));
        return 1;  // nothing to remove
    }
    std::wstring uninstaller = RegistryManager::GetMsiUninstaller();
    if (uninstaller.empty()) {
        LogMessage("UninstallAirApp: Unable to locate uninstaller for " + Narrow(appId));
        return 0;
    }
    std::wstring arguments;
    BuildUninstallArguments(productCode, arguments);
    LogMessage("UninstallAirApp: Uninstallation started for " + Narrow(appId));
    const std::wstring name = SplitFileName(uninstaller);
    const bool started = ProcessManager::LaunchProgram(WaitForeverRequest(uninstaller, name, arguments, elevate));
    return started && isAirAppInstalled(appId, osid) == 0 ? 1 : 0;
}

bool UpgradeAirApp(const std::wstring& appId, const std::wstring& osid, const std::string& airFile) {
    const std::wstring file = Widen(airFile);
    if (!FitsInQuotes(appId) || !FitsInQuotes(osid) || !FitsInQuotes(file)) {
        LogMessage(std::wstring(L"UpgradeAirApp - arguments can not be passed in quotes."));
        return false;
    }
    if (!IsPlainFolderName(appId)) {
        LogMessage(std::wstring(L"UpgradeAirApp - appId is not a plain folder name."));
        return false;
    }
    std::wstring folder = GetModulePath();
    const std::wstring name = SplitFileName(folder);
    std::wstring arguments = L"upgradeAirApp";
    for (const std::wstring* value : {&appId, &osid, &file}) arguments += L" \"" + *value + L"\"";
    arguments += L" ";
    const bool started = ProcessManager::LaunchProgram(WaitForeverRequest(folder, name, arguments, true));
    return started && isAirAppInstalled(appId, osid) == 1;
}

bool HandleAirAppUpgradeCommand(const std::wstring& commandLine) {
    const std::vector<std::wstring> tokens = TokenizeCommand(commandLine);
    if (tokens.empty()) {
        LogMessage(std::string("HandleAirAppUpgradeCommand: No command found."));
        return false;
    }
    if (!IsCommand("upgradeAirApp", tokens[0])) return false;
    bool ok = CheckArgumentCount(tokens.size(), 3);
    const std::wstring appId = ok ? tokens[1] : std::wstring();
    const std::wstring osid = ok ? tokens[2] : std::wstring();
    const std::wstring airFile = ok ? tokens[3] : std::wstring();
    // This copy already runs with the rights it was given; it never asks again.
    if (ok && isAirAppInstalled(appId, osid) == 1) ok = UninstallAirApp(appId, osid, false) != 0;
    if (ok) ok = InstallAirApplication(appId, osid, Narrow(airFile), false);
    LogFormatted(ok ? "Upgraded Air Application: %s" : "Upgrade Air Application Failed: %s", Narrow(appId).c_str());
    return true;
}

namespace ProcessManager {

bool StartAirApp(std::vector<std::wstring> tokens) {
    if (tokens.size() < 3) {
        LogFormatted("ProcessManager::StartAirApp - wrong number of argumets. Expected atleast 3, got %d",
                     static_cast<int>(tokens.size()));
        return false;
    }
    const std::wstring& appId = tokens[1];
    std::wstring productCode;
    if (GetAirAppProductCode(tokens[2], productCode) != ERROR_SUCCESS) {
        LogMessage("StartAirApp: Not Installed " + Narrow(appId));
        return false;
    }
    const std::wstring path = RegistryManager::GetAirAppStartPath(productCode);
    if (path.empty()) return false;
    return OpenPath(path);
}

}  // namespace ProcessManager

namespace {

using Tokens = std::vector<std::wstring>;

struct AirCommand {
    const char* word;
    int arguments;  // after the command word; -1: not checked here
    bool (*action)(const Tokens& tokens);
    const wchar_t* successKey;
    const wchar_t* failureKey;
};

const AirCommand kAirCommands[] = {
    {"uninstallAirApp", 2, [](const Tokens& t) { return UninstallAirApp(t[1], t[2], true) != 0; },
     L"AirAppUninstallStarted=", L"AirAppUninstallFailed="},
    {"installAirApp", 3,
     [](const Tokens& t) {
         LogMessage(std::string("CommandHandler::Handle command: installAirApp"));
         return InstallAirApp(t[1], t[2], t[3]) == 0;
     },
     L"AirAppInstallStarted=", L"AirAppInstallFailed="},
    {"upgradeAirApp", 3, [](const Tokens& t) { return UpgradeAirApp(t[1], t[2], Narrow(t[3])); },
     L"AirAppUpgradeStarted=", L"AirAppUpgradeFailed="},
    {"isAirAppInstalled", 2, [](const Tokens& t) { return isAirAppInstalled(t[1], t[2]) == 1; },
     L"AirAppIsInstalled=", L"AirAppIsNotInstalled="},
    // StartAirApp checks the count itself.
    {"startAirApplication", -1, [](const Tokens& t) { return ProcessManager::StartAirApp(t); }, L"AirAppIsStarted=",
     L"AirAppIsNotStarted="},
};

}  // namespace

std::vector<std::string> AirAppCommandWords() {
    std::vector<std::string> words;
    for (const AirCommand& command : kAirCommands) words.push_back(command.word);
    return words;
}

bool HandleAirAppCommand(std::vector<std::wstring> tokens, int& result) {
    if (tokens.empty()) return false;
    for (const AirCommand& command : kAirCommands) {
        if (!IsCommand(command.word, tokens[0])) continue;
        if (command.arguments >= 0 && !CheckArgumentCount(tokens.size(), command.arguments)) {
            result = kResultSyntaxError;
            return true;
        }
        const bool ok = command.action(tokens);
        // Without any argument (startAirApplication alone) the reply names an empty appId.
        SetPendingReply(std::wstring(ok ? command.successKey : command.failureKey) + TokenOrEmpty(tokens, 1));
        result = kResultSuccess;
        return true;
    }
    return false;
}
