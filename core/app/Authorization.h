// The key handshake (required on the command port, optional on the pressure
// and apps ports) and the key file the dock reads the key from. The servers are handed
// the checks below when the service wires them.
#pragma once

#include <string>

// The process's key: a new GUID in registry form, made once (the service
// asks first, before its threads start) and never changed; empty when no
// GUID could be made.
std::string getAuthKey();
// Writes "marlinAuth.key" with the three ports and the key into the user's
// vendor folder: the whole content goes to a file beside it, which then
// replaces it in one step. A reader holding the old file open without delete
// sharing blocks the replacement; it is tried again for up to 10 s (retryMs).
// False, logged, when the file could not be written or replaced: the old one
// (other ports, another key) is then left as it was.
bool writeKeyFile(int commandPort, int pressurePort, int appsPort);
bool writeKeyFileWithin(int commandPort, int pressurePort, int appsPort, unsigned long retryMs);
// True when the message is "auth" and the key, and a key exists.
bool checkAuthorization(const std::wstring& message);
// The same test against a given key; an empty key refuses every message.
bool checkAuthorizationAgainst(const std::wstring& message, const std::string& key);
// True when the message's first word begins with "auth": meant as an
// authorization, right key or not. The message as it arrived (UTF-8); only
// its first word is looked at.
bool isAuthorizationAttempt(const std::string& utf8);
