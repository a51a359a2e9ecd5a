#include "core/app/WindowTurns.h"

void PostReadTurn(HWND window, UINT serverEvents, SOCKET socket) {
    PostMessageW(window, serverEvents, socket, WSAMAKESELECTREPLY(FD_READ, 0));
}

bool RequestFlush(HWND window, UINT serverEvents) {
    return window != nullptr && PostMessageW(window, kMsgFlushOutput, serverEvents, 0);
}
