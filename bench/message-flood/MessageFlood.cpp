// The posted-message flood of the benchmarks: a same-desktop program that
// posts COUNT WM_USER messages to the first top-level window of CLASS (hidden
// windows included), as fast as the window's queue takes them.
//
//   bench_message_flood CLASS COUNT
//
// A full queue refuses a post; the program then yields and posts again, so
// every message is posted once. Prints one JSON line: the messages posted,
// the refusals met and the seconds it took. Exit codes: 0 done, 1 usage,
// 2 no such window, 3 the window went away.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        fwprintf(stderr, L"usage: bench_message_flood CLASS COUNT\n");
        return 1;
    }
    const HWND window = FindWindowW(argv[1], nullptr);
    if (window == nullptr) return 2;
    const long count = wcstol(argv[2], nullptr, 10);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    long posted = 0;
    long refused = 0;
    while (posted < count) {
        if (PostMessageW(window, WM_USER, static_cast<WPARAM>(posted), 0)) {
            ++posted;
            continue;
        }
        if (!IsWindow(window)) return 3;
        ++refused;  // the queue is full: let its owner drain it
        Sleep(0);
    }
    QueryPerformanceCounter(&end);
    printf("{\"posted\": %ld, \"refused\": %ld, \"seconds\": %.3f}\n", posted, refused,
           static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart));
    fflush(stdout);
    return 0;
}
