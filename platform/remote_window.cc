// The remote window driver over the sockets of the runtime folder: windows of other
// processes are found through their entry files and reached through their process's
// socket; requests for this process's windows are served here.
//
// A window handle names its process: bits 16-30 are the slot of the process that created
// it, so a reply window passed in wParam leads straight back to its owner.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>

#include "platform/ipc.h"
#include "platform/ipc_host.h"
#include "platform/ipc_transport.h"
#include "platform/trace.h"
#include "platform/win_internal.h"

namespace {

constexpr DWORD kSendCapMs = 10000;          // SendMessage to another process gives up then
constexpr DWORD kQuickMs = 2000;             // posts, window queries and show state
constexpr DWORD kReceiverSendCapMs = 60000;  // longest a received send waits for its window
constexpr int kMaxWorkers = 32;              // threads delivering received sends
constexpr size_t kMaxQueuedSends = 256;      // received sends waiting for a thread
constexpr DWORD kWorkerIdleMs = 30000;       // an idle delivering thread ends after this
constexpr int kMaxPublishedTitle = 2000;     // characters of a title in its entry

uint32_t HandleValue(HWND h) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h));
}

HWND AsHwnd(uint32_t v) {
    return reinterpret_cast<HWND>(static_cast<uintptr_t>(v));
}

// The slot of the process owning a window of another process; 0 when hwnd cannot name one.
uint32_t RemoteSlot(HWND hwnd) {
    uintptr_t v = reinterpret_cast<uintptr_t>(hwnd);
    if (v > UINT32_MAX || !ipc::IsHandleShape(static_cast<uint32_t>(v))) return 0;
    uint32_t slot = ipc::SlotOfHandle(static_cast<uint32_t>(v));
    return slot == ipc::CurrentSlot() ? 0 : slot;  // ours, yet not a live window
}

// Messages whose lParam points into the sender's memory cannot cross to another process.
bool LParamIsPointer(UINT msg, LPARAM lParam) {
    if (lParam == 0) return false;
    switch (msg) {
        case WM_CREATE:
        case WM_SETTEXT:
        case WM_GETTEXT:
        case WM_SETTINGCHANGE:
        case 0x0024:       // WM_GETMINMAXINFO
        case 0x002B:       // WM_DRAWITEM
        case 0x002C:       // WM_MEASUREITEM
        case 0x002D:       // WM_DELETEITEM
        case 0x0039:       // WM_COMPAREITEM
        case 0x0046:       // WM_WINDOWPOSCHANGING
        case 0x0047:       // WM_WINDOWPOSCHANGED
        case WM_COPYDATA:  // only as a copy-data frame
        case 0x004E:       // WM_NOTIFY
        case 0x0053:       // WM_HELP
        case 0x007C:       // WM_STYLECHANGING
        case 0x007D:       // WM_STYLECHANGED
        case 0x0081:       // WM_NCCREATE
        case 0x0083:       // WM_NCCALCSIZE
        case WM_TIMER:     // a TIMERPROC
            return true;
        default:
            return false;
    }
}

// ---- publishing this process's top-level windows ---------------------------------------

struct Published {
    std::mutex lock;
    std::map<uint32_t, uint64_t> created;  // published windows -> their creation stamp
};

Published& Pub() {
    static Published* p = new Published;
    return *p;
}

uint64_t NowMicros() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<microseconds>(system_clock::now().time_since_epoch()).count());
}

void Unpublish(uint32_t h) {
    bool was;
    {
        std::lock_guard<std::mutex> g(Pub().lock);
        was = Pub().created.erase(h) > 0;
    }
    if (was) ipc::RemoveEntry(ipc::EndpointDir(), h);
}

