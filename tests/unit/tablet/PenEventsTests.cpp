// The pen events driven with synthetic messages: a scripted driver and
// desktop on one side, a recording pressure port on the other.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <string>
#include <vector>

#include "core/tablet/PenEvents.h"

namespace {

using wintab::Packet;

class ScriptedInput : public PenInput {
public:
    std::map<UINT, Packet> queue;  // serial -> packet waiting to be read
    std::map<UINT, UINT> cursorTypes{{0, 0x0006}, {1, 0x0022}, {2, 0x0002}, {3, 0x0802}};
    bool loaded = true;
    bool retrySucceeds = false;
    POINT cursor{0, 0};
    std::vector<RECT> monitors{{0, 0, 1280, 1024}, {0, 0, 1280, 1024}};
    LONG extentX = 20000;
    LONG extentY = 10000;
    std::vector<WPARAM> flushed;
    int monitorQueries = 0;
    std::vector<std::string> retries;

    bool readPacket(LPARAM, WPARAM serial, Packet& packet) override {
        auto it = queue.find(static_cast<UINT>(serial));
        if (!loaded || it == queue.end()) return false;
        packet = it->second;
        queue.erase(it);
        return true;
    }
    bool ensureWinTab(const char* why) override {
        if (loaded) return true;
        retries.push_back(why);
        loaded = retrySucceeds;
        return loaded;
    }
    UINT cursorType(UINT c) override { return cursorTypes.count(c) ? cursorTypes[c] : 0; }
    void flushPackets(WPARAM context) override {
        flushed.push_back(context);
        queue.clear();
    }
    POINT cursorPosition() override { return cursor; }
    std::vector<RECT> monitorRects() override {
        ++monitorQueries;
        return monitors;
    }
    LONG inputExtentX() override { return extentX; }
    LONG inputExtentY() override { return extentY; }
};

class RecordingPort : public PenOutput {
public:
    bool on = true;
    std::vector<std::string> sent;  // "word:...", "number:...", "token:..."

    bool streaming() override { return on; }
    void broadcast(const std::wstring& word) override { sent.push_back("word:" + std::string(word.begin(), word.end())); }
    void sendPressureNumber(int pressure) override { sent.push_back("number:" + std::to_string(pressure)); }
    void sendPressureToken(const std::string& token) override { sent.push_back("token:" + token); }
};

constexpr LPARAM kContext = 7;

class PenEvents : public ::testing::Test {
protected:
    // Queues a packet as the driver would and delivers its WT_PACKET.
    void Pen(UINT cursor, UINT status, LONG x, LONG y, UINT pressure) {
        Packet p{};
        p.pkCursor = cursor;
        p.pkStatus = status;
        p.pkX = x;
        p.pkY = y;
        p.pkNormalPressure = pressure;
        input.queue[++serial] = p;
        Deliver(wintab::WT_PACKET, serial, kContext);
    }
    void Proximity(LPARAM flags) { Deliver(wintab::WT_PROXIMITY, kContext, flags); }
    void Mouse(UINT message, WPARAM keys, int x, int y) {
        input.cursor = {x, y};
        Deliver(message, keys, MAKELPARAM(x, y));
    }
    void Deliver(UINT message, WPARAM wParam, LPARAM lParam) {
        HandlePenMessage(state, input, port, message, wParam, lParam);
    }
    std::vector<std::string> Take() {
        std::vector<std::string> out;
        out.swap(port.sent);
        return out;
    }

