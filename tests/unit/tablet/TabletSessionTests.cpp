// The session's own rules: WinTab stays unloaded once the service has shut the
// session down, a session outlives its delayed starts, only the tablet
// listener window's messages reach the pressure port, and the driver
// library's version text.
#include <gtest/gtest.h>
#include <windows.h>

#include <memory>
#include <string>

#include "core/net/PressureServer.h"
#include "core/protocol/HookContract.h"
#include "core/protocol/ResultCodes.h"
#include "core/tablet/TabletCommands.h"
#include "core/tablet/TabletSession.h"
#include "core/tablet/TabletSessionTesting.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"
#include "core/util/LogTesting.h"
#include "tests/support/Loopback.h"
#include "tests/support/TestFiles.h"
#include "tests/support/TestLog.h"

namespace {

std::wstring DriverDir() { return testsupport::BinDir() + L"\\tablet-driver"; }

TEST(TabletSession, AfterShutdownWinTabIsNeitherUsedNorLoadedAgain) {
    TabletSession session;
    // Wine's own wintab32 stands in for a driver here: it loads, and reads no packets.
    ASSERT_TRUE(initWinTab(session, nullptr));
    EXPECT_EQ(L"WinTab init called.", LastLogLineForTest());
    EXPECT_TRUE(initWinTab(session, nullptr)) << "loaded once, then only reported";

    shutdownTablet(session);
    EXPECT_FALSE(initWinTab(session, nullptr)) << "the service is ending: the library stays unloaded";

    // Messages still in flight after the shutdown must not reach the freed
    // library (the listener thread outlives the shutdown on the main thread).
    const HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    setTabletListenerWindow(session, window);
    handleTabletMessage(session, window, wintab::WT_PACKET, 1, 1, nullptr);
    handleTabletMessage(session, window, wintab::WT_PROXIMITY, 1, 0, nullptr);
    EXPECT_FALSE(initWinTab(session, nullptr));
    DestroyWindow(window);
}

// The service's record, and the session with it, is made afresh between
// tests: a listenTablet's delayed start still waiting must not outlive it.
TEST(TabletSession, ASessionGoesOnlyAfterItsDelayedStartHasEnded) {
    marlin::unique_handle thread;
    {
        TabletSession session;
        startDelayedTabletStart(session);  // waits while the process is in its first minute
        ASSERT_EQ(1u, session.delayedStarts.size());
        HANDLE copy = nullptr;
        ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), session.delayedStarts[0].get(), GetCurrentProcess(), &copy,
                                    SYNCHRONIZE, FALSE, 0));
        thread.reset(copy);
    }
    EXPECT_EQ(static_cast<DWORD>(WAIT_OBJECT_0), WaitForSingleObject(thread.get(), 0));
}

// A pressure server whose one client has started the pen stream.
class StreamingPressurePort : public ::testing::Test {
protected:
    void SetUp() override {
        server.setHandler(&startsTheStream);
        const int port = server.listen();
        ASSERT_GT(port, 0);
        pen = std::make_unique<testsupport::Client>(port);
        const SOCKET serverSide = testsupport::AcceptNext(server);
        ASSERT_NE(INVALID_SOCKET, serverSide);
        pen->send("startTablet|");
        testsupport::Pump(server, serverSide);
        ASSERT_EQ("|", pen->readFrame());
    }
    void TearDown() override { server.deinit(); }

    // Every message starts the pen stream.
    class StartsTheStream : public PressurePortHandler {
    public:
        int handleMessage(PressureServer&, SOCKET, const std::wstring&) override { return kResultStartPressure; }
    };

    testsupport::WinsockSession winsock;
    TabletSession session;
    StartsTheStream startsTheStream;
    PressureServer server;
    std::unique_ptr<testsupport::Client> pen;
};

TEST_F(StreamingPressurePort, RetriedLoadFromTheMessageHandlerRunsOutsideTheLock) {
    // A proximity message before WinTab is loaded retries the load from
    // inside the message handler, which holds the session lock: the retry
    // steps out of it to load the library; the proximity word it makes is
    // sent once the lock is released.
    testsupport::TestLog log(L"retriedload");
    ASSERT_TRUE(InitFileLog());
    const HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    setTabletListenerWindow(session, window);
    handleTabletMessage(session, window, wintab::WT_PROXIMITY, 1, 1, &server);
    const std::string written = log.Read();
    const size_t loaded = written.find("WinTab init called.");
    EXPECT_NE(std::string::npos, loaded) << "the retry loaded WinTab (Wine's own wintab32)";
    EXPECT_NE(std::string::npos, written.find("PenData.PROXIMITY_IN|", loaded)) << "the word is sent after the load";
    DestroyWindow(window);
}

TEST_F(StreamingPressurePort, OnlyTheTabletListenerWindowSendsOnThePressurePort) {
    // The sockets listener window shares the window procedure; a button
    // message sent there must not make its thread write to the pressure port.
    const HWND listener = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    const HWND sockets = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    setTabletListenerWindow(session, listener);
    handleTabletMessage(session, sockets, WM_LBUTTONDOWN, MK_LBUTTON, 0, &server);
    EXPECT_TRUE(pen->quiet());
    handleTabletMessage(session, listener, WM_LBUTTONDOWN, MK_LBUTTON, 0, &server);
    EXPECT_EQ("d", pen->readBytes(1));

    DestroyWindow(sockets);
    DestroyWindow(listener);
}

// While an authorized client holds the pen stream, a stranger may neither
// hook nor unhook the dock; the holder and any other authorized client may.
TEST(TabletHooks, OnlyAStrangerIsRefusedAndOnlyWhileAnAuthorizedClientHoldsTheStream) {
    EXPECT_TRUE(HooksHeldAgainst(true, false));
    EXPECT_FALSE(HooksHeldAgainst(true, true));
    EXPECT_FALSE(HooksHeldAgainst(false, false));
    EXPECT_FALSE(HooksHeldAgainst(false, true));
}

TEST(DriverVersion, LastSeparatorIsAHyphenAndAnythingUnreadableIsNone) {
    EXPECT_EQ(L"5.2.5-2", readDriverVersionOf(DriverDir() + L"\\Stylus_Pad.dll"));
    EXPECT_EQ(L"none", readDriverVersionOf(DriverDir() + L"\\wintabctl.exe")) << "no version resource";
    EXPECT_EQ(L"none", readDriverVersionOf(DriverDir() + L"\\missing.dll"));
}

}  // namespace
