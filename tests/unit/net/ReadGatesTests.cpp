// The read turn's gates on their own: the fairness gate's boundary and which
// long messages bypass decoding.
#include <gtest/gtest.h>

#include <string>

#include "core/net/Limits.h"
#include "core/net/ReadGates.h"

namespace {

TEST(ReadGates, ATurnThatFillsItsSendsExactlyStillReads) {
    EXPECT_FALSE(readgates::EarlierOutputWaits(netlimits::kMaxSendsPerTurn));
    EXPECT_TRUE(readgates::EarlierOutputWaits(netlimits::kMaxSendsPerTurn + 1));
}

TEST(ReadGates, OnlyALongMessageOnAPortThatTakesThemIsTakenAsItArrived) {
    // (An authorization attempt has been judged by its first bytes before:
    // PressureSockets.ALongAuthorizationAttemptIsRefusedByItsFirstBytes.)
    const std::string body(netlimits::kLargeFrame, 'd');
    EXPECT_TRUE(readgates::TakesAsArrived(true, false, "s" + body));
    EXPECT_TRUE(readgates::TakesAsArrived(true, false, "a" + body));
    EXPECT_FALSE(readgates::TakesAsArrived(true, true, "s" + body)) << "a port that requires the key";
    EXPECT_FALSE(readgates::TakesAsArrived(false, false, "s" + body)) << "a port without a long-message handler";
    EXPECT_FALSE(readgates::TakesAsArrived(true, false, "s" + body.substr(1))) << "one large frame is not long";
}

}  // namespace
