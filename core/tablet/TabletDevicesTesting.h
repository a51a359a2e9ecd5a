// Test controls of the attached-tablet list; product code never calls them.
#pragma once

// Forgets every attached tablet (tests start from the service's first state).
void ResetAttachedTablets();
