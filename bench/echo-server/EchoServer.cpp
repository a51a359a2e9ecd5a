// The cost floor of the service's event model under this runtime: a hidden
// window receives WSAAsyncSelect events for a loopback listener and its
// clients, cuts the input at '|' and answers every message with one short
// framed reply, as the service does, but does nothing else.
//
// Usage: bench_echo_server.exe PORTFILE   (writes the listening port there)
#include <winsock2.h>
#include <windows.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr UINT kSocketMessage = WM_APP + 1;
SOCKET gListener = INVALID_SOCKET;
std::map<SOCKET, std::string> gPending;

void HandleRead(SOCKET s) {
    char buffer[512];
    std::string& pending = gPending[s];
    for (;;) {
        const int got = recv(s, buffer, sizeof(buffer), 0);
        if (got <= 0) break;
        pending.append(buffer, got);
        if (got < static_cast<int>(sizeof(buffer))) break;
    }
    size_t start = 0;
    for (size_t bar = pending.find('|'); bar != std::string::npos; bar = pending.find('|', start)) {
        static const char kReply[] = "Success CoreVersion=2.06.0|";
        send(s, kReply, sizeof(kReply) - 1, 0);
        start = bar + 1;
    }
    pending.erase(0, start);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kSocketMessage) {
        const SOCKET s = static_cast<SOCKET>(wParam);
        switch (WSAGETSELECTEVENT(lParam)) {
        case FD_ACCEPT: {
            SOCKET client = accept(gListener, nullptr, nullptr);
            if (client != INVALID_SOCKET) {
                gPending[client];
                WSAAsyncSelect(client, window, kSocketMessage, FD_READ | FD_CLOSE);
            }
            break;
        }
        case FD_READ:
            HandleRead(s);
            break;
        case FD_CLOSE:
            gPending.erase(s);
            closesocket(s);
            break;
        }
        return 0;
    }
    if (message == WM_CLOSE) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 0), &data);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.lpszClassName = L"MarlinBenchEcho";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, L"MarlinBenchEcho", L"MarlinBenchEcho", 0, 50, 50, 300, 300, nullptr, nullptr,
                                  nullptr, nullptr);
    if (window == nullptr) return 1;

    gListener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = 0;
    if (bind(gListener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return 2;
    listen(gListener, 5);
    int length = sizeof(address);
    getsockname(gListener, reinterpret_cast<sockaddr*>(&address), &length);
    WSAAsyncSelect(gListener, window, kSocketMessage, FD_ACCEPT);

    FILE* portFile = _wfopen(commandLine, L"w");
    if (portFile == nullptr) return 3;
    fprintf(portFile, "%d\n", ntohs(address.sin_port));
    fclose(portFile);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    closesocket(gListener);
    WSACleanup();
    return 0;
}
