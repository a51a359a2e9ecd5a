// One connection's bytes without a socket: what its output bound counts and
// how its input is framed.
#include <gtest/gtest.h>

#include <string>

#include "core/net/Connection.h"
#include "core/net/Limits.h"

namespace {

TEST(Connection, ALargeFrameAtTheHeadIsNotCountedAgainstTheOutputBound) {
    Connection client;
    client.queue(std::string(netlimits::kLargeFrame, 'x'));
    EXPECT_EQ(0u, client.waitingOutput()) << "the frame now leaving, nothing of it sent yet";
    client.queue("ok|", 3);
    EXPECT_EQ(3u, client.waitingOutput()) << "what waits behind it";

    Connection other;
    other.queue("ok|", 3);
    other.queue(std::string(netlimits::kLargeFrame, 'y'));
    EXPECT_EQ(3u + netlimits::kLargeFrame, other.waitingOutput()) << "a large frame behind the head counts whole";
}

}  // namespace
