#include "core/net/AppsCommunicationServer.h"

#include "core/channels/Channels.h"
#include "core/commands/CommandHandler.h"
#include "core/util/Log.h"

void AppsCommunicationServer::deinit(bool closeListener) {
    if (currentSocket_ != INVALID_SOCKET) CommandHandler::FreeChannel(currentSocket_);
    Server::deinit(closeListener);
}

int AppsCommunicationServer::sendRaw(SOCKET socket, const std::string& frame) {
    LogMessage(frame);
    if (send(socket, frame.data(), static_cast<int>(frame.size()), 0) == SOCKET_ERROR) return -1;
    return 0;
}

int AppsCommunicationServer::handleMessage(SOCKET socket, const std::wstring& message) {
    return HandleCommandFromSocket(message, socket);
}

bool AppsCommunicationServer::requiresAuthorization() const { return false; }
