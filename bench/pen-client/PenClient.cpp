// The pen-latency benchmark's client, run under Wine inside the benchmark's
// prefix. Posting a packet (through the stand-in driver's shared state) and
// reading its pressure value back from the service happen in this one
// process, so both times come from one clock.
//
//   bench_pen_client pen PORT TITLE RATE COUNT
//       pressure client of the service: hooks the dock window TITLE, starts
//       the stream, posts COUNT packets at RATE per second, each with a new
//       pressure, and times each from its post to its pressure value's arrival;
//       writes "posting" to stderr when the first packet is about to go (a
//       benchmark that stalls the service times its stalls from there);
//       beside the latency, a per-hop trace of each packet from the stand-in
//       driver's stamps: queued -> read by the service's tablet listener
//       thread (the dock's turn, the hook's forward and the listener's turn)
//       -> its pressure value here (the handler, the socket send, this
//       client's turn), and read -> handed to the dock window (the rest of
//       the handler and the forward's reply); for all packets and for the
//       slowest hundredth
//   bench_pen_client rtt COUNT
//       a plain loopback TCP round trip (one byte each way, blocking sockets,
//       TCP_NODELAY) between two threads of this process
//   bench_pen_client hop COUNT
//       a SendMessage round trip to the service's tablet listener window, the
//       hop the hook library makes for every forwarded message
//
// Each prints one JSON line of results (times in microseconds).
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/fixtures/wintab/StandInDriver.h"

namespace {

double TicksPerUs() {
    static const double perUs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1e6;
    }();
    return perUs;
}

double Now() {  // microseconds
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / TicksPerUs();
}

// Waits until the given time by sleeping, never spinning: on a two-core
// machine a spinning client would take a core from the path it measures.
// A packet that falls behind its time goes out at once (the rate catches up).
void WaitUntil(double when) {
    while (Now() < when) Sleep(1);
}

struct Stats {
    double median = 0;
    double p99 = 0;
};

Stats Summarise(std::vector<double> v) {
    Stats s;
    if (v.empty()) return s;
    std::sort(v.begin(), v.end());
    s.median = v[v.size() / 2];
    s.p99 = v[std::min(v.size() - 1, static_cast<size_t>(v.size() * 0.99))];
    return s;
}

