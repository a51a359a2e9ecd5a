// Calls Folderguard.dll as the installer does: loaded from the build's bin
// folder, given a string stack built with the installer's own layout
// (GlobalAlloc'd entries: next pointer, then string-size UTF-16 characters).
#pragma once

#include "core/util/Handles.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace harness {

struct Entry {
    Entry* next;
    wchar_t text[1];
};
using PluginCall = void (*)(HWND, int, wchar_t*, Entry**);

// GetProcAddress's result as the function type it really has.
template <typename Function>
Function Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

class InstallerStack {
public:
    explicit InstallerStack(int stringSize = 1024) : size_(stringSize), variables_(stringSize * 25) {}
    ~InstallerStack() {
        std::wstring ignored;
        while (Pop(ignored)) {}
    }
    void Push(const std::wstring& text) {
        auto* entry = static_cast<Entry*>(GlobalAlloc(GPTR, sizeof(Entry) + size_ * sizeof(wchar_t)));
        lstrcpynW(entry->text, text.c_str(), size_);
        entry->next = top_;
        top_ = entry;
    }
    bool Pop(std::wstring& text) {
        if (top_ == nullptr) return false;
        Entry* entry = top_;
        text = entry->text;
        top_ = entry->next;
        GlobalFree(entry);
        return true;
    }
    std::vector<std::wstring> PopAll() {
        std::vector<std::wstring> all;
        for (std::wstring text; Pop(text);) all.push_back(text);
        return all;
    }
    void Call(PluginCall function) { CallWithSize(function, size_); }
    void CallWithSize(PluginCall function, int stringSize) { function(nullptr, stringSize, variables_.data(), &top_); }

private:
    int size_;
    std::vector<wchar_t> variables_;
    Entry* top_ = nullptr;
};

// A file in MARLIN_BIN_DIR, which holds a host path: Wine names it as a DOS path.
inline std::wstring BinFile(const std::wstring& name) {
    const char* dir = std::getenv("MARLIN_BIN_DIR");
    std::string hostPath = std::string(dir != nullptr ? dir : ".") + "/";
    using ToDos = wchar_t* (*)(const char*);
    auto toDos = Lookup<ToDos>(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name");
    if (wchar_t* dos = toDos != nullptr ? toDos(hostPath.c_str()) : nullptr) {
        std::wstring path(dos);
        HeapFree(GetProcessHeap(), 0, dos);
        return path + name;
    }
    return std::wstring(hostPath.begin(), hostPath.end()) + name;
}

struct Plugin {
    marlin::unique_hmodule module{LoadLibraryW(BinFile(L"Folderguard.dll").c_str())};
    PluginCall isPublicFolder = Find("IsPublicFolder");
    PluginCall removeFolder = Find("RemoveFolder");

    PluginCall Find(const char* name) const {
        return module ? Lookup<PluginCall>(module.get(), name) : nullptr;
    }
};

}  // namespace harness
