#include "hook/MessageRules.h"

#include <cstddef>

#include "core/protocol/HookContract.h"

namespace hookrules {

static_assert(offsetof(MSG, message) == sizeof(UINT_PTR) && offsetof(MSG, lParam) == 3 * sizeof(UINT_PTR),
              "a MSG starts with four machine words");
static_assert(offsetof(CWPSTRUCT, message) == 2 * sizeof(UINT_PTR) && offsetof(CWPSTRUCT, hwnd) == 3 * sizeof(UINT_PTR),
              "a CWPSTRUCT is four machine words");

bool LooksLikeQueueMessage(const HookWords& w, const WindowFacts& facts) { return !facts.isWindowOfThisThread(w.w3); }

bool WordIsMessageNumber(const HookWords& w, const WindowFacts& facts) {
    return w.w1 == MessageNumber(w.w1) || LooksLikeQueueMessage(w, facts);
}

bool IsRequestFromAnotherThread(const HookWords& w, const WindowFacts& facts) {
    return (w.w1 == hookmsg::MSG_CONTEXT_OPEN || w.w1 == hookmsg::MSG_CONTEXT_CLOSE) && MessageNumber(w.w2) == WM_NULL &&
           facts.isWindowOfThisThread(w.w3) && w.w0 != 0 && facts.isWindowOfAnotherThread(w.w0);
}

bool IsKeyRequest(const HookWords& w, const WindowFacts& facts) {
    return w.w1 == hookmsg::MSG_SESSION_KEY && MessageNumber(w.w2) == WM_NULL && facts.isWindowOfThisThread(w.w3);
}

Action Decide(WPARAM hookWParam, const HookWords& w, const WindowFacts& facts) {
    const bool sentElsewhereOrPeeked = hookWParam == 0;
    if (sentElsewhereOrPeeked && !IsRequestFromAnotherThread(w, facts)) return Action::None;
    switch (MessageNumber(w.w1)) {
    case WM_QUIT:
        return LooksLikeQueueMessage(w, facts) ? Action::CloseContext : Action::None;
    case hookmsg::MSG_CONTEXT_CLOSE:
        if (!WordIsMessageNumber(w, facts)) return Action::None;
        return !sentElsewhereOrPeeked || facts.isTabletListenerWindow(w.w0) ? Action::CloseContext : Action::None;
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
        return LooksLikeQueueMessage(w, facts) ? Action::Forward : Action::None;
    case wintab::WT_PACKET:
    case wintab::WT_PROXIMITY:
        return WordIsMessageNumber(w, facts) ? Action::Forward : Action::None;
    case hookmsg::MSG_CONTEXT_OPEN:
        return WordIsMessageNumber(w, facts) && facts.isTabletListenerWindow(w.w0) ? Action::OpenContext
                                                                                      : Action::None;
    case wintab::WT_CTXCLOSE:
        return WordIsMessageNumber(w, facts) ? Action::ForgetContext : Action::None;
    default:
        return Action::None;
    }
}

}  // namespace hookrules
