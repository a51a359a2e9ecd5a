// The hook library across processes: this test plays the service's side (a
// tablet listener window of class "MarlinWTHookQ" and the real hook
// installation and refresh), the stand-in dock program owns the dock window,
// and the stand-in driver (loaded into the dock only through the hook
// library) posts the pen's messages to it.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/protocol/HookContract.h"
#include "core/tablet/TabletCommands.h"
#include "core/tablet/TabletSession.h"
#include "core/tablet/TabletSessionTesting.h"
#include "hook/MessageRules.h"
#include "hook/QueueSizing.h"
#include "tests/support/TestFiles.h"

namespace {

constexpr DWORD kWaitMs = 15000;  // bound for what another process does; never a speed target
constexpr UINT kSendOrdinaryMessages = WM_APP + 1;  // see the test dock
constexpr UINT kDrainQueue = WM_APP + 2;

// Runs a program and waits for it; its exit code, or -1.
int RunProgram(const std::wstring& commandLine) {
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    std::wstring line = commandLine;
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return -1;
    marlin::unique_handle process(pi.hProcess);
    marlin::unique_handle thread(pi.hThread);
    if (WaitForSingleObject(process.get(), kWaitMs) != WAIT_OBJECT_0) {
        TerminateProcess(process.get(), 1);
        return -1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    return static_cast<int>(code);
}

struct Seen {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD how;  // InSendMessageEx: ISMEX_NOSEND for a posted message
};

// The service's tablet listener window on a thread of its own. Every message
// also goes through handleTabletMessage, which takes the session's lock: a
// refresh that held the lock across its send would never see its answer.
class Listener {
public:
    explicit Listener(TabletSession& session, const wchar_t* windowClass = L"MarlinWTHookQ")
        : session_(session), class_(windowClass) {
        thread_ = std::thread([this] { Run(); });
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return created_; });
    }
    ~Listener() {
        PostMessageW(window_, WM_CLOSE, 0, 0);
        thread_.join();
    }
    HWND window() const { return window_; }

