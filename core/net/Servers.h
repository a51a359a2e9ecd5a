// The three servers of the service, set once at start and read by the code
// that sends outside a request: pen events go to the pressure server, the
// device report to the command server's current client, channel traffic
// through the apps server. Each is null until the service has created it.
#pragma once

class Server;
class PressureServer;
class AppsCommunicationServer;

void SetServers(Server* command, PressureServer* pressure, AppsCommunicationServer* apps);
Server* GetCommandServer();
PressureServer* GetPressureServer();
AppsCommunicationServer* GetAppsServer();
