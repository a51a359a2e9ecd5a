// The installer's string stack, as its plug-ins see it: a linked list of
// GlobalAlloc'd entries, each a pointer to the next (lower) entry followed by
// string-size UTF-16 characters. The installer hands us the pointer to the top
// on every call.
#pragma once

#include <windows.h>

#include <string>

namespace folderguard {

struct StackEntry {
    StackEntry* next;
    wchar_t text[1];  // really string-size characters, terminator included
};

// The plug-in's whole state: the stack of the current call and the last
// system error code that the folder test recorded. It lives as long as the
// installer keeps the library loaded.
struct PluginState {
    HMODULE module = nullptr;
    int stringSize = 0;
    wchar_t* variables = nullptr;
    StackEntry** stackTop = nullptr;
    DWORD lastSecurityError = 0;
};
extern PluginState g_plugin;

// The installer's builds use string sizes of 1024 or 8192; anything outside
// this range is treated as a call without a usable stack, so a bogus value
// can neither overflow an entry's size nor make us allocate without bound.
constexpr int kMaxStringSize = 1 << 20;

// Records parameters 2 to 4 of an exported call.
void BeginCall(int stringSize, wchar_t* variables, StackEntry** stackTop);

// Copies the top entry into buffer (string-size characters; may be null to
// discard it), unlinks and frees it. 1 when there is no stack or it is
// empty, buffer untouched; 0 otherwise.
int popString(wchar_t* buffer);

// Pushes a zero-filled entry holding at most string-size - 1 characters of
// text. Does nothing when there is no stack.
void pushString(const wchar_t* text);

// Pops the top entry as text (empty when the stack is empty).
std::wstring PopText();

// Pushes a number as the installer's scripts read it: decimal.
void PushNumber(long value);

}  // namespace folderguard
