#include <gtest/gtest.h>
#include <windows.h>

#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/util/FailureDetail.h"
#include "core/util/Log.h"
#include "core/util/LogTesting.h"
#include "core/util/Text.h"
#include "tests/support/TestFiles.h"

namespace {

// Each test points USERPROFILE at a folder of its own and starts the log from
// its first state, as a new process would.
class LogFile : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = testsupport::MakeTempFolder(L"marlin-log");
        SetEnvironmentVariableW(L"USERPROFILE", dir_.c_str());
        path_ = dir_ + L"\\marlinLog.txt";
        ResetFileLogState();
    }
    void TearDown() override {
        DeinitFileLog();
        DeleteFileW(path_.c_str());
        RemoveDirectoryW(dir_.c_str());
    }
    void CreateLogFile(size_t size) { testsupport::WriteBytes(path_, std::string(size, 'x')); }
    std::string Contents() { return testsupport::ReadBytes(path_); }
    bool Exists() { return testsupport::PathExists(path_); }

    std::wstring dir_;
    std::wstring path_;
};

}  // namespace

TEST_F(LogFile, AbsentFileIsNeverCreatedNorRetried) {
    LogMessage(std::string("first"));
    EXPECT_FALSE(Exists());
    EXPECT_EQ(LastLogLineForTest(), L"first");
    CreateLogFile(0);
    LogMessage(std::string("second"));
    EXPECT_EQ(Contents(), "");  // logging stays off for the rest of the process
    EXPECT_EQ(LastLogLineForTest(), L"second");
}

TEST_F(LogFile, HeaderLineFormatAndPercentSigns) {
    CreateLogFile(0);
    SetLogWindowsVersion(6, 1);  // as the entry point hands it over
    LogMessage(std::wstring(L"Done 100%"));
    EXPECT_EQ(LastLogLineForTest(), L"Done 100%");
    const std::string text = Contents();
    const std::string id = std::to_string(GetSessionStartTime());
    const std::string hyphens(33, '-');
    const std::string header = hyphens + "\r\nMarlinCore Session " + id + " on Windows 6.1\r\n" + hyphens + "\r\n";
    ASSERT_EQ(text.substr(0, header.size()), header);
    const std::string line = text.substr(header.size());
    const std::regex format(id.substr(id.size() - 5) +
                            R"( \(\d\d/\d\d/\d\d-\d\d:\d\d:\d\d\)- Done 100%%\r\n)");
    EXPECT_TRUE(std::regex_match(line, format)) << line;
}

TEST_F(LogFile, SizeCapEmptiesOnlyLargerFiles) {
    CreateLogFile(524288);
    LogMessage(std::string("kept"));
    std::string text = Contents();
    EXPECT_EQ(text.substr(0, 524288), std::string(524288, 'x'));
    EXPECT_NE(text.find("kept\r\n"), std::string::npos);

    DeinitFileLog();
    ResetFileLogState();
    CreateLogFile(600000);
    LogMessage(std::string("fresh"));
    text = Contents();
    EXPECT_EQ(text.rfind(std::string(33, '-'), 0), 0u);  // starts with the header
    EXPECT_EQ(text.find('x'), std::string::npos);
    EXPECT_NE(text.find("fresh\r\n"), std::string::npos);
}

TEST_F(LogFile, LongLinesAreCutAt1023BytesAndStillEndTheirLine) {
    CreateLogFile(0);
    LogMessage(std::string(2000, 'a'));
    LogMessage(std::string("next"));
    const std::string text = Contents();
    const std::string header_end = std::string(33, '-') + "\r\n";
    const size_t entry = text.rfind(header_end) + header_end.size();
    // 1022 bytes of the line and its line feed (CR LF in the file); the next entry starts a line of its own.
    const size_t end = text.find("\r\n", entry);
    EXPECT_EQ(end - entry, 1022u);
    EXPECT_EQ(text[end - 1], 'a');
    EXPECT_EQ(text.substr(end + 2, 5), text.substr(entry, 5));
    EXPECT_NE(text.find("- next\r\n", end), std::string::npos);
}

TEST_F(LogFile, SizeCapHoldsDuringTheSession) {
    CreateLogFile(524000);
    LogMessage(std::string("first"));  // under the cap at opening: appended to
    for (int i = 0; i < 20; ++i) LogMessage(std::string(100, 'y') + std::to_string(i));
    const std::string text = Contents();
    EXPECT_LT(text.size(), 524288u);
    EXPECT_EQ(text.find('x'), std::string::npos);
    EXPECT_NE(text.find(std::string(100, 'y') + "19\r\n"), std::string::npos);
    EXPECT_EQ(LastLogLineForTest(), Widen(std::string(100, 'y') + "19"));
    // Emptied, then the lines a start writes: the header and the version banner.
    const std::string hyphens(33, '-');
    ASSERT_EQ(text.rfind(hyphens + "\r\nMarlinCore Session ", 0), 0u);
    const size_t banner = text.find("\r\n" + hyphens + "\r\n") + hyphens.size() + 4;
    const std::string line = text.substr(banner, text.find("\r\n", banner) - banner);
    EXPECT_TRUE(std::regex_match(line, std::regex(R"(\d{5} \([^)]*\)- Marlin Dock Core - Version 2\.06 RC0 \(PID: )" +
                                                  std::to_string(GetCurrentProcessId()) + R"(\))")))
        << line;
}

