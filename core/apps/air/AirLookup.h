// Finding Adobe AIR's application installer, the Windows Installer uninstall
// program, the product code of an installed AIR application and its
// executable. The two program lookups are cached for the life of the process.
#pragma once

#include <string>

#include "core/platform/RegistryManager.h"  // brings windows.h in the order Handles.h needs

namespace RegistryManager {

// Reads the open command of "AIR.InstallerPackage", drops the document
// placeholder and caches the rest (the quoted installer path). Empty when
// Adobe AIR is not installed.
std::wstring FindAirInstaller();
// The cached installer command; looks it up while the cache is empty.
std::wstring GetAirInstaller();

// Reads the uninstall command of "Msi.Package" and caches the program part
// (through ".exe" and its closing quote, if the path is quoted).
std::wstring FindMsiUninstaller();
std::wstring GetMsiUninstaller();

// The executable of an installed AIR application: its InstallLocation plus
// the installation folder's own name + ".exe". Empty when not found.
std::wstring GetAirAppStartPath(std::wstring productCode);

}  // namespace RegistryManager

// The program part of a registered AIR installer open command, without the
// trailing document placeholder (a blank and "%1", quoted or not).
std::wstring AirInstallerFromOpenCommand(const std::wstring& command);
// The program part of a registered uninstall command: up to and including
// ".exe" plus its closing quote when the path is quoted, up to ".exe" when it
// is not (Wine registers msiexec unquoted); empty when there is no ".exe".
std::wstring MsiUninstallerFromCommand(const std::wstring& command);

// Product code of the first product related to the upgrade code osid.
// Returns the Windows Installer status (0 = found); productCode is empty
// unless found.
UINT GetAirAppProductCode(const std::wstring& osid, std::wstring& productCode);

// 1 when a product with upgrade code osid is installed, 0 when not or when an
// argument is blank.
int isAirAppInstalled(const std::wstring& appId, const std::wstring& osid);
