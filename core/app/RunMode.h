// What a run of the program is, read once from its command line: the service,
// or one of the short-lived workers that the service starts as copies of
// itself (most of them elevated).
#pragma once

#include <string>

enum class RunMode {
    Service,          // no worker word: the service
    Updater,          // "Updater" and the quoted update folder
    Fixer,            // "Fixer": the machine-wide registry repairs
    AirUpgrade,       // "upgradeAirApp" and three quoted values
    NativeInstaller,  // the dock's installNativeApp, upgradeNativeApp or uninstallNativeApp text
};

// The worker words are recognised by their beginning, letter case counting
// (the command word test of the dispatcher). Anything else is the service.
RunMode ParseRunMode(const std::wstring& commandLine);
