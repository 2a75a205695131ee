// The per-thread message queues: posting, sending across threads, retrieval in the device's
// order (sent messages answered first, then posted messages, WM_QUIT, and due timers last),
// dispatch, timers in a min-heap, and waiting for messages and objects at once.
#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/trace.h"
#include "platform/win_internal.h"

namespace {

constexpr size_t kMaxPosted = 10000;  // posted messages one queue holds before refusing more
const HWND kThreadOnly = reinterpret_cast<HWND>(static_cast<intptr_t>(-1));

struct QueueRegistry {
    std::mutex lock;
    std::map<DWORD, std::weak_ptr<MsgQueue>> byThread;  // live queues by owner thread
};

QueueRegistry& Queues() {
    static QueueRegistry* r = new QueueRegistry;  // outlives static destructors
    return *r;
}

void TearDownQueue(const std::shared_ptr<MsgQueue>& q);

// Owns the thread's queue; a thread that ends without CreateThread's exit hook (the main
// thread, a host thread) tears it down here.
struct QueueHolder {
    std::shared_ptr<MsgQueue> queue;
    ~QueueHolder() {
        if (queue) TearDownQueue(std::move(queue));
    }
};

thread_local QueueHolder t_holder;
thread_local bool t_inSend = false;  // the message being handled came from another thread

void TearDownCurrentQueue() {
    if (t_holder.queue) {
        auto q = std::move(t_holder.queue);
        TearDownQueue(q);
    }
}

// Answers every pending send with failure, forgets the thread's windows and the queue.
void TearDownQueue(const std::shared_ptr<MsgQueue>& q) {
    std::deque<std::shared_ptr<SentMessage>> pending;
    {
        std::lock_guard<std::mutex> g(q->lock);
        q->dead = true;
        pending.swap(q->sent);
        q->posted.clear();
        q->timers.clear();
        q->timerBySerial.clear();
        q->timerHeap = {};
    }
    for (auto& sm : pending) sm->reply.Set();
    DropThreadWindows(q->threadId);
    QueueRegistry& r = Queues();
    std::lock_guard<std::mutex> g(r.lock);
    auto it = r.byThread.find(q->threadId);
    if (it != r.byThread.end() && it->second.lock() == q) r.byThread.erase(it);
}

// Which messages a retrieval accepts.
struct Filter {
    bool anyWindow;             // hwnd filter was null
    bool threadOnly;            // hwnd filter was (HWND)-1
    std::vector<HWND> windows;  // otherwise: the window and its descendants
    UINT min;                   // range, both 0 for every message
    UINT max;

