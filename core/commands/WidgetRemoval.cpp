#include "core/commands/WidgetRemoval.h"

#include "core/apps/air/AirLookup.h"
#include "core/platform/ProcessManager.h"
#include "core/protocol/ResultCodes.h"
#include "core/util/FailureDetail.h"
#include "core/util/Text.h"

int RemoveWidget(const std::wstring& first, const std::wstring& widgetUid) {
    if (IsBlank(first)) {
        LogFailureDetail(std::string("RemoveWidget: Argument null or empty."));
        return kResultSyntaxError;
    }
    if (IsBlank(widgetUid)) {
        LogFailureDetail(std::string("RemoveWidget: Second argument missing (Widget UID)"));
        return kResultSyntaxError;
    }
    const std::wstring installer = RegistryManager::GetAirInstaller();
    // Without Adobe AIR an empty path would ask the shell to open the current
    // drive's root folder, which may well "succeed".
    if (installer.empty()) {
        LogFailureDetail(std::string("RemoveWidget: Adobe AIR installer not found."));
        return kResultFailure;
    }
    // The arguments go in as they are: the installer takes them as its words.
    const std::wstring arguments = L"-uninstall " + first + L" " + widgetUid;
    return ProcessManager::LaunchPath(installer, arguments) ? kResultSuccess : kResultFailure;
}
