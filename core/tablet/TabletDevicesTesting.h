// Test controls of the attached-tablet list; product code never calls them.
#pragma once

#include <cstdint>
#include <vector>

#include "core/tablet/TabletDevices.h"  // ResetAttachedTablets

// The attached ids in list order.
std::vector<uint32_t> AttachedTablets();
