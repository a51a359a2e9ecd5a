// The dock's native application commands: Windows Installer packages
// installed, upgraded and removed through an elevated copy of the core, and
// started, stopped and probed by the service itself.
#pragma once

#include <string>
#include <vector>

// Handles installNativeApp, uninstallNativeApp, upgradeNativeApp,
// isNativeAppInstalled, startNativeApplication, stopNativeApplication,
// isNativeAppRunning and userCanAdministerNativeApps. Returns false (result
// untouched) for any other word; otherwise sets result (0, or -2 for a wrong
// argument count) and the reply.
bool HandleNativeAppCommand(const std::wstring& message, int& result);
// The command words HandleNativeAppCommand recognises, in the order they are tested.
std::vector<std::string> NativeAppCommandWords();

// The elevated copy's worker mode: true when the command line (without the
// program path) was one of the three installer commands, which has then been
// run through Windows Installer.
bool HandleElevatedNativeAppMSI(const std::wstring& commandLine);

// Appends the product codes related to upgradeCode; returns how many were
// appended, or -1 when another installation is in progress.
int FindAllProducts(const std::wstring& upgradeCode, std::vector<std::wstring>& products);

// The folder a native application is installed in: the core's folder +
// "\Apps\" + folderName + "\".
std::wstring NativeAppFolder(const std::wstring& folderName);
