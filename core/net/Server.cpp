#include "core/net/Server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/net/BufferBudget.h"
#include "core/net/Limits.h"
#include "core/net/Reply.h"
#include "core/net/ResultCodes.h"
#include "core/util/Handles.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

constexpr int kBindAttempts = 25;
constexpr int kFirstPort = 3400;
constexpr DWORD kQuitDelayMs = 500;
// A drained queue keeps at most this much capacity; a client that once
// received a large frame does not keep its memory.
constexpr size_t kKeptCapacity = 64 * 1024;

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

// What a waiting message costs, its record included: a read full of empty
// messages must count for more than nothing.
template <typename Framed>
size_t BacklogCost(const Framed& framed) {
    return framed.bytes.size() + sizeof(Framed) + 16;
}

void DropBuffer(std::string& buffer) {
    buffer.clear();
    if (buffer.capacity() > kKeptCapacity) std::string().swap(buffer);
}

}  // namespace

Server::Server() : maxMessage_(netlimits::kMaxMessage) {}

Server::Server(const char* name, AuthMode authMode, size_t maxMessage)
    : name_(name), authMode_(authMode), maxMessage_(maxMessage) {}

Server::~Server() {
    if (budget_ != nullptr) {
        budget_->adjust(held_, 0);
        budget_->detach(*this);
    }
}

void Server::setHooks(ServerHooks hooks) { hooks_ = std::move(hooks); }

bool Server::requiresAuthorization() const { return authMode_ == AuthMode::Required; }

int Server::handleMessage(SOCKET socket, const std::wstring& message) {
    return hooks_.handleMessage ? hooks_.handleMessage(*this, socket, message) : kResultNothingHandled;
}

std::vector<SOCKET> Server::clients() const {
    std::vector<SOCKET> sockets;
    sockets.reserve(clients_.size());
    for (const auto& entry : clients_) sockets.push_back(entry.first);
    return sockets;
}

bool Server::isAuthorized(SOCKET socket) const {
    const auto entry = clients_.find(socket);
    return entry != clients_.end() && entry->second.authorized;
}

size_t Server::heldBytes(SOCKET socket) const {
    const auto entry = clients_.find(socket);
    return entry == clients_.end() ? 0 : entry->second.counted;
}

SOCKET Server::largestHolder(size_t& bytes) const {
    SOCKET largest = INVALID_SOCKET;
    bytes = 0;
    for (const auto& entry : clients_) {
        if (entry.second.counted > bytes) {
            bytes = entry.second.counted;
            largest = entry.first;
        }
    }
    return largest;
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
    if (::listen(listener.get(), netlimits::kListenBacklog) != 0) {
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
    if (clients_.size() >= netlimits::kMaxConnectionsPerPort) {
        LogFormatted("Too many connections, refusing a new one [%d]", port_);
        closesocket(client);  // never registered for events: nothing can be queued for it
        return INVALID_SOCKET;
    }
    if (requiresAuthorization()) {
        // The oldest stranger makes room; the dock, connecting now, is never kept out.
        size_t waiting = 0;
        SOCKET oldest = INVALID_SOCKET;
        DWORD oldestAge = 0;
        const DWORD now = GetTickCount();
        for (const auto& entry : clients_) {
            if (entry.first == authorizedSocket_ || entry.second.closing) continue;
            ++waiting;
            if (oldest == INVALID_SOCKET || now - entry.second.acceptedAt > oldestAge) {
                oldest = entry.first;
                oldestAge = now - entry.second.acceptedAt;
            }
        }
        if (waiting >= netlimits::kMaxAwaitingAuthorization) {
            LogFormatted("Too many connections waiting to authorize, closing the oldest [%d]", port_);
            closeClient(oldest);
        }
    }
    // Replies and pen tokens are small writes to a client that rarely answers:
    // with Nagle's algorithm each would wait for the client's delayed
    // acknowledgement. The bytes on the wire stay the same.
    const BOOL noDelay = TRUE;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
    LogFormatted("New connection [%d].", port_);
    Client& record = clients_[client];
    record.acceptedAt = GetTickCount();
    return client;
}

void Server::expireUnauthorized(DWORD now) {
    if (!requiresAuthorization()) return;
    std::vector<SOCKET> late;
    for (const auto& entry : clients_) {
        if (entry.first != authorizedSocket_ && !entry.second.closing &&
            now - entry.second.acceptedAt >= netlimits::kAuthorizeWithinMs)
            late.push_back(entry.first);
    }
    for (SOCKET socket : late) {
        LogFormatted("No authorization in time, closing client [%d]", port_);
        closeClient(socket);
    }
}

Server::PeerState Server::peerState(SOCKET socket) const {
    int error = 0;
    int length = sizeof(error);
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error != 0)
        return PeerState::Gone;
    char byte;
    const int peeked = recv(socket, &byte, 1, MSG_PEEK);
    if (peeked == 0) return PeerState::Gone;  // the peer has closed its side
    if (peeked > 0) return PeerState::DataPending;
    return WSAGetLastError() == WSAEWOULDBLOCK ? PeerState::Open : PeerState::Gone;
}

