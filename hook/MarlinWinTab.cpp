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

#include <cstddef>
#include <cwchar>
#include <string>

#include "core/tablet/WinTab.h"
#include "hook/QueueSizing.h"
#include "core/util/Handles.h"

namespace {

const wchar_t kTabletListenerClass[] = L"MarlinWTHookQ";

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

// The structure behind a hook's lParam read as four machine words: a MSG for
// WH_GETMESSAGE (hwnd, message, wParam, lParam), a CWPSTRUCT for
// WH_CALLWNDPROC (lParam, wParam, message, hwnd).
struct HookWords {
    UINT_PTR w0, w1, w2, w3;
};
static_assert(offsetof(MSG, message) == sizeof(UINT_PTR) && offsetof(MSG, lParam) == 3 * sizeof(UINT_PTR),
              "a MSG starts with four machine words");
static_assert(offsetof(CWPSTRUCT, message) == 2 * sizeof(UINT_PTR) && offsetof(CWPSTRUCT, hwnd) == 3 * sizeof(UINT_PTR),
              "a CWPSTRUCT is four machine words");

// A message number read from the word that holds the UINT `message` (w1 of a
// MSG, w2 of a CWPSTRUCT). In a 64-bit process that UINT fills only the low
// half of its word and the high half is padding with any content, so only the
// low 32 bits are the number; in a 32-bit process this is the whole word.
UINT MessageNumber(UINT_PTR word) { return static_cast<UINT>(word); }

bool IsWindowOfThisThread(UINT_PTR value) {
    const HWND window = reinterpret_cast<HWND>(value);
    return window != nullptr && IsWindow(window) && GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId();
}

// The service's request, WM_NULL sent to the dock window with wParam
// MSG_CONTEXT_OPEN and lParam its listener window, as WH_CALLWNDPROC shows it.
// The hook's wParam says whether the current thread sent the message, so a
// request from MarlinCore's process comes with 0; it is recognised by its
// shape instead: the message is sent to a window of this thread and carries a
// window of another thread.
bool IsOpenRequestFromAnotherThread(const HookWords& w) {
    const HWND carried = reinterpret_cast<HWND>(w.w0);
    return w.w1 == hookmsg::MSG_CONTEXT_OPEN && MessageNumber(w.w2) == WM_NULL && IsWindowOfThisThread(w.w3) &&
           carried != nullptr && IsWindow(carried) &&
           GetWindowThreadProcessId(carried, nullptr) != GetCurrentThreadId();
}

// A CWPSTRUCT always ends with the window the message was sent to (one of
// this thread's). A message taken from the queue ends with its lParam. Sent
// messages whose wParam happens to equal WM_QUIT or a mouse message number
// (WM_GETTEXT with a 512-character buffer, a WM_COMMAND from control 18) must
// neither close the context nor reach the service as mouse input.
bool LooksLikeQueueMessage(const HookWords& w) { return !IsWindowOfThisThread(w.w3); }

// w1 is a MSG's message, or a CWPSTRUCT's wParam, which fills its whole word.
// A wParam with bits above the low 32 is no message number, even when its low
// half equals one; only the queue shape may carry padding there. Always true
// in a 32-bit process. Asked only for the numbers acted on, so every other
// message still costs one comparison.
bool WordIsMessageNumber(const HookWords& w) { return w.w1 == MessageNumber(w.w1) || LooksLikeQueueMessage(w); }

// The key request, WM_NULL with wParam MSG_SESSION_KEY sent to a window of
// this thread, as WH_CALLWNDPROC shows it.
bool IsKeyRequest(const HookWords& w) {
    return w.w1 == hookmsg::MSG_SESSION_KEY && MessageNumber(w.w2) == WM_NULL && IsWindowOfThisThread(w.w3);
}

bool IsTabletListenerWindow(HWND window) {
    wchar_t name[32] = L"";
    return window != nullptr && GetClassNameW(window, name, 32) > 0 && wcscmp(name, kTabletListenerClass) == 0;
}

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
    if (!IsTabletListenerWindow(window)) return false;
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

// Sent without waiting for the answer: the dock's thread goes back to its
// own messages at once instead of waiting while the service reads the packet
// and writes it to the pressure port (about a millisecond on a busy machine,
// more than the packet interval at a few hundred packets per second, so the
// dock's queue fell behind the pen). Still a sent message, not a posted one:
// the listener takes it ahead of its posted messages, in the order sent.
// Mouse messages and proximity carry the session key in lParam (the service
// reads the pointer itself and of proximity only whether the pen enters), so
// a program without the key cannot make the service take them.
void Forward(UINT message, const HookWords& w) {
    if (gHook.backEndWindow == nullptr) return;  // no request from the service yet
    LPARAM lParam = static_cast<LPARAM>(w.w3);
    if (message == wintab::WT_PROXIMITY) {
        lParam = gHook.sessionKey | (LOWORD(w.w3) != 0 ? hookmsg::kProximityEntering : 0);
    } else if (message != wintab::WT_PACKET) {
        lParam = gHook.sessionKey;
    }
    if (message != wintab::WT_PACKET && gHook.sessionKey == 0) return;
    SendNotifyMessageW(gHook.backEndWindow, message, static_cast<WPARAM>(w.w2), lParam);
}

bool TargetWindowIsInThisProcess() {
    DWORD owner = 0;
    return gHook.targetWindow != nullptr && GetWindowThreadProcessId(gHook.targetWindow, &owner) != 0 &&
           owner == GetCurrentProcessId();
}

void CloseContext() {
    // The copy inside MarlinCore, or one that never got a request, owns no context.
    if (!TargetWindowIsInThisProcess()) gHook.context = nullptr;
    if (gHook.context != nullptr && gHook.WTClose != nullptr) gHook.WTClose(gHook.context);
    gHook.context = nullptr;
    gHook.winTabModule.reset();
    gHook.WTInfoW = nullptr;
    gHook.WTOpenW = nullptr;
    gHook.WTClose = nullptr;
    gHook.WTEnable = nullptr;
    gHook.WTQueueSizeGet = nullptr;
    gHook.WTQueueSizeSet = nullptr;
    gHook.contextOpen = false;
}

// The default digitizing context, turned into the one the service reads:
// 24-byte absolute packets with status, cursor, buttons, position and pressure.
bool OpenContext() {
    wintab::LOGCONTEXTW lc;
    ZeroMemory(&lc, sizeof(lc));
    gHook.WTInfoW(wintab::WTI_DEFCONTEXT, wintab::CTX_ALL, &lc);
    wcsncpy(lc.lcName, L"Marlin Test", wintab::LCNAMELEN);
    lc.lcName[wintab::LCNAMELEN - 1] = L'\0';
    lc.lcOptions |= wintab::CXO_SYSTEM | wintab::CXO_MESSAGES | wintab::CXO_CSRMESSAGES;
    lc.lcMsgBase = wintab::WT_DEFBASE;
    lc.lcPktData = wintab::kPacketData;
    lc.lcPktMode = 0;
    lc.lcPktRate = 133;
    lc.lcMoveMask = wintab::kPacketData;
    lc.lcBtnUpMask = lc.lcBtnDnMask;
    gHook.context = gHook.WTOpenW(gHook.targetWindow, &lc, TRUE);
    if (gHook.context == nullptr) return false;
    queuesizing::EnlargeQueue(gHook.context, gHook.WTQueueSizeGet, gHook.WTQueueSizeSet);
    return true;
}

bool OpenOrEnable() {
    if (gHook.contextOpen) {
        if (gHook.context != nullptr) {
            if (gHook.WTEnable(gHook.context, TRUE)) return true;
            gHook.WTClose(gHook.context);
            gHook.context = nullptr;
        }
        gHook.contextOpen = OpenContext();
        if (gHook.contextOpen) return true;
        CloseContext();
    }
    gHook.winTabModule.reset(LoadLibraryW(L"wintab32.dll"));
    if (!gHook.winTabModule) return false;
    HMODULE m = gHook.winTabModule.get();
    gHook.WTInfoW = wintab::Resolve<wintab::WTInfoWFn>(m, "WTInfoW");
    gHook.WTOpenW = wintab::Resolve<wintab::WTOpenWFn>(m, "WTOpenW");
    gHook.WTClose = wintab::Resolve<wintab::WTCloseFn>(m, "WTClose");
    gHook.WTEnable = wintab::Resolve<wintab::WTEnableFn>(m, "WTEnable");
    gHook.WTQueueSizeGet = wintab::Resolve<wintab::WTQueueSizeGetFn>(m, "WTQueueSizeGet");
    gHook.WTQueueSizeSet = wintab::Resolve<wintab::WTQueueSizeSetFn>(m, "WTQueueSizeSet");
    if (!gHook.WTInfoW || !gHook.WTOpenW || !gHook.WTClose || !gHook.WTEnable) {
        CloseContext();
        return false;
    }
    gHook.contextOpen = OpenContext();
    SendMessageW(gHook.backEndWindow, hookmsg::MSG_CONTEXT_RESULT,
                 gHook.contextOpen ? hookmsg::kContextOpened : hookmsg::kContextFailed, gHook.sessionKey);
    return gHook.contextOpen;
}

void Act(const HookWords& w) {
    const UINT message = MessageNumber(w.w1);
    switch (message) {
    case WM_QUIT:
        if (LooksLikeQueueMessage(w)) CloseContext();
        break;
    case hookmsg::MSG_CONTEXT_CLOSE:
        if (WordIsMessageNumber(w)) CloseContext();
        break;
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
        if (LooksLikeQueueMessage(w)) Forward(message, w);
        break;
    case wintab::WT_PACKET:
    case wintab::WT_PROXIMITY:
        if (WordIsMessageNumber(w)) Forward(message, w);
        break;
    case hookmsg::MSG_CONTEXT_OPEN:
        // Any desktop program can send this request; pen packets go only to
        // the service's tablet listener window, so one naming another window
        // (even one of that class) is ignored. A service that restarted while
        // this library stayed loaded names its new window: a valid request
        // replaces the old one.
        if (!WordIsMessageNumber(w) || !IsServiceListenerWindow(reinterpret_cast<HWND>(w.w0))) break;
        gHook.backEndWindow = reinterpret_cast<HWND>(w.w0);
        gHook.targetWindow = reinterpret_cast<HWND>(w.w3);
        OpenOrEnable();
        break;
    case wintab::WT_CTXCLOSE:
        // The driver closed it; the next request opens a new one.
        if (WordIsMessageNumber(w)) gHook.context = nullptr;
        break;
    default:
        break;
    }
}

}  // namespace

extern "C" LRESULT CALLBACK CallBackWndProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code == HC_ACTION && lParam != 0) {
        const HookWords& w = *reinterpret_cast<const HookWords*>(lParam);
        // wParam 0: a peeked (not removed) queue message, or a message sent by
        // another thread; only the service's open request is taken from those.
        if (IsKeyRequest(w)) {
            // Anyone can send one: a wrong key only makes the service ignore
            // what is forwarded until its next request, which brings the right one.
            gHook.sessionKey = static_cast<LPARAM>(w.w0);
        } else if (wParam != 0 || IsOpenRequestFromAnotherThread(w)) {
            Act(w);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        // No window is looked up by its class here: any program can make one.
        // The service's request names its window, which is checked then.
        gHook.self = instance;
    } else if (reason == DLL_PROCESS_DETACH) {
        if (reserved == nullptr) {
            CloseContext();  // unloaded (hooks removed): give the context back
        } else {
            gHook.winTabModule.release();  // the process is ending: the driver may be gone already
        }
    }
    return TRUE;
}
