// The installer's string stack: pop and push as its own plug-ins do.
#include "installer-plugin/InstallerStack.h"

#include "core/util/Handles.h"

#include <cwchar>

namespace folderguard {

PluginState g_plugin;

namespace {
bool HasStack() {
    return g_plugin.stackTop != nullptr && g_plugin.stringSize > 0 && g_plugin.stringSize <= kMaxStringSize;
}
}  // namespace

void BeginCall(int stringSize, wchar_t* variables, StackEntry** stackTop) {
    g_plugin.stringSize = stringSize;
    g_plugin.variables = variables;
    g_plugin.stackTop = stackTop;
}

int popString(wchar_t* buffer) {
    if (!HasStack() || *g_plugin.stackTop == nullptr) return 1;
    StackEntry* top = *g_plugin.stackTop;
    if (buffer != nullptr) {
        // The entry holds string-size characters; a missing terminator must
        // not run the copy past either block.
        const size_t size = static_cast<size_t>(g_plugin.stringSize);
        std::wcsncpy(buffer, top->text, size - 1);
        buffer[size - 1] = L'\0';
    }
    *g_plugin.stackTop = top->next;
    GlobalFree(top);
    return 0;
}

void pushString(const wchar_t* text) {
    if (!HasStack()) return;
    const size_t size = static_cast<size_t>(g_plugin.stringSize);
    auto* entry = static_cast<StackEntry*>(GlobalAlloc(GPTR, size * sizeof(wchar_t) + 8));
    if (entry == nullptr) return;
    // GPTR zero-fills, so the copy is always terminated.
    std::wcsncpy(entry->text, text, size - 1);
    entry->next = *g_plugin.stackTop;
    *g_plugin.stackTop = entry;
}

std::wstring PopText() {
    if (!HasStack()) return std::wstring();
    // A zero-filled buffer as large as an entry, as the installer's own
    // plug-ins use; without one the entry is still taken off the stack so the
    // results pushed afterwards are what the script pops.
    marlin::unique_heap_ptr buffer(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, static_cast<size_t>(g_plugin.stringSize) * sizeof(wchar_t)));
    auto* text = static_cast<wchar_t*>(buffer.get());
    popString(text);
    return text != nullptr ? std::wstring(text) : std::wstring();
}

void PushNumber(long value) {
    // Wide enough for any 32-bit value: a cut number would be a wrong one.
    wchar_t text[16];
    std::swprintf(text, 16, L"%ld", value);
    pushString(text);
}

}  // namespace folderguard
