// Starts tests/fixtures/launchprobe (LaunchProbe.exe) through the real shell.
#include "core/platform/ProcessManager.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "core/platform/UserPaths.h"
#include "core/util/Log.h"
#include "core/util/LogTesting.h"
#include "tests/support/TestFiles.h"

namespace {

std::wstring BinDir() {
    wchar_t buffer[MAX_PATH] = L"";
    GetEnvironmentVariableW(L"MARLIN_BIN_DIR", buffer, MAX_PATH);
    std::wstring dir = buffer;
    // The test runs under Wine: a Unix path is reached through drive Z:.
    if (!dir.empty() && dir[0] == L'/') {
        dir = L"Z:" + dir;
        for (wchar_t& c : dir)
            if (c == L'/') c = L'\\';
    }
    return dir;
}

ProcessManager::LaunchRequest Request(const std::wstring& dir, const std::wstring& file, const std::wstring& args) {
    return ProcessManager::LaunchRequest{dir, file, args};
}

std::wstring ReadWide(const std::wstring& path) {
    const std::string bytes = testsupport::ReadBytes(path);
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

bool WaitForFile(const std::wstring& path, DWORD limitMs) {
    for (DWORD waited = 0; waited < limitMs; waited += 50) {
        if (testsupport::PathExists(path)) return true;
        Sleep(50);
    }
    return testsupport::PathExists(path);
}

// Each test starts its own copy of the probe under a name of its own: tests
// run in parallel and must not find or end each other's probes.
class Launcher : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = testsupport::MakeTempFolder(L"marlin-launch");
        probe_ = L"Probe" + std::to_wstring(GetCurrentProcessId()) + L".exe";
        ASSERT_TRUE(CopyFileW((BinDir() + L"\\LaunchProbe.exe").c_str(), Path(probe_.c_str()).c_str(), FALSE));
    }
    void TearDown() override {
        while (marlin::unique_handle probe = ProcessManager::GetProcessHandleByName(probe_, true)) {
            TerminateProcess(probe.get(), 0);
            WaitForSingleObject(probe.get(), 5000);
        }
        for (const wchar_t* name : {L"started.txt", L"done.txt", probe_.c_str()}) DeleteFileW(Path(name).c_str());
        RemoveDirectoryW(dir_.c_str());
    }
    std::wstring Path(const wchar_t* name) const { return dir_ + L"\\" + name; }
    std::wstring Start(const std::wstring& flagsText) const {
        return L"Start " + probe_ + L" (@" + dir_ + L")" + flagsText;
    }

    std::wstring dir_;
    std::wstring probe_;
};

// A message box of this process with that caption: tests in other processes
// of the session may show boxes with the same caption at the same time.
struct BoxSearch {
    const std::wstring* caption;
    HWND found;
};

BOOL CALLBACK MatchOwnMessageBox(HWND window, LPARAM param) {
    BoxSearch& search = *reinterpret_cast<BoxSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t className[16] = L"", text[256] = L"";
    GetClassNameW(window, className, 16);
    GetWindowTextW(window, text, 256);
    if (owner != GetCurrentProcessId() || wcscmp(className, L"#32770") != 0 || *search.caption != text) return TRUE;
    search.found = window;
    return FALSE;
}

