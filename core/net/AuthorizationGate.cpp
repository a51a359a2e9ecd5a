#include "core/net/AuthorizationGate.h"

#include <algorithm>
#include <cstring>

#include "core/net/Limits.h"
#include "core/net/ReadGates.h"
#include "core/util/FailureDetail.h"
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

AuthorizationGate::Attempt AuthorizationGate::attemptIn(const std::string& bytes, PortHandler& handler) const {
    // Only a message whose first word can be "auth..." is asked about.
    if (!optional() || bytes.empty() || !readgates::MayBeKeyAttempt(bytes[0])) return Attempt::None;
    // Decoding stops at a NUL: the handler would see no more than that.
    const void* nul = memchr(bytes.data(), '\0', bytes.size());
    const size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - bytes.data()) : bytes.size();
    if (!handler.isKeyAttempt(bytes.substr(0, std::min(length, netlimits::kMaxAuthorizationMessage))))
        return Attempt::None;
    return length > netlimits::kMaxAuthorizationMessage ? Attempt::TooLong : Attempt::Short;
}

AuthorizationGate::Verdict AuthorizationGate::judgeOptional(Connection& client, const std::wstring& message,
                                                            PortHandler& handler) {
    if (handler.checkKey(message)) {
        LogMessage(std::string("Authorization successful."));
        client.state.standing = ConnectionState::Standing::Authorized;
        return Verdict::Authorized;
    }
    LogFailureDetail(std::string("Authorization failed!"));
    return Verdict::Refused;
}