    std::vector<Seen> Messages(UINT message = 0) {  // 0: every forwarded message
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Seen> out;
        for (const Seen& s : seen_)
            if (message == 0 || s.message == message) out.push_back(s);
        return out;
    }
    bool WaitFor(UINT message, size_t count) {
        for (const DWORD start = GetTickCount(); Messages(message).size() < count; Sleep(10))
            if (GetTickCount() - start > kWaitMs) return false;
        return true;
    }
    // The listener's thread stops at the next message of this number until
    // Release (a service busy with something else).
    void HoldAt(UINT message) { holdAt_ = message; }
    void Release() { SetEvent(release_.get()); }

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        auto* self = reinterpret_cast<Listener*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);  // still being made
        if (message == WM_CLOSE) {
            DestroyWindow(window);
            PostQuitMessage(0);
            return 0;
        }
        const bool forwarded = message == hookmsg::MSG_CONTEXT_RESULT || message == wintab::WT_PACKET ||
                               message == wintab::WT_PROXIMITY || message == WM_MOUSEMOVE ||
                               message == WM_LBUTTONDOWN || message == WM_LBUTTONUP;
        if (forwarded) {
            {
                std::lock_guard<std::mutex> lock(self->mutex_);
                self->seen_.push_back({message, wParam, lParam, InSendMessageEx(nullptr)});
            }
            if (message == self->holdAt_.exchange(0)) WaitForSingleObject(self->release_.get(), kWaitMs);
        }
        return handleTabletMessage(self->session_, window, message, wParam, lParam, nullptr);
    }
    void Run() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = Proc;
        wc.lpszClassName = class_;
        RegisterClassW(&wc);
        HWND window = CreateWindowExW(0, wc.lpszClassName, L"MarlinTabletListener", 0, 50, 50, 300, 300, nullptr,
                                      nullptr, nullptr, nullptr);
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            window_ = window;
            created_ = true;
        }
        ready_.notify_all();
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    }

    TabletSession& session_;
    const wchar_t* class_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable ready_;
    bool created_ = false;
    HWND window_ = nullptr;
    std::vector<Seen> seen_;
    std::atomic<UINT> holdAt_{0};
    marlin::unique_handle release_{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

class HookAcrossProcesses : public ::testing::Test {
protected:
    void SetUp() override {
        bin_ = testsupport::BinDir();
        ASSERT_FALSE(bin_.empty()) << "MARLIN_BIN_DIR is not set";
        driver_ = bin_ + L"\\tablet-driver";
        // Wine prefers its own wintab32 to a native one; the stand-in driver
        // beside the test dock is taken only when the prefix says so for that
        // program. The driver's shared state is private to this test (the
        // children inherit the variable).
        marlin::unique_hkey key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\testdock.exe\\DllOverrides",
                                                 0, nullptr, 0, KEY_SET_VALUE, nullptr, key.put(), nullptr));
        const wchar_t order[] = L"native,builtin";
        RegSetValueExW(key.get(), L"wintab32", 0, REG_SZ, reinterpret_cast<const BYTE*>(order), sizeof(order));
        SetEnvironmentVariableW(L"MARLIN_WINTAB_SESSION", (L"hooktest-" + std::to_wstring(GetCurrentProcessId())).c_str());

        folder_ = testsupport::MakeTempFolder(L"marlin-hook");
        title_ = L"Marlin Dock " + std::to_wstring(GetCurrentProcessId());
        const std::wstring ready = folder_ + L"\\ready.txt";
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        std::wstring line = L"\"" + driver_ + L"\\testdock.exe\" \"" + title_ + L"\" \"" + ready + L"\"";
        ASSERT_TRUE(CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
        dock_.reset(pi.hProcess);
        dockThreadId_ = pi.dwThreadId;
        CloseHandle(pi.hThread);
        const DWORD start = GetTickCount();
        while (!testsupport::PathExists(ready) && GetTickCount() - start < kWaitMs) Sleep(20);
        ASSERT_TRUE(testsupport::PathExists(ready)) << "the dock did not start";
        dockWindow_ = FindWindowW(L"ApolloRuntimeContentWindow", title_.c_str());
        ASSERT_NE(nullptr, dockWindow_);
        setTabletListenerWindow(session_, listener_.window());
    }
    void TearDown() override {
        unhookWindowByTitle(session_, title_);
        if (dock_) {
            PostMessageW(dockWindow_, WM_CLOSE, 0, 0);
            if (WaitForSingleObject(dock_.get(), kWaitMs) != WAIT_OBJECT_0) TerminateProcess(dock_.get(), 1);
        }
        for (const wchar_t* name : {L"\\ready.txt", L"\\stroke.txt"}) DeleteFileW((folder_ + name).c_str());
        RemoveDirectoryW(folder_.c_str());
    }
    int Control(const std::wstring& arguments) { return RunProgram(L"\"" + driver_ + L"\\wintabctl.exe\" " + arguments); }
    // True when the driver posted the stroke to an open context.
    bool Replay(const std::string& script) {
        const std::wstring file = folder_ + L"\\stroke.txt";
        testsupport::WriteBytes(file, script);
        return Control(L"replay \"" + file + L"\"") == 0;
    }

    TabletSession session_;
    Listener listener_{session_};
    std::wstring bin_, driver_, folder_, title_;
    marlin::unique_handle dock_;
    DWORD dockThreadId_ = 0;
    HWND dockWindow_ = nullptr;
};

TEST_F(HookAcrossProcesses, RequestFromAnotherProcessOpensTheContextOnceAndAgainAfterTheDriverClosedIt) {
    ASSERT_TRUE(hookWindowByTitle(session_, title_));

    // Sent from this process, the request reaches the dock's WH_CALLWNDPROC
    // hook with wParam 0; the context must open all the same, and the answer
    // arrives before the synchronous refresh returns.
    sendHookRefresh(session_);
    const std::vector<Seen> results = listener_.Messages(hookmsg::MSG_CONTEXT_RESULT);
    ASSERT_EQ(1u, results.size());
    EXPECT_EQ(hookmsg::kContextOpened, results[0].wParam);
    sendHookRefresh(session_);
    EXPECT_EQ(1u, listener_.Messages(hookmsg::MSG_CONTEXT_RESULT).size()) << "an open context is only re-enabled";
    // The driver's default queue (8 packets) is enlarged to the most it grants
    // (256; the first, larger request fails and leaves no queue until then).
    EXPECT_EQ(256, Control(L"queue-size"));

    ASSERT_TRUE(Replay("in\npacket 1 0 100 200 300\nout\n"));
    ASSERT_TRUE(listener_.WaitFor(wintab::WT_PROXIMITY, 2));
    std::vector<UINT> order;
    for (const Seen& seen : listener_.Messages()) order.push_back(seen.message);
    EXPECT_EQ((std::vector<UINT>{hookmsg::MSG_CONTEXT_RESULT, wintab::WT_PROXIMITY, wintab::WT_PACKET,
                                 wintab::WT_PROXIMITY}),
              order);
    // Signed with the session key the refresh handed over.
    const std::vector<Seen> proximity = listener_.Messages(wintab::WT_PROXIMITY);
    EXPECT_EQ(session_.sessionKey | hookmsg::kProximityEntering, proximity[0].lParam);
    EXPECT_EQ(session_.sessionKey, proximity[1].lParam);
    EXPECT_EQ(session_.sessionKey, results[0].lParam);

    // The driver restarts and tells the dock (WT_CTXCLOSE); the next request
    // opens a new context, without a second result.
    ASSERT_EQ(0, Control(L"reset"));
    SendMessageW(dockWindow_, kDrainQueue, 0, 0);
    ASSERT_EQ(0, Control(L"wait-no-context 0"));
    sendHookRefresh(session_);
    EXPECT_EQ(0, Control(L"wait-context 0"));
    EXPECT_EQ(1u, listener_.Messages(hookmsg::MSG_CONTEXT_RESULT).size());
}

