#include "core/net/ReadTurn.h"

#include <cstring>

#include "core/net/Limits.h"
#include "core/net/ReadGates.h"
#include "core/net/ReplyWriter.h"
#include "core/util/FailureDetail.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

constexpr DWORD kQuitDelayMs = 500;
static_assert(netlimits::kMaxAuthorizationMessage == 1024, "the refusal's log line names the bound");

bool PastOutputBound(const Connection& client) { return client.waitingOutput() >= netlimits::kMaxUnsentOutput; }

}  // namespace

std::string ReadTurn::readAvailable(SOCKET socket) {
    // One recv() per read event: every recv() re-arms the event, so a loop of
    // small reads would queue one more read event per call while a client
    // keeps sending, and the events of every other client would wait behind
    // them. What does not fit comes with the next event.
    std::vector<char>& buffer = port_.readBuffer;
    buffer.resize(netlimits::kMaxReadPerEvent);
    const int count = recv(socket, buffer.data(), static_cast<int>(buffer.size()), 0);
    if (count > 0) return std::string(buffer.data(), static_cast<size_t>(count));
    if (count == 0) {
        LogFormatted("Error: Zero Bytes received. [%d]", host_.port());
    } else if (WSAGetLastError() != WSAEWOULDBLOCK) {
        LogSystemError(L"recv()");
    }
    return std::string();
}

int ReadTurn::run(SOCKET socket, Connection& client) {
    using Input = ConnectionState::Input;
    int result = kResultNothingHandled;
    ConnectionState& state = client.state;
    if (state.input == Input::TurnDue) state.input = Input::AwaitRead;
    bool withinLimit = true;
    // Back-pressure: while the client leaves its output waiting past the
    // bound, nothing more of its input is read or handled; its output
    // draining gives it the turn back (flush). One that takes nothing for
    // long is closed.
    if (PastOutputBound(client)) {
        state.input = Input::Held;
        host_.closeIfStalled(socket, client);
        return result;
    }
    // Output of earlier turns still waiting for its turn to be sent: nothing
    // new is read or handled until it has left. A client whose messages fan
    // out to every other client (registrations announced to hundreds of
    // channels) is held to the pace its output leaves at; otherwise its
    // turns would outrun the sends and well-reading clients would reach
    // their output bound. A later turn comes behind the others' events.
    const bool outputWaiting = readgates::EarlierOutputWaits(port_.output.waitingClients());
    // Messages left from the last read are handled before anything more is read.
    const bool read = !client.hasBacklog() && !outputWaiting;
    if (read) {
        // A NUL byte is framed like any other byte: it spoils only the
        // message it stands in (decoding stops there), never the delimiters
        // and messages after it. A command-port stranger may send one short
        // line, no more.
        withinLimit = client.takeInput(readAvailable(socket), port_.messageLimit,
                                       port_.gate.mustAuthorize(socket) ? netlimits::kMaxUnauthorizedInput : 0);
        host_.account(client);
    }

    // Bounded work per event: a message that fans out to every client (a
    // registration with hundreds of channels) must not keep the thread from
    // the others' events for long. The rest waits for the next turn.
    const size_t framesBefore = port_.output.framesQueued();
    while (client.hasBacklog() && !outputWaiting) {
        if (state.closing()) break;  // nobody left to answer
        if (port_.output.framesQueued() - framesBefore >= netlimits::kMaxFramesPerReadEvent) break;
        Connection::Framed framed = client.nextMessage();
        host_.account(client);
        const Next next = handle(socket, client, std::move(framed), result);
        if (next == Next::End) return result;
        if (next == Next::Message) continue;
        if (state.closing()) break;
        if (PastOutputBound(client)) {
            state.input = Input::Held;  // the rest waits until the output drains
            break;
        }
    }

    if (!withinLimit && !state.closing()) {
        LogFormatted("Unauthorized input too long, closing client [%d]", host_.port());
        host_.closeClient(socket);
    }
    // The client's own replies leave first, whatever else waits.
    if (state.queued && !state.closing()) host_.flush(socket, client);
    // Another turn when messages wait, or when this turn read nothing.
    if (!state.closing() && state.input != Input::Held && (client.hasBacklog() || !read)) state.input = Input::TurnDue;
    return result;
}

