#include "core/channels/Channels.h"

#include <map>
#include <vector>

#include "core/commands/CommandHandler.h"
#include "core/commands/CommandParsing.h"
#include "core/net/Reply.h"
#include "core/net/ResultCodes.h"
#include "core/net/Server.h"
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

// Queued on the client's output; -1 when the client is gone or being closed.
int SendToChannel(Server& apps, SOCKET socket, const std::wstring& text) {
    return apps.sendRaw(socket, Narrow(text) + "|");
}

// A name travels inside blank-separated, '|'-framed texts ("ForwardDataToChannel
// NAME DATA"), so a blank or a control character in it would let one widget's
// forwards read as another's; an empty name cannot be addressed at all.
bool IsUsableChannelName(const std::wstring& name) {
    if (name.empty()) return false;
    for (wchar_t c : name)
        if (c == L' ' || c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
    return true;
}

// A name belongs to the first client that registers it: a second one would
// receive the data meant for the first.
bool IsHeldByAnother(const std::map<SOCKET, std::wstring>& channels, const std::wstring& name, SOCKET socket) {
    for (const auto& entry : channels)
        if (entry.first != socket && entry.second == name) return true;
    return false;
}

int RegisterChannel(Server& apps, const std::vector<std::wstring>& tokens, SOCKET socket) {
    if (!CheckArgumentCount(tokens.size(), 1)) return kResultSyntaxError;
    const std::wstring& name = tokens[1];
    auto& channels = Table().channels;
    // A refused registration leaves the caller's earlier channel as it was.
    if (!IsUsableChannelName(name)) {
        LogMessage(std::wstring(L"registerChannel - a channel name must not be empty or hold a blank or a control character"));
        return kResultFailure;
    }
    if (IsHeldByAnother(channels, name, socket)) {
        LogMessage(L"registerChannel - the channel name is held by another client: " + name);
        return kResultFailure;
    }
    channels.erase(socket);  // a second registration replaces the first
    for (const auto& entry : channels) SendToChannel(apps, entry.first, L"BroadcastRegisteredChannel=" + name);
    channels[socket] = name;
    SetPendingReply(L"ChannelRegistered=true");
    return kResultSuccess;
}

int SendDataToChannel(Server& apps, const std::vector<std::wstring>& tokens, SOCKET socket) {
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
            sent = SendToChannel(apps, receiver->first, L"ForwardDataToChannel " + sender->second + L" " + data);
        }
    }
    SetPendingReply((sent == 0 ? L"DataSentToChannel=" : L"DataSentToChannelError=") + tag);
    return kResultSuccess;
}

}  // namespace

int HandleCommandFromSocket(Server& apps, const std::wstring& message, SOCKET socket) {
    LogMessage("CommandHandler::HandleCommandFromSocket socket " +
               std::to_string(static_cast<unsigned long long>(socket)));
    const std::vector<std::wstring> tokens = TokenizeCommand(message);
    if (tokens.empty()) {
        LogMessage(std::string("No command found."));
        return kResultSyntaxError;
    }
    if (IsCommand("registerChannel", tokens[0])) return RegisterChannel(apps, tokens, socket);
    if (IsCommand("sendDataToChannel", tokens[0])) return SendDataToChannel(apps, tokens, socket);
    return kResultSuccess;
}

void CommandHandler::FreeChannel(Server& apps, SOCKET socket) {
    auto& channels = Table().channels;
    const auto entry = channels.find(socket);
    if (entry == channels.end()) return;
    const std::wstring name = entry->second;
    LogMessage(L"CommandHandler::FreeChannel " + name);
    channels.erase(entry);
    for (const auto& other : channels) SendToChannel(apps, other.first, L"BroadcastUnRegisteredChannel=" + name);
}
