// MarlinWinTab: the hook library. MarlinCore installs CallBackWndProc as a
// WH_CALLWNDPROC and a WH_GETMESSAGE hook on the dock's window thread, so the
// system loads this library into the dock's process. There it opens the WinTab
// context on the dock's window (so the context belongs to the dock) and
// forwards the pen and left-button messages of that thread to MarlinCore's
// tablet listener window, without waiting for the service to handle them.
// In MarlinCore's own process the library stays idle.
//
// Any program on the desktop can send the dock's window the service's
// requests, and the service's window forged input. So the library forwards
// only to a tablet listener window whose process runs a program from this
// library's own folder (the installation's folder, which only the installer
// writes): a pid or window named in a message could be anyone's, and the
// library shares no memory with the service. And it signs what it forwards
// with the session key the service gave it (see hookmsg::MSG_SESSION_KEY).
#include <windows.h>

#include <cwchar>
#include <string>

#include "core/protocol/HookContract.h"
#include "core/util/Handles.h"
#include "hook/MessageRules.h"
#include "hook/QueueSizing.h"

namespace {

// One record per process that loads the library; everything runs on the
// hooked thread (the dock's window thread).
struct HookState {
    HWND backEndWindow = nullptr;
    HWND targetWindow = nullptr;
    marlin::unique_hmodule winTabModule;
    wintab::WTInfoWFn WTInfoW = nullptr;
    wintab::WTOpenWFn WTOpenW = nullptr;
    wintab::WTCloseFn WTClose = nullptr;
    wintab::WTEnableFn WTEnable = nullptr;
    wintab::WTQueueSizeGetFn WTQueueSizeGet = nullptr;  // optional: not every driver offers them
    wintab::WTQueueSizeSetFn WTQueueSizeSet = nullptr;
    wintab::HCTX context = nullptr;
    bool contextOpen = false;
    HMODULE self = nullptr;       // this library
    HWND checkedWindow = nullptr;  // the listener window last found to be the service's
    LPARAM sessionKey = 0;         // 0: none yet, nothing the service cannot check is forwarded
};
HookState gHook;

using hookrules::HookWords;

// A path's folder, long form, for comparison.
std::wstring FolderOf(const wchar_t* path) {
    wchar_t full[MAX_PATH * 2] = L"";
    const DWORD length = GetLongPathNameW(path, full, MAX_PATH * 2);
    std::wstring folder = length > 0 && length < MAX_PATH * 2 ? full : path;
    const size_t slash = folder.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : folder.substr(0, slash + 1);
}

// The program file of a process: with limited query rights where the system
// has QueryFullProcessImageNameW (Vista and later; enough for a service of
// higher integrity), else through the process's module list (Windows XP).
std::wstring ProgramOf(DWORD processId) {
    using QueryImageFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
    using ModuleNameFn = DWORD(WINAPI*)(HANDLE, HMODULE, LPWSTR, DWORD);
    const auto query = wintab::Resolve<QueryImageFn>(GetModuleHandleW(L"kernel32.dll"), "QueryFullProcessImageNameW");
    wchar_t image[MAX_PATH * 2] = L"";
    if (query != nullptr) {
        constexpr DWORD kQueryLimitedInformation = 0x1000;
        marlin::unique_handle process(OpenProcess(kQueryLimitedInformation, FALSE, processId));
        DWORD size = MAX_PATH * 2;
        if (process && query(process.get(), 0, image, &size)) return image;
        return std::wstring();
    }
    marlin::unique_hmodule psapi(LoadLibraryW(L"psapi.dll"));
    const auto moduleName =
        psapi ? wintab::Resolve<ModuleNameFn>(psapi.get(), "GetModuleFileNameExW") : nullptr;
    marlin::unique_handle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId));
    if (moduleName != nullptr && process && moduleName(process.get(), nullptr, image, MAX_PATH * 2) > 0) return image;
    return std::wstring();
}