SOCKET Connect(int port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    if (connect(s, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
    return s;
}

// A listener on a free loopback port; the port through the argument.
SOCKET Listen(int& port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(s, 1);
    int length = sizeof(address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    return s;
}

// Reads the service's output: '|' ends a frame, a blank ends a token.
class EventReader {
public:
    explicit EventReader(SOCKET s) : s_(s) {}
    // The next frame or token; false when the connection ends or times out.
    bool Next(std::string& text, bool& isFrame) {
        const size_t end = Take("| ", text);
        if (end == std::string::npos) return false;
        isFrame = end == '|';
        return true;
    }
    // A reply to a command: everything up to the next '|' (replies hold blanks).
    bool Reply(std::string& text) { return Take("|", text) != std::string::npos; }

private:
    // Cuts the text before the first of the delimiters, reading as needed;
    // returns that delimiter, or npos when the connection ends first.
    size_t Take(const char* delimiters, std::string& text) {
        for (;;) {
            const size_t at = buffer_.find_first_of(delimiters);
            if (at != std::string::npos) {
                const char delimiter = buffer_[at];
                text.assign(buffer_, 0, at);
                buffer_.erase(0, at + 1);
                return static_cast<unsigned char>(delimiter);
            }
            char chunk[4096];
            const int got = recv(s_, chunk, sizeof(chunk), 0);
            if (got <= 0) return std::string::npos;
            buffer_.append(chunk, got);
        }
    }

    SOCKET s_;
    std::string buffer_;
};

bool SendCommand(SOCKET s, const std::string& text) {
    const std::string frame = text + "|";
    return send(s, frame.c_str(), static_cast<int>(frame.size()), 0) == static_cast<int>(frame.size());
}

// The per-hop trace as a JSON object: median, 99th percentile and the mean
// over the packets at or past the latency's 99th percentile, per hop.
std::string HopTrace(const std::vector<double>& posted, const std::vector<double>& arrived,
                     const std::vector<UINT>& serials, double p99) {
    const char* names[] = {"queued_to_read", "read_to_client", "read_to_dock_dispatch"};
    std::vector<double> hops[3];
    double tailSum[3] = {0, 0, 0};
    int tailCount[3] = {0, 0, 0};
    for (size_t i = 0; i < posted.size(); ++i) {
        if (arrived[i] == 0 || serials[i] == 0) continue;
        const LONGLONG queued = standin::StampOf(standin::kTraceQueued, serials[i]);
        const LONGLONG read = standin::StampOf(standin::kTraceRead, serials[i]);
        const LONGLONG dock = standin::StampOf(standin::kTraceDockDispatched, serials[i]);
        if (queued == 0 || read == 0) continue;
        const double value[3] = {(read - queued) / TicksPerUs(), arrived[i] - read / TicksPerUs(),
                                 dock != 0 ? (dock - read) / TicksPerUs() : -1};
        const bool tail = arrived[i] - posted[i] >= p99;
        for (int h = 0; h < 3; ++h) {
            if (value[h] < 0) continue;
            hops[h].push_back(value[h]);
            if (tail) {
                tailSum[h] += value[h];
                ++tailCount[h];
            }
        }
    }
    std::string json = "{";
    for (int h = 0; h < 3; ++h) {
        const Stats st = Summarise(hops[h]);
        char text[200];
        snprintf(text, sizeof(text), "%s\"%s\": {\"n\": %d, \"median_us\": %.1f, \"p99_us\": %.1f, \"tail_mean_us\": %.1f}",
                 h ? ", " : "", names[h], static_cast<int>(hops[h].size()), st.median, st.p99,
                 tailCount[h] ? tailSum[h] / tailCount[h] : 0.0);
        json += text;
    }
    return json + "}";
}

int PressureOf(int index) { return 1 + index % 1000; }  // each packet's pressure differs from the one before

int RunPen(int port, const std::string& title, int rate, int count) {
    SOCKET s = Connect(port);
    if (s == INVALID_SOCKET) {
        fprintf(stderr, "cannot connect to %d\n", port);
        return 1;
    }
    const DWORD timeoutMs = 10000;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeoutMs), sizeof(timeoutMs));
    EventReader reader(s);
    std::string reply;
    if (!SendCommand(s, "listenTablet \"" + title + "\" x") || !reader.Reply(reply) || reply != "Success ") {
        fprintf(stderr, "listenTablet: %s\n", reply.c_str());
        return 1;
    }
    if (!SendCommand(s, "startTablet") || !reader.Reply(reply) || !reply.empty()) {
        fprintf(stderr, "startTablet: %s\n", reply.c_str());
        return 1;
    }
    for (int waited = 0; standin::OpenContextCount() == 0; waited += 10) {
        if (waited > 10000) {
            fprintf(stderr, "no context opened\n");
            return 1;
        }
        Sleep(10);
    }

    std::vector<double> posted(count, 0.0);
    std::vector<double> arrivedAt(count, 0.0);
    std::vector<UINT> serials(count, 0);
    std::vector<double> latency;
    latency.reserve(count);
    std::atomic<bool> done{false};
    std::atomic<int> postedCount{0};
    int received = 0;
    std::thread receiver([&] {
        int next = 0;  // the earliest packet not yet matched
        std::string text;
        bool isFrame = false;
        while (reader.Next(text, isFrame)) {
            const double arrived = Now();
            if (isFrame) {
                if (text == "PenData.PROXIMITY_OUT") break;
                continue;
            }
            const int pressure = atoi(text.c_str());
            // Values repeat every 1000 packets: the first unmatched packet
            // with this value (lost ones are skipped).
            const int limit = std::min(postedCount.load(), next + 1000);
            for (int i = next; i < limit; ++i) {
                if (PressureOf(i) != pressure) continue;
                latency.push_back(arrived - posted[i]);
                arrivedAt[i] = arrived;
                ++received;
                next = i + 1;
                break;
            }
        }
        done = true;
    });

    standin::PostProximity(true);
    Sleep(50);
    fputs("posting\n", stderr);
    fflush(stderr);
    const double interval = 1e6 / rate;
    const double start = Now();
    double lateMax = 0;  // how far the posting fell behind its schedule (a burst follows)
    for (int i = 0; i < count; ++i) {
        WaitUntil(start + i * interval);
        wintab::Packet p{};
        p.pkCursor = 1;
        p.pkX = 10000;
        p.pkY = 5000;
        p.pkNormalPressure = static_cast<UINT>(PressureOf(i));
        posted[i] = Now();
        lateMax = std::max(lateMax, posted[i] - (start + i * interval));
        postedCount = i + 1;
        standin::PostPacket(p, &serials[i]);
    }
    Sleep(500);  // packets still on their way count as received
    standin::PostProximity(false);
    receiver.join();
    SendCommand(s, "stopTablet");
    SendCommand(s, "stopListenTablet \"" + title + "\" x");
    reader.Reply(reply);
    closesocket(s);

    const Stats st = Summarise(latency);
    printf("{\"rate\": %d, \"posted\": %d, \"received\": %d, \"median_us\": %.1f, \"p99_us\": %.1f, "
           "\"late_max_us\": %.1f, \"hops\": %s}\n",
           rate, count, received, st.median, st.p99, lateMax, HopTrace(posted, arrivedAt, serials, st.p99).c_str());
    return 0;
}

int RunRoundTrip(int count) {
    int port = 0;
    SOCKET listener = Listen(port);
    std::thread echo([listener] {
        SOCKET c = accept(listener, nullptr, nullptr);
        const BOOL on = TRUE;
        setsockopt(c, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on));
        char b;
        while (recv(c, &b, 1, 0) == 1) send(c, &b, 1, 0);
        closesocket(c);
    });
    SOCKET s = Connect(port);
    std::vector<double> rtt;
    char b = 'x';
    for (int i = 0; i < count + 200; ++i) {
        const double t0 = Now();
        send(s, &b, 1, 0);
        recv(s, &b, 1, 0);
        if (i >= 200) rtt.push_back(Now() - t0);  // the first ones warm up
    }
    closesocket(s);
    echo.join();
    closesocket(listener);
    const Stats st = Summarise(rtt);
    printf("{\"count\": %d, \"median_us\": %.1f, \"p99_us\": %.1f}\n", count, st.median, st.p99);
    return 0;
}

