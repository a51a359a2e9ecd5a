// The read turn's gates on their own: the fairness gate's boundary and which
// long messages bypass decoding and the authorization check.
#include <gtest/gtest.h>

#include <string>

#include "core/net/Limits.h"
#include "core/net/ReadGates.h"

namespace {

TEST(ReadGates, ATurnThatFillsItsSendsExactlyStillReads) {
    EXPECT_FALSE(readgates::EarlierOutputWaits(netlimits::kMaxSendsPerTurn));
    EXPECT_TRUE(readgates::EarlierOutputWaits(netlimits::kMaxSendsPerTurn + 1));
}

TEST(ReadGates, OnlyALongMessageThatCannotBeAKeyIsTakenAsItArrived) {
    const std::string body(netlimits::kLargeFrame, 'd');
    EXPECT_TRUE(readgates::TakesAsArrived(true, false, "s" + body));
    // A first word that may be "auth ..." (bare or quoted either way) goes
    // through the authorization check.
    for (const char* first : {"a", "\"", "'"}) EXPECT_FALSE(readgates::TakesAsArrived(true, false, first + body)) << first;
    EXPECT_FALSE(readgates::TakesAsArrived(true, true, "s" + body)) << "a port that requires the key";
    EXPECT_FALSE(readgates::TakesAsArrived(false, false, "s" + body)) << "a port without a long-message handler";
    EXPECT_FALSE(readgates::TakesAsArrived(true, false, "s" + body.substr(1))) << "one large frame is not long";
}

}  // namespace
