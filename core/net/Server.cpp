#include "core/net/Server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/commands/CommandHandler.h"
#include "core/net/Authorization.h"
#include "core/net/PressureStream.h"
#include "core/net/Reply.h"
#include "core/net/ResultCodes.h"
#include "core/tablet/TabletDevices.h"
#include "core/tablet/TabletSession.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

constexpr int kBindAttempts = 25;
constexpr int kFirstPort = 3400;
constexpr int kBacklog = 5;
constexpr DWORD kQuitDelayMs = 500;

// Length of an incomplete UTF-8 sequence at the end of bytes (0 when the
// text ends on a whole character): a TCP read may end inside a character.
size_t IncompleteUtf8Tail(const std::string& bytes) {
    const size_t size = bytes.size();
    for (size_t back = 1; back <= 3 && back <= size; ++back) {
        const unsigned char c = static_cast<unsigned char>(bytes[size - back]);
        if ((c & 0xC0) == 0x80) continue;  // continuation byte: look further back
        size_t needed = 1;
        if ((c & 0xE0) == 0xC0) needed = 2;
        else if ((c & 0xF0) == 0xE0) needed = 3;
        else if ((c & 0xF8) == 0xF0) needed = 4;
        return needed > back ? back : 0;
    }
    return 0;
}

// The last log entry explains a failure. It may be the "Received" line or a
// logged frame, which hold delimiters: those would cut the reply in two and
// the client would take the rest for the answer to its next command.
std::wstring FailureDetail() {
    std::wstring detail = GetLastLogMessage();
    detail.erase(std::remove(detail.begin(), detail.end(), L'|'), detail.end());
    return detail;
}

}  // namespace

Server::Server() = default;

Server::~Server() = default;

const char* Server::name() const { return "Command Server"; }

bool Server::requiresAuthorization() const { return true; }

int Server::handleMessage(SOCKET, const std::wstring& message) { return CommandHandler::HandleCommand(message); }

std::vector<SOCKET> Server::clients() const {
    std::vector<SOCKET> sockets;
    sockets.reserve(clients_.size());
    for (const auto& entry : clients_) sockets.push_back(entry.first);
    return sockets;
}

int Server::listen() {
    authorizedSocket_ = 0;
    LogMessage(std::string("Listener starting..."));

    marlin::unique_socket listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!listener) {
        LogSystemError(L"socket()");
        return -1;
    }
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    // No other program may bind the same port while we hold it; failure is harmless.
    const BOOL exclusive = TRUE;
    setsockopt(listener.get(), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof(exclusive));

    bool bound = false;
    for (int attempt = 0; attempt < kBindAttempts && !bound; ++attempt) {
        port_ = (rand() & 0xFF) + kFirstPort;
        address.sin_port = htons(static_cast<u_short>(port_));
        if (bind(listener.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0) {
            LogFormatted("Listen [%d] succesful, waiting for clients", port_);
            bound = true;
        } else {
            LogSystemError(L"bind()");
        }
    }
    if (!bound) return -1;
    if (::listen(listener.get(), kBacklog) != 0) {
        LogSystemError(L"listen()");
        return -1;
    }
    u_long nonBlocking = 1;
    ioctlsocket(listener.get(), FIONBIO, &nonBlocking);
    listenSocket_ = listener.release();
    return port_;
}

SOCKET Server::acceptClient() {
    const SOCKET client = accept(listenSocket_, nullptr, nullptr);
    if (client == INVALID_SOCKET) {
        LogSystemError(L"accept()");
        return INVALID_SOCKET;
    }
    // Replies and pen tokens are small writes to a client that rarely answers:
    // with Nagle's algorithm each would wait for the client's delayed
    // acknowledgement. The bytes on the wire stay the same.
    const BOOL noDelay = TRUE;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
    currentSocket_ = client;
    LogFormatted("New connection [%d].", port_);
    clients_[client] = ClientInput();
    return client;
}

