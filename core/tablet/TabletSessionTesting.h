// Test checks of the WinTab session; product code never calls them.
#pragma once

// How often the session lock was taken again on the thread holding it, or
// held while a library was loaded (each is also logged). 0 is the only
// correct answer.
int tabletLockMisuses();
