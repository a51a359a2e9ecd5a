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

void writeKeyFile(int commandPort, int pressurePort, int appsPort) {
    const std::wstring folder = GetUserVendorDir();
    if (!fileExists(folder)) CreateDirectoryW(folder.c_str(), nullptr);

    const std::wstring path = folder + L"marlinAuth.key";
    marlin::unique_hfile file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        LogSystemError(L"Unable to open key authorization file to write: ");
        LogMessage(path);
        return;
    }
    // Every line ends in a blank and CR LF, as a text-mode write makes it.
    const std::string content = "<?xml version=\"1.0\" encoding=\"UTF-8\"?> \r\n"
                                "<root> \r\n"
                                "\t<commandPort>" + std::to_string(commandPort) + "</commandPort> \r\n"
                                "\t<pressurePort>" + std::to_string(pressurePort) + "</pressurePort> \r\n"
                                "\t<airAppsPort>" + std::to_string(appsPort) + "</airAppsPort> \r\n"
                                "\t<authKey>" + getAuthKey() + "</authKey> \r\n"
                                "</root> \r\n";
    DWORD written = 0;
    if (!WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
        written != content.size()) {
        LogSystemError(L"WriteFile()");
        LogMessage(path);
    }
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
