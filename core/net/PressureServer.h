// The pressure port: tablet commands in, pen events and pressure values out.
#pragma once

#include "core/net/Server.h"

class PressureServer : public Server {
public:
    ~PressureServer() override = default;
    const char* name() const override;

protected:
    int handleMessage(SOCKET socket, const std::wstring& message) override;
    bool requiresAuthorization() const override;
};
