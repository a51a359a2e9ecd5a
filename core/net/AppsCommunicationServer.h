// The apps port: dock applications register named channels and send each
// other data through it.
#pragma once

#include <string>

#include "core/net/Server.h"

class AppsCommunicationServer : public Server {
public:
    ~AppsCommunicationServer() override = default;
    // Frees the client's channel before closing it, so the other channel
    // owners hear of its departure.
    void deinit(bool closeListener) override;
    // Sends an already narrow, already framed text as it is; 0, or -1 when
    // send() fails. Never closes the client.
    int sendRaw(SOCKET socket, const std::string& frame);

protected:
    int handleMessage(SOCKET socket, const std::wstring& message) override;
    bool requiresAuthorization() const override;
};