    bool InRange(UINT msg) const { return (min == 0 && max == 0) || (msg >= min && msg <= max); }
    bool AcceptsWindow(HWND hwnd) const {
        if (anyWindow) return true;
        if (threadOnly) return hwnd == nullptr;
        return std::find(windows.begin(), windows.end(), hwnd) != windows.end();
    }
    bool Accepts(const MSG& m) const { return InRange(m.message) && AcceptsWindow(m.hwnd); }
};

// Collects hwnd and its descendants before any queue lock is taken (lock order).
Filter MakeFilter(HWND hwnd, UINT min, UINT max) {
    Filter f{hwnd == nullptr, hwnd == kThreadOnly, {}, min, max};
    if (f.anyWindow || f.threadOnly) return f;
    f.windows = SelfAndDescendants(hwnd);
    return f;
}

bool PostToQueue(MsgQueue& q, const MSG& m) {
    {
        std::lock_guard<std::mutex> g(q.lock);
        if (q.dead) {
            SetLastError(ERROR_INVALID_THREAD_ID);
            return false;
        }
        if (q.posted.size() >= kMaxPosted) {
            Trace("[Platform] queue of thread %u is full (%u messages): message 0x%04x refused",
                  static_cast<unsigned>(q.threadId), static_cast<unsigned>(kMaxPosted), m.message);
            SetLastError(ERROR_NOT_ENOUGH_QUOTA);
            return false;
        }
        q.posted.push_back(m);
        q.newInput |= QS_POSTMESSAGE;
    }
    q.wake->Set();
    return true;
}

// Answers the messages other threads sent to this thread's windows, oldest first.
void AnswerSentMessages(MsgQueue& q) {
    for (;;) {
        std::shared_ptr<SentMessage> sm;
        {
            std::lock_guard<std::mutex> g(q.lock);
            if (q.sent.empty()) return;
            sm = std::move(q.sent.front());
            q.sent.pop_front();
            sm->started = true;
        }
        auto w = LocalWindow(sm->hwnd);
        WNDPROC proc = w && w->threadId == q.threadId ? WindowProcOf(sm->hwnd) : nullptr;
        if (proc) {
            bool saved = t_inSend;
            t_inSend = true;
            sm->result = proc(sm->hwnd, sm->msg, sm->wParam, sm->lParam);
            t_inSend = saved;
            sm->answered = true;
        }
        sm->reply.Set();
    }
}

// ---- timers (queue lock held) ----------------------------------------------------------

void DropStaleTimers(MsgQueue& q) {
    while (!q.timerHeap.empty() && !q.timerBySerial.count(q.timerHeap.top().second)) {
        q.timerHeap.pop();
    }
}

void Schedule(MsgQueue& q, Timer& t, uint64_t due) {
    q.timerBySerial.erase(t.serial);
    t.serial = q.nextSerial++;
    t.dueMs = due;
    q.timerBySerial[t.serial] = {t.hwnd, t.id};
    q.timerHeap.push({due, t.serial});
}

// Milliseconds until the next timer the filter accepts is due; INFINITE when none.
DWORD NextTimerDelay(MsgQueue& q, const Filter& f) {
    if (!f.InRange(WM_TIMER)) return INFINITE;
    uint64_t next = UINT64_MAX;
    if (f.anyWindow) {
        DropStaleTimers(q);
        if (!q.timerHeap.empty()) next = q.timerHeap.top().first;
    } else {
        for (auto& [key, t] : q.timers) {
            if (f.AcceptsWindow(t.hwnd)) next = std::min(next, t.dueMs);
        }
    }
    if (next == UINT64_MAX) return INFINITE;
    uint64_t now = NowMs();
    return next <= now ? 0 : static_cast<DWORD>(std::min<uint64_t>(next - now, 0x7FFFFFFF));
}

// The earliest due timer the filter accepts becomes a WM_TIMER in *out; with remove it is
// rescheduled a full period from now (timers never pile up).
bool TakeDueTimer(MsgQueue& q, const Filter& f, bool remove, MSG* out) {
    if (!f.InRange(WM_TIMER)) return false;
    uint64_t now = NowMs();
    DropStaleTimers(q);
    std::vector<MsgQueue::HeapEntry> putBack;
    bool found = false;
    while (!q.timerHeap.empty() && q.timerHeap.top().first <= now) {
        MsgQueue::HeapEntry e = q.timerHeap.top();
        q.timerHeap.pop();
        auto key = q.timerBySerial.find(e.second);
        if (key == q.timerBySerial.end()) continue;  // killed or reset since
        Timer& t = q.timers[key->second];
        if (!f.AcceptsWindow(t.hwnd)) {
            putBack.push_back(e);
            continue;
        }
        *out =
            MSG{t.hwnd, WM_TIMER, t.id, reinterpret_cast<LPARAM>(t.proc), GetTickCount(), {0, 0}};
        found = true;
        if (remove) {
            Schedule(q, t, now + t.periodMs);
        } else {
            putBack.push_back(e);
        }
        break;
    }
    for (auto& e : putBack) q.timerHeap.push(e);
    return found;
}

// One look at the queue, as PeekMessage does it.
bool PeekCore(MSG* out, const Filter& f, bool remove) {
    auto q = CurrentQueue();
    q->wake->Reset();  // from here on, anything new sets it again
    AnswerSentMessages(*q);
    std::lock_guard<std::mutex> g(q->lock);
    q->newInput = 0;
    for (auto it = q->posted.begin(); it != q->posted.end(); ++it) {
        if (!f.Accepts(*it)) continue;
        *out = *it;
        if (remove) q->posted.erase(it);
        return true;
    }
    if (q->quit && f.InRange(WM_QUIT)) {
        *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q->quitCode), 0, GetTickCount(), {0, 0}};
        if (remove) q->quit = false;
        return true;
    }
    for (HWND h : q->needsPaint) {
        // WM_PAINT stays due until the window is painted, whatever the removal flag.
        MSG paint{h, WM_PAINT, 0, 0, GetTickCount(), {0, 0}};
        if (!f.Accepts(paint)) continue;
        *out = paint;
        return true;
    }
    return TakeDueTimer(*q, f, remove, out);
}

