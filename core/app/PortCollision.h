// Start-up check that the three listeners hold three different ports.
#pragma once

#include <functional>

// Listeners in the order command, pressure, apps.
constexpr int kListenerCount = 3;

// How often start-up re-opens a listener before it gives up. Two listeners
// that both failed (-1) compare equal, and re-opening them keeps failing as
// long as the cause stays (no free port, no sockets), so the retries end here.
constexpr int kMaxRelistens = 8;

// For each pair (i, j), i < j: while ports[j] equals ports[i], logs "Port
// duplication, retrying..." and replaces ports[j] by relisten(j), which closes
// listener j and opens it again. Returns false, after logging, when more than
// maxRelistens re-opens would be needed; the ports are then left as they are.
bool ResolvePortCollisions(int (&ports)[kListenerCount], const std::function<int(int)>& relisten,
                           int maxRelistens = kMaxRelistens);
