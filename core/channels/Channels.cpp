#include "core/channels/Channels.h"

#include <string>

#include "core/net/Server.h"
#include "core/protocol/CommandParsing.h"
#include "core/protocol/PendingReply.h"
#include "core/protocol/ResultCodes.h"
#include "core/util/FailureDetail.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

// The most words a channel command has (sendDataToChannel TARGET DATA TAG):
// nothing past them is ever split, so a message of millions of blanks costs
// no more than a short one.
constexpr size_t kMaxWords = 4;
// Names travel in Latin-1, one byte per character; a longer name would make
// every registration broadcast and every forward cost as much as data does.
constexpr size_t kMaxNameChars = 256;
// Command words are matched by their beginning: this much of the first word decides.
constexpr size_t kCommandWordChars = sizeof("sendDataToChannel") - 1;
const char kForwardPrefix[] = "ForwardDataToChannel ";

// Every refused name gets this detail, unless an authorized client asks for a
// name another authorized client holds: anyone else could otherwise learn
// which names are held, one guess at a time.
const wchar_t kNameRefused[] =
    L"registerChannel - a channel name must be 1 to 256 Latin-1 characters without a blank or a control "
    L"character, and not held by another client";

// Queued on the client's output; -1 when the client is gone or being closed,
// or its unsent output is already past its bound.
int SendToChannel(Server& apps, SOCKET socket, const std::wstring& text) {
    return apps.sendRaw(socket, Narrow(text) + "|");
}

// A name travels inside blank-separated, '|'-framed texts ("ForwardDataToChannel
// NAME DATA"), so a blank or a control character in it would let one widget's
// forwards read as another's; an empty name cannot be addressed at all, and
// one outside Latin-1 would be announced with '?' in its place, so two such
// names would look alike and neither could be addressed.
bool IsUsableChannelName(const std::wstring& name) {
    if (name.empty() || name.size() > kMaxNameChars) return false;
    for (wchar_t c : name)
        if (c > 0xFF || c == L' ' || c < 0x20 || (c >= 0x7F && c <= 0x9F)) return false;
    return true;
}

std::map<SOCKET, std::wstring>::iterator HolderOf(std::map<SOCKET, std::wstring>& channels,
                                                  const std::wstring& name, SOCKET socket) {
    for (auto entry = channels.begin(); entry != channels.end(); ++entry)
        if (entry->first != socket && entry->second == name) return entry;
    return channels.end();
}

// A name belongs to the first client that registers it (a second one would
// receive the data meant for the first), with two exceptions: a holder whose
// connection has already gone (its close is not handled yet) gives the name
// up at once, so a widget that reconnects gets it back; and an authorized
// client takes a name from one that is not. True when the caller may have it.
bool MayTakeName(ChannelTable& table, Server& apps, const std::wstring& name, SOCKET socket) {
    auto& channels = table.channels;
    const auto holder = HolderOf(channels, name, socket);
    if (holder == channels.end()) return true;
    if (apps.peerState(holder->first) == Server::PeerState::Gone) {
        FreeChannel(table, apps, holder->first);  // the others are told, as at its close
        return true;
    }
    const bool authorized = apps.isAuthorized(socket);
    if (authorized && !apps.isAuthorized(holder->first)) {
        // The old holder is left without a channel, as if it had never registered.
        LogMessage(L"registerChannel - taken from a client that has not authorized: " + name);
        channels.erase(holder);
        return true;
    }
    if (authorized) {
        LogFailureDetail(L"registerChannel - the channel name is held by another client: " + name);
    } else {
        LogFailureDetail(std::wstring(kNameRefused));
    }
    return false;
}

template <typename Text>
int RegisterChannel(ChannelTable& table, Server& apps, const Text& message, const WordSplit& split, SOCKET socket) {
    if (!CheckArgumentCount(split.count(), 1)) return kResultSyntaxError;
    // One character past the bound is enough to refuse a longer name.
    const std::wstring name = WordText(message, split.words[1], kMaxNameChars + 1);
    // A refused registration leaves the caller's earlier channel as it was.
    if (!IsUsableChannelName(name)) {
        LogFailureDetail(std::wstring(kNameRefused));
        return kResultSyntaxError;
    }
    if (!MayTakeName(table, apps, name, socket)) return kResultSyntaxError;
    auto& channels = table.channels;
    channels.erase(socket);  // a second registration replaces the first
    for (const auto& entry : channels) SendToChannel(apps, entry.first, L"BroadcastRegisteredChannel=" + name);
    channels[socket] = name;
    SetPendingReply(L"ChannelRegistered=true");
    return kResultSuccess;
}

