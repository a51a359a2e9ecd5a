// MarlinWinTab: the hook library. MarlinCore installs CallBackWndProc as a
// WH_CALLWNDPROC and a WH_GETMESSAGE hook on the dock's window thread, so the
// system loads this library into the dock's process. There it opens the WinTab
// context on the dock's window (so the context belongs to the dock) and
// forwards the pen and left-button messages of that thread to MarlinCore's
// tablet listener window, without waiting for the service to handle them.
// In MarlinCore's own process the library stays idle.
#include <windows.h>

#include <cwchar>

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
    bool backEndLookedUp = false;  // the listener window was looked up, or named by a request
};
HookState gHook;

using hookrules::HookWords;

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
        const HWND window = reinterpret_cast<HWND>(value);
        wchar_t name[32] = L"";
        return window != nullptr && GetClassNameW(window, name, 32) > 0 &&
               wcscmp(name, hookmsg::kTabletListenerClass) == 0;
    }
};

// Sent without waiting for the answer: the dock's thread goes back to its
// own messages at once instead of waiting while the service reads the packet
// and writes it to the pressure port (about a millisecond on a busy machine,
// more than the packet interval at a few hundred packets per second, so the
// dock's queue fell behind the pen). Still a sent message, not a posted one:
// the listener takes it ahead of its posted messages, in the order sent.
void Forward(HookState& hook, UINT message, const HookWords& w) {
    if (!hook.backEndLookedUp) {  // once, as a load would have (not in DllMain: the loader lock)
        hook.backEndWindow = FindWindowW(hookmsg::kTabletListenerClass, nullptr);
        hook.backEndLookedUp = true;
    }
    SendNotifyMessageW(hook.backEndWindow, message, static_cast<WPARAM>(w.w2), static_cast<LPARAM>(w.w3));
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
                 hook.contextOpen ? hookmsg::kContextOpened : hookmsg::kContextFailed, 0);
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
        // The window found before may be stale (a service that restarted
        // while this library stayed loaded): a valid request replaces it.
        hook.backEndWindow = reinterpret_cast<HWND>(w.w0);
        hook.backEndLookedUp = true;
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
        const hookrules::Action action = hookrules::Decide(wParam, w, SystemWindowFacts());
        if (action != hookrules::Action::None) Act(gHook, action, w);
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// The loader lock is held here: no window lookups, no calls into the driver,
// no FreeLibrary. The listener window is looked up at the first forward, and
// a context still open at unload (the service removed its hooks without a
// close request, or ended) is left to the driver, which drops the contexts of
// windows that go away; wintab32.dll stays loaded with the process.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) {
        gHook.context = nullptr;
        gHook.winTabModule.release();
    }
    return TRUE;
}
