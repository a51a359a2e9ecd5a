// Pen events: turns the messages that reach the tablet listener window
// (WinTab packets and proximity, left-button mouse messages forwarded from the
// dock's thread) into the tokens of the pressure port. The logic sees the
// driver, the desktop and the pressure port only through the two small
// interfaces below, so tests drive it with synthetic messages.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "core/protocol/HookContract.h"

constexpr int kNoPenPosition = 0x7FFFFFFF;

// A screen point and the raw tablet point that produced it; screenX -1: none yet.
struct Calibration {
    int screenX = -1;
    int screenY = -1;
    int tabletX = -1;
    int tabletY = -1;
};

struct PenState {
    bool inProximity = false;
    int proximityState = -1;  // last token sent: -1 none, 0 PROXIMITY_OUT, 1 PROXIMITY_IN
    int lastPressure = -1;
    int lastCursor = -1;
    int lastPenX = kNoPenPosition;  // raw tablet point of the last packet with pressure
    int lastPenY = kNoPenPosition;
    int lastSentX = -1;  // screen point of the last position token
    int lastSentY = -1;
    Calibration calibration;
    std::vector<RECT> monitorRects;  // the virtual screen, then each monitor
};

// The driver and the desktop.
class PenInput {
public:
    virtual ~PenInput() = default;
    // WTPacket: false when the packet is gone or WinTab is not loaded.
    virtual bool readPacket(LPARAM context, WPARAM serial, wintab::Packet& packet) = 0;
    // True when WinTab is loaded; otherwise logs why and retries loading it.
    virtual bool ensureWinTab(const char* why) = 0;
    virtual UINT cursorType(UINT cursor) = 0;       // 0 when the driver does not say
    virtual void flushPackets(WPARAM context) = 0;  // empties the context's queue
    virtual POINT cursorPosition() = 0;
    virtual std::vector<RECT> monitorRects() = 0;  // the virtual screen, then each monitor
    virtual LONG inputExtentX() = 0;
    virtual LONG inputExtentY() = 0;
};

// The pressure port.
class PenOutput {
public:
    virtual ~PenOutput() = default;
    virtual bool streaming() = 0;
    virtual void broadcast(const std::wstring& word) = 0;            // to every client, '|'-framed
    virtual void sendPressureNumber(int pressure) = 0;               // to the pressure client
    virtual void sendPressureToken(const std::string& token) = 0;   // to the pressure client
};

// Handles one message of the tablet listener window. The caller then passes
// the message to DefWindowProcW.
void HandlePenMessage(PenState& state, PenInput& input, PenOutput& output, UINT message, WPARAM wParam, LPARAM lParam);