TEST_F(HookAcrossProcesses, RequestNamingAnotherWindowIsIgnored) {
    // Any program may send the dock window the open request; one naming a
    // window that is not the service's tablet listener must not redirect the
    // pen packets there.
    Listener foreign(session_, L"SomeOtherProgram");
    ASSERT_TRUE(hookWindowByTitle(session_, title_));
    DWORD_PTR ignored = 0;
    SendMessageTimeoutW(dockWindow_, WM_NULL, hookmsg::MSG_CONTEXT_OPEN, reinterpret_cast<LPARAM>(foreign.window()),
                        SMTO_NORMAL, kWaitMs, &ignored);
    EXPECT_EQ(0, Control(L"wait-no-context 0")) << "no context opened for the foreign window";

    sendHookRefresh(session_);
    ASSERT_EQ(1u, listener_.Messages(hookmsg::MSG_CONTEXT_RESULT).size());
    ASSERT_TRUE(Replay("in\npacket 1 0 100 200 300\nout\n"));
    ASSERT_TRUE(listener_.WaitFor(wintab::WT_PROXIMITY, 2));
    EXPECT_TRUE(foreign.Messages().empty());
}

TEST_F(HookAcrossProcesses, LeftButtonMessagesAreForwardedAndOrdinarySentMessagesAreNot) {
    ASSERT_TRUE(hookWindowByTitle(session_, title_));
    sendHookRefresh(session_);
    ASSERT_EQ(0, Control(L"wait-context 0"));

    PostMessageW(dockWindow_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(30, 40));
    PostMessageW(dockWindow_, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(31, 41));
    PostMessageW(dockWindow_, WM_LBUTTONUP, 0, MAKELPARAM(32, 42));
    ASSERT_TRUE(listener_.WaitFor(WM_LBUTTONUP, 1));
    const std::vector<Seen> down = listener_.Messages(WM_LBUTTONDOWN);
    ASSERT_EQ(1u, down.size());
    EXPECT_EQ(static_cast<WPARAM>(MK_LBUTTON), down[0].wParam);
    EXPECT_EQ(session_.sessionKey, down[0].lParam)
        << "signed with the key, in place of the point the service does not read";

    // The dock sends itself WM_GETTEXT (wParam 512 = 0x200) and a WM_COMMAND
    // from control 18 (wParam 0x12): neither is a mouse move nor a quit.
    EXPECT_EQ(1, SendMessageW(dockWindow_, kSendOrdinaryMessages, 0, 0));
    EXPECT_EQ(1u, listener_.Messages(WM_MOUSEMOVE).size());
    EXPECT_EQ(0, Control(L"wait-context 0")) << "the context is still open";

    // A real WM_QUIT from the dock's queue gives the context back.
    PostThreadMessageW(dockThreadId_, WM_QUIT, 0, 0);
    EXPECT_EQ(0, Control(L"wait-no-context 10000"));
}