HWND FindOwnMessageBox(const std::wstring& caption) {
    BoxSearch search{&caption, nullptr};
    EnumWindows(MatchOwnMessageBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Presses a button of this process's first message box with this caption,
// from another thread (the box blocks the thread that shows it); keeps the
// box's text.
class MessageBoxAnswerer {
public:
    MessageBoxAnswerer(std::wstring caption, int button)
        : thread_([this, caption, button] {
              for (int i = 0; i < 200; ++i) {
                  HWND box = FindOwnMessageBox(caption);
                  if (box != nullptr) {
                      wchar_t buffer[1024] = L"";
                      GetDlgItemTextW(box, 0xFFFF, buffer, 1024);  // the static text of a message box
                      text_ = buffer;
                      PostMessageW(box, WM_COMMAND, button, 0);
                      return;
                  }
                  Sleep(50);
              }
          }) {}
    ~MessageBoxAnswerer() {
        if (thread_.joinable()) thread_.join();
    }
    const std::wstring& Text() {
        thread_.join();
        return text_;
    }

private:
    std::wstring text_;
    std::thread thread_;
};

}  // namespace

TEST_F(Launcher, StartsWithoutWaitingAndLogsTheRequest) {
    const std::wstring args = L"started=" + Path(L"started.txt") + L" sleep=4000 done=" + Path(L"done.txt");
    ProcessManager::LaunchRequest request = Request(dir_, probe_, args);
    request.waitForever = true;
    ASSERT_TRUE(ProcessManager::LaunchProgram(request));
    // waitForever without wait adds nothing and waits for nothing.
    EXPECT_EQ(LastLogLineForTest(), Start(L" with args '" + args + L"' succeeded."));
    EXPECT_FALSE(testsupport::PathExists(Path(L"done.txt")));

    ASSERT_TRUE(WaitForFile(Path(L"started.txt"), 10000));
    const std::wstring record = ReadWide(Path(L"started.txt"));
    EXPECT_NE(record.find(Path(probe_.c_str())), std::wstring::npos) << record;
    EXPECT_NE(record.find(L"sleep=4000"), std::wstring::npos) << record;
    EXPECT_EQ(record.substr(record.rfind(L'\n') + 1), dir_);  // started in its own folder

    // Found by its file name in any letter case, as Windows compares file names.
    EXPECT_TRUE(ProcessManager::GetProcessHandleByName(probe_, false));
    EXPECT_TRUE(ProcessManager::GetProcessHandleByName(L"pROBE" + probe_.substr(5, probe_.size() - 9) + L".EXE", false));
    EXPECT_FALSE(ProcessManager::GetProcessHandleByName(probe_.substr(0, probe_.size() - 4), false));
    EXPECT_FALSE(ProcessManager::GetProcessHandleByName(L"", false)) << "an unreadable name is no match";
}

TEST_F(Launcher, WaitsUntilTheProgramEnds) {
    const std::wstring args = L"sleep=1500 done=" + Path(L"done.txt");
    ProcessManager::LaunchRequest request = Request(dir_, probe_, args);
    request.elevated = true;
    request.wait = true;
    request.waitForever = true;
    ASSERT_TRUE(ProcessManager::LaunchProgram(request));
    EXPECT_TRUE(testsupport::PathExists(Path(L"done.txt")));
    EXPECT_EQ(LastLogLineForTest(), Start(L" with args '" + args + L"' and elevated and keep waiting forever succeeded."));

    DeleteFileW(Path(L"done.txt").c_str());
    request.elevated = false;
    request.waitForever = false;
    ASSERT_TRUE(ProcessManager::LaunchProgram(request));
    EXPECT_TRUE(testsupport::PathExists(Path(L"done.txt")));  // ended well within the 10 s limit
    EXPECT_EQ(LastLogLineForTest(), Start(L" with args '" + args + L"' and keep waiting succeeded."));
}

TEST_F(Launcher, MissingProgramGivesTheSystemErrorBlock) {
    ProcessManager::LaunchRequest request = Request(dir_, L"missing.exe", L"");
    request.bringToForeground = true;
    EXPECT_FALSE(ProcessManager::LaunchProgram(request));
    const std::wstring detail = LastLogLineForTest();
    EXPECT_EQ(detail.find(L"================================================\nCall to Start missing.exe (@" + dir_ +
                          L") and bring to foreground, returned error: "),
              0u)
        << detail;
    EXPECT_EQ(detail.find(L"succeeded"), std::wstring::npos);

    // A control-panel applet goes to the applet opener, which logs nothing.
    LogMessage(std::string("marker"));
    ProcessManager::OpenPath(dir_ + L"\\missing.cpl");
    EXPECT_EQ(LastLogLineForTest(), L"marker");
}

TEST_F(Launcher, BringsTheStartedWindowToTheFront) {
    // The probe shows its window without activating it and notes when it
    // becomes the active window. What is in front when the test looks would
    // depend on the other tests of the session, which show windows too.
    const std::wstring title = L"Probe " + std::to_wstring(GetCurrentProcessId());
    const std::wstring args = L"window=\"" + title + L"\" activated=" + Path(L"done.txt") + L" sleep=8000";
    ProcessManager::LaunchRequest request = Request(dir_, probe_, args);
    request.bringToForeground = true;
    ASSERT_TRUE(ProcessManager::LaunchProgram(request));
    EXPECT_NE(LastLogLineForTest().find(L"' and bring to foreground succeeded."), std::wstring::npos);
    EXPECT_NE(FindWindowW(L"LaunchProbeWindow", title.c_str()), nullptr);
    EXPECT_TRUE(WaitForFile(Path(L"done.txt"), 5000)) << "the probe's window never became the active one";
}

TEST_F(Launcher, BringToForegroundClosesTheHandleEvenWithoutAProcess) {
    // A handle that is not a process: nothing to find, and the handle is still released.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ProcessManager::BringToForeground(marlin::unique_handle(event));
    EXPECT_EQ(LastLogLineForTest(), L"BringToForeground: Failed to find process");
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(event, &flags));
}

TEST_F(Launcher, MissingFrontEndShowsTheCorruptInstallationMessage) {
    // The test program's folder has no front end beside it.
    ASSERT_FALSE(testsupport::PathExists(ProcessManager::GetFrontEndExePath()));
    EXPECT_EQ(ProcessManager::GetFrontEndExePath(), GetModuleDirectory() + L"\\Marlin Dock\\Marlin Dock.exe");
    // The box waits on a thread of its own: its modal loop must not handle
    // the calling thread's messages (on the main thread: socket events,
    // other programs' timer messages) meanwhile.
    const HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    PostMessageW(window, WM_APP + 7, 0, 0);
    MessageBoxAnswerer answer(L"Marlin Dock - Failure", IDOK);
    EXPECT_FALSE(ProcessManager::OpenManager(L""));
    MSG waiting = {};
    EXPECT_TRUE(PeekMessageW(&waiting, window, WM_APP + 7, WM_APP + 7, PM_REMOVE)) << "dispatched by a modal loop";
    DestroyWindow(window);
    const std::wstring text = answer.Text();
    EXPECT_EQ(text.find(L"The Marlin Dock installation appears to be corrupt. \n\nPlease reinstall"), 0u) << text;
    EXPECT_NE(text.find(L" \n\nOur apologies for any inconvenience."), std::wstring::npos) << text;
    EXPECT_NE(LastLogLineForTest().find(L"Call to Start Marlin Dock.exe (@" + ProcessManager::GetFrontEndFolder() +
                                       L") and bring to foreground, returned error"),
              std::wstring::npos);
}