// The procedure of a live timer of the calling thread, or null: a WM_TIMER whose lParam
// names no such timer (a forged one) is never called through.
TIMERPROC LiveTimerProc(HWND hwnd, UINT_PTR id, LPARAM lParam) {
    std::shared_ptr<MsgQueue> q;
    if (hwnd) {
        auto w = LocalWindow(hwnd);
        if (!w || w->threadId != GetCurrentThreadId()) return nullptr;
        q = w->queue;
    } else {
        q = CurrentQueue();
    }
    std::lock_guard<std::mutex> g(q->lock);
    auto it = q->timers.find({hwnd, id});
    if (it == q->timers.end() || reinterpret_cast<LPARAM>(it->second.proc) != lParam)
        return nullptr;
    return it->second.proc;
}

// Sends to another thread's window and waits; false (last error set) when not answered.
bool SendToOtherThread(const std::shared_ptr<Window>& w, HWND hwnd, UINT msg, WPARAM wParam,
                       LPARAM lParam, UINT flags, DWORD timeoutMs, LRESULT* result) {
    auto sm = std::make_shared<SentMessage>();
    sm->hwnd = hwnd;
    sm->msg = msg;
    sm->wParam = wParam;
    sm->lParam = lParam;
    if (msg == WM_COPYDATA) {
        auto* src = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (!src || (src->cbData > 0 && !src->lpData)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        const BYTE* bytes = static_cast<const BYTE*>(src->lpData);
        sm->data.assign(bytes, bytes + src->cbData);
        sm->cds =
            COPYDATASTRUCT{src->dwData, src->cbData, sm->data.empty() ? nullptr : sm->data.data()};
        sm->lParam = reinterpret_cast<LPARAM>(&sm->cds);
    }
    MsgQueue& target = *w->queue;
    {
        std::lock_guard<std::mutex> g(target.lock);
        if (target.dead) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return false;
        }
        target.sent.push_back(sm);
        target.newInput |= QS_SENDMESSAGE;
    }
    target.wake->Set();
    DWORD r = WaitAnsweringSends(&sm->reply, timeoutMs, (flags & SMTO_BLOCK) == 0);
    if (r != WAIT_OBJECT_0) {
        std::lock_guard<std::mutex> g(target.lock);
        if (!sm->started) {
            target.sent.erase(std::remove(target.sent.begin(), target.sent.end(), sm),
                              target.sent.end());
        }
    }
    // An answer that came in while we gave up still counts.
    Waitable* reply = &sm->reply;
    if (r == WAIT_OBJECT_0 || WaitForObjects(1, &reply, false, 0) == WAIT_OBJECT_0) {
        if (!sm->answered) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);  // the window or its thread went away
            return false;
        }
        *result = sm->result;
        return true;
    }
    Trace("[Platform] SendMessage 0x%04x to %p: no answer from thread %u within %u ms", msg,
          static_cast<void*>(hwnd), static_cast<unsigned>(w->threadId),
          static_cast<unsigned>(timeoutMs));
    SetLastError(ERROR_TIMEOUT);
    return false;
}

