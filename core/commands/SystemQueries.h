// Answers about the program and the machine: version, a fresh GUID, the
// user's country, and whether a path lies where permission repairs are allowed.
#pragma once

#include <string>

std::wstring GetCoreVersion();  // 2.06.0
// A new GUID in registry form ({8-4-4-4-12}, upper case), or empty.
std::string CreateUuid();
// Two-letter code of the user's Windows location (Geo "Nation"), or "XX".
std::string GetLocalCountryCode();
// The code for a Windows geographical location id, or "XX" when unknown.
std::string CountryCodeForGeoId(int geoId);
// True when path begins with directory (case-sensitive, textual) and holds no "..".
bool IsInsideDirectory(const std::wstring& path, const std::wstring& directory);
