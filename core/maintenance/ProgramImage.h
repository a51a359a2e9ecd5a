// Telling a complete 32-bit Windows program or library from a damaged one
// (cut short, another architecture, not a program at all) before it is put
// in place of the installed one.
#pragma once

#include <string>

enum class ImageKind {
    Program,  // an executable with a version resource, like MarlinCore.exe
    Library,  // a DLL, like MarlinWinTab.dll
};

// True when the file is a whole 32-bit x86 image of that kind: its headers are
// there, every section's data lies within the file and, for a program, the
// system finds its version resource. Logs why when it is not.
bool IsComplete32BitImage(const std::wstring& path, ImageKind kind);

// The size of a file in bytes; -1 when it cannot be read.
long long FileSizeOf(const std::wstring& path);