// The core of SendMessage and SendMessageTimeout.
bool SendCore(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags, DWORD timeoutMs,
              LRESULT* result) {
    *result = 0;
    auto w = hwnd ? LocalWindow(hwnd) : nullptr;
    if (!w) {
        if (hwnd && Driver().SendMessage) {
            return Driver().SendMessage(hwnd, msg, wParam, lParam, flags, timeoutMs, result);
        }
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (w->threadId != GetCurrentThreadId()) {
        return SendToOtherThread(w, hwnd, msg, wParam, lParam, flags, timeoutMs, result);
    }
    COPYDATASTRUCT copy{};
    std::vector<BYTE> data;
    if (msg == WM_COPYDATA) {
        // The receiver gets its own copy on this thread too, as it would from another.
        auto* src = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
        if (!src || (src->cbData > 0 && !src->lpData)) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        const BYTE* bytes = static_cast<const BYTE*>(src->lpData);
        data.assign(bytes, bytes + src->cbData);
        copy = COPYDATASTRUCT{src->dwData, src->cbData, data.empty() ? nullptr : data.data()};
        lParam = reinterpret_cast<LPARAM>(&copy);
    }
    *result = CallLocalProc(hwnd, msg, wParam, lParam);
    return true;
}

}  // namespace

uint64_t NowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::shared_ptr<MsgQueue> CurrentQueue() {
    if (!t_holder.queue) {
        auto q = std::make_shared<MsgQueue>(GetCurrentThreadId());
        {
            QueueRegistry& r = Queues();
            std::lock_guard<std::mutex> g(r.lock);
            r.byThread[q->threadId] = q;
        }
        AddThreadExitHook(TearDownCurrentQueue);
        t_holder.queue = q;
    }
    return t_holder.queue;
}

LRESULT CallLocalProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc = WindowProcOf(hwnd);
    if (!proc) return 0;
    bool saved = t_inSend;
    t_inSend = false;
    LRESULT r = proc(hwnd, msg, wParam, lParam);
    t_inSend = saved;
    return r;
}

void Notify(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto w = LocalWindow(hwnd);
    if (!w) return;
    if (w->threadId == GetCurrentThreadId()) {
        CallLocalProc(hwnd, msg, wParam, lParam);
        return;
    }
    PostToQueue(*w->queue, MSG{hwnd, msg, wParam, lParam, GetTickCount(), {0, 0}});
}

DWORD PostRoomFor(HWND hwnd) {
    auto w = LocalWindow(hwnd);
    if (!w) return ERROR_INVALID_WINDOW_HANDLE;
    std::lock_guard<std::mutex> g(w->queue->lock);
    if (w->queue->dead) return ERROR_INVALID_WINDOW_HANDLE;
    return w->queue->posted.size() < kMaxPosted ? ERROR_SUCCESS : ERROR_NOT_ENOUGH_QUOTA;
}

void ForgetWindowInQueue(MsgQueue& q, HWND hwnd) {
    std::lock_guard<std::mutex> g(q.lock);
    q.needsPaint.erase(std::remove(q.needsPaint.begin(), q.needsPaint.end(), hwnd),
                       q.needsPaint.end());
    for (auto it = q.timers.begin(); it != q.timers.end();) {
        if (it->first.first == hwnd) {
            q.timerBySerial.erase(it->second.serial);
            it = q.timers.erase(it);
        } else {
            ++it;
        }
    }
}

void MarkForPaint(HWND hwnd, bool pending) {
    auto w = LocalWindow(hwnd);
    if (!w) return;
    MsgQueue& q = *w->queue;
    {
        std::lock_guard<std::mutex> g(q.lock);
        auto it = std::find(q.needsPaint.begin(), q.needsPaint.end(), hwnd);
        if (!pending) {
            if (it != q.needsPaint.end()) q.needsPaint.erase(it);
            return;
        }
        if (it != q.needsPaint.end()) return;
        q.needsPaint.push_back(hwnd);
        q.newInput |= QS_PAINT;
    }
    q.wake->Set();
}

DWORD WaitAnsweringSends(Waitable* done, DWORD timeoutMs, bool answerSends) {
    if (!done) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    auto q = CurrentQueue();
    Waitable* objects[2] = {done, q->wake.get()};
    const uint64_t deadline = timeoutMs == INFINITE ? UINT64_MAX : NowMs() + timeoutMs;
    for (;;) {
        if (answerSends) {
            q->wake->Reset();
            AnswerSentMessages(*q);
        }
        DWORD wait = INFINITE;
        if (deadline != UINT64_MAX) {
            uint64_t now = NowMs();
            wait = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
        }
        DWORD r = WaitForObjects(answerSends ? 2 : 1, objects, false, wait);
        if (r == WAIT_OBJECT_0 || r == WAIT_TIMEOUT || r == WAIT_FAILED) return r;
        // Woken by our own queue: something was sent to us, or only posted; look again.
    }
}

