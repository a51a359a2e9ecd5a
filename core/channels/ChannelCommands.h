// The command words of the apps port, in the order HandleCommandFromSocket
// tests them (docs/protocol.md lists exactly these).
#pragma once

#include <string>
#include <vector>

inline std::vector<std::string> ChannelCommandWords() { return {"registerChannel", "sendDataToChannel"}; }