// The service's tablet listener window: of that class, and owned by a
// process whose program lies in this library's folder.
bool IsServiceListenerWindow(HWND window) {
    wchar_t name[32] = L"";
    if (window == nullptr || GetClassNameW(window, name, 32) == 0 || wcscmp(name, hookmsg::kTabletListenerClass) != 0)
        return false;
    if (window == gHook.checkedWindow) return true;
    DWORD owner = 0;
    if (GetWindowThreadProcessId(window, &owner) == 0 || owner == 0) return false;
    wchar_t library[MAX_PATH * 2] = L"";
    const DWORD length = GetModuleFileNameW(gHook.self, library, MAX_PATH * 2);
    if (length == 0 || length >= MAX_PATH * 2) return false;
    const std::wstring program = ProgramOf(owner);
    if (program.empty()) return false;
    const std::wstring ours = FolderOf(library);
    if (ours.empty() || _wcsicmp(FolderOf(program.c_str()).c_str(), ours.c_str()) != 0) return false;
    gHook.checkedWindow = window;
    return true;
}

// The rules' window facts, asked of the system.
class SystemWindowFacts : public hookrules::WindowFacts {
public:
    bool isWindowOfThisThread(UINT_PTR value) const override {
        const HWND window = reinterpret_cast<HWND>(value);
        return window != nullptr && IsWindow(window) && GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
    }
    bool isWindowOfAnotherThread(UINT_PTR value) const override {
        const HWND window = reinterpret_cast<HWND>(value);
        return window != nullptr && IsWindow(window) && GetWindowThreadProcessId(window, nullptr) != GetCurrentThreadId();
    }
    bool isTabletListenerWindow(UINT_PTR value) const override {
        return IsServiceListenerWindow(reinterpret_cast<HWND>(value));
    }
};

// Sent without waiting for the answer: the dock's thread goes back to its
// own messages at once instead of waiting while the service reads the packet
// and writes it to the pressure port (about a millisecond on a busy machine,
// more than the packet interval at a few hundred packets per second, so the
// dock's queue fell behind the pen). Still a sent message, not a posted one:
// the listener takes it ahead of its posted messages, in the order sent.
//
// Mouse messages and proximity carry the session key in lParam (the service
// reads the pointer itself and of proximity only whether the pen enters), so
// a program without the key cannot make the service take them.
void Forward(HookState& hook, UINT message, const HookWords& w) {
    if (hook.backEndWindow == nullptr) return;  // no request from the service yet
    LPARAM lParam = static_cast<LPARAM>(w.w3);
    if (message == wintab::WT_PROXIMITY) {
        lParam = hook.sessionKey | (LOWORD(w.w3) != 0 ? hookmsg::kProximityEntering : 0);
    } else if (message != wintab::WT_PACKET) {
        lParam = hook.sessionKey;
    }
    if (message != wintab::WT_PACKET && hook.sessionKey == 0) return;
    SendNotifyMessageW(hook.backEndWindow, message, static_cast<WPARAM>(w.w2), lParam);
}

bool TargetWindowIsInThisProcess(const HookState& hook) {
    DWORD owner = 0;
    return hook.targetWindow != nullptr && GetWindowThreadProcessId(hook.targetWindow, &owner) != 0 &&
           owner == GetCurrentProcessId();
}

void CloseContext(HookState& hook) {
    // The copy inside MarlinCore, or one that never got a request, owns no context.
    if (!TargetWindowIsInThisProcess(hook)) hook.context = nullptr;
    if (hook.context != nullptr && hook.WTClose != nullptr) hook.WTClose(hook.context);
    hook.context = nullptr;
    hook.winTabModule.reset();
    hook.WTInfoW = nullptr;
    hook.WTOpenW = nullptr;
    hook.WTClose = nullptr;
    hook.WTEnable = nullptr;
    hook.WTQueueSizeGet = nullptr;
    hook.WTQueueSizeSet = nullptr;
    hook.contextOpen = false;
}

// The default digitizing context, turned into the one the service reads:
// 24-byte absolute packets with status, cursor, buttons, position and pressure.
bool OpenContext(HookState& hook) {
    wintab::LOGCONTEXTW lc;
    ZeroMemory(&lc, sizeof(lc));
    hook.WTInfoW(wintab::WTI_DEFCONTEXT, wintab::CTX_ALL, &lc);
    wcsncpy(lc.lcName, L"Marlin Test", wintab::LCNAMELEN);
    lc.lcName[wintab::LCNAMELEN - 1] = L'\0';
    lc.lcOptions |= wintab::CXO_SYSTEM | wintab::CXO_MESSAGES | wintab::CXO_CSRMESSAGES;
    lc.lcMsgBase = wintab::WT_DEFBASE;
    lc.lcPktData = wintab::kPacketData;
    lc.lcPktMode = 0;
    lc.lcPktRate = 133;
    lc.lcMoveMask = wintab::kPacketData;
    lc.lcBtnUpMask = lc.lcBtnDnMask;
    hook.context = hook.WTOpenW(hook.targetWindow, &lc, TRUE);
    if (hook.context == nullptr) return false;
    queuesizing::EnlargeQueue(hook.context, hook.WTQueueSizeGet, hook.WTQueueSizeSet);
    return true;
}

