// Test checks of the WinTab session; product code never calls them.
#pragma once

#include <windows.h>

#include "core/tablet/PenEvents.h"

class TabletSession;

// Whether the dock window has its hooks in the session's table.
bool isHookedWindow(TabletSession& session, HWND window);

// A copy of the pen record, taken under the session lock.
PenState tabletPenState(TabletSession& session);