std::string Server::readAvailable(SOCKET socket) {
    // One recv() per read event: every recv() re-arms the event, so a loop of
    // small reads would queue one more read event per call while a client
    // keeps sending, and the events of every other client would wait behind
    // them. What does not fit comes with the next event.
    char buffer[kMaxReadPerEvent];
    const int count = recv(socket, buffer, static_cast<int>(sizeof(buffer)), 0);
    if (count > 0) return std::string(buffer, static_cast<size_t>(count));
    if (count == 0) {
        LogFormatted("Error: Zero Bytes received. [%d]", port_);
    } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
        LogSystemError(L"recv()");
    }
    return std::string();
}

std::wstring Server::decode(ClientInput& input, std::string bytes) {
    bytes.insert(0, input.utf8Tail);
    input.utf8Tail.clear();
    const size_t nul = bytes.find('\0');
    if (nul != std::string::npos) {
        bytes.resize(nul);  // the text ends at a NUL byte
    } else {
        const size_t tail = IncompleteUtf8Tail(bytes);
        input.utf8Tail = bytes.substr(bytes.size() - tail);
        bytes.resize(bytes.size() - tail);
    }
    return Utf8ToWide(bytes);
}

// Appends the complete messages of text to batch and keeps the unfinished
// rest in the client's input. The kept rest never holds a delimiter, CR or
// LF, so only the new text is walked. Returns false when the unfinished
// message grew past the limit (the walk stops there).
bool Server::frame(ClientInput& input, const std::wstring& text, std::vector<std::wstring>& batch) {
    for (wchar_t c : text) {
        if (c == L'|') {
            batch.push_back(input.message);
            input.message.clear();
        } else if (c == L'\r' || c == L'\n') {
            continue;
        } else if (input.message.size() >= kMaxUnfinishedInput) {
            return false;
        } else {
            input.message.push_back(c);
        }
    }
    return true;
}

bool Server::authorize(SOCKET socket, const std::wstring& message) {
    if (authorizedSocket_ == 0 && checkAuthorization(message)) {
        LogMessage(std::string("Authorization successful."));
        authorizedSocket_ = socket;
        sendReply(L"authOk", socket);
        reportAttachedDevices();  // the dock learns at once which tablets are plugged in
        return true;
    }
    LogMessage(std::string("Authorization failed!"));
    closeClient(socket);
    return false;
}

int Server::receive(SOCKET socket) {
    currentSocket_ = socket;
    int result = kResultNothingHandled;

    auto entry = clients_.find(socket);
    if (entry == clients_.end()) {
        // A late event for a client this server has already closed.
        LogFormatted("Server::receive: no such client %d", static_cast<int>(socket));
        return result;
    }
    std::string bytes = readAvailable(socket);
    const std::wstring text = decode(entry->second, std::move(bytes));
    LogReceived(port_, text);

    std::vector<std::wstring> batch;
    const bool withinLimit = frame(entry->second, text, batch);

    for (const std::wstring& message : batch) {
        if (!hasClient(socket)) break;  // closed by a failed reply: nobody left to answer
        if (requiresAuthorization() && socket != authorizedSocket_) {
            if (!authorize(socket, message)) return result;
            continue;
        }
        SetLastError(0);
        result = handleMessage(socket, message);
        currentSocket_ = socket;
        switch (result) {
        case kResultSuccess:
            sendReply(L"Success " + TakePendingReply(), socket);
            break;
        case kResultTrue:
            sendReply(L"True", socket);
            break;
        case kResultFalse:
            sendReply(L"False", socket);
            break;
        case kResultFailure:
            sendReply(L"Failure " + FailureDetail() + L" - " + CrtErrorText(), socket);
            break;
        case kResultSyntaxError:
            sendReply(L"SyntaxError " + FailureDetail() + L" - " + CrtErrorText(), socket);
            break;
        case kResultStartPressure:
            startPressureStream(socket);
            break;
        case kResultStopPressure:
            stopPressureStream(socket);
            break;
        case kResultRestartForUpdate:
            LogMessage(std::string("Preparing restarting for update..."));
            deinit(true);
            return result;
        case kResultQuit:
            LogMessage(std::string("Exiting..."));
            sendReply(L"QuitAcknowledged", socket);
            Sleep(kQuitDelayMs);
            return result;
        default:
            break;
        }
    }

    if (!withinLimit && hasClient(socket)) {
        LogFormatted("Message too long, closing client [%d]", port_);
        closeClient(socket);
    }
    return result;
}

