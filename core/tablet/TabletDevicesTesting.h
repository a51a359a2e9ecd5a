// Test controls of the attached-tablet list; product code never calls them.
#pragma once

#include <cstdint>
#include <vector>

// Forgets every attached tablet (tests start from the service's first state).
void ResetAttachedTablets();
// The attached ids in list order.
std::vector<uint32_t> AttachedTablets();
