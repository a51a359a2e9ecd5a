#include "core/net/PressureStream.h"

#include <atomic>

namespace {

struct PressureStreamState {
    std::atomic<bool> streaming{false};
    std::atomic<SOCKET> client{INVALID_SOCKET};
};

PressureStreamState& State() {
    static PressureStreamState state;
    return state;
}

}  // namespace

bool IsPressureStreaming() { return State().streaming.load(); }

void SetPressureStreaming(bool streaming) { State().streaming.store(streaming); }

SOCKET GetPressureClient() { return State().client.load(); }

void SetPressureClient(SOCKET socket) { State().client.store(socket); }
