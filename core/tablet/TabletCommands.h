// The pressure port's message handler.
#pragma once

#include <string>

int handleTabletCommand(const std::wstring& message);
