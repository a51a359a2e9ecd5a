#include "core/app/RunMode.h"

#include <vector>

#include "core/protocol/CommandParsing.h"

RunMode ParseRunMode(const std::wstring& commandLine) {
    // The Updater and Fixer words are tested on the text as given, the others
    // on its first word (quotes removed), as their workers read them.
    if (IsCommand("Updater", commandLine)) return RunMode::Updater;
    if (IsCommand("Fixer", commandLine)) return RunMode::Fixer;
    const std::vector<std::wstring> words = TokenizeCommand(commandLine);
    if (words.empty()) return RunMode::Service;
    if (IsCommand("upgradeAirApp", words[0])) return RunMode::AirUpgrade;
    for (const char* word : {"installNativeApp", "upgradeNativeApp", "uninstallNativeApp"}) {
        if (IsCommand(word, words[0])) return RunMode::NativeInstaller;
    }
    return RunMode::Service;
}
