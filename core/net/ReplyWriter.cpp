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

// Appends text as Latin-1 (a code unit above 0xFF becomes '?') up to its
// first NUL, where the frame's text ends.
void AppendLatin1(std::string& frame, const wchar_t* text, size_t size) {
    size_t length = 0;
    while (length < size && text[length] != L'\0') ++length;
    const size_t at = frame.size();
    frame.resize(at + length);
    for (size_t i = 0; i < length; ++i) frame[at + i] = ToLatin1(text[i]);
}

}  // namespace

namespace reply {

std::string FrameOf(const std::wstring& text) {
    std::string frame;
    frame.reserve(text.size() + 1);
    AppendLatin1(frame, text.data(), text.size());
    frame.push_back('|');
    return frame;
}

std::wstring FailureText() { return L"Failure " + FailureDetail() + L" - " + CrtErrorText(); }

bool FrameFor(int result, std::string& frame) {
    switch (result) {
    case kResultSuccess: {
        // Framed in place: the most common reply costs no text of its own.
        static const wchar_t kSuccess[] = L"Success ";
        frame.clear();
        AppendLatin1(frame, kSuccess, sizeof(kSuccess) / sizeof(kSuccess[0]) - 1);
        TakePendingReply([&frame](const std::wstring& text) { AppendLatin1(frame, text.data(), text.size()); });
        frame.push_back('|');
        return true;
    }
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