void Server::startPressureStream(SOCKET socket) {
    SetPressureStreaming(true);
    initWinTab(nullptr);
    sendHookRefresh();
    SetPressureClient(socket);
    penStreamStarted();
    sendReply(greeting_, socket);
}

void Server::stopPressureStream(SOCKET socket) {
    if (socket != GetPressureClient()) return;
    SetPressureStreaming(false);
    penStreamStopped();
    SetPressureClient(INVALID_SOCKET);
}

void Server::closeClient(SOCKET socket) {
    currentSocket_ = socket;
    deinit(false);
}

void Server::deinit(bool closeListener) {
    if (currentSocket_ != INVALID_SOCKET) {
        auto entry = clients_.find(currentSocket_);
        // Only a socket this server still holds is closed: a second close of a
        // handle that has since been reused would end another connection.
        if (entry != clients_.end()) {
            if (currentSocket_ == authorizedSocket_) authorizedSocket_ = 0;
            // The stream ends with its client, before the handle can be given
            // to a new connection of either thread.
            if (currentSocket_ == GetPressureClient()) {
                SetPressureStreaming(false);
                penStreamStopped();
                SetPressureClient(INVALID_SOCKET);
            }
            LogFormatted("deiniting a client [%d]", port_);
            if (!clientCloser_ || !clientCloser_(currentSocket_)) closesocket(currentSocket_);
            clients_.erase(entry);
        }
        currentSocket_ = INVALID_SOCKET;
    }
    if (closeListener && listenSocket_ != INVALID_SOCKET) {
        clients_.clear();
        LogFormatted("deinit server [%d]", port_);
        closesocket(listenSocket_);
        listenSocket_ = INVALID_SOCKET;
    }
}

void Server::handleConnectionLost(SOCKET socket) {
    LogFormatted("Server::handleConnectionLost %d", static_cast<int>(socket));
    closeClient(socket);
}

int Server::sendReply(const std::wstring& text, SOCKET socket) {
    const std::string frame = Narrow(text) + "|";
    LogMessage(frame);
    if (send(socket, frame.c_str(), static_cast<int>(strlen(frame.c_str())), 0) == SOCKET_ERROR) {
        LogSystemError(L"send()");
        if (socket == currentSocket_) deinit(false);
        return -1;
    }
    return 0;
}

int Server::replyToCurrent(const std::wstring& text) { return sendReply(text, currentSocket_); }

int Server::broadcast(const std::wstring& text) {
    // A failed send may close a client and change the table: walk a copy.
    for (SOCKET client : clients()) sendReply(text, client);
    return 0;
}

int Server::sendPressureNumber(int value) {
    const SOCKET client = GetPressureClient();
    if (client == INVALID_SOCKET) return -1;
    char digits[6];
    snprintf(digits, sizeof(digits), "%.4d ", value);
    if (send(client, digits, 5, 0) == SOCKET_ERROR) LogFormatted("Send failure! [%d]", port_);
    return 0;
}

int Server::sendPressureToken(const std::string& text) {
    const SOCKET client = GetPressureClient();
    if (client == INVALID_SOCKET) return -1;
    const std::string token = text + " ";
    if (send(client, token.c_str(), static_cast<int>(token.size()), 0) == SOCKET_ERROR) {
        LogFormatted("Send failure! [%d]", port_);
    }
    return 0;
}