// "ForwardDataToChannel SENDER DATA|" in Latin-1. The data word (up to the
// port's message limit) is narrowed straight from the message into the frame,
// as Narrow does it: no other copy of it is made.
std::string ForwardFrame(const std::wstring& sender, const std::wstring& message, const WordSpan& data) {
    std::string frame = kForwardPrefix + Narrow(sender) + ' ';
    const size_t start = frame.size();
    frame.resize(start + (data.end - data.begin) + 1);  // the word without its quotes is no longer
    char* out = &frame[start];
    ForEachWordChar(message, data, [&out](wchar_t c) {
        *out++ = ToLatin1(c);
        return true;
    });
    *out++ = '|';
    frame.resize(static_cast<size_t>(out - frame.data()));
    return frame;
}

// The same from a message as it arrived (UTF-8): the data word goes from its
// UTF-8 bytes straight into the frame, piece by piece between its quotes.
std::string ForwardFrame(const std::wstring& sender, const std::string& message, const WordSpan& data) {
    std::string frame = kForwardPrefix + Narrow(sender) + ' ';
    frame.reserve(frame.size() + (data.end - data.begin) + 1);  // Latin-1 is never longer than UTF-8
    size_t piece = data.begin;
    char quote = 0;
    for (size_t i = data.begin; data.quoted && i < data.end; ++i) {
        const char c = message[i];
        if (quote != 0 ? c == quote : (c == '"' || c == '\'')) {
            AppendUtf8AsLatin1(frame, message.data() + piece, i - piece);
            piece = i + 1;
            quote = quote != 0 ? 0 : c;
        }
    }
    AppendUtf8AsLatin1(frame, message.data() + piece, data.end - piece);
    frame.push_back('|');
    return frame;
}

template <typename Text>
int SendDataToChannel(const ChannelTable& table, Server& apps, const Text& message, const WordSplit& split,
                      SOCKET socket) {
    if (!CheckArgumentCount(split.count(), 3)) return kResultSyntaxError;
    const auto& channels = table.channels;

    int sent = -1;
    const auto sender = channels.find(socket);
    if (sender == channels.end()) {
        LogMessage(std::string("HandleCommandFromSocket::sendDataToChannel - caller not registered"));
    } else {
        // A target longer than any name cannot name a channel; reading one
        // character past the bound is enough to miss.
        const std::wstring target = WordText(message, split.words[1], kMaxNameChars + 1);
        auto receiver = channels.begin();
        while (receiver != channels.end() && receiver->second != target) ++receiver;
        if (receiver == channels.end()) {
            LogMessage(std::string("HandleCommandFromSocket::sendDataToChannel - can not find target"));
        } else {
            LogMessage(L"HandleCommandFromSocket::sendDataToChannel  sender " + sender->second);
            LogMessage(L"HandleCommandFromSocket::sendDataToChannel  receiver " + receiver->second);
            sent = apps.sendRaw(receiver->first, ForwardFrame(sender->second, message, split.words[2]));
        }
    }
    const std::wstring tag = WordText(message, split.words[3]);
    SetPendingReply((sent == 0 ? L"DataSentToChannel=" : L"DataSentToChannelError=") + tag);
    return kResultSuccess;
}

// A message of the apps port, decoded or as it arrived (a long one): only
// its first few words are read, so neither costs more than a short one.
template <typename Text>
int HandleChannelCommand(ChannelTable& table, Server& apps, const Text& message, SOCKET socket) {
    LogMessage("CommandHandler::HandleCommandFromSocket socket " +
               std::to_string(static_cast<unsigned long long>(socket)));
    const WordSplit split = SplitWords(message, kMaxWords);
    if (split.words.empty()) {
        LogFailureDetail(std::string("No command found."));
        return kResultSyntaxError;
    }
    const std::wstring command = WordText(message, split.words[0], kCommandWordChars);
    if (IsCommand("registerChannel", command)) return RegisterChannel(table, apps, message, split, socket);
    if (IsCommand("sendDataToChannel", command)) return SendDataToChannel(table, apps, message, split, socket);
    return kResultSuccess;
}

}  // namespace

int HandleCommandFromSocket(ChannelTable& table, Server& apps, const std::wstring& message, SOCKET socket) {
    return HandleChannelCommand(table, apps, message, socket);
}

// Whatever its command, a long message is never decoded whole: a UTF-16 copy
// twice its size would be memory that no budget counts.
int HandleLongCommandFromSocket(ChannelTable& table, Server& apps, const std::string& utf8, SOCKET socket) {
    return HandleChannelCommand(table, apps, utf8, socket);
}

void FreeChannel(ChannelTable& table, Server& apps, SOCKET socket) {
    auto& channels = table.channels;
    const auto entry = channels.find(socket);
    if (entry == channels.end()) return;
    const std::wstring name = entry->second;
    LogMessage(L"CommandHandler::FreeChannel " + name);
    channels.erase(entry);
    for (const auto& other : channels) SendToChannel(apps, other.first, L"BroadcastUnRegisteredChannel=" + name);
}
