#include "core/net/ReplyWriter.h"

#include <algorithm>

#include "core/protocol/PendingReply.h"
#include "core/protocol/ResultCodes.h"
#include "core/util/FailureDetail.h"
#include "core/util/Text.h"

namespace {

// The recorded detail explains a failure. It may be the "Received" line,
// which holds delimiters: those would cut the reply in two and the client
// would take the rest for the answer to its next command.
std::wstring FailureDetail() {
    std::wstring detail = RecordedFailureDetail();
    detail.erase(std::remove(detail.begin(), detail.end(), L'|'), detail.end());
    return detail;
}

}  // namespace

namespace reply {

std::string FrameOf(const std::wstring& text) {
    size_t length = 0;
    while (length < text.size() && text[length] != L'\0') ++length;
    std::string frame(length + 1, '|');
    for (size_t i = 0; i < length; ++i) {
        const wchar_t c = text[i];
        frame[i] = static_cast<unsigned>(c) <= 0xFF ? static_cast<char>(c) : '?';
    }
    return frame;
}

std::wstring FailureText() { return L"Failure " + FailureDetail() + L" - " + CrtErrorText(); }

bool FrameFor(int result, std::string& frame) {
    switch (result) {
    case kResultSuccess:
        frame = FrameOf(L"Success " + TakePendingReply());
        return true;
    case kResultTrue:
        frame = "True|";
        return true;
    case kResultFalse:
        frame = "False|";
        return true;
    case kResultFailure:
        frame = FrameOf(FailureText());
        return true;
    case kResultSyntaxError:
        frame = FrameOf(L"SyntaxError " + FailureDetail() + L" - " + CrtErrorText());
        return true;
    default:
        return false;
    }
}

}  // namespace reply
