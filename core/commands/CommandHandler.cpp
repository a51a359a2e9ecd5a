#include "core/commands/CommandHandler.h"

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <vector>

#include "core/apps/air/AirAppCommands.h"
#include "core/apps/native/NativeAppCommands.h"
#include "core/commands/StartupRegistration.h"
#include "core/commands/SystemQueries.h"
#include "core/commands/WidgetRemoval.h"
#include "core/maintenance/Maintenance.h"
#include "core/platform/FileManager.h"
#include "core/platform/ProcessManager.h"
#include "core/platform/UserPaths.h"
#include "core/protocol/CommandParsing.h"
#include "core/protocol/PendingReply.h"
#include "core/protocol/ResultCodes.h"
#include "core/util/FailureDetail.h"
#include "core/util/Text.h"

namespace {

using Tokens = std::vector<std::wstring>;

int Exit() { return kResultQuit; }

int Update(const Tokens& tokens) {
    if (!CheckArgumentCount(tokens.size(), 1)) return kResultSyntaxError;
    startUpdater(tokens[1]);
    return kResultRestartForUpdate;  // whether or not the Updater started
}

int DockUpdateFinished() {
    checkMaintenance();
    return kResultSuccess;
}

int UserCanAdministerAirApps(const Tokens& tokens) {
    if (!CheckArgumentCount(tokens.size(), 0)) return kResultSyntaxError;
    SetPendingReply(std::wstring(L"UserCanAdministerAirApps=") + (IsUserAdmin() ? L"true" : L"false"));
    return kResultSuccess;
}

int UserCanPerformDockUpdate(const Tokens& tokens) {
    if (!CheckArgumentCount(tokens.size(), 0)) return kResultSyntaxError;
    SetPendingReply(std::wstring(L"UserCanPerformDockUpdate=") + (IsUserAdmin() ? L"true" : L"false"));
    return kResultSuccess;
}

int GetCommonUserDir() {
    SetPendingReply(L"CommonUserDir=" + GetCommonVendorDir());
    return kResultSuccess;
}

int GetCoreVersionCommand() {
    static const std::wstring reply = L"CoreVersion=" + GetCoreVersion();  // fixed for the build
    SetPendingReply(reply);
    return kResultSuccess;
}

int StartProcess(const Tokens& tokens) {
    // The one-argument form is tried first; a two-argument message logs its
    // failed count before matching the second form.
    if (CheckArgumentCount(tokens.size(), 1)) {
        return ProcessManager::OpenPath(tokens[1]) ? kResultSuccess : kResultFailure;
    }
    if (CheckArgumentCount(tokens.size(), 2)) {
        return ProcessManager::LaunchPath(tokens[1], tokens[2]) ? kResultSuccess : kResultFailure;
    }
    return kResultSyntaxError;
}

int CheckExists(const Tokens& tokens) {
    if (!CheckArgumentCount(tokens.size(), 1)) return kResultSyntaxError;
    return fileExists(tokens[1]) ? kResultTrue : kResultFalse;
}

int FixPermissions(const Tokens& tokens) {
    if (!CheckArgumentCount(tokens.size(), 1)) return kResultSyntaxError;
    // Repairs are allowed only inside the common vendor folder.
    if (!IsInsideDirectory(tokens[1], GetCommonVendorDir())) return kResultSyntaxError;
    if (!ResetFilePermissions(tokens[1])) return kResultFailure;
    const bool isDirectory = tokens[0].find(L"Directory") != std::wstring::npos;
    SetPendingReply((isDirectory ? L"DirectoryPermissionsFixed=" : L"FilePermissionsFixed=") + tokens[1]);
    return kResultSuccess;
}

int CreateUuidCommand(const Tokens& tokens) {
    if (!CheckArgumentCount(tokens.size(), 0)) return kResultSyntaxError;
    SetPendingReply(L"UUID=" + Widen(CreateUuid()));
    return kResultSuccess;
}

int Platform() {
    SetPendingReply(L"WIN32");
    return kResultSuccess;
}

int RemoveWidgetCommand(const Tokens& tokens) {
    if (!CheckArgumentCount(tokens.size(), 2)) return kResultSyntaxError;
    return RemoveWidget(tokens[1], tokens[2]);
}

int SetAsStartupCommand() { return SetAsStartup() ? kResultSuccess : kResultFailure; }

int RemoveAsStartupCommand() { return RemoveAsStartup() ? kResultSuccess : kResultFailure; }

int GetLocalCountryCodeCommand(const Tokens& tokens) {
    if (!CheckArgumentCount(tokens.size(), 0)) return kResultSyntaxError;
    SetPendingReply(L"LocalCountryCode=" + Widen(GetLocalCountryCode()));
    return kResultSuccess;
}

// Every extension is tried, even after a failure; the shell hears once that
// associations changed.
int ChangeFileTypes(const Tokens& tokens, bool (*change)(std::wstring extension)) {
    if (tokens.size() < 2) return kResultSyntaxError;
    bool allOk = true;
    for (size_t i = 1; i < tokens.size(); ++i) allOk = change(L"." + tokens[i]) && allOk;
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    return allOk ? kResultTrue : kResultFalse;
}

int AssociateFileTypes(const Tokens& tokens) { return ChangeFileTypes(tokens, AssociateFileType); }

int UnassociateFileTypes(const Tokens& tokens) { return ChangeFileTypes(tokens, UnassociateFileType); }

// A plain query answers from what the system tells at once; every other
// command may wait (installers, elevated copies, process starts, shell
// notifications that message every window, a file test on a network or
// offline path), so the replies queued before it are sent first.
enum class Kind { PlainQuery, MayBlock };

// An action reads the message's words, or none: a command that takes no
// words (the short queries a dock sends most) runs without the message being
// split into copies of its words.
struct Command {
    const char* keyword;
    int (*action)(const Tokens& tokens);
    int (*wordless)();
    Kind kind;