bool OpenOrEnable(HookState& hook) {
    if (hook.contextOpen) {
        if (hook.context != nullptr) {
            if (hook.WTEnable(hook.context, TRUE)) return true;
            hook.WTClose(hook.context);
            hook.context = nullptr;
        }
        hook.contextOpen = OpenContext(hook);
        if (hook.contextOpen) return true;
        CloseContext(hook);
    }
    hook.winTabModule.reset(LoadLibraryW(L"wintab32.dll"));
    if (!hook.winTabModule) return false;
    HMODULE m = hook.winTabModule.get();
    hook.WTInfoW = wintab::Resolve<wintab::WTInfoWFn>(m, "WTInfoW");
    hook.WTOpenW = wintab::Resolve<wintab::WTOpenWFn>(m, "WTOpenW");
    hook.WTClose = wintab::Resolve<wintab::WTCloseFn>(m, "WTClose");
    hook.WTEnable = wintab::Resolve<wintab::WTEnableFn>(m, "WTEnable");
    hook.WTQueueSizeGet = wintab::Resolve<wintab::WTQueueSizeGetFn>(m, "WTQueueSizeGet");
    hook.WTQueueSizeSet = wintab::Resolve<wintab::WTQueueSizeSetFn>(m, "WTQueueSizeSet");
    if (!hook.WTInfoW || !hook.WTOpenW || !hook.WTClose || !hook.WTEnable) {
        CloseContext(hook);
        return false;
    }
    hook.contextOpen = OpenContext(hook);
    SendMessageW(hook.backEndWindow, hookmsg::MSG_CONTEXT_RESULT,
                 hook.contextOpen ? hookmsg::kContextOpened : hookmsg::kContextFailed, hook.sessionKey);
    return hook.contextOpen;
}

void Act(HookState& hook, hookrules::Action action, const HookWords& w) {
    switch (action) {
    case hookrules::Action::CloseContext:
        CloseContext(hook);
        break;
    case hookrules::Action::Forward:
        Forward(hook, hookrules::MessageNumber(w.w1), w);
        break;
    case hookrules::Action::OpenContext:
        // A service that restarted while this library stayed loaded names
        // its new window: a valid request replaces the old one.
        hook.backEndWindow = reinterpret_cast<HWND>(w.w0);
        hook.targetWindow = reinterpret_cast<HWND>(w.w3);
        OpenOrEnable(hook);
        break;
    case hookrules::Action::ForgetContext:
        hook.context = nullptr;
        break;
    case hookrules::Action::None:
        break;
    }
}

}  // namespace

extern "C" LRESULT CALLBACK CallBackWndProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && lParam != 0) {
        const HookWords& w = *reinterpret_cast<const HookWords*>(lParam);
        const SystemWindowFacts facts;
        if (hookrules::IsKeyRequest(w, facts)) {
            // Anyone can send one: a wrong key only makes the service ignore
            // what is forwarded until its next request, which brings the right one.
            gHook.sessionKey = static_cast<LPARAM>(w.w0);
        } else {
            const hookrules::Action action = hookrules::Decide(wParam, w, facts);
            if (action != hookrules::Action::None) Act(gHook, action, w);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The loader lock is held here: no window lookups, no calls into the driver,
// no FreeLibrary. No window is looked up by its class at all (any program
// can make one): the service's request names its window, checked then. A
// context still open at unload (the service removed its hooks without a
// close request, or ended) is left to the driver, which drops the contexts of
// windows that go away; wintab32.dll stays loaded with the process.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) gHook.self = instance;
    if (reason == DLL_PROCESS_DETACH) {
        gHook.context = nullptr;
        gHook.winTabModule.release();
    }
    return TRUE;
}
