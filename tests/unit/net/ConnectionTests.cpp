// One connection's bytes without a socket: what its output bound counts and
// how its input is framed.
#include <gtest/gtest.h>

#include <string>

#include "core/net/BudgetMember.h"
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

TEST(Connection, AKeylessFirstLinePastItsBoundEndsTheInputALaterLongMessageIsSkipped) {
    Connection stranger;
    EXPECT_FALSE(stranger.takeInput(std::string(65, 's') + "|", 1000, 64)) << "the stranger is closed";

    Connection client;
    EXPECT_TRUE(client.takeInput("getCoreVersion|" + std::string(65, 'x') + "|ok|", 64, 0));
    EXPECT_FALSE(client.nextMessage().tooLong);
    EXPECT_TRUE(client.nextMessage().tooLong) << "answered as too long; the client stays";
    EXPECT_EQ("ok", client.nextMessage().bytes);
}

TEST(Connection, TheBudgetClosesTheLargestOfTheClientsThatHoldOnlyInput) {
    CapCandidate small, large;
    small.socket = 1;
    small.bytes = 100;
    large.socket = 2;
    large.bytes = 200;
    EXPECT_TRUE(large.closesBefore(small));
    EXPECT_FALSE(small.closesBefore(large));
}

}  // namespace