std::string Server::readAvailable(SOCKET socket) {
    // One recv() per read event: every recv() re-arms the event, so a loop of
    // small reads would queue one more read event per call while a client
    // keeps sending, and the events of every other client would wait behind
    // them. What does not fit comes with the next event.
    char buffer[netlimits::kMaxReadPerEvent];
    const int count = recv(socket, buffer, static_cast<int>(sizeof(buffer)), 0);
    if (count > 0) return std::string(buffer, static_cast<size_t>(count));
    if (count == 0) {
        LogFormatted("Error: Zero Bytes received. [%d]", port_);
    } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
        LogSystemError(L"recv()");
    }
    return std::string();
}

// Appends the complete messages of chunk to batch and keeps the unfinished
// rest in the client's input. Framing works on bytes ('|', CR and LF never
// occur inside a UTF-8 sequence); each message is decoded when handled.
// A message past the limit becomes a tooLong entry and the rest of it is
// skipped. Returns false when a client that must authorize sent more than
// one short line.
bool Server::frame(SOCKET socket, Client& client, std::string chunk, std::vector<Framed>& batch) {
    chunk.erase(std::remove_if(chunk.begin(), chunk.end(), [](char c) { return c == '\r' || c == '\n'; }),
                chunk.end());
    const bool stranger = requiresAuthorization() && socket != authorizedSocket_;
    size_t start = 0;
    for (;;) {
        const size_t limit = stranger && !client.pastFirstLine ? netlimits::kMaxUnauthorizedInput : messageLimit();
        const size_t end = chunk.find('|', start);
        const size_t length = (end == std::string::npos ? chunk.size() : end) - start;
        if (!client.skipping && client.input.size() + length > limit) {
            if (stranger && !client.pastFirstLine) return false;
            client.skipping = true;
            DropBuffer(client.input);
            batch.push_back(Framed{std::string(), true});
        }
        if (end == std::string::npos) {
            if (!client.skipping) client.input.append(chunk, start, length);
            return true;
        }
        if (client.skipping) {
            client.skipping = false;  // the long message ends here
        } else {
            client.input.append(chunk, start, length);
            batch.push_back(Framed{std::move(client.input), false});
            client.input.clear();
        }
        client.pastFirstLine = true;
        start = end + 1;
    }
}

bool Server::authorize(SOCKET socket, Client& client, const std::wstring& message) {
    if (authorizedSocket_ == 0 && hooks_.checkKey && hooks_.checkKey(message)) {
        LogMessage(std::string("Authorization successful."));
        authorizedSocket_ = socket;
        client.authorized = true;
        sendReply(L"authOk", socket);
        if (hooks_.onAuthorized) hooks_.onAuthorized(*this, socket);  // the device report
        return true;
    }
    LogMessage(std::string("Authorization failed!"));
    closeClient(socket);
    return false;
}

// On a port where authorizing is optional: true when the message was an
// attempt (answered here), false when it is an ordinary command.
bool Server::optionalAuthorize(SOCKET socket, Client& client, const std::wstring& message) {
    if (!hooks_.isKeyAttempt || !hooks_.isKeyAttempt(message)) return false;
    if (hooks_.checkKey && hooks_.checkKey(message)) {
        LogMessage(std::string("Authorization successful."));
        client.authorized = true;
        sendReply(L"authOk", socket);
    } else {
        LogMessage(std::string("Authorization failed!"));
        sendReply(L"Failure Authorization failed!", socket);
    }
    return true;
}

