#include "core/net/FrameLog.h"

#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

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

}  // namespace

void FrameLog::setPort(int port) { receivedPrefix_ = ReceivedPrefix(port); }

void FrameLog::received(const std::wstring& message, const std::string& bytes) const {
    if (bytes.size() <= limit_) {
        LogReceived(receivedPrefix_, message);  // no copy of the message for the line
    } else {
        LogReceived(receivedPrefix_, Utf8ToWide(LoggedPart(bytes, limit_)));
    }
}

void FrameLog::received(const std::string& bytes) const {
    LogReceived(receivedPrefix_, Utf8ToWide(LoggedPart(bytes, limit_)));
}

void FrameLog::frame(const std::string& frame) const {
    if (frame.size() <= limit_) {
        LogMessage(frame);
    } else {
        LogMessage(frame.substr(0, limit_));
    }
}