int RunHop(int count) {
    const HWND listener = FindWindowW(L"MarlinWTHookQ", nullptr);
    if (listener == nullptr) {
        fprintf(stderr, "no tablet listener window\n");
        return 1;
    }
    std::vector<double> rtt;
    for (int i = 0; i < count + 200; ++i) {
        const double t0 = Now();
        SendMessageW(listener, WM_NULL, 0, 0);
        if (i >= 200) rtt.push_back(Now() - t0);
    }
    const Stats st = Summarise(rtt);
    printf("{\"count\": %d, \"median_us\": %.1f, \"p99_us\": %.1f}\n", count, st.median, st.p99);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    const std::string mode = argc > 1 ? argv[1] : "";
    int result = 2;
    if (mode == "pen" && argc == 6) {
        result = RunPen(atoi(argv[2]), argv[3], atoi(argv[4]), atoi(argv[5]));
    } else if (mode == "rtt" && argc == 3) {
        result = RunRoundTrip(atoi(argv[2]));
    } else if (mode == "hop" && argc == 3) {
        result = RunHop(atoi(argv[2]));
    } else {
        fprintf(stderr, "usage: bench_pen_client pen PORT TITLE RATE COUNT | rtt COUNT | hop COUNT\n");
    }
    fflush(stdout);
    WSACleanup();
    return result;
}
