// What each port serves, as the service wires it: the command dispatcher,
// the key check and the device report (command port); the tablet commands,
// the optional key and the pen stream's start and stop (pressure port); the
// channels and the optional key (apps port).
#pragma once

#include "core/channels/Channels.h"
#include "core/net/PortHandler.h"
#include "core/net/PressureServer.h"
#include "core/tablet/TabletDevices.h"
#include "core/tablet/TabletSession.h"

class CommandPortHandler : public PortHandler {
public:
    // tablets: the list the dock is told of when it authorizes.
    explicit CommandPortHandler(const AttachedTabletList& tablets) : tablets_(tablets) {}
    int handleMessage(Server& server, SOCKET client, const std::wstring& message) override;
    bool checkKey(const std::wstring& message) override;
    bool mayBlock(const std::wstring& message) override;
    void onAuthorized(Server& server, SOCKET client) override;

private:
    const AttachedTabletList& tablets_;
};

class TabletPortHandler : public PressurePortHandler {
public:
    // session: the WinTab session the commands and the stream act on.
    explicit TabletPortHandler(TabletSession& session) : session_(session) {}
    int handleMessage(PressureServer& server, SOCKET client, const std::wstring& message) override;
    bool checkKey(const std::wstring& message) override;
    bool isKeyAttempt(const std::string& message) override;
    bool mayBlock(const std::wstring& message) override;
    void onStreamStart() override;
    void onStreamStarted() override;
    void onStreamStop() override;

private:
    TabletSession& session_;
};

class AppsPortHandler : public PortHandler {
public:
    int handleMessage(Server& server, SOCKET client, const std::wstring& message) override;
    bool takesLongMessages() const override { return true; }
    int handleLongMessage(Server& server, SOCKET client, const std::string& utf8) override;
    bool checkKey(const std::wstring& message) override;
    bool isKeyAttempt(const std::string& message) override;
    void onClientClosed(Server& server, SOCKET client) override;

private:
    ChannelTable channels_;  // the channels of the server this handler serves
};
