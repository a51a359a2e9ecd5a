#include "core/app/PortCollision.h"

#include "core/util/Log.h"

bool ResolvePortCollisions(int (&ports)[kListenerCount], const std::function<int(int)>& relisten,
                           int maxRelistens) {
    int relistens = 0;
    for (int i = 0; i < kListenerCount; ++i) {
        for (int j = i + 1; j < kListenerCount; ++j) {
            while (ports[j] == ports[i]) {
                if (relistens == maxRelistens) {
                    LogFormatted("Port duplication persists after %d retries, giving up", relistens);
                    return false;
                }
                LogMessage(std::string("Port duplication, retrying..."));
                ++relistens;
                ports[j] = relisten(j);
            }
        }
    }
    return true;
}
