// Starting the dock at logon and opening file types with it, both in the
// current user's part of the registry only (no elevation needed). When a
// machine-wide logon entry of the same name exists, the start-entry
// operations also start the Fixer worker (an administrator's, once per run),
// which moves it to the users.
#pragma once

#include <string>

#include "core/platform/RegistryNames.h"

// True when the user's logon entry holds the quoted front-end path afterwards.
bool SetAsStartup();
// Removes the user's logon entry; false (and a "DeleteKey()" block) when there is none.
bool RemoveAsStartup();
// extension with its leading ".": its per-user default value becomes the
// dock's program identifier; other values and sub-keys stay.
bool AssociateFileType(std::wstring extension);
// Deletes the per-user key of the extension when it names any program.
bool UnassociateFileType(std::wstring extension);
