// A session log of the test's own: USERPROFILE points at a fresh folder that
// holds an empty marlinLog.txt (inherited by programs the test starts), and
// the log of this process starts from its first state.
#pragma once

#include <windows.h>

#include <string>

#include "core/util/Log.h"
#include "core/util/LogTesting.h"
#include "tests/support/TestFiles.h"

namespace testsupport {

class TestLog {
public:
    explicit TestLog(const std::wstring& tag) : folder_(MakeTempFolder(tag)), path_(folder_ + L"\\marlinLog.txt") {
        SetEnvironmentVariableW(L"USERPROFILE", folder_.c_str());
        ResetFileLogState();
        Clear();
    }
    ~TestLog() { DeinitFileLog(); }
    TestLog(const TestLog&) = delete;
    TestLog& operator=(const TestLog&) = delete;

    std::string Read() const { return ReadBytes(path_); }
    void Clear() const { WriteBytes(path_, ""); }
    const std::wstring& folder() const { return folder_; }

private:
    std::wstring folder_;
    std::wstring path_;
};

}  // namespace testsupport
