// Test checks of the deferred socket close; product code never calls them.
#pragma once

#include <cstddef>

// How many sockets the calling thread holds for release.
size_t DeferredSocketCount();