int Server::receive(SOCKET socket) {
    int result = kResultNothingHandled;
    auto entry = clients_.find(socket);
    if (entry == clients_.end()) {
        // A late event for a client this server has already closed.
        LogMessage("Server::receive: no such client " + std::to_string(static_cast<unsigned long long>(socket)));
        return result;
    }
    Client& client = entry->second;
    if (client.closing) return result;
    client.resume = false;

    // The replies to everything handled now leave in one send.
    OutputBatch batch(*this);
    bool withinLimit = true;
    // Output of earlier turns still waiting for its turn to be sent: nothing
    // new is read or handled until it has left. A client whose messages fan
    // out to every other client (registrations announced to hundreds of
    // channels) is held to the pace its output leaves at; otherwise its
    // turns would outrun the sends and well-reading clients would reach
    // their output bound. A later turn comes behind the others' events.
    const bool outputWaiting = dirty_.size() > netlimits::kMaxSendsPerTurn;
    // Messages left from the last read are handled before anything more is read.
    const bool read = client.backlog.empty() && !outputWaiting;
    if (read) {
        std::string bytes = readAvailable(socket);
        const size_t nul = bytes.find('\0');
        if (nul != std::string::npos) bytes.resize(nul);  // the text ends at a NUL byte

        // The log shows the text as read; a character cut by the read is shown whole with the next.
        std::string logged = client.logTail + bytes;
        client.logTail.clear();
        if (nul == std::string::npos) {
            const size_t tail = IncompleteUtf8Tail(logged);
            client.logTail = logged.substr(logged.size() - tail);
            logged.resize(logged.size() - tail);
        }
        LogReceived(port_, Utf8ToWide(logged));

        std::vector<Framed> messages;
        withinLimit = frame(socket, client, std::move(bytes), messages);
        for (Framed& framed : messages) {
            client.backlogBytes += BacklogCost(framed);
            client.backlog.push_back(std::move(framed));
        }
        account(client);
    }

    // Bounded work per event: a message that fans out to every client (a
    // registration with hundreds of channels) must not keep the thread from
    // the others' events for long. The rest waits for the next turn.
    const size_t framesBefore = framesQueued_;
    while (!client.backlog.empty() && !outputWaiting) {
        if (client.closing) break;  // nobody left to answer
        if (framesQueued_ - framesBefore >= netlimits::kMaxFramesPerReadEvent) break;
        const Framed framed = std::move(client.backlog.front());
        client.backlog.pop_front();
        client.backlogBytes -= BacklogCost(framed);
        account(client);
        if (framed.tooLong) {
            const std::string limit = std::to_string(messageLimit());
            LogMessage("Message too long, skipped up to its delimiter (limit " + limit + " bytes) [" +
                       std::to_string(port_) + "]");
            sendReply(L"Failure Message too long, the limit is " + Widen(limit) + L" bytes", socket);
            continue;
        }
        const std::wstring message = Utf8ToWide(framed.bytes);
        if (requiresAuthorization() && socket != authorizedSocket_) {
            if (!authorize(socket, client, message)) return result;
            continue;
        }
        if (authMode_ == AuthMode::Optional && optionalAuthorize(socket, client, message)) continue;
        SetLastError(0);
        result = handleMessage(socket, message);
        if (client.closing) break;
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
            dropBacklog(client);  // the rest of the batch is discarded
            sendReply(L"QuitAcknowledged", socket);
            flush(socket, client);  // the client hears it before its connection is closed
            Sleep(kQuitDelayMs);
            return result;
        default:
            break;
        }
    }

    if (!withinLimit && !client.closing) {
        LogFormatted("Unauthorized input too long, closing client [%d]", port_);
        closeClient(socket);
    }
    // The client's own replies leave first, whatever else waits.
    if (client.dirty && !client.closing) flush(socket, client);
    // Another turn when messages wait, or when this turn read nothing.
    client.resume = !client.closing && (!client.backlog.empty() || !read);
    return result;
}

bool Server::wantsAnotherTurn(SOCKET socket) const {
    const auto entry = clients_.find(socket);
    return entry != clients_.end() && entry->second.resume;
}

