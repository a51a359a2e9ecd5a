#include "core/tablet/TabletCommands.h"

#include <vector>

#include "core/commands/CommandParsing.h"
#include "core/net/ResultCodes.h"
#include "core/util/Log.h"

int handleTabletCommand(const std::wstring& message) {
    const std::vector<std::wstring> tokens = TokenizeCommand(message);
    if (tokens.empty()) {
        LogMessage(std::string("No command found."));
        return kResultSyntaxError;
    }
    if (IsCommand("startTablet", tokens[0])) {
        LogMessage(std::string("Sending pressure started"));
        return kResultStartPressure;
    }
    if (IsCommand("stopTablet", tokens[0])) {
        LogMessage(std::string("Sending pressure stopped"));
        return kResultStopPressure;
    }
    LogMessage(std::string("Unknown command"));
    return kResultSyntaxError;
}
