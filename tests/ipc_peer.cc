// The other process of the tests of windows across processes. It reports on stdout, one
// flushed line per event, what reached it.
//
//   vantlo-ipc-peer [VAR=value]... window CLASS TITLE [--signals]
//       A top-level window of class CLASS; prints "ready <hwnd> <pid>" (the process id as
//       the system knows it), then one line per event (see PeerProc), and "exit <code>"
//       when its message loop ends.
//   vantlo-ipc-peer [VAR=value]... mutex NAME WAIT_MS HOLD_MS
//       Creates the named mutex and prints "existed 0|1", waits up to WAIT_MS to own it and
//       prints "owned" or "timeout"; an owner holds it HOLD_MS, releases and prints
//       "released".
// Leading VAR=value arguments are set in the environment first.
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/ipc.h"
#include "platform/sync.h"
#include "platform/time.h"
#include "platform/window.h"
#include "platform/wstr.h"
#include "tests/ipc_peer.h"

namespace {

void Say(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
    putchar('\n');
    fflush(stdout);
}

uint32_t Fnv(const uint8_t* p, size_t n) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
    return h;
}

LRESULT PeerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case kPeerDouble:
            return static_cast<LRESULT>(wParam * 2) + lParam;
        case kPeerHang:
            Say("hanging");
            Sleep(static_cast<DWORD>(lParam));
            return 1;
        case kPeerRecord:
            Say("posted %llu %lld", static_cast<unsigned long long>(wParam),
                static_cast<long long>(lParam));
            return 0;
        case kPeerPostBack:
            // Answers to the window in wParam with a post of its own.
            Say("postback %d", PostMessageW(reinterpret_cast<HWND>(wParam), kPeerPostedBack,
                                            static_cast<WPARAM>(lParam), GetCurrentProcessId()));
            return 0;
        case kPeerIsWindow:
            return IsWindow(reinterpret_cast<HWND>(wParam));
        case WM_COPYDATA: {
            auto* cds = reinterpret_cast<COPYDATASTRUCT*>(lParam);
            const auto* bytes = static_cast<const uint8_t*>(cds->lpData);
            uint32_t hash = Fnv(bytes, cds->cbData);
            Say("copydata %llu %u %08x", static_cast<unsigned long long>(cds->dwData),
                static_cast<unsigned>(cds->cbData), hash);
            if (wParam) {
                // The reply window gets the bytes back reversed, while its sender still waits.
                std::string back(bytes ? reinterpret_cast<const char*>(bytes) : "", cds->cbData);
                back.assign(back.rbegin(), back.rend());
                COPYDATASTRUCT reply{cds->dwData + 1, static_cast<DWORD>(back.size()),
                                     back.empty() ? nullptr : back.data()};
                DWORD_PTR result = 0;
                LRESULT ok = SendMessageTimeoutW(reinterpret_cast<HWND>(wParam), WM_COPYDATA, 0,
                                                 reinterpret_cast<LPARAM>(&reply), SMTO_NORMAL,
                                                 5000, &result);
                Say("nested %d %llu", static_cast<int>(ok),
                    static_cast<unsigned long long>(result));
            }
            return static_cast<LRESULT>(hash);
        }
        case WM_SHOWWINDOW:
            Say("show %llu", static_cast<unsigned long long>(wParam));
            return 0;
        case WM_ACTIVATE:
            Say("activate %llu", static_cast<unsigned long long>(wParam));
            return 0;
        case WM_CLOSE:
            Say("close");
            break;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

int RunWindow(const char* cls, const char* title, bool signals) {
    WString className = FromUtf8(cls);
    WString text = FromUtf8(title);
    WNDCLASSW wc{};
    wc.lpfnWndProc = PeerProc;
    wc.lpszClassName = className.c_str();
    if (!RegisterClassW(&wc)) return 2;
    HWND hwnd = CreateWindowExW(0, className.c_str(), text.c_str(), 0, CW_USEDEFAULT, 0,
                                CW_USEDEFAULT, 0, nullptr, nullptr, nullptr, nullptr);
    if (!hwnd) return 2;
    if (signals && !RouteTerminationSignalsTo(hwnd)) return 2;
    Say("ready %08llx %ld", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd)),
        static_cast<long>(getpid()));
    MSG m;
    BOOL r;
    while ((r = GetMessageW(&m, nullptr, 0, 0)) > 0) DispatchMessageW(&m);
    Say("exit %d", r == 0 ? static_cast<int>(m.wParam) : -1);
    return r == 0 ? static_cast<int>(m.wParam) : 1;
}

int RunMutex(const char* name, DWORD waitMs, DWORD holdMs) {
    WString wide = FromUtf8(name);
    HANDLE m = CreateMutexW(nullptr, FALSE, wide.c_str());
    if (!m) return 2;
    Say("existed %d", GetLastError() == ERROR_ALREADY_EXISTS ? 1 : 0);
    if (WaitForSingleObject(m, waitMs) != WAIT_OBJECT_0) {
        Say("timeout");
        CloseHandle(m);
        return 0;
    }
    Say("owned");
    Sleep(holdMs);
    ReleaseMutex(m);
    Say("released");
    CloseHandle(m);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    while (argc > 1 && strchr(argv[1], '=')) {
        putenv(argv[1]);
        ++argv;
        --argc;
    }
    if (argc >= 4 && strcmp(argv[1], "window") == 0) {
        bool signals = argc >= 5 && strcmp(argv[4], "--signals") == 0;
        return RunWindow(argv[2], argv[3], signals);
    }
    if (argc == 5 && strcmp(argv[1], "mutex") == 0) {
        return RunMutex(argv[2], static_cast<DWORD>(strtoul(argv[3], nullptr, 10)),
                        static_cast<DWORD>(strtoul(argv[4], nullptr, 10)));
    }
    fprintf(stderr,
            "usage: vantlo-ipc-peer window CLASS TITLE [--signals] | mutex NAME WAIT HOLD\n");
    return 2;
}
