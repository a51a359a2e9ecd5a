// The dock's AIR application (widget) commands: install, upgrade, remove, test
// and start, and the upgradeAirApp worker mode that a second, elevated copy of
// the core runs.
#pragma once

#include <string>
#include <vector>

#include "core/platform/ProcessManager.h"

// Handles uninstallAirApp, installAirApp, upgradeAirApp, isAirAppInstalled and
// startAirApplication. Returns false (result untouched) for any other word;
// otherwise sets result (0, or -2 for a wrong argument count) and the reply.
bool HandleAirAppCommand(std::vector<std::wstring> tokens, int& result);
// The command words HandleAirAppCommand recognises, in the order they are tested.
std::vector<std::string> AirAppCommandWords();

// The upgradeAirApp worker: true when the command line (without the program
// path) was an upgrade request, which has then been carried out.
bool HandleAirAppUpgradeCommand(const std::wstring& commandLine);

// 0 when the application was installed, -2 on failure or blank arguments.
int InstallAirApp(const std::wstring& appId, const std::wstring& osid, const std::wstring& airFile);
// Runs the AIR installer silently and waits for it; true when the
// application is installed afterwards.
bool InstallAirApplication(const std::wstring& appId, const std::wstring& osid, const std::string& airFile,
                           bool elevate);
// Removes the application through Windows Installer and waits; 1 when it is
// gone (or was never there), 0 on failure.
int UninstallAirApp(const std::wstring& appId, const std::wstring& osid, bool elevate);
// Runs the upgrade worker copy of the core and waits for it; true when the
// application is installed afterwards.
bool UpgradeAirApp(const std::wstring& appId, const std::wstring& osid, const std::string& airFile);

void BuildAirInstallerArguments(const std::wstring& appId, const std::wstring& airFile, std::wstring& arguments);
void BuildUninstallArguments(const std::wstring& productCode, std::wstring& arguments);

namespace ProcessManager {
// tokens: command word, appId, osid (further words are ignored). Starts the
// installed application's executable; true when it was started.
bool StartAirApp(std::vector<std::wstring> tokens);
}  // namespace ProcessManager
