#include "core/util/FailureDetail.h"

#include <windows.h>

#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

thread_local std::wstring tFailureDetail;

}  // namespace

void RecordFailureDetail(const std::wstring& text) { tFailureDetail = text; }

const std::wstring& RecordFailureDetail(const std::wstring& prefix, const std::wstring& text) {
    std::wstring& detail = tFailureDetail;
    detail.assign(prefix);
    detail.append(text);
    return detail;
}

void LogFailureDetail(const std::wstring& text) {
    tFailureDetail = text;
    LogMessage(text);
}

void LogFailureDetail(const std::string& text) { LogFailureDetail(Widen(text)); }

void LogFailureSystemError(const std::wstring& callName) {
    LogFailureDetail(SystemErrorText(callName, GetLastError()));
}

std::wstring RecordedFailureDetail() { return tFailureDetail; }

void ResetFailureDetail() { tFailureDetail.clear(); }