    constexpr Command(const char* keyword, int (*action)(const Tokens&), Kind kind)
        : keyword(keyword), action(action), wordless(nullptr), kind(kind) {}
    constexpr Command(const char* keyword, int (*wordless)(), Kind kind)
        : keyword(keyword), action(nullptr), wordless(wordless), kind(kind) {}
};

// Tested in this order with the prefix test: the first keyword that begins
// the command word runs.
constexpr Command kCommands[] = {
    {"exit", Exit, Kind::PlainQuery},  // the quit sends what waits anyway
    {"update", Update, Kind::MayBlock},
    {"dockUpdateFinished", DockUpdateFinished, Kind::MayBlock},
    {"userCanAdministerAirApps", UserCanAdministerAirApps, Kind::PlainQuery},
    {"userCanPerformDockUpdate", UserCanPerformDockUpdate, Kind::PlainQuery},
    {"getCommonUserDir", GetCommonUserDir, Kind::PlainQuery},
    {"getCoreVersion", GetCoreVersionCommand, Kind::PlainQuery},
    {"startProcess", StartProcess, Kind::MayBlock},
    {"checkExists", CheckExists, Kind::MayBlock},  // the path may be on a share that answers late
    {"fixFilePermissions", FixPermissions, Kind::MayBlock},
    {"fixDirectoryPermissions", FixPermissions, Kind::MayBlock},
    {"createUUID", CreateUuidCommand, Kind::PlainQuery},
    {"platform", Platform, Kind::PlainQuery},
    {"removeWidget", RemoveWidgetCommand, Kind::MayBlock},
    {"setAsStartup", SetAsStartupCommand, Kind::MayBlock},
    {"removeAsStartup", RemoveAsStartupCommand, Kind::MayBlock},
    {"getLocalCountryCode", GetLocalCountryCodeCommand, Kind::PlainQuery},
    {"associateFileTypes", AssociateFileTypes, Kind::MayBlock},
    {"unassociateFileTypes", UnassociateFileTypes, Kind::MayBlock},
};

}  // namespace

std::vector<std::string> CommandHandler::CommandWords() {
    std::vector<std::string> words;
    for (const Command& command : kCommands) words.push_back(command.keyword);
    return words;
}

bool CommandHandler::MayBlock(const std::wstring& message) {
    // The command word is the text before the first blank, unless a quote
    // in it makes the splitter group differently (or there is no word): then
    // any command may be meant.
    const size_t end = std::min(message.find(L' '), message.size());
    if (end == 0) return !message.empty();
    for (size_t i = 0; i < end; ++i) {
        if (message[i] == L'"' || message[i] == L'\'') return true;
    }
    for (const Command& command : kCommands) {
        // No keyword holds a blank: it begins the word when it begins the message.
        if (IsCommand(command.keyword, message)) return command.kind == Kind::MayBlock;
    }
    return true;  // the AIR and native application commands, and unknown words
}

int CommandHandler::HandleCommand(const std::wstring& message) {
    WordSpan first;
    if (!FirstWord(message, first)) {
        LogFailureDetail(std::string("No command found."));
        return kResultSyntaxError;
    }
    for (const Command& command : kCommands) {
        if (!IsCommand(command.keyword, message, first)) continue;
        return command.wordless != nullptr ? command.wordless() : command.action(TokenizeCommand(message));
    }
    const Tokens tokens = TokenizeCommand(message);
    int result = kResultSuccess;
    if (HandleAirAppCommand(tokens, result)) return result;
    if (HandleNativeAppCommand(message, result)) return result;
    LogFailureDetail(std::string("Unknown command"));
    return kResultSyntaxError;
}