ReadTurn::Next ReadTurn::handle(SOCKET socket, Connection& client, Connection::Framed framed, int& result) {
    if (framed.tooLong) {
        // Skipped up to its delimiter; the client stays.
        LogFailureDetail("Message too long, the limit is " + std::to_string(port_.messageLimit) + " bytes");
        host_.queueOwnFrame(socket, reply::FrameOf(reply::FailureText()));
        return Next::Message;
    }
    const AuthorizationGate::Attempt attempt = port_.gate.attemptIn(framed.bytes, port_.handler);
    if (attempt == AuthorizationGate::Attempt::TooLong) {
        port_.log.received(framed.bytes.substr(0, netlimits::kMaxAuthorizationMessage));
        LogFormatted("Authorization attempt longer than 1024 bytes refused [%d]", host_.port());
        LogFailureDetail(std::string("Authorization failed!"));
        host_.queueOwnFrame(socket, reply::FrameOf(reply::FailureText()));
        return Next::Message;
    }
    if (readgates::TakesAsArrived(port_.handler.takesLongMessages(), port_.gate.required(), framed.bytes)) {
        // Its words are read where they stand; the data travels on without a
        // UTF-16 copy of the whole message beside it.
        std::string bytes;
        bytes.swap(framed.bytes);
        bytes.resize(strlen(bytes.c_str()));  // decoding stops at a NUL, as for any message
        port_.log.received(bytes);
        SetLastError(0);
        result = port_.handler.handleLongMessage(host_.server(), socket, bytes);
    } else {
        ReusedBuffer<std::wstring>::Loan decoded = port_.messageBuffer.borrow();
        std::wstring& message = decoded.text();
        Utf8ToWideInto(framed.bytes, message);
        // Logged per framed message, so an auth key is masked however it was
        // split between reads.
        port_.log.received(message, framed.bytes);
        std::string().swap(framed.bytes);  // a long message is not held twice while it is handled
        using Verdict = AuthorizationGate::Verdict;
        if (port_.gate.mustAuthorize(socket)) {
            if (port_.gate.judgeRequired(socket, client, message, port_.handler) == Verdict::Refused) {
                host_.closeClient(socket);
                return Next::End;
            }
            host_.queueOwnFrame(socket, reply::FrameOf(L"authOk"));
            port_.handler.onAuthorized(host_.server(), socket);  // the device report
            return Next::Message;
        }
        if (attempt == AuthorizationGate::Attempt::Short) {
            const bool authorized = port_.gate.judgeOptional(client, message, port_.handler) == Verdict::Authorized;
            host_.queueOwnFrame(socket, reply::FrameOf(authorized ? std::wstring(L"authOk") : reply::FailureText()));
            return Next::Message;
        }
        if (client.state.queued && port_.handler.mayBlock(message)) host_.sendBeforeBlocking(socket, client);
        SetLastError(0);
        result = port_.handler.handleMessage(host_.server(), socket, message);
    }
    if (client.state.closing()) return Next::Checked;  // nobody left to answer: the loop ends
    return actOn(socket, client, result);
}

ReadTurn::Next ReadTurn::actOn(SOCKET socket, Connection& client, int result) {
    {
        ReusedBuffer<std::string>::Loan frame = port_.frameBuffer.borrow();
        if (reply::FrameFor(result, frame.text())) {
            host_.queueOwnFrame(socket, frame.text());
            return Next::Checked;
        }
    }
    switch (result) {
    case kResultStartPressure:
        host_.startStream(socket);
        return Next::Checked;
    case kResultStopPressure:
        host_.stopStream(socket);
        return Next::Checked;
    case kResultRestartForUpdate:
        LogMessage(std::string("Preparing restarting for update..."));
        client.dropBacklog();
        host_.flush(socket, client);  // the replies before it leave, as before a quit
        host_.closeAll();
        return Next::End;
    case kResultQuit:
        LogMessage(std::string("Exiting..."));
        client.dropBacklog();  // the rest of the batch is discarded
        host_.account(client);
        host_.queueOwnFrame(socket, reply::FrameOf(L"QuitAcknowledged"));
        host_.flush(socket, client);  // the client hears it before its connection is closed
        Sleep(kQuitDelayMs);
        return Next::End;
    default:
        return Next::Checked;
    }
}
