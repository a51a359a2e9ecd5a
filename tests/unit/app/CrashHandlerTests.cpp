// The crash handlers and the hot restart, run in CrashProbe.exe (a GUI
// program like the service) so that a crash ends that process, not the test.
#include <winsock2.h>  // before windows.h, which gtest includes
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/TestLog.h"

namespace {

// Each test gets a profile folder of its own with an empty log file, so the
// probe's log lines can be read back.
class CrashProbe : public ::testing::Test {
protected:
    // Runs CrashProbe.exe with the arguments; its exit code, or -1 when it
    // did not end within a minute (a hang).
    int Run(const std::wstring& arguments) {
        std::wstring line = L"\"" + testsupport::BinDir() + L"\\CrashProbe.exe\" " + arguments;
        STARTUPINFOW startup = {};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process = {};
        if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
            ADD_FAILURE() << "CrashProbe.exe did not start: " << GetLastError();
            return -2;
        }
        CloseHandle(process.hThread);
        DWORD code = static_cast<DWORD>(-1);
        if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
            GetExitCodeProcess(process.hProcess, &code);
        } else {
            TerminateProcess(process.hProcess, 99);
        }
        CloseHandle(process.hProcess);
        return static_cast<int>(code);
    }

    std::string Log() { return log_.Read(); }

    testsupport::TestLog log_{L"marlin-crash"};
};

}  // namespace

TEST_F(CrashProbe, FatalSignalsLeaveTwoEntriesAndExitCodeOne) {
    const struct {
        const wchar_t* argument;
        int signal;
    } cases[] = {{L"abort", 22}, {L"segv", 11}, {L"sigint", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.signal);
        log_.Clear();
        EXPECT_EQ(Run(c.argument), 1);
        const std::string log = Log();
        const std::string first = "[CRASH] Program terminated unexpectedly. Signal: " + std::to_string(c.signal);
        const size_t at = log.find(first);
        ASSERT_NE(at, std::string::npos) << log;
        EXPECT_NE(log.find("Call to [CRASH], returned error: ", at), std::string::npos) << log;
    }
}

TEST_F(CrashProbe, IgnoredSignalStaysIgnored) {
    EXPECT_EQ(Run(L"ignored-term"), 7);
    EXPECT_EQ(Log().find("[CRASH]"), std::string::npos);
}

// Another thread holds the log's lock and never gives it back: the crash
// must still end the process instead of waiting for the log.
TEST_F(CrashProbe, CrashWhileLogIsBusyStillEnds) {
    EXPECT_EQ(Run(L"held-lock"), 1);
    EXPECT_EQ(Log().find("[CRASH]"), std::string::npos);
}

TEST_F(CrashProbe, FailedHotRestartIsInTheSessionLog) {
    EXPECT_EQ(Run(L"restart C:\\no such folder\\MarlinCore.exe"), 5);
    const std::string log = Log();
    EXPECT_NE(log.find("C:\\no such folder\\MarlinCore.exe"), std::string::npos) << log;
    EXPECT_NE(log.find("Unable to hotreboot: "), std::string::npos) << log;
}
