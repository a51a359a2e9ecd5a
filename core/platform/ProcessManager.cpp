#include "core/platform/ProcessManager.h"

#include <objbase.h>
#include <psapi.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <atomic>

#include "core/platform/UserPaths.h"
#include "core/util/FailureDetail.h"
#include "core/util/Log.h"
#include "core/util/Text.h"

namespace {

constexpr DWORD kLaunchWaitMs = 10000;
constexpr DWORD kShellMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_DDEWAIT | SEE_MASK_DOENVSUBST |
                             SEE_MASK_FLAG_NO_UI;  // 0x740
constexpr DWORD kNameChars = 520;
// Windows XP lacks both; declared here so the program still starts there.
constexpr DWORD kQueryLimitedInformation = 0x1000;  // PROCESS_QUERY_LIMITED_INFORMATION
using QueryFullProcessImageNameWFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);
constexpr WORD kAppIconResource = 117;

const wchar_t kFrontEndFolder[] = L"\\Marlin Dock";
const wchar_t kFrontEndExe[] = L"Marlin Dock.exe";
const wchar_t kTabletListenerTitle[] = L"MarlinTabletListener";
const wchar_t kCorruptCaption[] = L"Marlin Dock - Failure";
const wchar_t kCorruptText[] =
    L"The Marlin Dock installation appears to be corrupt. \n\nPlease reinstall the application. You can find the "
    L"latest Marlin Dock at: https://www.orvex.com/downloads/marlin-dock \n\nOur apologies for any inconvenience.";

// What one BringToForeground call shares with its window enumeration.
struct ForegroundSearch {
    DWORD processId = 0;
    bool windowFound = false;
};

BOOL CALLBACK BringWindowForward(HWND window, LPARAM param) {
    ForegroundSearch& search = *reinterpret_cast<ForegroundSearch*>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search.processId) return TRUE;
    const LONG style = GetWindowLongW(window, GWL_STYLE);
    if ((style & WS_VISIBLE) == 0 || (style & WS_CHILD) != 0) return TRUE;

    search.windowFound = true;
    // Windows lets only the foreground thread hand the foreground on: join its
    // input queue for a moment, take the foreground for our own listener
    // window, then give it to the target.
    const DWORD foregroundThread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
    const DWORD ownThread = GetCurrentThreadId();
    AttachThreadInput(foregroundThread, ownThread, TRUE);
    SetForegroundWindow(FindWindowW(nullptr, kTabletListenerTitle));
    AttachThreadInput(foregroundThread, ownThread, FALSE);
    SetForegroundWindow(window);
    return TRUE;  // every visible window of the process comes forward; the last one ends in front
}

// The shell request shared by the launcher and the applet opener.
SHELLEXECUTEINFOW ShellRequest(const wchar_t* verb, const std::wstring& file, const wchar_t* parameters,
                               const std::wstring& directory) {
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = kShellMask;
    info.lpVerb = verb;
    info.lpFile = file.c_str();
    info.lpParameters = parameters;
    info.lpDirectory = directory.c_str();
    info.nShow = SW_SHOWNORMAL;
    return info;
}

std::wstring LaunchDescription(const ProcessManager::LaunchRequest& request) {
    std::wstring text = L"Start " + request.fileName + L" (@" + request.directory + L")";
    if (!request.arguments.empty()) text += L" with args '" + request.arguments + L"'";
    if (request.elevated) text += L" and elevated";
    if (request.wait) {
        text += L" and keep waiting";
        if (request.waitForever) text += L" forever";
    }
    if (request.bringToForeground) text += L" and bring to foreground";
    return text;
}

QueryFullProcessImageNameWFn LoadQueryFullProcessImageName() {
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");  // always loaded: no reference to give back
    if (kernel == nullptr) return nullptr;
    return reinterpret_cast<QueryFullProcessImageNameWFn>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "QueryFullProcessImageNameW")));
}

// The file name of a process's executable, empty when it cannot be read.
std::wstring ImageFileName(HANDLE process, QueryFullProcessImageNameWFn queryImageName) {
    wchar_t buffer[kNameChars] = L"";
    if (queryImageName != nullptr) {
        DWORD chars = kNameChars;
        if (!queryImageName(process, 0, buffer, &chars)) return std::wstring();
        std::wstring path(buffer, chars);
        return SplitFileName(path);
    }
    HMODULE executable = nullptr;
    DWORD needed = 0;
    if (!EnumProcessModules(process, &executable, sizeof(executable), &needed)) return std::wstring();
    if (GetModuleBaseNameW(process, executable, buffer, kNameChars) == 0) return std::wstring();
    return buffer;
}

}  // namespace