TEST_F(LogFile, AuthKeyIsMaskedOnEveryPort) {
    CreateLogFile(0);
    const std::wstring key = L"{0A1B2C3D-4E5F-6789-ABCD-EF0123456789}";
    LogReceived(3401, L"auth " + key + L"|getCoreVersion|");
    LogReceived(3502, L"platform|authorize '" + key + L"'|");
    const std::string text = Contents();
    EXPECT_EQ(text.find("0A1B2C3D"), std::string::npos);
    EXPECT_NE(text.find("Received [3401]: auth {********-****-****-****-************}|getCoreVersion|\r\n"),
              std::string::npos);
    EXPECT_NE(text.find("Received [3502]: platform|authorize '{********-****-****-****-************}'|"),
              std::string::npos);
}

TEST_F(LogFile, AfterDeinitOnlyTheFailureDetailChanges) {
    CreateLogFile(0);
    LogMessage(std::string("before"));
    DeinitFileLog();
    const std::string before = Contents();
    LogFailureDetail(std::string("after"));
    EXPECT_EQ(Contents(), before);
    EXPECT_EQ(RecordedFailureDetail(), L"after");
}

// A line logged after the explanation (a success line, a frame, a line a
// later edit adds) must not become the reply's detail.
TEST_F(LogFile, PlainLinesLeaveTheFailureDetailAlone) {
    LogReceived(3401, L"removeWidget a b");
    LogFailureDetail(std::string("RemoveWidget: Adobe AIR installer not found."));
    LogMessage(std::string("Success CoreVersion=2.06.0|"));
    SetLastError(ERROR_FILE_NOT_FOUND);
    LogSystemError(L"send()");
    LogFormatted("deiniting a client [%d]", 3401);
    EXPECT_EQ(RecordedFailureDetail(), L"RemoveWidget: Adobe AIR installer not found.");
    EXPECT_EQ(LastLogLineForTest(), L"deiniting a client [3401]");
}

TEST_F(LogFile, FormattedEntriesAndSystemErrorBlocks) {
    CreateLogFile(0);
    LogFormatted("Listen [%d] succesful, waiting for clients", 3456);
    EXPECT_EQ(LastLogLineForTest(), L"Listen [3456] succesful, waiting for clients");
    LogFormatted("New connection [%d].", 0);
    EXPECT_EQ(LastLogLineForTest(), L"New connection [0].");
    LogFormatted("CommandHandler::FreeChannel %s", "clock");
    EXPECT_EQ(LastLogLineForTest(), L"CommandHandler::FreeChannel clock");
    LogReceived(3401, L"getCoreVersion");
    EXPECT_EQ(RecordedFailureDetail(), L"Received [3401]: getCoreVersion");

    SetLastError(4390);  // a code the system has no text for
    LogSystemError(L"send()");
    EXPECT_EQ(LastLogLineForTest(), std::wstring(48, L'=') + L"\nCall to send(), returned error: "
                                   L"<Unable to retrieve error message for error: 4390>");
    SetLastError(ERROR_FILE_NOT_FOUND);
    LogSystemError(L"bind()");
    EXPECT_EQ(LastLogLineForTest().find(std::wstring(48, L'=') + L"\nCall to bind(), returned error: "), 0u);
    EXPECT_GT(LastLogLineForTest().size(), 90u);

    LogVersionBanner();
    EXPECT_EQ(LastLogLineForTest(), L"Marlin Dock Core - Version 2.06 RC0 (PID: " +
                                       std::to_wstring(GetCurrentProcessId()) + L")");
    Trace("QUIT received");
    EXPECT_EQ(Contents().find("QUIT received"), std::string::npos);
}

TEST_F(LogFile, TwoThreadsNeverInterleaveNorShareTheFailureDetail) {
    CreateLogFile(0);
    auto worker = [](char tag, std::wstring* last, bool* ownDetailKept) {
        *ownDetailKept = true;
        for (int i = 0; i < 400; ++i) {
            const std::string text = std::string(1, tag) + "-" + std::to_string(i) + "-" + std::string(60, tag);
            LogFailureDetail(text);
            if (RecordedFailureDetail() != std::wstring(text.begin(), text.end())) *ownDetailKept = false;
        }
        *last = RecordedFailureDetail();
    };
    std::wstring lastA, lastB;
    bool keptA = false, keptB = false;
    std::thread a(worker, 'A', &lastA, &keptA);
    std::thread b(worker, 'B', &lastB, &keptB);
    a.join();
    b.join();
    EXPECT_TRUE(keptA);
    EXPECT_TRUE(keptB);
    EXPECT_EQ(lastA.substr(0, 6), L"A-399-");
    EXPECT_EQ(lastB.substr(0, 6), L"B-399-");

    std::istringstream lines(Contents());
    std::string line;
    int entries = 0;
    const std::regex whole(R"(\d{5} \([^)]*\)- ([AB])-\d+-(A{60}|B{60})\r)");
    while (std::getline(lines, line)) {
        if (line.find(" (") == std::string::npos) continue;  // header lines
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
        EXPECT_EQ(m[2].str()[0], m[1].str()[0]);
        ++entries;
    }
    EXPECT_EQ(entries, 800);
}
