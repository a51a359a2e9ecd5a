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
static_assert(netlimits::kMaxAuthorizationMessage == 1024, "the refusal's log line names the bound");

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

// The first limit bytes of a message, cut before a character the limit would split.
std::string LoggedPart(const std::string& bytes, size_t limit) {
    if (bytes.size() <= limit) return bytes;
    std::string part = bytes.substr(0, limit);
    part.resize(part.size() - IncompleteUtf8Tail(part));
    return part;
}

// A reply as it travels: Latin-1 (a code unit above 0xFF becomes '?'), up to
// its first NUL, and the delimiter.
std::string FrameOf(const std::wstring& text) {
    size_t length = 0;
    while (length < text.size() && text[length] != L'\0') ++length;
    std::string frame(length + 1, '|');
    for (size_t i = 0; i < length; ++i) {
        const wchar_t c = text[i];
        frame[i] = static_cast<unsigned>(c) <= 0xFF ? static_cast<char>(c) : '?';
    }
    return frame;
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

Server::Server() : maxMessage_(netlimits::kMaxMessage) {}

Server::Server(const char* name, AuthMode authMode, size_t maxMessage, size_t logLimit)
    : name_(name), authMode_(authMode), maxMessage_(maxMessage), logLimit_(logLimit) {}

Server::~Server() {
    if (budget_ != nullptr) budget_->detach(*this);
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

CapCandidate Server::capCandidate(DWORD now) const {
    CapCandidate first;
    for (const auto& entry : clients_) {
        const Connection& client = entry.second;
        if (client.closing || client.counted == 0) continue;
        CapCandidate candidate;
        candidate.socket = entry.first;
        candidate.outputWaiting = client.hasUnsent();
        candidate.keyless = keyless(client);
        candidate.idleMs = client.stalledMs(now);
        candidate.bytes = client.counted;
        if (candidate.closesBefore(first)) first = candidate;
    }
    return first;
}

size_t Server::outputBound(const Connection& client) const {
    return keyless(client) ? netlimits::kMaxKeylessUnsentOutput : netlimits::kMaxUnsentOutput;
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
            receivedPrefix_ = ReceivedPrefix(port_);
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
    Connection& record = clients_[client];
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

void Server::closeStalled(DWORD now) {
    std::vector<SOCKET> stalled;
    for (const auto& entry : clients_)
        if (!entry.second.closing && entry.second.stalledMs(now) >= netlimits::kStalledOutputMs)
            stalled.push_back(entry.first);
    for (SOCKET socket : stalled) {
        LogFormatted("Client has taken none of its output for 60 s, closing it [%d]", port_);
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
    readBuffer_.resize(netlimits::kMaxReadPerEvent);
    const int count = recv(socket, readBuffer_.data(), static_cast<int>(readBuffer_.size()), 0);
    if (count > 0) return std::string(readBuffer_.data(), static_cast<size_t>(count));
    if (count == 0) {
        LogFormatted("Error: Zero Bytes received. [%d]", port_);
    } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
        LogSystemError(L"recv()");
    }
    return std::string();
}

bool Server::authorize(SOCKET socket, Connection& client, const std::wstring& message) {
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

// A long message, not an authorization attempt (refusesLongKeyAttempt has
// judged it), on a port that handles long messages as they arrived.
bool Server::takesAsArrived(const std::string& bytes) const {
    if (!hooks_.handleLongMessage || bytes.size() <= netlimits::kLargeFrame) return false;
    return !requiresAuthorization();
}

// On a port where authorizing is optional, before anything is decoded: an
// authorization attempt is told by its first bytes, and one longer than any
// key needs is refused as it stands. Decoding and splitting a long message
// would cost the thread time and memory that no budget counts, for any
// stranger who asks. True when the message was refused (answered here).
bool Server::refusesLongKeyAttempt(SOCKET socket, const std::string& bytes) {
    if (authMode_ != AuthMode::Optional || !hooks_.isKeyAttempt || bytes.empty()) return false;
    if (bytes[0] != 'a' && bytes[0] != '"' && bytes[0] != '\'') return false;  // the first word cannot be "auth..."
    // Decoding stops at a NUL: the handler would see no more than that.
    const char* nul = static_cast<const char*>(memchr(bytes.data(), '\0', bytes.size()));
    const size_t length = nul != nullptr ? static_cast<size_t>(nul - bytes.data()) : bytes.size();
    if (length <= netlimits::kMaxAuthorizationMessage) return false;  // decoded and judged whole, as any message
    if (!hooks_.isKeyAttempt(bytes.substr(0, netlimits::kMaxAuthorizationMessage))) return false;
    LogReceived(receivedPrefix_, Utf8ToWide(LoggedPart(bytes, std::min(logLimit_, netlimits::kMaxAuthorizationMessage))));
    LogFormatted("Authorization attempt longer than 1024 bytes refused [%d]", port_);
    LogMessage(std::string("Authorization failed!"));
    sendFailure(socket);
    return true;
}

// On a port where authorizing is optional: true when the message was an
// attempt (answered here), false when it is an ordinary command.
bool Server::optionalAuthorize(SOCKET socket, Connection& client, const std::wstring& message) {
    // Only a message whose first word can be "auth..." is asked about; a
    // longer one than kMaxAuthorizationMessage never gets here.
    if (message.empty() || (message[0] != L'a' && message[0] != L'"' && message[0] != L'\'')) return false;
    if (!hooks_.isKeyAttempt || !hooks_.isKeyAttempt(WideToUtf8(message))) return false;
    if (hooks_.checkKey && hooks_.checkKey(message)) {
        LogMessage(std::string("Authorization successful."));
        client.authorized = true;
        sendReply(L"authOk", socket);
    } else {
        LogMessage(std::string("Authorization failed!"));
        sendFailure(socket);
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
    Connection& client = entry->second;
    if (client.closing) return result;
    client.resume = false;

    // The replies to everything handled now leave in one send.
    OutputBatch batch(*this);
    bool withinLimit = true;
    // Back-pressure: while the client leaves its output waiting past the
    // bound, nothing more of its input is read or handled; its output
    // draining gives it the turn back (flush). One that takes nothing for
    // long is closed.
    if (client.waitingOutput() >= netlimits::kMaxUnsentOutput) {
        client.inputHeld = true;
        stalled(socket, client);
        return result;
    }
    // Output of earlier turns still waiting for its turn to be sent: nothing
    // new is read or handled until it has left. A client whose messages fan
    // out to every other client (registrations announced to hundreds of
    // channels) is held to the pace its output leaves at; otherwise its
    // turns would outrun the sends and well-reading clients would reach
    // their output bound. A later turn comes behind the others' events.
    const bool outputWaiting = dirty_.size() > netlimits::kMaxSendsPerTurn;
    // Messages left from the last read are handled before anything more is read.
    const bool read = !client.hasBacklog() && !outputWaiting;
    if (read) {
        // A NUL byte is framed like any other byte: it spoils only the
        // message it stands in (decoding stops there), never the delimiters
        // and messages after it. A command-port stranger may send one short
        // line, no more.
        const bool stranger = requiresAuthorization() && socket != authorizedSocket_;
        withinLimit = client.takeInput(readAvailable(socket), messageLimit(),
                                       stranger ? netlimits::kMaxUnauthorizedInput : 0);
        account(client);
    }

    // Bounded work per event: a message that fans out to every client (a
    // registration with hundreds of channels) must not keep the thread from
    // the others' events for long. The rest waits for the next turn.
    const size_t framesBefore = framesQueued_;
    while (client.hasBacklog() && !outputWaiting) {
        if (client.closing) break;  // nobody left to answer
        if (framesQueued_ - framesBefore >= netlimits::kMaxFramesPerReadEvent) break;
        Connection::Framed framed = client.nextMessage();
        account(client);
        if (framed.tooLong) {
            // Skipped up to its delimiter; the client stays.
            LogMessage("Message too long, the limit is " + std::to_string(messageLimit()) + " bytes");
            sendFailure(socket);
            continue;
        }
        if (refusesLongKeyAttempt(socket, framed.bytes)) continue;
        if (takesAsArrived(framed.bytes)) {
            // Its words are read where they stand; the data travels on
            // without a UTF-16 copy of the whole message beside it.
            std::string bytes;
            bytes.swap(framed.bytes);
            bytes.resize(strlen(bytes.c_str()));  // decoding stops at a NUL, as for any message
            LogReceived(receivedPrefix_, Utf8ToWide(LoggedPart(bytes, logLimit_)));
            SetLastError(0);
            result = hooks_.handleLongMessage(*this, socket, bytes);
        } else {
            const std::wstring message = Utf8ToWide(framed.bytes);
            // Logged per framed message, so an auth key is masked however it
            // was split between reads.
            LogReceived(receivedPrefix_,
                        framed.bytes.size() <= logLimit_ ? message : Utf8ToWide(LoggedPart(framed.bytes, logLimit_)));
            std::string().swap(framed.bytes);  // a long message is not held twice while it is handled
            if (requiresAuthorization() && socket != authorizedSocket_) {
                if (!authorize(socket, client, message)) return result;
                continue;
            }
            if (authMode_ == AuthMode::Optional && optionalAuthorize(socket, client, message)) continue;
            if (client.dirty && hooks_.mayBlock && hooks_.mayBlock(message)) sendBeforeBlocking(socket, client);
            SetLastError(0);
            result = handleMessage(socket, message);
        }
        if (client.closing) break;
        switch (result) {
        case kResultSuccess:
            sendReply(L"Success " + TakePendingReply(), socket);
            break;
        case kResultTrue:
            sendOwnFrame(socket, "True|");
            break;
        case kResultFalse:
            sendOwnFrame(socket, "False|");
            break;
        case kResultFailure:
            sendFailure(socket);
            break;
        case kResultSyntaxError:
            sendReply(L"SyntaxError " + FailureDetail() + L" - " + CrtErrorText(), socket);
            break;
        case kResultStartPressure:
            startStream(socket);
            break;
        case kResultStopPressure:
            stopStream(socket);
            break;
        case kResultRestartForUpdate:
            LogMessage(std::string("Preparing restarting for update..."));
            client.dropBacklog();
            flush(socket, client);  // the replies before it leave, as before a quit
            deinit();
            return result;
        case kResultQuit:
            LogMessage(std::string("Exiting..."));
            client.dropBacklog();  // the rest of the batch is discarded
            account(client);
            sendReply(L"QuitAcknowledged", socket);
            flush(socket, client);  // the client hears it before its connection is closed
            Sleep(kQuitDelayMs);
            return result;
        default:
            break;
        }
        if (client.waitingOutput() >= netlimits::kMaxUnsentOutput) {
            client.inputHeld = true;  // the rest waits until the output drains
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
    client.resume = !client.closing && !client.inputHeld && (client.hasBacklog() || !read);
    return result;
}

bool Server::wantsAnotherTurn(SOCKET socket) const {
    const auto entry = clients_.find(socket);
    return entry != clients_.end() && entry->second.resume;
}

bool Server::inputHeld(SOCKET socket) const {
    const auto entry = clients_.find(socket);
    return entry != clients_.end() && entry->second.inputHeld;
}

void Server::startStream(SOCKET) {}

void Server::stopStream(SOCKET) {}

void Server::clientClosing(SOCKET) {}

bool Server::isClosing(SOCKET socket) const {
    const auto entry = clients_.find(socket);
    return entry == clients_.end() || entry->second.closing;
}

void Server::sendFailure(SOCKET socket) { sendReply(L"Failure " + FailureDetail() + L" - " + CrtErrorText(), socket); }

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
void Server::markClosing(SOCKET socket, Connection& client) {
    clientClosing(socket);
    if (socket == authorizedSocket_) authorizedSocket_ = 0;  // a new client may now authorize
    if (client.closing) return;
    client.closing = true;
    client.resume = false;
    client.dropAll();
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

void Server::deinit() {
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

template <typename Append>
int Server::queueWith(SOCKET socket, bool own, Append append) {
    auto entry = clients_.find(socket);
    if (entry == clients_.end() || entry->second.closing) return -1;
    Connection& client = entry->second;
    OutputBatch batch(*this);
    // A frame goes in whole or not at all. Past the bound a frame from
    // elsewhere is refused: the client keeps its connection and everything
    // queued before; its own replies are always queued (its input is held
    // back meanwhile, so they stay bounded).
    if (!own && client.waitingOutput() >= outputBound(client)) {
        if (!stalled(socket, client) && !client.refusing) {
            client.refusing = true;
            LogFormatted("Client does not take its output, refusing frames for it until it drains [%d]", port_);
        }
        return -1;
    }
    append(client);
    ++framesQueued_;
    if (!client.dirty) {
        client.dirty = true;
        dirty_.push_back(socket);
    }
    account(client);
    return 0;
}

int Server::queue(SOCKET socket, const char* bytes, size_t size, bool own) {
    return queueWith(socket, own, [&](Connection& client) { client.queue(bytes, size); });
}

int Server::queue(SOCKET socket, std::string&& frame, bool own) {
    return queueWith(socket, own, [&](Connection& client) { client.queue(std::move(frame)); });
}

// Closes a client that has taken no byte for kStalledOutputMs while output
// waits for it; true when it did.
bool Server::stalled(SOCKET socket, Connection& client) {
    if (client.closing || client.stalledMs(GetTickCount()) < netlimits::kStalledOutputMs) return false;
    LogFormatted("Client has taken none of its output for 60 s, closing it [%d]", port_);
    closeClient(socket);
    return true;
}

// Before a handler that can wait: the served client's replies, and whatever
// else is queued, leave now rather than after it.
void Server::sendBeforeBlocking(SOCKET socket, Connection& client) {
    flush(socket, client);
    for (SOCKET other : dirty_) {
        auto entry = clients_.find(other);
        if (entry != clients_.end() && entry->second.dirty) flush(other, entry->second);
    }
}

void Server::flush(SOCKET socket, Connection& client) {
    client.dirty = false;
    if (client.closing) return;
    if (!client.flush(socket)) {
        closeClient(socket);
        return;
    }
    account(client);
    const size_t waiting = client.inputHeld || client.refusing ? client.waitingOutput() : 0;
    if (client.refusing && waiting < outputBound(client)) client.refusing = false;
    if (client.inputHeld && waiting < netlimits::kMaxUnsentOutput) {
        // Its read turns stopped while its input was held: it gets one.
        client.inputHeld = false;
        if (hooks_.requestRead) {
            hooks_.requestRead(*this, socket);
        } else {
            client.resume = true;
        }
    }
}

void Server::onWritable(SOCKET socket) {
    auto entry = clients_.find(socket);
    if (entry == clients_.end()) return;
    OutputBatch batch(*this);
    entry->second.writeBlocked = false;
    flush(socket, entry->second);
}

void Server::account(Connection& client) {
    const size_t now = client.held();
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

// The log keeps the frame as far as an apps message's log line would: a
// forwarded 16 MiB message is not copied into it.
void Server::logFrame(const std::string& frame) {
    if (frame.size() <= logLimit_) {
        LogMessage(frame);
    } else {
        LogMessage(frame.substr(0, logLimit_));
    }
}

int Server::sendRaw(SOCKET socket, const std::string& frame) {
    logFrame(frame);
    return queue(socket, frame.data(), frame.size(), false);
}

int Server::sendRaw(SOCKET socket, std::string&& frame) {
    logFrame(frame);
    return queue(socket, std::move(frame), false);
}

int Server::sendReply(const std::wstring& text, SOCKET socket) {
    return sendOwnFrame(socket, FrameOf(text));
}

int Server::sendOwnFrame(SOCKET socket, const std::string& frame) {
    logFrame(frame);
    return queue(socket, frame.data(), frame.size(), true);
}


int Server::broadcast(const std::wstring& text) {
    OutputBatch batch(*this);
    const std::string frame = FrameOf(text);
    for (SOCKET client : clients()) {
        logFrame(frame);
        queue(client, frame.data(), frame.size(), false);
    }
    return 0;
}
