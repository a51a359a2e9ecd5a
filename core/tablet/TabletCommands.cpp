#include "core/tablet/TabletCommands.h"

#include <shlobj.h>

#include <cstdio>
#include <utility>
#include <vector>

#include "core/net/PressureServer.h"
#include "core/platform/UserPaths.h"
#include "core/protocol/CommandParsing.h"
#include "core/protocol/HookContract.h"
#include "core/protocol/PendingReply.h"
#include "core/protocol/ResultCodes.h"
#include "core/tablet/TabletSession.h"
#include "core/util/FailureDetail.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

const wchar_t kDockWindowClass[] = L"ApolloRuntimeContentWindow";

HWND FindDockWindow(const std::wstring& title) { return FindWindowW(kDockWindowClass, title.c_str()); }

using Tokens = std::vector<std::wstring>;

// Who asks, as the pressure port knows it.
struct Caller {
    bool hooksHeld;  // an authorized client holds the pen stream, and this one has not authorized
};

bool RefuseHooks(const Caller& caller) {
    if (!caller.hooksHeld) return false;
    LogFailureDetail(std::string("Tablet hooks belong to the authorized client holding the pen stream"));
    return true;
}

int ListenTablet(TabletSession& session, const Tokens& tokens, const Caller& caller) {
    if (!CheckArgumentCount(tokens.size(), 2)) return kResultSyntaxError;
    if (RefuseHooks(caller)) return kResultFailure;
    startDelayedTabletStart(session);  // WinTab is loaded even when the window is not found
    return hookWindowByTitle(session, tokens[1]) ? kResultSuccess : kResultFailure;
}

int StopListenTablet(TabletSession& session, const Tokens& tokens, const Caller& caller) {
    if (!CheckArgumentCount(tokens.size(), 2)) return kResultSyntaxError;
    if (RefuseHooks(caller)) return kResultFailure;
    return unhookWindowByTitle(session, tokens[1]) ? kResultSuccess : kResultFailure;
}

int StartTablet(TabletSession&, const Tokens&, const Caller&) {
    LogMessage(std::string("Sending pressure started"));
    return kResultStartPressure;
}

int StopTablet(TabletSession&, const Tokens&, const Caller&) {
    LogMessage(std::string("Sending pressure stopped"));
    return kResultStopPressure;
}

int GetDriverVersion(TabletSession&, const Tokens&, const Caller&) {
    SetPendingReply(L"DriverVersion=" + readDriverVersion());
    return kResultSuccess;
}

struct TabletCommand {
    const char* word;
    int (*action)(TabletSession& session, const Tokens& tokens, const Caller& caller);
};

// Tested in this order with the prefix test: the first word that begins the
// command word runs (a wrong count answers at once, without trying the rest).
constexpr TabletCommand kTabletCommands[] = {
    {"listenTablet", ListenTablet},   {"stopListenTablet", StopListenTablet},
    {"startTablet", StartTablet},     {"stopTablet", StopTablet},
    {"getDriverVersion", GetDriverVersion},
};

}  // namespace

std::vector<std::string> TabletCommandWords() {
    std::vector<std::string> words;
    for (const TabletCommand& command : kTabletCommands) words.push_back(command.word);
    return words;
}

bool HooksHeldAgainst(bool streamHeldByAuthorizedClient, bool callerAuthorized) {
    return streamHeldByAuthorizedClient && !callerAuthorized;
}

int handleTabletCommand(TabletSession& session, const std::wstring& message, const PressureServer& pressure,
                        SOCKET client) {
    const SOCKET holder = pressure.streamClient();
    const Caller caller{
        HooksHeldAgainst(holder != INVALID_SOCKET && pressure.isAuthorized(holder), pressure.isAuthorized(client))};
    const Tokens tokens = TokenizeCommand(message);
    if (tokens.empty()) {
        LogFailureDetail(std::string("No command found."));
        return kResultSyntaxError;
    }
    for (const TabletCommand& command : kTabletCommands) {
        if (IsCommand(command.word, tokens[0])) return command.action(session, tokens, caller);
    }
    LogFailureDetail(std::string("Unknown command"));
    return kResultSyntaxError;
}

bool hookWindowByTitle(TabletSession& session, const std::wstring& title) {
    const HWND window = FindDockWindow(title);
    if (window == nullptr) {
        LogFailureDetail(std::string("Unable to find window!"));
        return false;
    }
    LogMessage(std::string("Window found!"));
    return installHook(session, window);
}

bool unhookWindowByTitle(TabletSession& session, const std::wstring& title) {
    const HWND window = FindDockWindow(title);
    if (window == nullptr) {
        LogFailureDetail(std::string("Unable to find window!"));
        return false;
    }
    return removeHook(session, window);
}

bool installHook(TabletSession& session, HWND window) {
    LogMessage(std::string("Installing hook"));
    const DWORD threadId = GetWindowThreadProcessId(window, nullptr);
    if (threadId == 0) {
        LogFailureDetail(std::string("Hook: Can't find target process"));
        return false;
    }
    marlin::unique_hmodule module(LoadLibraryW(L"MarlinWinTab.dll"));
    if (!module) {
        LogFailureDetail(std::string("Hook: Can't find hook dll"));
        return false;
    }
    const auto procedure = wintab::Resolve<HOOKPROC>(module.get(), "CallBackWndProc");
    if (procedure == nullptr) {
        LogFailureDetail(std::string("Hook: Can't find callback"));
        return false;
    }
    // Messages sent to the dock's windows (the context request) and messages
    // it takes from its queue (pen packets, mouse input) pass the same procedure.
    HookedWindow hooks;
    hooks.callWndProcHook.reset(SetWindowsHookExW(WH_CALLWNDPROC, procedure, module.get(), threadId));
    hooks.getMessageHook.reset(SetWindowsHookExW(WH_GETMESSAGE, procedure, module.get(), threadId));
    if (!hooks.callWndProcHook || !hooks.getMessageHook) {
        LogFailureDetail(std::string("Hook: Can't install hook"));
        return false;  // a hook that did install is removed with the pair
    }
    storeHookModule(session, std::move(module));
    addHookedWindow(session, window, std::move(hooks));
    return true;
}

std::wstring readDriverVersion() { return readDriverVersionOf(GetSpecialFolder(CSIDL_SYSTEM) + L"\\Stylus_Pad.dll"); }

std::wstring readDriverVersionOf(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return L"none";
    std::vector<BYTE> buffer(size);
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (!GetFileVersionInfoW(path.c_str(), 0, size, buffer.data()) ||
        !VerQueryValueW(buffer.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) || info == nullptr ||
        infoSize < sizeof(VS_FIXEDFILEINFO))
        return L"none";
    const DWORD ms = info->dwFileVersionMS;
    const DWORD ls = info->dwFileVersionLS;
    printf("Higher: %lx\n", static_cast<unsigned long>(ms));
    printf("Lower: %lx\n", static_cast<unsigned long>(ls));
    printf("Version: %d.%d.%d.%d\n", HIWORD(ms), LOWORD(ms), HIWORD(ls), LOWORD(ls));
    // The last separator is a hyphen: 5.2.5.2 is reported as 5.2.5-2.
    return ToWideString(HIWORD(ms)) + L"." + ToWideString(LOWORD(ms)) + L"." + ToWideString(HIWORD(ls)) + L"-" +
           ToWideString(LOWORD(ls));
}
