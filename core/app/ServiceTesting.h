// Test access to the running service's windows and servers; product code
// reaches them only through what the service hands it.
#pragma once

#include <winsock2.h>

class Server;
class PressureServer;
class TabletSession;

// The two listener windows (null until created).
HWND GetSocketsListenerWindow();
HWND GetTabletListenerWindow();
// The three servers (null until runServers has created them).
Server* GetCommandServer();
PressureServer* GetPressureServer();
// The running service's WinTab session.
TabletSession& GetTabletSession();
