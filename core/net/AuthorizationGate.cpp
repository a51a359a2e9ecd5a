#include "core/net/AuthorizationGate.h"

#include "core/net/ReadGates.h"
#include "core/util/Log.h"

AuthorizationGate::Verdict AuthorizationGate::judgeRequired(SOCKET socket, Connection& client,
                                                            const std::wstring& message, PortHandler& handler) {
    if (holder_ == INVALID_SOCKET && handler.checkKey(message)) {
        LogMessage(std::string("Authorization successful."));
        holder_ = socket;
        client.state.standing = ConnectionState::Standing::Authorized;
        return Verdict::Authorized;
    }
    LogMessage(std::string("Authorization failed!"));
    return Verdict::Refused;
}

AuthorizationGate::Verdict AuthorizationGate::judgeOptional(Connection& client, const std::wstring& message,
                                                            PortHandler& handler) {
    // Only a message whose first word can be "auth..." is asked about: a
    // long widget message is not split into words for it.
    if (message.empty() || !readgates::MayBeKeyAttempt(message[0])) return Verdict::NotAnAttempt;
    if (!handler.isKeyAttempt(message)) return Verdict::NotAnAttempt;
    if (handler.checkKey(message)) {
        LogMessage(std::string("Authorization successful."));
        client.state.standing = ConnectionState::Standing::Authorized;
        return Verdict::Authorized;
    }
    LogMessage(std::string("Authorization failed!"));
    return Verdict::Refused;
}
