#include <gtest/gtest.h>

#include <vector>

#include "core/app/PortCollision.h"

namespace {

// Re-opens listener j by taking the next port from a script; records the calls.
struct ScriptedListener {
    std::vector<int> nextPorts;
    std::vector<int> reopened;
    int operator()(int index) {
        reopened.push_back(index);
        const int port = nextPorts.empty() ? -1 : nextPorts.front();
        if (!nextPorts.empty()) nextPorts.erase(nextPorts.begin());
        return port;
    }
};

TEST(PortCollision, DistinctPortsAreLeftAlone) {
    int ports[3] = {3400, 3401, 3402};
    ScriptedListener listener;
    EXPECT_TRUE(ResolvePortCollisions(ports, std::ref(listener)));
    EXPECT_TRUE(listener.reopened.empty());
}

TEST(PortCollision, TheLaterListenerIsReopenedUntilItsPortDiffers) {
    int ports[3] = {3500, 3500, 3500};
    ScriptedListener listener{{3500, 3501, 3501, 3502}, {}};
    EXPECT_TRUE(ResolvePortCollisions(ports, std::ref(listener)));
    // pressure twice (3500, then 3501); apps against command (3501), then against pressure (3502).
    EXPECT_EQ((std::vector<int>{1, 1, 2, 2}), listener.reopened);
    EXPECT_EQ(3500, ports[0]);
    EXPECT_EQ(3501, ports[1]);
    EXPECT_EQ(3502, ports[2]);
}

TEST(PortCollision, ListenersThatKeepFailingEndTheRetriesAtTheBound) {
    int ports[3] = {3600, -1, -1};
    ScriptedListener listener;  // every re-open fails
    EXPECT_FALSE(ResolvePortCollisions(ports, std::ref(listener), 5));
    EXPECT_EQ(5u, listener.reopened.size());
    EXPECT_EQ(-1, ports[2]);

    int recovered[3] = {-1, -1, 3410};
    ScriptedListener second{{3411}, {}};
    EXPECT_TRUE(ResolvePortCollisions(recovered, std::ref(second), 5));
    EXPECT_EQ((std::vector<int>{1}), second.reopened);
}

}  // namespace
