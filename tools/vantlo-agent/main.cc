// vantlo-agent: the companion agent. Its window of class "VantloAgentCallbackWnd" receives
// the resident process's notices; each is printed as one line on stdout, flushed at once:
//   status <n> <path>           WM_COPYDATA of kind 1182 with one 524-byte status record
//   login <service> <result>    message 1183: service 0 YouTube, 1 Facebook; 0 signed in
// Runs until its window is closed (WM_CLOSE, SIGTERM or SIGINT). "vantlo-agent: ready" on
// stderr tells that the window exists.
//
// Usage: vantlo-agent
#include <cstdio>
#include <cstring>

#include "platform/ipc.h"
#include "platform/trace.h"
#include "platform/window.h"
#include "platform/wstr.h"

namespace {

constexpr WCHAR kAgentClass[] = u"VantloAgentCallbackWnd";
constexpr WCHAR kAgentTitle[] = u"Vantlo Agent";
constexpr ULONG_PTR AGENT_STATUS_COPYDATA = 1182;
constexpr UINT AGENT_LOGIN_RESULT = WM_USER + 159;

// One file's status as it travels (little-endian, 524 bytes).
struct StatusRecord {
    WCHAR path[MAX_PATH];  // NUL-terminated, zero-filled after
    DWORD status;          // 0 none, 1 failed, 2 uploading, 3 waiting, 4 done
};
static_assert(sizeof(StatusRecord) == 524);

// The agent does not call back: the sender holds its task lock while it waits for us.
LRESULT AgentWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_COPYDATA: {
            auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
            if (!cds || cds->dwData != AGENT_STATUS_COPYDATA) return 0;
            if (cds->cbData != sizeof(StatusRecord) || !cds->lpData) {
                Trace("[Agent] status notice of %u bytes ignored: one record is %u",
                      static_cast<unsigned>(cds->cbData),
                      static_cast<unsigned>(sizeof(StatusRecord)));
                return 0;
            }
            StatusRecord record;
            std::memcpy(&record, cds->lpData, sizeof record);
            record.path[MAX_PATH - 1] = 0;
            printf("status %u %s\n", static_cast<unsigned>(record.status),
                   ToUtf8(record.path).c_str());
            fflush(stdout);
            return 1;
        }
        case AGENT_LOGIN_RESULT:
            printf("login %lld %lld\n", static_cast<long long>(wParam),
                   static_cast<long long>(lParam));
            fflush(stdout);
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

}  // namespace

int main() {
    WNDCLASSW wc{};
    wc.lpfnWndProc = AgentWndProc;
    wc.lpszClassName = kAgentClass;
    if (!RegisterClassW(&wc)) {
        fprintf(stderr, "vantlo-agent: cannot register the window class\n");
        return 1;
    }
    HWND hwnd = CreateWindowExW(0, kAgentClass, kAgentTitle, 0, 0, 0, 0, 0, nullptr, nullptr,
                                nullptr, nullptr);
    if (!hwnd) {
        fprintf(stderr, "vantlo-agent: cannot create the agent window\n");
        return 1;
    }
    if (!RouteTerminationSignalsTo(hwnd)) {
        fprintf(stderr, "vantlo-agent: SIGTERM and SIGINT cannot be routed to the window\n");
    }
    fprintf(stderr, "vantlo-agent: ready\n");  // the notices may come from now on
    MSG msg{};
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) DispatchMessageW(&msg);
    return static_cast<int>(msg.wParam);
}