    PenState state;
    ScriptedInput input;
    RecordingPort port;
    UINT serial = 100;
};

using Events = std::vector<std::string>;

TEST_F(PenEvents, StreamOffDropsPacketsAndStartsPressureAfresh) {
    port.on = false;
    Pen(1, 0, 10, 10, 700);
    EXPECT_TRUE(input.queue.empty()) << "the packet is taken off the queue";
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ(0, state.lastPressure);

    port.on = true;
    state.proximityState = -1;  // as a stream start leaves it
    Pen(1, 0, 10, 10, 0);
    EXPECT_EQ((Events{"word:PenData.PROXIMITY_IN", "word:PenData.USE_TIP"}), Take()) << "pressure 0 is not news";
    Pen(1, 0, 10, 10, 300);
    EXPECT_EQ((Events{"number:300"}), Take());
    Pen(1, 0, 12, 10, 300);
    EXPECT_TRUE(Take().empty()) << "an unchanged pressure is not sent again";
    Pen(1, 0, 12, 10, 120);
    EXPECT_EQ((Events{"number:120"}), Take()) << "a lighter touch is news too";
}

TEST_F(PenEvents, CursorWordsFollowTheCursorType) {
    Pen(1, 0, 0, 0, 0);  // 0x0022: a pen
    EXPECT_EQ((Events{"word:PenData.PROXIMITY_IN", "number:0", "word:PenData.USE_TIP"}), Take());
    Pen(1, 0, 0, 0, 0);
    EXPECT_TRUE(Take().empty()) << "the same cursor is announced once";
    Pen(2, wintab::TPS_INVERT, 0, 0, 0);  // 0x0002 upside down
    EXPECT_EQ((Events{"word:PenData.USE_ERASER"}), Take());
    Pen(3, 0, 0, 0, 0);  // 0x0802 is not a pen for the mask 0x0F06
    EXPECT_EQ((Events{"word:PenData.USE_UNKNOWN_CURSOR"}), Take());
    Pen(0, 0, 0, 0, 0);
    EXPECT_EQ((Events{"word:PenData.USE_UNKNOWN_CURSOR"}), Take());
    Pen(9, 0, 0, 0, 0);  // a cursor the driver knows nothing about
    EXPECT_EQ((Events{"word:PenData.USE_UNKNOWN_CURSOR"}), Take());
}

TEST_F(PenEvents, ProximityTransitionsAreSentOnceAndLeavingFlushesTheQueue) {
    Proximity(MAKELPARAM(1, 1));
    Proximity(MAKELPARAM(1, 1));
    EXPECT_EQ((Events{"word:PenData.PROXIMITY_IN"}), Take());
    EXPECT_TRUE(state.inProximity);
    EXPECT_TRUE(input.flushed.empty()) << "the stroke's first packets may be queued already";
    Proximity(0x00010000);  // hardware proximity alone counts as leaving
    EXPECT_EQ((Events{"word:PenData.PROXIMITY_OUT"}), Take());
    EXPECT_FALSE(state.inProximity);
    Proximity(0);
    EXPECT_TRUE(Take().empty());
    EXPECT_EQ((std::vector<WPARAM>{kContext, kContext}), input.flushed);
}

TEST_F(PenEvents, PacketsQueuedBeforeTheProximityMessageIsHandledAreRead) {
    // The driver posts WT_PROXIMITY, then queues a packet and posts its
    // WT_PACKET; both reach the service only afterwards.
    wintab::Packet p{};
    p.pkCursor = 1;
    p.pkNormalPressure = 250;
    input.queue[++serial] = p;
    Proximity(MAKELPARAM(1, 1));
    Deliver(wintab::WT_PACKET, serial, kContext);
    EXPECT_EQ((Events{"word:PenData.PROXIMITY_IN", "number:250", "word:PenData.USE_TIP"}), Take());
}

TEST_F(PenEvents, WithoutWinTabPacketsAreIgnoredAndProximityRetriesLoading) {
    input.loaded = false;
    Pen(1, 0, 0, 0, 500);
    EXPECT_TRUE(Take().empty());

    Proximity(MAKELPARAM(1, 1));
    EXPECT_EQ((Events{"word:PenData.PROXIMITY_IN"}), Take()) << "the word does not need WinTab";
    EXPECT_TRUE(input.flushed.empty());
    EXPECT_EQ((std::vector<std::string>{"WinTab not initialized, unable to flush packet queue, retrying initialization!"}),
              input.retries);

    input.retrySucceeds = true;
    Proximity(0);
    EXPECT_EQ(1u, input.flushed.size()) << "flushed once the retry loads WinTab";
    EXPECT_EQ(2u, input.retries.size());
}

TEST_F(PenEvents, MouseMessagesBecomePositionTokens) {
    Mouse(WM_MOUSEMOVE, 0, 5, 6);
    EXPECT_TRUE(Take().empty()) << "a move without the left button says nothing";
    Mouse(WM_MOUSEMOVE, MK_LBUTTON, 812, 344);
    EXPECT_EQ((Events{"token:m812_344"}), Take());
    Mouse(WM_LBUTTONUP, 0, 813, 345);
    EXPECT_EQ((Events{"token:u813_345"}), Take());

    Proximity(MAKELPARAM(1, 1));
    Take();
    Mouse(WM_MOUSEMOVE, MK_LBUTTON, 900, 400);
    EXPECT_TRUE(Take().empty()) << "the pen's own packets place it while it is near";

    port.on = false;
    Mouse(WM_LBUTTONDOWN, MK_LBUTTON, -20, 7);
    EXPECT_EQ((Events{"token:d-20_7"}), Take()) << "a press goes through with the stream off";
    Mouse(WM_LBUTTONUP, 0, 1, 1);
    EXPECT_TRUE(Take().empty());
}

// The virtual screen spans two monitors side by side; the tablet drives the
// right one. A pen packet with pressure, then a drag move pairs the pen's
// tablet point with the cursor's screen point.
class PenPlacement : public PenEvents {
protected:
    void SetUp() override {
        input.monitors = {{0, 0, 3840, 1080}, {0, 0, 1920, 1080}, {1920, 0, 3840, 1080}};
        input.extentX = 20000;
        input.extentY = 10000;
    }
    void Calibrate(LONG tabletX, LONG tabletY, int screenX, int screenY) {
        Pen(1, 0, tabletX, tabletY, 400);
        Mouse(WM_MOUSEMOVE, MK_LBUTTON, screenX, screenY);
        Take();
    }
};

TEST_F(PenPlacement, TabletMappedToTheRightMonitorPlacesThePenInside) {
    // Tablet point (10000, 5000) is the middle of the right monitor: (2880, 540).
    Calibrate(10000, 5000, 2880, 540);
    Pen(1, 0, 0, 10000, 400);  // the tablet's top-left corner
    EXPECT_EQ((Events{"token:m1920_0"}), Take());
    Pen(1, 0, 0, 10000, 400);
    EXPECT_TRUE(Take().empty()) << "an unchanged position is not sent again";
    Pen(1, 0, 20000, 0, 410);
    EXPECT_EQ((Events{"number:410", "token:m3840_1080"}), Take());

    // A button message between the pen and the drag: the drag pairs with nothing.
    Mouse(WM_LBUTTONDOWN, MK_LBUTTON, 100, 100);
    Mouse(WM_MOUSEMOVE, MK_LBUTTON, 10, 10);
    EXPECT_EQ(2880, state.calibration.screenX);
}

TEST_F(PenPlacement, FirstRectangleWithinThirtyPixelsWins) {
    // The left monitor is 60 pixels shorter than the virtual screen: the
    // tablet's bottom-left corner maps to (0, 1200) in the virtual screen and
    // to (0, 1140) in the left monitor.
    input.monitors = {{0, 0, 3840, 1200}, {0, 0, 1920, 1140}, {1920, 0, 3840, 1200}};
    Calibrate(0, 0, 0, 1169);  // 31 from the virtual screen's point, 29 from the monitor's
    Pen(1, 0, 20000, 0, 400);
    EXPECT_EQ((Events{"token:m1920_1140"}), Take()) << "placed in the left monitor";

    Calibrate(0, 0, 0, 1170);  // 30 from the virtual screen's point: that one is taken
    Pen(1, 0, 20000, 0, 400);
    EXPECT_EQ((Events{"token:m3840_1200"}), Take());
}

TEST_F(PenPlacement, NoMatchingRectangleReadsTheMonitorsAfresh) {
    state.monitorRects = input.monitors;  // read earlier
    Calibrate(10000, 5000, 1920 - 31, 540);  // 31 from the virtual screen, far from both monitors
    const int queries = input.monitorQueries;
    Pen(1, 0, 20000, 5000, 400);
    EXPECT_TRUE(Take().empty()) << "no position";
    EXPECT_EQ(queries + 1, input.monitorQueries);
}

TEST_F(PenPlacement, ExtentsOfZeroOrLessPlaceNothing) {
    Calibrate(10000, 5000, 2880, 540);
    input.extentX = 0;
    Pen(1, 0, 100, 100, 400);
    input.extentX = 20000;
    input.extentY = -1;
    Pen(1, 0, 200, 200, 400);
    EXPECT_TRUE(Take().empty());
}

TEST_F(PenPlacement, LargeTabletCoordinatesDoNotOverflow) {
    input.monitors = {{0, 0, 7680, 2160}};
    input.extentX = 400000;  // 400000 * 7680 exceeds 32 bits
    input.extentY = 200000;
    Calibrate(200000, 100000, 3840, 1080);
    Pen(1, 0, 400000, 0, 400);
    EXPECT_EQ((Events{"token:m7680_2160"}), Take());
}

}  // namespace