// Publishes or withdraws a window; the caller's last error stays as it was.
void RemoteWindowChanged(HWND hwnd, bool exists) {
    struct KeepLastError {
        DWORD saved = GetLastError();
        ~KeepLastError() { SetLastError(saved); }
    } keep;
    uint32_t h = HandleValue(hwnd);
    auto w = exists ? LocalWindow(hwnd) : nullptr;
    if (!w || (GetWindowLongW(hwnd, GWL_STYLE) & WS_CHILD)) {
        Unpublish(h);
        return;
    }
    uint32_t slot = ipc::OwnSlot();
    if (!slot || ipc::SlotOfHandle(h) != slot) return;  // made without a slot: unreachable
    WCHAR cls[257] = {};
    GetClassNameW(hwnd, cls, 257);
    WCHAR title[kMaxPublishedTitle + 1] = {};
    GetWindowTextW(hwnd, title, kMaxPublishedTitle + 1);
    ipc::WindowEntry entry;
    entry.hwnd = h;
    entry.pid = GetCurrentProcessId();
    entry.thread = w->threadId;
    entry.cls = ToUtf8(cls);
    entry.title = ToUtf8(title);
    {
        std::lock_guard<std::mutex> g(Pub().lock);
        entry.created = Pub().created.emplace(h, NowMicros()).first->second;
    }
    ipc::WriteEntry(ipc::EndpointDir(), entry);
    if (!IsLocalWindow(hwnd)) Unpublish(h);  // destroyed by another thread meanwhile
}

// ---- finding windows of other processes ------------------------------------------------

// Traces a malformed entry; removes it when no live process can own it.
void MalformedEntry(const std::string& dir, uint32_t hwnd) {
    static std::mutex* lock = new std::mutex;
    static std::set<uint32_t>* reported = new std::set<uint32_t>;
    uint32_t slot = ipc::SlotOfHandle(hwnd);
    if (ipc::SlotHolder(dir, slot) == 0) {
        ipc::RemoveEntry(dir, hwnd);
        Trace("[Platform] FindWindow: malformed window entry %s removed",
              ipc::EntryFileName(hwnd).c_str());
        return;
    }
    std::lock_guard<std::mutex> g(*lock);
    if (reported->insert(hwnd).second) {
        Trace("[Platform] FindWindow: window entry %s is malformed; skipped",
              ipc::EntryFileName(hwnd).c_str());
    }
}

HWND RemoteFindWindow(LPCWSTR className, LPCWSTR title) {
    if (className && reinterpret_cast<uintptr_t>(className) < 0x10000) {
        return nullptr;  // an atom names a class of this process only
    }
    const std::string& dir = ipc::EndpointDir();
    if (dir.empty()) return nullptr;
    const uint32_t own = ipc::CurrentSlot();
    std::vector<ipc::WindowEntry> matches;
    for (auto& le : ipc::ListEntries(dir, own)) {
        if (ipc::SlotOfHandle(le.hwnd) == own) continue;  // ours were searched already
        if (!le.wellFormed) {
            MalformedEntry(dir, le.hwnd);
            continue;
        }
        if (className && WStrICmp(FromUtf8(le.entry.cls).c_str(), className) != 0) continue;
        if (title && WStrICmp(FromUtf8(le.entry.title).c_str(), title) != 0) continue;
        matches.push_back(std::move(le.entry));
    }
    std::sort(matches.begin(), matches.end(), [](const auto& a, const auto& b) {
        return a.created != b.created ? a.created > b.created : a.hwnd > b.hwnd;
    });
    for (const auto& m : matches) {
        uint32_t slot = ipc::SlotOfHandle(m.hwnd);
        uint32_t holder = ipc::SlotHolder(dir, slot);
        if (holder == m.pid || holder == UINT32_MAX) return AsHwnd(m.hwnd);
        // Its process is gone: a dead slot is cleared whole, a reused one loses this entry.
        if (holder == 0) {
            ipc::ClearDeadSlot(dir, slot);
        } else {
            ipc::RemoveEntry(dir, m.hwnd);
        }
        Trace(
            "[Platform] FindWindow: window %08x (%s \"%s\") of process %u is gone; its stale "
            "entry is removed",
            m.hwnd, m.cls.c_str(), m.title.c_str(), m.pid);
    }
    SetLastError(ERROR_SUCCESS);
    return nullptr;
}

// ---- calls to windows of other processes -----------------------------------------------

// A request that the receiving thread of the other process answers itself.
bool QuickCall(HWND hwnd, ipc::Frame f, ipc::Frame* reply) {
    uint32_t slot = RemoteSlot(hwnd);
    if (!slot) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    f.hwnd = HandleValue(hwnd);
    if (!ipc::Call(slot, std::move(f), kQuickMs, false, reply)) return false;
    if (reply->status != 0) {
        SetLastError(reply->status);
        return false;
    }
    return true;
}

bool RemoteIsWindow(HWND hwnd) {
    ipc::Frame f, r;
    f.kind = ipc::Kind::WindowInfo;
    return QuickCall(hwnd, std::move(f), &r);
}