void Server::dropBacklog(Client& client) {
    client.backlog.clear();
    client.backlogBytes = 0;
    account(client);
}

void Server::startPressureStream(SOCKET socket) {
    // A stream held by an authorized client is never taken by one that is not.
    if (streamClient_ != INVALID_SOCKET && streamClient_ != socket && isAuthorized(streamClient_) &&
        !isAuthorized(socket)) {
        LogMessage(std::string("The pen stream is held by an authorized client"));
        sendReply(L"Failure The pen stream is held by an authorized client", socket);
        return;
    }
    streamClient_ = socket;
    if (hooks_.onStreamStart) hooks_.onStreamStart();
    sendReply(greeting_, socket);
}

void Server::stopPressureStream(SOCKET socket) {
    if (socket == streamClient_) endStream();
}

// The one place the stream ends: stopTablet from its client, or its client goes.
void Server::endStream() {
    streamClient_ = INVALID_SOCKET;
    if (hooks_.onStreamStop) hooks_.onStreamStop();
}

void Server::closeClient(SOCKET socket) {
    auto entry = clients_.find(socket);
    if (entry == clients_.end()) return;
    if (holdDepth_ > 0 || settling_) {
        markClosing(socket, entry->second);
    } else {
        closeNow(socket);
    }
}

// The client takes no more output and holds nothing from now on; it is
// closed when the held batch ends.
void Server::markClosing(SOCKET socket, Client& client) {
    if (socket == streamClient_) {
        LogMessage(std::string("Sending pressure stopped"));
        endStream();
    }
    if (socket == authorizedSocket_) authorizedSocket_ = 0;  // a new client may now authorize
    if (client.closing) return;
    client.closing = true;
    client.resume = false;
    client.backlog.clear();
    client.backlogBytes = 0;
    DropBuffer(client.input);
    DropBuffer(client.output);
    client.sent = 0;
    account(client);
    closing_.push_back(socket);
}

void Server::closeNow(SOCKET socket) {
    auto entry = clients_.find(socket);
    if (entry == clients_.end()) return;
    // What the hook sends, and the clients that fail on it, wait until the
    // hook is done: it may be walking a table those closes would change.
    OutputBatch batch(*this);
    // Only a socket this server still holds is closed: a second close of a
    // handle that has since been reused would end another connection.
    markClosing(socket, entry->second);
    closing_.erase(std::remove(closing_.begin(), closing_.end(), socket), closing_.end());
    if (hooks_.onClientClosed) hooks_.onClientClosed(*this, socket);  // e.g. its channel is freed
    LogFormatted("deiniting a client [%d]", port_);
    if (!hooks_.closeSocket || !hooks_.closeSocket(socket)) closesocket(socket);
    clients_.erase(socket);
}

void Server::deinit(bool closeListener) {
    if (!closeListener) return;
    for (SOCKET socket : clients()) closeClient(socket);
    if (listenSocket_ != INVALID_SOCKET) {
        LogFormatted("deinit server [%d]", port_);
        closesocket(listenSocket_);
        listenSocket_ = INVALID_SOCKET;
    }
}

void Server::handleConnectionLost(SOCKET socket) {
    LogMessage("Server::handleConnectionLost " + std::to_string(static_cast<unsigned long long>(socket)));
    closeClient(socket);
}

int Server::queue(SOCKET socket, const char* bytes, size_t size) {
    auto entry = clients_.find(socket);
    if (entry == clients_.end() || entry->second.closing) return -1;
    Client& client = entry->second;
    OutputBatch batch(*this);
    // A frame goes in whole or not at all; a client that leaves more than
    // its bound unread is closed rather than fed a cut stream.
    if (client.output.size() - client.sent >= netlimits::kMaxUnsentOutput) {
        LogFormatted("Client does not read its replies, output bound reached, closing it [%d]", port_);
        closeClient(socket);
        return -1;
    }
    client.output.append(bytes, size);
    ++framesQueued_;
    if (!client.dirty) {
        client.dirty = true;
        dirty_.push_back(socket);
    }
    account(client);
    return 0;
}

