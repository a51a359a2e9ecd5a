#include "core/app/ServiceRecord.h"
#include "core/app/ServiceTesting.h"

#include "core/app/ListenerWindows.h"
#include "core/app/ServiceShutdown.h"
#include "core/tablet/TabletSession.h"

namespace {

Service*& CurrentService() {
    static Service* service = new Service();  // replaced only by resetService
    return service;
}

}  // namespace

Service& State() { return *CurrentService(); }

HWND GetSocketsListenerWindow() { return State().socketsWindow.load(); }

HWND GetTabletListenerWindow() { return State().tabletWindow.load(); }

Server* GetCommandServer() { return State().command.get(); }

PressureServer* GetPressureServer() { return State().pressure.get(); }

TabletSession& GetTabletSession() { return State().tabletSession; }

bool resetService() {
    Service* old = CurrentService();
    if (old->apps) old->apps->deinit();  // its channels are freed (a service keeps it open until its end)
    if (old->started && !old->stopped && !StopService()) return false;
    if (!TabletThreadEnded()) return false;  // its thread may still use the record
    const HWND socketsWindow = old->socketsWindow.load();
    if (socketsWindow != nullptr) DestroyWindow(socketsWindow);
    // The hooks, the hook library and WinTab go (a service whose loop ended
    // gave them back already); the session then waits for its delayed starts.
    shutdownTablet(old->tabletSession);
    delete old;
    CurrentService() = new Service();
    return true;
}