namespace ProcessManager {

bool LaunchProgram(const LaunchRequest& request) {
    SetLastError(0);
    const std::wstring file = request.directory + L"\\" + request.fileName;
    SHELLEXECUTEINFOW info = ShellRequest(request.elevated ? L"runas" : L"open", file, request.arguments.c_str(),
                                          request.directory);
    const bool started = ShellExecuteExW(&info) != FALSE;
    const DWORD error = GetLastError();
    marlin::unique_handle process(info.hProcess);

    const std::wstring description = LaunchDescription(request);
    if (started) {
        LogMessage(description + L" succeeded.");
    } else {
        SetLastError(error);
        LogFailureSystemError(description);
    }

    if (started && request.wait && process) {
        WaitForSingleObject(process.get(), request.waitForever ? INFINITE : kLaunchWaitMs);
    }
    if (process && (request.bringToForeground || request.wait)) BringToForeground(std::move(process));
    return started;
}

bool LaunchPath(std::wstring path, std::wstring arguments) {
    const std::wstring name = SplitFileName(path);
    return LaunchProgram({path, name, arguments});
}

bool OpenPath(std::wstring path) {
    const std::wstring name = SplitFileName(path);
    const std::wstring applet = L".cpl";
    if (name.size() >= applet.size() && name.compare(name.size() - applet.size(), applet.size(), applet) == 0) {
        return OpenControlPanelApplet(path, name);
    }
    return LaunchProgram({path, name, L""});
}

bool OpenControlPanelApplet(std::wstring folder, std::wstring fileName) {
    // The applet may need COM on this thread; a thread that already has it keeps its own.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    SHELLEXECUTEINFOW info = ShellRequest(L"cplopen", fileName, nullptr, folder);
    const bool started = ShellExecuteExW(&info) != FALSE;
    marlin::unique_handle process(info.hProcess);
    if (process) BringToForeground(std::move(process));
    return started;
}

namespace {

std::atomic<bool> gCorruptBoxShown{false};

DWORD WINAPI ShowCorruptInstallationBox(LPVOID) {
    ShowMessageBox(kCorruptCaption, kCorruptText, 0);
    gCorruptBoxShown = false;
    return 0;
}

// A message box's modal loop dispatches the calling thread's messages while
// it waits for the user: on the main thread that would be socket events
// handled inside whatever called this, and other programs' messages. The box
// waits on a thread of its own, one box at a time.
void ShowCorruptInstallationMessage() {
    if (gCorruptBoxShown.exchange(true)) return;
    marlin::unique_handle thread(CreateThread(nullptr, 0, ShowCorruptInstallationBox, nullptr, 0, nullptr));
    if (!thread) {
        gCorruptBoxShown = false;
        LogSystemError(L"CreateThread()");
    }
}

}  // namespace

bool OpenManager(std::wstring arguments) {
    const std::wstring folder = GetFrontEndFolder();
    LogMessage(std::wstring(L"Opening manager at:"));
    LogMessage(folder);
    LaunchRequest request{folder, kFrontEndExe, arguments};
    request.bringToForeground = true;
    const bool ok = LaunchProgram(request);
    if (!ok) ShowCorruptInstallationMessage();
    return ok;
}

marlin::unique_handle GetProcessHandleByName(std::wstring name, bool withTerminate) {
    // The snapshot lists every process, 64-bit ones too when this 32-bit
    // program runs under WoW64 (the module list of those cannot be read).
    marlin::unique_hfile snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) {
        LogSystemError(L"ProcessManager::GetProcessHandleByName : CreateToolhelp32Snapshot");
        return marlin::unique_handle();
    }
    const QueryFullProcessImageNameWFn queryImageName = LoadQueryFullProcessImageName();
    // The full image path needs only limited query rights (Vista and later);
    // the module list, the fallback, needs more.
    DWORD access = queryImageName != nullptr ? kQueryLimitedInformation : PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
    if (withTerminate) access |= PROCESS_TERMINATE | SYNCHRONIZE;

    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry)) {
        if (entry.th32ProcessID == 0) continue;
        marlin::unique_handle process(OpenProcess(access, FALSE, entry.th32ProcessID));
        if (!process) continue;  // other users' and protected processes do not match
        // File names on Windows are compared without regard to case. A
        // name that cannot be read matches nothing, not even an empty one.
        const std::wstring image = ImageFileName(process.get(), queryImageName);
        if (!image.empty() && EqualsNoCase(image, name)) return process;
    }
    return marlin::unique_handle();
}

void BringToForeground(marlin::unique_handle process) {
    ForegroundSearch search;
    search.processId = GetProcessId(process.get());
    if (search.processId == 0) {
        LogMessage(std::string("BringToForeground: Failed to find process"));
        return;
    }
    // A starting program gets time to open its window; the waits end early
    // only when the process ends.
    for (DWORD waitMs : {500u, 1000u, 2000u}) {
        if (search.windowFound) break;
        WaitForSingleObject(process.get(), waitMs);
        EnumWindows(BringWindowForward, reinterpret_cast<LPARAM>(&search));
        WaitForSingleObject(process.get(), 100);
    }
}

bool ShowMessageBox(std::wstring caption, std::wstring text, UINT style) {
    MSGBOXPARAMSW params{};
    params.cbSize = sizeof(params);
    params.hInstance = GetModuleHandleW(nullptr);
    params.lpszText = text.c_str();
    params.lpszCaption = caption.c_str();
    params.dwStyle = style | MB_USERICON;
    params.lpszIcon = MAKEINTRESOURCEW(kAppIconResource);
    const int answer = MessageBoxIndirectW(&params);
    return answer == IDOK || answer == IDYES;
}

std::wstring GetFrontEndFolder() { return GetModuleDirectory() + kFrontEndFolder; }

std::wstring GetFrontEndExePath() { return GetFrontEndFolder() + L"\\" + kFrontEndExe; }

}  // namespace ProcessManager