// ---- API -------------------------------------------------------------------------------

BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COPYDATA) {
        Trace("[Platform] PostMessage WM_COPYDATA to %p refused: it can only be sent",
              static_cast<void*>(hwnd));
        SetLastError(ERROR_MESSAGE_SYNC_ONLY);
        return FALSE;
    }
    if (!hwnd) return PostThreadMessageW(GetCurrentThreadId(), msg, wParam, lParam);
    if (auto w = LocalWindow(hwnd)) {
        return PostToQueue(*w->queue, MSG{hwnd, msg, wParam, lParam, GetTickCount(), {0, 0}});
    }
    if (Driver().PostMessage) return Driver().PostMessage(hwnd, msg, wParam, lParam);
    Trace("[Platform] PostMessage 0x%04x to %p: no such window, message lost", msg,
          static_cast<void*>(hwnd));
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
}

BOOL PostThreadMessageW(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam) {
    std::shared_ptr<MsgQueue> q;
    if (threadId == GetCurrentThreadId()) {
        q = CurrentQueue();
    } else {
        QueueRegistry& r = Queues();
        std::lock_guard<std::mutex> g(r.lock);
        auto it = r.byThread.find(threadId);
        if (it != r.byThread.end()) q = it->second.lock();
    }
    if (!q) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return PostToQueue(*q, MSG{nullptr, msg, wParam, lParam, GetTickCount(), {0, 0}});
}

LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    SendCore(hwnd, msg, wParam, lParam, SMTO_NORMAL, INFINITE, &result);
    return result;
}

LRESULT SendMessageTimeoutW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags,
                            UINT timeoutMs, DWORD_PTR* result) {
    LRESULT r = 0;
    bool ok = SendCore(hwnd, msg, wParam, lParam, flags, timeoutMs, &r);
    if (result) *result = static_cast<DWORD_PTR>(r);
    return ok ? TRUE : FALSE;
}

BOOL InSendMessage() {
    return t_inSend ? TRUE : FALSE;
}

BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT min, UINT max, UINT removeFlags) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return PeekCore(msg, MakeFilter(hwnd, min, max), (removeFlags & PM_REMOVE) != 0) ? TRUE : FALSE;
}

BOOL GetMessageW(MSG* msg, HWND hwnd, UINT min, UINT max) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    bool windowFilter = hwnd && hwnd != kThreadOnly;
    if (windowFilter && !LocalWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    Filter f = MakeFilter(hwnd, min, max);
    auto q = CurrentQueue();
    Waitable* wake = q->wake.get();
    for (;;) {
        if (PeekCore(msg, f, true)) return msg->message == WM_QUIT ? FALSE : TRUE;
        DWORD delay;
        {
            std::lock_guard<std::mutex> g(q->lock);
            delay = NextTimerDelay(*q, f);
        }
        WaitForObjects(1, &wake, false, delay);
        if (windowFilter && !LocalWindow(hwnd)) {  // nothing can come for it any more
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return -1;
        }
    }
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}

