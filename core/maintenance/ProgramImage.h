// Telling a complete Windows program or library for this machine from a
// damaged one (cut short, another architecture or width, not a program at
// all) before it is put in place of the installed one.
#pragma once

#include <string>

enum class ImageKind {
    Program,  // an executable with a version resource, like MarlinCore.exe
    Library,  // a DLL, like MarlinWinTab.dll
};

// True when the file is a whole image of that kind for the machine this
// program is built for (32-bit x86, or x86-64 in a 64-bit build): its headers
// are there, every section's data lies within the file and, for a program,
// the system finds its version resource. Logs why when it is not.
bool IsCompleteImage(const std::wstring& path, ImageKind kind);

// The size of a file in bytes; -1 when it cannot be read.
long long FileSizeOf(const std::wstring& path);
