// The program's version, shown as 2.06.0 in the version reply and as
// "Version 2.06 RC0" in the log banner.
#pragma once

constexpr const char* kVersionMajor = "2";
constexpr const char* kVersionMinor = "6";
constexpr const char* kVersionRelease = "0";
