// The pressure port's message handler: the tablet commands, the hooks that
// load the hook library into the dock's window thread, and the version of
// the tablet driver.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

class PressureServer;
class TabletSession;

// listenTablet, stopListenTablet, startTablet, stopTablet, getDriverVersion
// from a client of the pressure server, acting on the session given; returns
// the result code the server turns into the reply. While an authorized client
// holds the pen stream, a client that has not authorized may neither hook nor
// unhook a window.
int handleTabletCommand(TabletSession& session, const std::wstring& message, const PressureServer& pressure,
                        SOCKET client);
// The ownership rule behind it: true when the caller may not hook or unhook
// (an authorized client holds the pen stream and the caller has not
// authorized). The authorized client itself always may.
bool HooksHeldAgainst(bool streamHeldByAuthorizedClient, bool callerAuthorized);
// The command words handleTabletCommand recognises, in the order they are tested.
std::vector<std::string> TabletCommandWords();

// The dock's window is found by the AIR content window class and its title.
bool hookWindowByTitle(TabletSession& session, const std::wstring& title);
bool unhookWindowByTitle(TabletSession& session, const std::wstring& title);
bool installHook(TabletSession& session, HWND window);

// The version of the tablet driver library in the system folder, as
// "5.2.5-2" for 5.2.5.2, or "none".
std::wstring readDriverVersion();
std::wstring readDriverVersionOf(const std::wstring& path);
