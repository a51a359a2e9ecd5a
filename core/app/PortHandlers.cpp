#include "core/app/PortHandlers.h"

#include "core/app/Authorization.h"
#include "core/channels/Channels.h"
#include "core/commands/CommandHandler.h"
#include "core/tablet/TabletCommands.h"
#include "core/tablet/TabletSession.h"

int CommandPortHandler::handleMessage(Server&, SOCKET, const std::wstring& message) {
    return CommandHandler::HandleCommand(message);
}

bool CommandPortHandler::checkKey(const std::wstring& message) { return checkAuthorization(message); }

bool CommandPortHandler::mayBlock(const std::wstring& message) { return CommandHandler::MayBlock(message); }

// The dock learns at once which tablets are plugged in.
void CommandPortHandler::onAuthorized(Server& server, SOCKET) { reportAttachedDevices(tablets_, server); }

int TabletPortHandler::handleMessage(PressureServer& server, SOCKET client, const std::wstring& message) {
    return handleTabletCommand(session_, message, server, client);
}

bool TabletPortHandler::checkKey(const std::wstring& message) { return checkAuthorization(message); }

bool TabletPortHandler::isKeyAttempt(const std::string& message) { return isAuthorizationAttempt(message); }

// Hooking and unhooking the dock's window and the start's hook refresh send
// messages to the dock's thread; the driver version only reads a file.
bool TabletPortHandler::mayBlock(const std::wstring& message) {
    return message.compare(0, 16, L"getDriverVersion") != 0 && message.compare(0, 10, L"stopTablet") != 0;
}

void TabletPortHandler::onStreamStart() {
    initWinTab(session_, nullptr);
    sendHookRefresh(session_);
}

void TabletPortHandler::onStreamStarted() { penStreamStarted(session_); }

void TabletPortHandler::onStreamStop() { penStreamStopped(session_); }

int AppsPortHandler::handleMessage(Server& server, SOCKET client, const std::wstring& message) {
    return HandleCommandFromSocket(channels_, server, message, client);
}

int AppsPortHandler::handleLongMessage(Server& server, SOCKET client, const std::string& utf8) {
    return HandleLongCommandFromSocket(channels_, server, utf8, client);
}

// The pressure port's optional key, for channel name ownership.
bool AppsPortHandler::checkKey(const std::wstring& message) { return checkAuthorization(message); }

bool AppsPortHandler::isKeyAttempt(const std::string& message) { return isAuthorizationAttempt(message); }

void AppsPortHandler::onClientClosed(Server& server, SOCKET client) { FreeChannel(channels_, server, client); }
