#include "core/app/Service.h"

#include <cstdlib>
#include <string>

#include "core/app/Authorization.h"
#include "core/app/ListenerWindows.h"
#include "core/app/PortCollision.h"
#include "core/app/ServiceRecord.h"
#include "core/tablet/TabletDevices.h"
#include "core/util/Log.h"

namespace {

constexpr DWORD kTabletWindowStartMs = 500;  // how long start-up gives the thread before going on
constexpr DWORD kTabletWindowPollMs = 100;

// Seconds and milliseconds of the current time, as one number modulo 0xFFFFFFFF.
unsigned int RandomSeed() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER ticks;  // 100 ns since 1601
    ticks.LowPart = now.dwLowDateTime;
    ticks.HighPart = now.dwHighDateTime;
    const unsigned long long unixMs = (ticks.QuadPart - 116444736000000000ULL) / 10000ULL;
    return static_cast<unsigned int>(unixMs % 0xFFFFFFFFULL);
}

}  // namespace

bool runServers() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 0), &data);

    Service& s = State();
    s.started = true;
    // The key exists before any thread or client can ask for it.
    getAuthKey();
    const HWND socketsWindow = CreateSocketsListenerWindow();
    if (socketsWindow == nullptr) return false;
    s.socketsWindow.store(socketsWindow);
    registerTabletNotifications(socketsWindow);

    // The servers exist before the tablet thread starts, so that thread only
    // ever sees them complete.
    s.command = std::make_unique<Server>();
    s.pressure = std::make_unique<PressureServer>();
    s.apps = std::make_unique<AppsCommunicationServer>();
    Server& command = *s.command;
    PressureServer& pressure = *s.pressure;
    Server& apps = *s.apps;
    command.setHandler(&s.commandPort);
    command.setTurns(&s.commandTurns);
    command.setCloser(&s.commandTurns);
    apps.setHandler(&s.appsPort);
    apps.setTurns(&s.appsTurns);
    apps.setCloser(&s.appsTurns);
    pressure.setHandler(&s.tabletPort);
    pressure.setTurns(&s.pressureTurns);
    pressure.setCloser(&s.pressureTurns);
    s.mainBudget.attach(command);
    s.mainBudget.attach(apps);
    s.pressureBudget.attach(pressure);

    s.tabletThread.reset(CreateThread(nullptr, 0, tabletListenerThread, nullptr, 0, nullptr));
    if (!s.tabletThread) LogSystemError(L"CreateThread()");
    WaitForTabletWindow(kTabletWindowStartMs, 10);

    srand(RandomSeed());

    Server* servers[kListenerCount] = {&command, &pressure, &apps};
    int ports[kListenerCount];
    for (int i = 0; i < kListenerCount; ++i) ports[i] = servers[i]->listen();
    const bool distinct = ResolvePortCollisions(ports, [&servers](int index) {
        servers[index]->deinit();
        return servers[index]->listen();
    });
    if (!distinct || ports[0] < 1 || ports[1] < 1 || ports[2] < 1) {
        LogMessage(std::string("Unable to open the three listeners, not starting"));
        return false;
    }

    // Ports nobody can learn serve nobody: without the key file, no start.
    if (!writeKeyFile(ports[0], ports[1], ports[2])) {
        LogMessage(std::string("Key file not written, not starting"));
        return false;
    }

    // Failed binds during the port search leave an error behind; only an
    // error of the registration below is worth reporting.
    WSASetLastError(0);
    bool registered = true;
    if (WSAAsyncSelect(command.listenSocket(), socketsWindow, kMsgCommandEvents, FD_ACCEPT) != 0) {
        LogMessage(std::string("Set events for port1 success: FALSE"));
        registered = false;
    } else if (WSAAsyncSelect(apps.listenSocket(), socketsWindow, kMsgAppsEvents, FD_ACCEPT) != 0) {
        LogMessage(std::string("Set events for port3 success: FALSE"));
        registered = false;
    } else {
        const HWND tabletWindow = WaitForTabletWindow(INFINITE, kTabletWindowPollMs);
        if (tabletWindow == nullptr ||
            WSAAsyncSelect(pressure.listenSocket(), tabletWindow, kMsgPressureEvents, FD_ACCEPT) != 0) {
            LogMessage(std::string("Set events for port2 success: FALSE"));
            registered = false;
        }
    }
    const int error = WSAGetLastError();
    if (error != 0) LogFormatted("Unable to perform WSAAsyncSelect on socket: %d", error);
    if (registered && SetTimer(socketsWindow, kAuthorizationTimer, netlimits::kAuthorizationCheckMs, nullptr) == 0) {
        LogSystemError(L"SetTimer()");  // late strangers are then only bounded by their number
    }
    if (registered) scanAttachedDevices(s.tablets);
    return registered;
}
