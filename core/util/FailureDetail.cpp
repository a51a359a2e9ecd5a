#include "core/util/FailureDetail.h"

#include <windows.h>

#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

thread_local std::wstring tFailureDetail;

}  // namespace

void RecordFailureDetail(const std::wstring& text) { tFailureDetail = text; }

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