// A forward must not hold the dock's thread until the service has handled
// it: the dock would fall behind the pen whenever the service is busy.
TEST_F(HookAcrossProcesses, ForwardsDoNotWaitForABusyListenerAndKeepTheirOrder) {
    ASSERT_TRUE(hookWindowByTitle(session_, title_));
    sendHookRefresh(session_);
    ASSERT_EQ(0, Control(L"wait-context 0"));

    listener_.HoldAt(WM_LBUTTONDOWN);
    PostMessageW(dockWindow_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(1, 2));
    PostMessageW(dockWindow_, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(3, 4));
    PostMessageW(dockWindow_, WM_LBUTTONUP, 0, MAKELPARAM(5, 6));
    DWORD_PTR drained = 0;
    const LRESULT answered = SendMessageTimeoutW(dockWindow_, kDrainQueue, 0, 0, SMTO_NORMAL, 5000, &drained);
    listener_.Release();
    EXPECT_NE(0, answered) << "the dock's thread waited for the busy listener";
    ASSERT_TRUE(listener_.WaitFor(WM_LBUTTONUP, 1));
    std::vector<Seen> seen;
    for (const Seen& s : listener_.Messages())
        if (s.message != hookmsg::MSG_CONTEXT_RESULT) seen.push_back(s);
    ASSERT_EQ(3u, seen.size());
    EXPECT_EQ(static_cast<UINT>(WM_LBUTTONDOWN), seen[0].message);
    EXPECT_EQ(static_cast<UINT>(WM_MOUSEMOVE), seen[1].message);
    EXPECT_EQ(static_cast<UINT>(WM_LBUTTONUP), seen[2].message);
    // The service takes pen input only as sent messages (a posted one may come from anyone).
    for (const Seen& s : seen) EXPECT_NE(static_cast<DWORD>(ISMEX_NOSEND), s.how) << s.message;
}

TEST_F(HookAcrossProcesses, HooksAreRemovedAndReplacedPerWindow) {
    ASSERT_TRUE(hookWindowByTitle(session_, title_));
    ASSERT_TRUE(hookWindowByTitle(session_, title_));  // a second pair replaces the first
    sendHookRefresh(session_);
    ASSERT_EQ(0, Control(L"wait-context 0"));
    PostMessageW(dockWindow_, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    PostMessageW(dockWindow_, WM_LBUTTONUP, 0, 0);
    ASSERT_TRUE(listener_.WaitFor(WM_LBUTTONUP, 1));
    EXPECT_EQ(1u, listener_.Messages(WM_LBUTTONDOWN).size()) << "one pair of hooks: forwarded once";

    EXPECT_TRUE(unhookWindowByTitle(session_, title_));
    EXPECT_FALSE(isHookedWindow(session_, dockWindow_));
    // Closed by request before the hooks went, not by the library's unload
    // (where the loader lock forbids calling into the driver).
    EXPECT_EQ(0, Control(L"wait-no-context 0")) << "the context is given back";
    EXPECT_TRUE(unhookWindowByTitle(session_, title_)) << "found, nothing left to remove";
    EXPECT_FALSE(unhookWindowByTitle(session_, title_ + L" (closed)"));
    PostMessageW(dockWindow_, WM_LBUTTONDOWN, MK_LBUTTON, 0);
    SendMessageW(dockWindow_, kDrainQueue, 0, 0);
    EXPECT_EQ(1u, listener_.Messages(WM_LBUTTONDOWN).size()) << "nothing is forwarded once unhooked";
}

}  // namespace

// The queue sizing against drivers the stand-in does not play: one that
// refuses every size, with and without telling its own size first.
namespace fakedriver {
int reported = 0;
std::vector<int> asked;
int WINAPI GetSize(wintab::HCTX) { return reported; }
BOOL WINAPI RefuseSize(wintab::HCTX, int packets) {
    asked.push_back(packets);
    return FALSE;  // as such a driver may, it also drops the queue it had
}
}  // namespace fakedriver

TEST(HookQueueSizing, ADriverThatRefusesEverySizeKeepsAQueue) {
    fakedriver::reported = 8;
    fakedriver::asked.clear();
    queuesizing::EnlargeQueue(nullptr, fakedriver::GetSize, fakedriver::RefuseSize);
    EXPECT_EQ((std::vector<int>{512, 256, 128, 64, 32, 8}), fakedriver::asked) << "its own size is set back last";

    // A driver that reports no size cannot have its size set back: nothing is asked of it.
    for (int unknown : {0, -1}) {
        fakedriver::reported = unknown;
        fakedriver::asked.clear();
        queuesizing::EnlargeQueue(nullptr, fakedriver::GetSize, fakedriver::RefuseSize);
        EXPECT_TRUE(fakedriver::asked.empty()) << unknown;
    }
}