DWORD RemoteThreadProcessId(HWND hwnd, DWORD* processId) {
    ipc::Frame f, r;
    f.kind = ipc::Kind::WindowInfo;
    if (!QuickCall(hwnd, std::move(f), &r)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (processId) *processId = static_cast<DWORD>(static_cast<uint64_t>(r.result) >> 32);
    return static_cast<DWORD>(r.result);
}

BOOL RemoteShowWindow(HWND hwnd, int cmd) {
    ipc::Frame f, r;
    f.kind = ipc::Kind::ShowWindow;
    f.cmd = cmd;
    return QuickCall(hwnd, std::move(f), &r) && r.result ? TRUE : FALSE;
}

BOOL RemoteSetForegroundWindow(HWND hwnd) {
    ipc::Frame f, r;
    f.kind = ipc::Kind::SetForeground;
    return QuickCall(hwnd, std::move(f), &r) ? TRUE : FALSE;
}

BOOL RemotePostMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (!RemoteSlot(hwnd)) {
        Trace("[Platform] PostMessage 0x%04x to %p: no such window, message lost", msg,
              static_cast<void*>(hwnd));
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (LParamIsPointer(msg, lParam)) {
        Trace(
            "[Platform] PostMessage 0x%04x to window %p of another process refused: its "
            "lParam is a pointer",
            msg, static_cast<void*>(hwnd));
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ipc::Frame f, r;
    f.kind = ipc::Kind::Post;
    f.msg = msg;
    f.wParam = wParam;
    f.lParam = lParam;
    if (QuickCall(hwnd, std::move(f), &r)) return TRUE;
    DWORD err = GetLastError();
    Trace("[Platform] PostMessage 0x%04x to window %p of another process: %s", msg,
          static_cast<void*>(hwnd),
          err == ERROR_TIMEOUT                 ? "no receipt in time; it may still arrive"
          : err == ERROR_INVALID_WINDOW_HANDLE ? "no such window, message lost"
                                               : "refused by its process");
    SetLastError(err);
    return FALSE;
}

bool RemoteSendMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags,
                       DWORD timeoutMs, LRESULT* result) {
    uint32_t slot = RemoteSlot(hwnd);
    if (!slot) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    ipc::Frame f;
    if (msg == WM_COPYDATA) {
        auto* cds = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (!cds || (cds->cbData > 0 && !cds->lpData)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        if (cds->cbData > ipc::kMaxCopyData) {
            Trace(
                "[Platform] WM_COPYDATA of %u bytes to window %p refused: at most %zu bytes "
                "cross to another process",
                static_cast<unsigned>(cds->cbData), static_cast<void*>(hwnd), ipc::kMaxCopyData);
            SetLastError(ERROR_NOT_ENOUGH_QUOTA);
            return false;
        }
        f.kind = ipc::Kind::CopyData;
        f.dwData = cds->dwData;
        const auto* bytes = static_cast<const uint8_t*>(cds->lpData);
        if (cds->cbData > 0) f.data.assign(bytes, bytes + cds->cbData);
    } else if (LParamIsPointer(msg, lParam)) {
        Trace(
            "[Platform] SendMessage 0x%04x to window %p of another process refused: its "
            "lParam is a pointer",
            msg, static_cast<void*>(hwnd));
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    } else {
        f.kind = ipc::Kind::Send;
        f.lParam = lParam;
    }
    f.hwnd = HandleValue(hwnd);
    f.msg = msg;
    f.wParam = wParam;
    // Nobody waits forever for another process: an upload must not freeze behind a hung one.
    const DWORD wait = timeoutMs == INFINITE ? kSendCapMs : timeoutMs;
    f.timeoutMs = wait;
    ipc::Frame r;
    bool replied = ipc::Call(slot, std::move(f), wait, (flags & SMTO_BLOCK) == 0, &r);
    // The receiver may give up on its window at the same moment as we give up on it.
    DWORD err = replied ? r.status : GetLastError();
    if (err == ERROR_TIMEOUT) {
        Trace("[Platform] %s 0x%04x to window %p of another process: no answer within %u ms%s",
              timeoutMs == INFINITE ? "SendMessage" : "SendMessageTimeout", msg,
              static_cast<void*>(hwnd), static_cast<unsigned>(wait),
              timeoutMs == INFINITE ? ", given up" : "");
    } else if (!replied) {
        Trace(
            "[Platform] SendMessage 0x%04x to window %p: its process went away or cannot be "
            "reached",
            msg, static_cast<void*>(hwnd));
    }
    if (err != 0) {
        SetLastError(err);
        return false;
    }
    *result = static_cast<LRESULT>(r.result);
    return true;
}

uint32_t ProcessSlot() {
    return ipc::OwnSlot();
}

const RemoteWindowDriver kSocketDriver = {
    RemoteFindWindow,      RemoteIsWindow,      RemotePostMessage,
    RemoteSendMessage,     RemoteShowWindow,    RemoteSetForegroundWindow,
    RemoteThreadProcessId, RemoteWindowChanged, ProcessSlot,
};

// ---- serving requests from other processes ---------------------------------------------

struct SendJob {
    ipc::ConnectionRef conn;  // where the answer goes
    ipc::Frame frame;         // the Send or CopyData request
};

// Threads that hand received sends to the windows' threads and wait for the answers, so
// that the receiving thread never waits for a window procedure.
struct Workers {
    std::mutex lock;
    std::condition_variable cv;  // a job arrived
    std::deque<SendJob> jobs;    // waiting for a thread, oldest first
    int threads = 0;             // running
    int idle = 0;                // of those, waiting for a job
};

Workers& Pool() {
    static Workers* w = new Workers;
    return *w;
}

void Deliver(SendJob& job) {
    ipc::Frame& f = job.frame;
    HWND hwnd = AsHwnd(f.hwnd);
    UINT wait = std::min<DWORD>(f.timeoutMs, kReceiverSendCapMs);
    DWORD_PTR result = 0;
    LRESULT ok;
    SetLastError(ERROR_SUCCESS);
    if (f.kind == ipc::Kind::CopyData) {
        COPYDATASTRUCT cds{static_cast<ULONG_PTR>(f.dwData), static_cast<DWORD>(f.data.size()),
                           f.data.empty() ? nullptr : f.data.data()};
        ok = SendMessageTimeoutW(hwnd, WM_COPYDATA, static_cast<WPARAM>(f.wParam),
                                 reinterpret_cast<LPARAM>(&cds), SMTO_NORMAL, wait, &result);
    } else {
        ok = SendMessageTimeoutW(hwnd, f.msg, static_cast<WPARAM>(f.wParam),
                                 static_cast<LPARAM>(f.lParam), SMTO_NORMAL, wait, &result);
    }
    DWORD status = ok ? 0 : GetLastError();
    if (!ok && status == ERROR_SUCCESS) status = ERROR_INVALID_WINDOW_HANDLE;
    ipc::Reply(job.conn, f.callId, status, static_cast<int64_t>(result));
}

DWORD WorkerMain(LPVOID) {
    Workers& p = Pool();
    std::unique_lock<std::mutex> g(p.lock);
    for (;;) {
        p.idle++;
        bool got = p.cv.wait_for(g, std::chrono::milliseconds(kWorkerIdleMs),
                                 [&] { return !p.jobs.empty(); });
        p.idle--;
        if (!got) {
            p.threads--;
            return 0;
        }
        SendJob job = std::move(p.jobs.front());
        p.jobs.pop_front();
        g.unlock();
        Deliver(job);
        job = SendJob{};  // lets go of the connection before waiting again
        g.lock();
    }
}

// False when too many received sends wait already or no thread can take them.
bool Submit(SendJob&& job) {
    Workers& p = Pool();
    std::lock_guard<std::mutex> g(p.lock);
    if (p.jobs.size() >= kMaxQueuedSends) return false;
    if (p.jobs.size() + 1 > static_cast<size_t>(p.idle) && p.threads < kMaxWorkers) {
        if (HANDLE t = CreateThread(nullptr, 0, WorkerMain, nullptr, 0, nullptr)) {
            CloseHandle(t);
            p.threads++;
        }
    }
    if (p.threads == 0) return false;  // not even one thread could be started
    p.jobs.push_back(std::move(job));
    p.cv.notify_one();
    return true;
}

}  // namespace

namespace ipc {

void HandleRequest(const ConnectionRef& conn, Frame&& f) {
    const uint32_t from = PeerPid(conn);
    const uint32_t base = f.hwnd & ~1u;  // ShowWindow and SetForeground may carry bit 0
    HWND hwnd = AsHwnd(base);
    // Only this process's windows are served: anything else would have the receiving
    // thread call out to another process.
    if (!IsHandleShape(f.hwnd) || SlotOfHandle(f.hwnd) != CurrentSlot() || !IsLocalWindow(hwnd)) {
        if (f.kind == Kind::Post || f.kind == Kind::Send || f.kind == Kind::CopyData) {
            Trace("[Platform] message 0x%04x from process %u to window %08x: no such window here",
                  f.msg, from, f.hwnd);
        }
        Reply(conn, f.callId, ERROR_INVALID_WINDOW_HANDLE, 0);
        return;
    }
    switch (f.kind) {
        case Kind::Post:
        case Kind::Send:
            if ((f.kind == Kind::Post && f.msg == WM_COPYDATA) ||
                LParamIsPointer(f.msg, f.lParam)) {
                Trace(
                    "[Platform] message 0x%04x from process %u to window %p refused: its lParam "
                    "would be a pointer into another process",
                    f.msg, from, static_cast<void*>(hwnd));
                Reply(conn, f.callId,
                      f.msg == WM_COPYDATA && f.kind == Kind::Post ? ERROR_MESSAGE_SYNC_ONLY
                                                                   : ERROR_INVALID_PARAMETER,
                      0);
                return;
            }
            if (f.kind == Kind::Post) {
                // The receipt goes out first: the message may make this process end at once,
                // and a sender must not take a message that arrived for one that did not.
                DWORD room = PostRoomFor(hwnd);
                Reply(conn, f.callId, room, room == ERROR_SUCCESS);
                if (room != ERROR_SUCCESS) {
                    Trace("[Platform] message 0x%04x from process %u to window %p refused: %s",
                          f.msg, from, static_cast<void*>(hwnd),
                          room == ERROR_NOT_ENOUGH_QUOTA ? "its queue is full" : "it is gone");
                } else if (!PostMessageW(hwnd, f.msg, static_cast<WPARAM>(f.wParam),
                                         static_cast<LPARAM>(f.lParam))) {
                    Trace(
                        "[Platform] message 0x%04x from process %u to window %p lost: the "
                        "window went away meanwhile",
                        f.msg, from, static_cast<void*>(hwnd));
                }
                return;
            }
            [[fallthrough]];
        case Kind::CopyData: {
            uint32_t callId = f.callId;
            UINT msg = f.msg;
            if (!Submit(SendJob{conn, std::move(f)})) {
                Trace(
                    "[Platform] message 0x%04x from process %u to window %p refused: %zu sent "
                    "messages wait already",
                    msg, from, static_cast<void*>(hwnd), kMaxQueuedSends);
                Reply(conn, callId, ERROR_NOT_ENOUGH_QUOTA, 0);
            }
            return;
        }
        case Kind::WindowInfo: {
            auto w = LocalWindow(hwnd);
            uint64_t info =
                (static_cast<uint64_t>(GetCurrentProcessId()) << 32) | (w ? w->threadId : 0);
            Reply(conn, f.callId, w ? 0 : ERROR_INVALID_WINDOW_HANDLE, static_cast<int64_t>(info));
            return;
        }
        case Kind::ShowWindow: {
            SetLastError(ERROR_SUCCESS);
            BOOL was = ShowWindow(AsHwnd(f.hwnd), f.cmd);
            DWORD err = was ? 0 : GetLastError();
            Reply(conn, f.callId, err, was);
            return;
        }
        case Kind::SetForeground: {
            BOOL ok = SetForegroundWindow(AsHwnd(f.hwnd));
            Reply(conn, f.callId, ok ? 0 : GetLastError(), ok);
            return;
        }
        case Kind::Reply:
            break;
    }
    Reply(conn, f.callId, ERROR_INVALID_PARAMETER, 0);
}

}  // namespace ipc

const RemoteWindowDriver& SocketWindowDriver() {
    return kSocketDriver;
}

BOOL RouteTerminationSignalsTo(HWND hwnd) {
    if (hwnd && !IsLocalWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    ipc::RouteSignals(reinterpret_cast<uintptr_t>(hwnd));
    return TRUE;
}

std::string RuntimeDir() {
    return ipc::CheckedRuntimeDir();
}
