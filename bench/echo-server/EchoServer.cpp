// The cost floor of the service's event model under this runtime: a hidden
// window receives WSAAsyncSelect events for a loopback listener and its
// clients, cuts the input at '|' and answers every message with one short
// framed reply, but does nothing else. By default the replies to all the
// messages of one read leave in one send (the least a server of this model
// can do); with "per-message" each reply is a send of its own. Events naming
// a socket it never accepted are dropped unread, so under a flood of forged
// events it shows what the runtime's message queue alone costs.
//
// Usage: bench_echo_server.exe PORTFILE [per-message]   (writes the listening port to PORTFILE)
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

constexpr UINT kSocketMessage = WM_APP + 1;
constexpr char kReply[] = "Success CoreVersion=2.06.0|";
constexpr int kReplyLength = sizeof(kReply) - 1;
SOCKET gListener = INVALID_SOCKET;
bool gPerMessage = false;
std::map<SOCKET, std::string> gPending;

// Sends all of text, waiting for room when the socket's buffer is full (a
// client that pipelines thousands of messages reads while it writes).
void SendAll(SOCKET s, const char* text, int length) {
    while (length > 0) {
        const int sent = send(s, text, length, 0);
        if (sent > 0) {
            text += sent;
            length -= sent;
        } else if (WSAGetLastError() == WSAEWOULDBLOCK) {
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(s, &writable);
            select(0, nullptr, &writable, nullptr, nullptr);
        } else {
            return;
        }
    }
}

void HandleRead(SOCKET s) {
    static char buffer[64 * 1024];
    const int got = recv(s, buffer, sizeof(buffer), 0);
    if (got <= 0) return;
    std::string& pending = gPending[s];
    pending.append(buffer, got);
    std::string replies;
    size_t start = 0;
    for (size_t bar = pending.find('|'); bar != std::string::npos; bar = pending.find('|', start)) {
        if (gPerMessage) {
            SendAll(s, kReply, kReplyLength);
        } else {
            replies.append(kReply, kReplyLength);
        }
        start = bar + 1;
    }
    pending.erase(0, start);
    if (!replies.empty()) SendAll(s, replies.data(), static_cast<int>(replies.size()));
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
            // An event for a socket this server never accepted (another program
            // posted it) costs nothing but the message itself, as in the service.
            if (gPending.count(s) != 0) HandleRead(s);
            break;
        case FD_CLOSE:
            if (gPending.erase(s) != 0) closesocket(s);
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

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 2) return 4;
    gPerMessage = argc > 2 && lstrcmpW(argv[2], L"per-message") == 0;
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
    listen(gListener, SOMAXCONN);
    int length = sizeof(address);
    getsockname(gListener, reinterpret_cast<sockaddr*>(&address), &length);
    WSAAsyncSelect(gListener, window, kSocketMessage, FD_ACCEPT);

    FILE* portFile = _wfopen(argv[1], L"w");
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
