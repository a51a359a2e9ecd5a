// removeWidget: uninstalls a dock widget by starting Adobe AIR's application
// installer with its uninstall option. It does not wait for the outcome.
#pragma once

#include <string>

// 0 when the installer was started, -1 when it could not be, -2 for a blank
// argument.
int RemoveWidget(const std::wstring& first, const std::wstring& widgetUid);
