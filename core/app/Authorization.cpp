#include "core/app/Authorization.h"

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include "core/commands/SystemQueries.h"
#include "core/platform/FileManager.h"
#include "core/platform/UserPaths.h"
#include "core/protocol/CommandParsing.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

// The key of this process, made once (the service asks for it first, on the
// main thread, before any thread or client starts) and never changed: a
// failed GUID leaves it empty, and nothing then authorizes.
std::string getAuthKey() {
    static const std::string key = CreateUuid();
    return key;
}

namespace {

// A sharing reader (a backup or scanning tool, a runtime's default reader)
// keeps the file from being replaced while it has it open; readers let go
// within moments, so the replacement is tried again for a while.
constexpr DWORD kKeyFileRetryMs = 10000;
constexpr DWORD kKeyFileRetryStepMs = 20;

bool IsSharingFailure(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED || error == ERROR_LOCK_VIOLATION;
}

// The whole content in a file of its own beside the key file.
bool WriteWholeFile(const std::wstring& path, const std::string& content) {
    marlin::unique_hfile file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        LogSystemError(L"Unable to open key authorization file to write: ");
        LogMessage(path);
        return false;
    }
    DWORD written = 0;
    if (!WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
        written != content.size() || !FlushFileBuffers(file.get())) {
        LogSystemError(L"WriteFile()");
        LogMessage(path);
        return false;
    }
    return true;
}

}  // namespace

bool writeKeyFile(int commandPort, int pressurePort, int appsPort) {
    return writeKeyFileWithin(commandPort, pressurePort, appsPort, kKeyFileRetryMs);
}

bool writeKeyFileWithin(int commandPort, int pressurePort, int appsPort, unsigned long retryMs) {
    const std::wstring folder = GetUserVendorDir();
    if (!fileExists(folder)) CreateDirectoryW(folder.c_str(), nullptr);

    // Every line ends in a blank and CR LF, as a text-mode write makes it.
    const std::string content = "<?xml version=\"1.0\" encoding=\"UTF-8\"?> \r\n"
                                "<root> \r\n"
                                "\t<commandPort>" + std::to_string(commandPort) + "</commandPort> \r\n"
                                "\t<pressurePort>" + std::to_string(pressurePort) + "</pressurePort> \r\n"
                                "\t<airAppsPort>" + std::to_string(appsPort) + "</airAppsPort> \r\n"
                                "\t<authKey>" + getAuthKey() + "</authKey> \r\n"
                                "</root> \r\n";
    // Written whole beside it, then moved over it in one step: a reader finds
    // the old file or the new one, never an empty or partial one.
    const std::wstring path = folder + L"marlinAuth.key";
    const std::wstring temporary = path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    if (!WriteWholeFile(temporary, content)) {
        DeleteFileW(temporary.c_str());
        return false;
    }
    const DWORD start = GetTickCount();
    for (;;) {
        if (MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
        const DWORD error = GetLastError();
        if (!IsSharingFailure(error) || GetTickCount() - start >= retryMs) break;
        Sleep(kKeyFileRetryStepMs);
    }
    LogSystemError(L"Unable to replace the key authorization file: ");
    LogMessage(path);
    DeleteFileW(temporary.c_str());
    return false;
}

bool checkAuthorization(const std::wstring& message) { return checkAuthorizationAgainst(message, getAuthKey()); }

bool checkAuthorizationAgainst(const std::wstring& message, const std::string& key) {
    const std::vector<std::wstring> tokens = TokenizeCommand(message);
    if (tokens.size() != 2) return false;
    if (!IsCommand("auth", tokens[0])) {
        LogMessage(std::string("Unexpected command, expected authorization attempt."));
        return false;
    }
    // Without a key nothing may match, not even an empty word.
    if (key.empty()) {
        LogMessage(std::string("No authorization key, authorization refused."));
        return false;
    }
    return WideToUtf8(tokens[1]) == key;
}

bool isAuthorizationAttempt(const std::string& utf8) {
    // Only the first word's first characters decide: nothing else is split or decoded.
    const WordSplit split = SplitWords(utf8, 1);
    return !split.words.empty() && IsCommand("auth", WordText(utf8, split.words[0], 4));
}