// The hook library's message rules with words and window answers made up,
// so the shapes a second process cannot be made to produce on demand (a sent
// message whose wParam equals a message number, a 64-bit MSG's padding) are
// tried directly.
namespace {

constexpr UINT_PTR kDockWindow = 0x1010;      // a window of the hooked thread
constexpr UINT_PTR kListenerWindow = 0x2020;  // the service's tablet listener, another thread's
constexpr UINT_PTR kOtherWindow = 0x3030;     // some other program's window

class FakeWindows : public hookrules::WindowFacts {
public:
    bool isWindowOfThisThread(UINT_PTR value) const override { return value == kDockWindow; }
    bool isWindowOfAnotherThread(UINT_PTR value) const override {
        return value == kListenerWindow || value == kOtherWindow;
    }
    bool isTabletListenerWindow(UINT_PTR value) const override { return value == kListenerWindow; }
};

using hookrules::Action;

Action Queued(UINT_PTR message, UINT_PTR lParam = 0x77) {  // a MSG from the queue, taken (PM_REMOVE)
    return hookrules::Decide(PM_REMOVE, {kDockWindow, message, 0, lParam}, FakeWindows());
}
Action Sent(WPARAM hookWParam, UINT_PTR wParam, UINT message, UINT_PTR lParam) {  // a CWPSTRUCT
    return hookrules::Decide(hookWParam, {lParam, wParam, message, kDockWindow}, FakeWindows());
}

}  // namespace

TEST(HookMessageRules, QueueMessagesAreActedOnAndSentLookAlikesAreNot) {
    EXPECT_EQ(Action::Forward, Queued(WM_MOUSEMOVE));
    EXPECT_EQ(Action::Forward, Queued(wintab::WT_PACKET));
    EXPECT_EQ(Action::CloseContext, Queued(WM_QUIT));
    EXPECT_EQ(Action::ForgetContext, Queued(wintab::WT_CTXCLOSE));
    EXPECT_EQ(Action::None, Queued(wintab::WT_CTXOPEN));
    EXPECT_EQ(Action::None, hookrules::Decide(0, {kDockWindow, WM_MOUSEMOVE, 0, 0}, FakeWindows())) << "peeked";
    // The dock's own sends whose wParam equals a message number: WM_GETTEXT
    // with a 512-character buffer, a WM_COMMAND from control 18.
    EXPECT_EQ(Action::None, Sent(1, WM_LBUTTONUP, WM_GETTEXT, 0x5000));
    EXPECT_EQ(Action::None, Sent(1, WM_QUIT, WM_COMMAND, 0));
    if (sizeof(UINT_PTR) == 8) {
        // Only the low half of a MSG's message word is the number; a wParam
        // with high bits never is one.
        const UINT_PTR high = static_cast<UINT_PTR>(1) << (4 * sizeof(UINT_PTR));
        EXPECT_EQ(Action::Forward, Queued(high | wintab::WT_PACKET));
        EXPECT_EQ(Action::None, Sent(1, high | wintab::WT_PACKET, WM_USER, 0));
        EXPECT_EQ(Action::None, Sent(1, high | hookmsg::MSG_CONTEXT_CLOSE, WM_USER, 0));
    }
}

TEST(HookMessageRules, OnlyTheListenersRequestsFromAnotherThreadAreTaken) {
    EXPECT_EQ(Action::OpenContext, Sent(0, hookmsg::MSG_CONTEXT_OPEN, WM_NULL, kListenerWindow));
    EXPECT_EQ(Action::CloseContext, Sent(0, hookmsg::MSG_CONTEXT_CLOSE, WM_NULL, kListenerWindow));
    EXPECT_EQ(Action::None, Sent(0, hookmsg::MSG_CONTEXT_OPEN, WM_NULL, kOtherWindow)) << "names another window";
    EXPECT_EQ(Action::None, Sent(0, hookmsg::MSG_CONTEXT_CLOSE, WM_NULL, kOtherWindow)) << "names another window";
    EXPECT_EQ(Action::None, Sent(0, hookmsg::MSG_CONTEXT_OPEN, WM_USER, kListenerWindow)) << "not WM_NULL";
    EXPECT_EQ(Action::None, Sent(0, hookmsg::MSG_CONTEXT_OPEN, WM_NULL, kDockWindow)) << "carries its own window";
    EXPECT_EQ(Action::None, Sent(0, WM_MOUSEMOVE, WM_NULL, kListenerWindow)) << "only requests from elsewhere";
}
