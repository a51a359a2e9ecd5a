// Named channels between dock applications on the apps port: a client
// registers one channel name, then sends data to other channels by name.
#pragma once

#include <winsock2.h>

#include <map>
#include <string>

class Server;

// The channel names of one apps server's clients, by client socket in
// ascending order. Belongs to the thread that drives that server (the main
// thread); the apps port's handler holds it.
struct ChannelTable {
    std::map<SOCKET, std::wstring> channels;
};

// registerChannel NAME | sendDataToChannel TARGET DATA TAG from the client
// socket of the apps server; 0 or -2 (a wrong word count, or a refused name:
// not 1 to 256 Latin-1 characters without blanks and control characters, or
// held by another live client). What other clients are told goes through that
// server; a name's ownership goes by the server's authorization of each client.
int HandleCommandFromSocket(ChannelTable& table, Server& apps, const std::wstring& message, SOCKET socket);
// The same for a long message as it arrived (UTF-8, no NUL): a forward's data
// goes from its bytes straight into the outgoing frame; nothing of it is
// decoded beyond the few words a command reads.
int HandleLongCommandFromSocket(ChannelTable& table, Server& apps, const std::string& utf8, SOCKET socket);
// Called whenever a client of the apps server is closed: frees its channel
// and tells the other channel owners through that server.
void FreeChannel(ChannelTable& table, Server& apps, SOCKET socket);
