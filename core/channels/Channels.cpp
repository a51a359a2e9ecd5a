#include "core/channels/Channels.h"

#include <map>
#include <vector>

#include "core/commands/CommandHandler.h"
#include "core/commands/CommandParsing.h"
#include "core/net/AppsCommunicationServer.h"
#include "core/net/Reply.h"
#include "core/net/ResultCodes.h"
#include "core/net/Servers.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

// Channel names by client socket, in ascending socket order. Used only on the
// main thread (the apps server's window).
struct ChannelTable {
    std::map<SOCKET, std::wstring> channels;
};

ChannelTable& Table() {
    static ChannelTable* table = new ChannelTable();  // lives until the process ends
    return *table;
}

int SendToChannel(SOCKET socket, const std::wstring& text) {
    AppsCommunicationServer* apps = GetAppsServer();
    if (apps == nullptr) return -1;
    return apps->sendRaw(socket, Narrow(text) + "|");
}

int RegisterChannel(const std::vector<std::wstring>& tokens, SOCKET socket) {
    if (!CheckArgumentCount(tokens.size(), 1)) return kResultSyntaxError;
    const std::wstring& name = tokens[1];
    auto& channels = Table().channels;
    channels.erase(socket);  // a second registration replaces the first
    for (const auto& entry : channels) SendToChannel(entry.first, L"BroadcastRegisteredChannel=" + name);
    channels[socket] = name;
    SetPendingReply(L"ChannelRegistered=true");
    return kResultSuccess;
}

int SendDataToChannel(const std::vector<std::wstring>& tokens, SOCKET socket) {
    if (!CheckArgumentCount(tokens.size(), 3)) return kResultSyntaxError;
    const std::wstring& target = tokens[1];
    const std::wstring& data = tokens[2];
    const std::wstring& tag = tokens[3];
    const auto& channels = Table().channels;

    int sent = -1;
    const auto sender = channels.find(socket);
    if (sender == channels.end()) {
        LogMessage(std::string("HandleCommandFromSocket::sendDataToChannel - caller not registered"));
    } else {
        auto receiver = channels.begin();
        while (receiver != channels.end() && receiver->second != target) ++receiver;
        if (receiver == channels.end()) {
            LogMessage(std::string("HandleCommandFromSocket::sendDataToChannel - can not find target"));
        } else {
            LogMessage(L"HandleCommandFromSocket::sendDataToChannel  sender " + sender->second);
            LogMessage(L"HandleCommandFromSocket::sendDataToChannel  receiver " + receiver->second);
            sent = SendToChannel(receiver->first, L"ForwardDataToChannel " + sender->second + L" " + data);
        }
    }
    SetPendingReply((sent == 0 ? L"DataSentToChannel=" : L"DataSentToChannelError=") + tag);
    return kResultSuccess;
}

}  // namespace

int HandleCommandFromSocket(const std::wstring& message, SOCKET socket) {
    LogFormatted("CommandHandler::HandleCommandFromSocket socket %d", static_cast<int>(socket));
    const std::vector<std::wstring> tokens = TokenizeCommand(message);
    if (tokens.empty()) {
        LogMessage(std::string("No command found."));
        return kResultSyntaxError;
    }
    if (IsCommand("registerChannel", tokens[0])) return RegisterChannel(tokens, socket);
    if (IsCommand("sendDataToChannel", tokens[0])) return SendDataToChannel(tokens, socket);
    return kResultSuccess;
}

void CommandHandler::FreeChannel(SOCKET socket) {
    auto& channels = Table().channels;
    const auto entry = channels.find(socket);
    if (entry == channels.end()) return;
    const std::wstring name = entry->second;
    LogMessage(L"CommandHandler::FreeChannel " + name);
    channels.erase(entry);
    for (const auto& other : channels) SendToChannel(other.first, L"BroadcastUnRegisteredChannel=" + name);
}
