#include "core/net/PressureServer.h"

#include <cstdio>

#include "core/util/FailureDetail.h"
#include "core/util/Log.h"

void PressureServer::startStream(SOCKET socket) {
    // A stream held by an authorized client is never taken by one that is not.
    if (streamClient_ != INVALID_SOCKET && streamClient_ != socket && isAuthorized(streamClient_) &&
        !isAuthorized(socket)) {
        LogFailureDetail(std::string("The pen stream is held by an authorized client"));
        sendFailure(socket);
        return;
    }
    // The flag, then WinTab and the hook refresh (whose synchronous sends
    // may bring pen packets), then the client, then its empty reply: no
    // token of the new stream can come before the reply.
    streaming_ = true;
    if (port_.handler != nullptr) port_.handler->onStreamStart();
    if (isClosing(socket)) {  // it went during the refresh
        streaming_ = streamClient_ != INVALID_SOCKET;
        return;
    }
    streamClient_ = socket;
    if (port_.handler != nullptr) port_.handler->onStreamStarted();
    sendReply(std::wstring(), socket);
}

void PressureServer::stopStream(SOCKET socket) {
    if (socket == streamClient_) endStream();
}

void PressureServer::clientClosing(SOCKET socket) {
    if (socket != streamClient_) return;
    LogMessage(std::string("Sending pressure stopped"));
    endStream();
}

// The one place the stream ends: stopTablet from its client, or its client goes.
void PressureServer::endStream() {
    streamClient_ = INVALID_SOCKET;
    streaming_ = false;
    if (port_.handler != nullptr) port_.handler->onStreamStop();
}

int PressureServer::sendPressureNumber(int value) {
    if (streamClient_ == INVALID_SOCKET) return -1;
    // At least four digits and a blank; a longer value keeps its blank.
    char digits[16];
    const int length = snprintf(digits, sizeof(digits), "%.4d ", value);
    queueFromElsewhere(streamClient_, digits, static_cast<size_t>(length));
    return 0;
}

int PressureServer::sendPressureToken(const std::string& text) {
    if (streamClient_ == INVALID_SOCKET) return -1;
    const std::string token = text + " ";
    queueFromElsewhere(streamClient_, token.data(), token.size());
    return 0;
}
