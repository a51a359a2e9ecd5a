// The hook library's decisions about a message, apart from the hook: what a
// hook call's four words are, and what the library does with them. The
// window facts the rules need are asked through WindowFacts, so the rules can
// be tried with any words and any answers (a 64-bit process's padding, a sent
// message that looks like a queue message) without a second process.
// Everything here runs on the hooked thread.
#pragma once

#include <windows.h>

namespace hookrules {

// The structure behind a hook's lParam read as four machine words: a MSG for
// WH_GETMESSAGE (hwnd, message, wParam, lParam), a CWPSTRUCT for
// WH_CALLWNDPROC (lParam, wParam, message, hwnd).
struct HookWords {
    UINT_PTR w0, w1, w2, w3;
};

// What the system says about the windows a message names.
class WindowFacts {
public:
    virtual ~WindowFacts() = default;
    // A window of the thread the hook runs on.
    virtual bool isWindowOfThisThread(UINT_PTR value) const = 0;
    // A window of any other thread.
    virtual bool isWindowOfAnotherThread(UINT_PTR value) const = 0;
    // The service's tablet listener window: of its class, and owned by a
    // process whose program lies in the library's own folder.
    virtual bool isTabletListenerWindow(UINT_PTR value) const = 0;
};

// A message number read from the word that holds the UINT `message` (w1 of a
// MSG, w2 of a CWPSTRUCT). In a 64-bit process that UINT fills only the low
// half of its word and the high half is padding with any content, so only the
// low 32 bits are the number; in a 32-bit process this is the whole word.
inline UINT MessageNumber(UINT_PTR word) { return static_cast<UINT>(word); }

// A CWPSTRUCT always ends with the window the message was sent to (one of
// this thread's). A message taken from the queue ends with its lParam.
bool LooksLikeQueueMessage(const HookWords& w, const WindowFacts& facts);

// w1 is a MSG's message, or a CWPSTRUCT's wParam, which fills its whole word.
// A wParam with bits above the low 32 is no message number, even when its low
// half equals one; only the queue shape may carry padding there.
bool WordIsMessageNumber(const HookWords& w, const WindowFacts& facts);

// The service's requests, WM_NULL sent to the dock window with wParam
// MSG_CONTEXT_OPEN (or MSG_CONTEXT_CLOSE, before it removes its hooks) and
// lParam its listener window, as WH_CALLWNDPROC shows them when another
// thread sent them: to a window of this thread, carrying a window of another
// thread.
bool IsRequestFromAnotherThread(const HookWords& w, const WindowFacts& facts);

// The service's session key, sent before each open request: WM_NULL to a
// window of this thread with wParam MSG_SESSION_KEY and the key as lParam,
// as WH_CALLWNDPROC shows it.
bool IsKeyRequest(const HookWords& w, const WindowFacts& facts);

enum class Action {
    None,
    CloseContext,       // WM_QUIT from the queue, or MSG_CONTEXT_CLOSE
    Forward,            // to the tablet listener window, as MessageNumber(w1) with w2 and w3
    OpenContext,        // the service's request: listener w0, dock window w3
    ForgetContext,      // the driver closed it (WT_CTXCLOSE); the next request opens a new one
};

// What the library does with a hook call; hookWParam is the hook's own
// wParam (0: a peeked queue message, or a message sent by another thread,
// of which only the service's requests are taken). Sent messages whose
// wParam happens to equal WM_QUIT or a mouse message number (WM_GETTEXT with
// a 512-character buffer, a WM_COMMAND from control 18) neither close the
// context nor reach the service as mouse input. Any desktop program can send
// the open request, so one naming a window other than the service's tablet
// listener is ignored, and so is a close request naming one. Every message not acted on costs one comparison.
Action Decide(WPARAM hookWParam, const HookWords& w, const WindowFacts& facts);

}  // namespace hookrules
