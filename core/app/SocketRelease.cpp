#include "core/app/SocketRelease.h"
#include "core/app/SocketReleaseTesting.h"

#include <vector>

#include "core/util/Handles.h"

namespace {

// Each listener window's thread keeps the sockets it deferred; the release
// message is handled by that same thread, so no lock is needed.
thread_local std::vector<marlin::unique_socket> tDeferred;

}  // namespace

bool DeferSocketClose(HWND window, SOCKET socket) {
    WSAAsyncSelect(socket, window, 0, 0);
    shutdown(socket, SD_BOTH);
    if (!PostMessageW(window, kMsgReleaseSocket, static_cast<WPARAM>(socket), 0)) return false;
    tDeferred.emplace_back(socket);
    return true;
}

void ReleaseDeferredSocket(SOCKET socket) {
    for (auto it = tDeferred.begin(); it != tDeferred.end(); ++it) {
        if (it->get() == socket) {
            tDeferred.erase(it);  // closes it
            return;
        }
    }
}

size_t DeferredSocketCount() { return tDeferred.size(); }
