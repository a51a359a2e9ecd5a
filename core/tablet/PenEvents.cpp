#include "core/tablet/PenEvents.h"

#include <cstdio>
#include <cstdlib>

#include "core/util/Log.h"

namespace {

constexpr int kCalibrationTolerance = 30;  // pixels

// The tablet mapped onto one rectangle; the WinTab Y axis points up.
// Computed in 64 bits so that large extents cannot overflow the product.
struct Mapping {
    const RECT& r;
    LONG extentX;
    LONG extentY;

    int x(int tabletX) const {
        const long long w = r.right - r.left;
        return static_cast<int>(r.left + (tabletX * w) / extentX);
    }
    int y(int tabletY) const {
        const long long h = r.bottom - r.top;
        return static_cast<int>(r.top + h - (tabletY * h) / extentY);
    }
};

// Places the pen on the screen through the calibration: the first rectangle
// (the virtual screen first) onto which the calibration's tablet point maps
// within the tolerance of its screen point is the one the tablet drives.
// Appends 'm' when the placed position differs from the last one sent.
void PlacePen(PenState& state, PenInput& input, const wintab::Packet& packet, std::string& event, POINT& position) {
    const LONG extentX = input.inputExtentX();
    const LONG extentY = input.inputExtentY();
    if (extentX <= 0 || extentY <= 0) return;  // a driver without extents: the pen cannot be placed
    if (state.monitorRects.empty()) state.monitorRects = input.monitorRects();

    const Calibration& c = state.calibration;
    for (size_t i = 0; i < state.monitorRects.size(); ++i) {
        const Mapping map{state.monitorRects[i], extentX, extentY};
        if (std::abs(map.x(c.tabletX) - c.screenX) > kCalibrationTolerance ||
            std::abs(map.y(c.tabletY) - c.screenY) > kCalibrationTolerance)
            continue;
        position.x = map.x(packet.pkX);
        position.y = map.y(packet.pkY);
        if (position.x != state.lastSentX || position.y != state.lastSentY) event += 'm';
        return;
    }
    // The monitors may have changed: the next packet walks a fresh list.
    state.monitorRects = input.monitorRects();
}

void SendProximity(PenState& state, PenOutput& output, bool in) {
    const int token = in ? 1 : 0;
    if (state.proximityState == token) return;
    output.broadcast(in ? L"PenData.PROXIMITY_IN" : L"PenData.PROXIMITY_OUT");
    state.proximityState = token;
}

void HandlePacket(PenState& state, PenInput& input, PenOutput& output, WPARAM serial, LPARAM context,
                  std::string& event, POINT& position) {
    wintab::Packet packet{};
    if (!input.readPacket(context, serial, packet)) return;

    state.inProximity = true;
    SendProximity(state, output, true);

    const int pressure = static_cast<int>(packet.pkNormalPressure);
    if (pressure != state.lastPressure) output.sendPressureNumber(pressure);
    state.lastPressure = pressure;

    if (state.lastPressure > 0) {
        if (state.calibration.screenX != -1) PlacePen(state, input, packet, event, position);
        state.lastPenX = packet.pkX;
        state.lastPenY = packet.pkY;
    }

    if (static_cast<int>(packet.pkCursor) == state.lastCursor) return;
    state.lastCursor = static_cast<int>(packet.pkCursor);
    LogMessage(std::string("Cursor Changed"));
    if (!input.ensureWinTab("WinTab not initialized, unable to process cursor packet, retrying initialization!")) return;
    const UINT type = input.cursorType(packet.pkCursor);
    if ((type & wintab::kCursorTypeMask) == wintab::kPenCursorType) {
        output.broadcast((packet.pkStatus & wintab::TPS_INVERT) ? L"PenData.USE_ERASER" : L"PenData.USE_TIP");
    } else {
        output.broadcast(L"PenData.USE_UNKNOWN_CURSOR");
    }
}

void HandleProximity(PenState& state, PenInput& input, PenOutput& output, WPARAM context, LPARAM flags) {
    state.inProximity = LOWORD(flags) != 0;  // the high word (hardware proximity) alone counts as leaving
    SendProximity(state, output, state.inProximity);
    if (!input.ensureWinTab("WinTab not initialized, unable to flush packet queue, retrying initialization!")) return;
    // Only a pen that leaves has nothing more to say. On entering, the driver
    // may already have queued the stroke's first packets (their WT_PACKET
    // messages still on the way through the dock): flushing would lose them.
    if (!state.inProximity) input.flushPackets(context);
}

bool IsMouseMessage(UINT message) {
    return message == WM_MOUSEMOVE || message == WM_LBUTTONDOWN || message == WM_LBUTTONUP;
}

}  // namespace

void HandlePenMessage(PenState& state, PenInput& input, PenOutput& output, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == hookmsg::MSG_CONTEXT_RESULT) {
        if (wParam == hookmsg::kContextOpened) LogMessage(std::string("DLL: WinTab Context initialization success"));
        if (wParam == hookmsg::kContextFailed) LogMessage(std::string("DLL: WinTab Context initialization failed!"));
    }

    // Stream off: packets are taken off the queue and dropped. A button press
    // still goes through, so a drag that starts now is seen from its start.
    if (!output.streaming() && message != WM_LBUTTONDOWN) {
        state.lastPressure = 0;
        if (message == wintab::WT_PACKET) {
            wintab::Packet dropped{};
            input.readPacket(lParam, wParam, dropped);
        }
        return;
    }

    std::string event;
    POINT position{0, 0};
    if (IsMouseMessage(message)) position = input.cursorPosition();

    switch (message) {
    case WM_LBUTTONUP:
        event += 'u';
        break;
    case WM_LBUTTONDOWN:
        event += 'd';
        break;
    case WM_MOUSEMOVE:
        if (wParam & MK_LBUTTON) {
            // The first drag move after a pen packet pairs a screen point with a tablet point.
            if (state.lastPenX != kNoPenPosition)
                state.calibration = {static_cast<int>(position.x), static_cast<int>(position.y), state.lastPenX,
                                     state.lastPenY};
            if (!state.inProximity) event += 'm';
        }
        break;
    case wintab::WT_PACKET:
        HandlePacket(state, input, output, wParam, lParam, event, position);
        break;
    case wintab::WT_PROXIMITY:
        HandleProximity(state, input, output, wParam, lParam);
        break;
    default:
        break;
    }

    if (IsMouseMessage(message)) state.lastPenX = state.lastPenY = kNoPenPosition;

    if (!event.empty()) {
        char text[128];
        snprintf(text, sizeof(text), "%d_%d", static_cast<int>(position.x), static_cast<int>(position.y));
        event += text;
        state.lastSentX = position.x;
        state.lastSentY = position.y;
        output.sendPressureToken(event);
    }
}