LRESULT DispatchMessageW(const MSG* msg) {
    if (!msg) return 0;
    if (msg->message == WM_TIMER && msg->lParam) {
        if (TIMERPROC proc = LiveTimerProc(msg->hwnd, msg->wParam, msg->lParam)) {
            proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
        }
        return 0;
    }
    if (!msg->hwnd) return 0;  // a thread message has no procedure to go to
    auto w = LocalWindow(msg->hwnd);
    if (!w) return 0;
    if (w->threadId != GetCurrentThreadId()) {
        Trace("[Platform] DispatchMessage 0x%04x for %p refused: window of thread %u", msg->message,
              static_cast<void*>(msg->hwnd), static_cast<unsigned>(w->threadId));
        SetLastError(ERROR_ACCESS_DENIED);
        return 0;
    }
    return CallLocalProc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

void PostQuitMessage(int exitCode) {
    auto q = CurrentQueue();
    {
        std::lock_guard<std::mutex> g(q->lock);
        q->quit = true;
        q->quitCode = exitCode;
        q->newInput |= QS_POSTMESSAGE;
    }
    q->wake->Set();
}

BOOL WaitMessage() {
    return MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0
               ? TRUE
               : FALSE;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs,
                                DWORD wakeMask) {
    if (count >= MAXIMUM_WAIT_OBJECTS || (count > 0 && !handles)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (waitAll) {
        Trace(
            "[Platform] MsgWaitForMultipleObjects: waiting for all objects and input is not "
            "supported");
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::shared_ptr<Waitable> held[MAXIMUM_WAIT_OBJECTS];
    Waitable* objects[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        held[i] = HandleAs<Waitable>(handles[i]);
        if (!held[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects[i] = held[i].get();
    }
    auto q = CurrentQueue();
    objects[count] = q->wake.get();
    const Filter all{true, false, {}, 0, 0};
    const uint64_t deadline = timeoutMs == INFINITE ? UINT64_MAX : NowMs() + timeoutMs;
    for (;;) {
        q->wake->Reset();
        DWORD wait = INFINITE;
        {
            std::lock_guard<std::mutex> g(q->lock);
            DWORD bits = q->newInput;
            DWORD timerDelay = (wakeMask & QS_TIMER) ? NextTimerDelay(*q, all) : INFINITE;
            if (timerDelay == 0) bits |= QS_TIMER;
            if (q->quit) bits |= QS_POSTMESSAGE;
            if (!q->needsPaint.empty()) bits |= QS_PAINT;
            if (bits & wakeMask) return WAIT_OBJECT_0 + count;
            wait = timerDelay;
        }
        if (deadline != UINT64_MAX) {
            uint64_t now = NowMs();
            DWORD left = now >= deadline ? 0 : static_cast<DWORD>(deadline - now);
            wait = std::min(wait, left);
        }
        DWORD r = WaitForObjects(count + 1, objects, false, wait);
        if (r < WAIT_OBJECT_0 + count || r == WAIT_FAILED) return r;
        if (r == WAIT_TIMEOUT && deadline != UINT64_MAX && NowMs() >= deadline) {
            // A timer that fell due exactly now still counts as input.
            std::lock_guard<std::mutex> g(q->lock);
            if ((wakeMask & QS_TIMER) && NextTimerDelay(*q, all) == 0) return WAIT_OBJECT_0 + count;
            return WAIT_TIMEOUT;
        }
    }
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
    std::shared_ptr<MsgQueue> q;
    if (hwnd) {
        auto w = LocalWindow(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        q = w->queue;
    } else {
        q = CurrentQueue();
    }
    UINT period = std::clamp<UINT>(elapseMs, USER_TIMER_MINIMUM, 0x7FFFFFFF);
    UINT_PTR result;
    {
        std::lock_guard<std::mutex> g(q->lock);
        if (q->dead) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (!hwnd && (id == 0 || !q->timers.count({nullptr, id}))) {
            // A thread timer gets an id of our choosing unless it resets an existing one.
            do {
                id = q->nextThreadTimerId++;
            } while (id == 0 || q->timers.count({nullptr, id}));
        }
        Timer& t = q->timers[{hwnd, id}];
        t.hwnd = hwnd;
        t.id = id;
        t.periodMs = period;
        t.proc = proc;
        Schedule(*q, t, NowMs() + period);
        result = hwnd && id == 0 ? 1 : id;
    }
    q->wake->Set();  // a waiting GetMessage recomputes how long it may sleep
    return result;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
    std::shared_ptr<MsgQueue> q;
    if (hwnd) {
        auto w = LocalWindow(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        q = w->queue;
    } else {
        q = CurrentQueue();
    }
    std::lock_guard<std::mutex> g(q->lock);
    auto it = q->timers.find({hwnd, id});
    if (it == q->timers.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    q->timerBySerial.erase(it->second.serial);
    q->timers.erase(it);
    return TRUE;
}