void Server::flush(SOCKET socket, Client& client) {
    client.dirty = false;
    while (!client.closing && !client.writeBlocked && client.sent < client.output.size()) {
        const size_t left = client.output.size() - client.sent;
        const int chunk = static_cast<int>(std::min<size_t>(left, 1u << 30));
        const int written = send(socket, client.output.data() + client.sent, chunk, 0);
        if (written == SOCKET_ERROR) {
            if (WSAGetLastError() == WSAEWOULDBLOCK) {
                client.writeBlocked = true;  // FD_WRITE brings us back
            } else {
                LogSystemError(L"send()");
                closeClient(socket);
                return;
            }
        } else {
            client.sent += static_cast<size_t>(written);
        }
    }
    if (client.sent == client.output.size()) {
        DropBuffer(client.output);
        client.sent = 0;
    } else if (client.sent > kKeptCapacity && client.sent * 2 > client.output.size()) {
        client.output.erase(0, client.sent);
        client.sent = 0;
    }
    account(client);
}

void Server::onWritable(SOCKET socket) {
    auto entry = clients_.find(socket);
    if (entry == clients_.end()) return;
    OutputBatch batch(*this);
    entry->second.writeBlocked = false;
    flush(socket, entry->second);
}

void Server::account(Client& client) {
    const size_t now = client.input.size() + client.backlogBytes + (client.output.size() - client.sent);
    held_ = held_ - client.counted + now;
    if (budget_ != nullptr) budget_->adjust(client.counted, now);
    client.counted = now;
}

void Server::release() {
    if (--holdDepth_ == 0) settle();
}

// End of a batch: one send per client with queued output, then the closes
// that waited for it, then the service-wide cap.
void Server::settle() {
    if (settling_) return;
    settling_ = true;
    // Each send is a round trip to the system: a turn sends to a bounded
    // number of clients when the service can give us a later turn, and the
    // rest leave then, each client's share still in one send.
    bool bounded = static_cast<bool>(hooks_.requestFlush);
    size_t sends = 0;
    for (;;) {
        while (!dirty_.empty() && (!bounded || sends < netlimits::kMaxSendsPerTurn)) {
            const SOCKET socket = dirty_.front();
            dirty_.pop_front();
            auto entry = clients_.find(socket);
            if (entry == clients_.end() || !entry->second.dirty) continue;  // gone, or already sent
            flush(socket, entry->second);
            ++sends;
        }
        // A close may make others send (a freed channel is announced) and
        // fail: they join the lists and the loop goes on.
        while (!closing_.empty()) closeNow(closing_.back());
        if (dirty_.empty() && closing_.empty()) break;
        if (bounded && sends >= netlimits::kMaxSendsPerTurn) {
            if (flushRequested_) break;
            flushRequested_ = true;
            if (hooks_.requestFlush(*this)) break;
            flushRequested_ = false;
            bounded = false;  // no later turn to be had: everything now
        }
    }
    settling_ = false;
    if (budget_ != nullptr) budget_->enforce();
}

void Server::flushWaiting() {
    flushRequested_ = false;
    OutputBatch batch(*this);  // its end sends the next share
}

int Server::sendRaw(SOCKET socket, const std::string& frame) {
    LogMessage(frame);
    return queue(socket, frame.data(), frame.size());
}

int Server::sendReply(const std::wstring& text, SOCKET socket) {
    std::string frame = Narrow(text);
    frame.resize(strlen(frame.c_str()));  // a frame ends at its first NUL
    frame += '|';
    return sendRaw(socket, frame);
}

int Server::broadcast(const std::wstring& text) {
    OutputBatch batch(*this);
    for (SOCKET client : clients()) sendReply(text, client);
    return 0;
}

int Server::sendPressureNumber(int value) {
    if (streamClient_ == INVALID_SOCKET) return -1;
    // At least four digits and a blank; a longer value keeps its blank.
    char digits[16];
    const int length = snprintf(digits, sizeof(digits), "%.4d ", value);
    queue(streamClient_, digits, static_cast<size_t>(length));
    return 0;
}

int Server::sendPressureToken(const std::string& text) {
    if (streamClient_ == INVALID_SOCKET) return -1;
    const std::string token = text + " ";
    queue(streamClient_, token.data(), token.size());
    return 0;
}
