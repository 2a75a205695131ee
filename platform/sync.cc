// Critical sections, events, mutexes, threads and the waits on them. Every Waitable's
// state sits under one process-wide wait lock; a blocked thread parks on its own condition
// variable, which the objects it waits on know while it waits. A thread that signals wakes
// the waiters only once it has let go of the wait lock, so that a woken thread does not at
// once block again on that lock.
#include "platform/sync.h"

#include <errno.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "platform/ipc_host.h"
#include "platform/trace.h"
#include "platform/wstr.h"

struct Waiter {
    std::condition_variable cv;  // notified by every object the thread waits on
};

namespace {

constexpr DWORD ERROR_NOT_OWNER = 288;
const HANDLE kCurrentThreadPseudo = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

std::mutex& WaitMutex() {
    static std::mutex* m = new std::mutex;  // outlives static destructors and detached threads
    return *m;
}

std::atomic<DWORD> g_nextThreadId{0x1000};
thread_local DWORD t_threadId = 0;

class ThreadObject;
thread_local std::shared_ptr<ThreadObject> t_self;

// The calling thread's waiter, one for all its waits. Shared: a thread that signalled may
// still be about to notify it after the wait ended (a spurious wake-up for a later wait).
const std::shared_ptr<Waiter>& OwnWaiter() {
    thread_local const std::shared_ptr<Waiter> waiter = std::make_shared<Waiter>();
    return waiter;
}

// The waiters to wake once this thread lets go of the wait lock.
std::vector<std::shared_ptr<Waiter>>& DueWakes() {
    thread_local std::vector<std::shared_ptr<Waiter>> due;
    return due;
}

constexpr int kMaxExitHooks = 8;
std::atomic<void (*)()> g_exitHooks[kMaxExitHooks];

}  // namespace

// ---- waiting ---------------------------------------------------------------------------

// Enters a waiter into the lists of the objects it waits on, for the duration of one wait.
class WaitRegistration {
  public:
    WaitRegistration(const std::shared_ptr<Waiter>& w, Waitable* const* objects, DWORD count)
        : waiter_(w), objects_(objects), count_(count) {
        for (DWORD i = 0; i < count_; ++i) objects_[i]->waiters_.push_back(waiter_);
    }
    ~WaitRegistration() {
        for (DWORD i = 0; i < count_; ++i) {
            auto& list = objects_[i]->waiters_;
            list.erase(std::remove(list.begin(), list.end(), waiter_), list.end());
        }
    }
    WaitRegistration(const WaitRegistration&) = delete;
    WaitRegistration& operator=(const WaitRegistration&) = delete;

  private:
    std::shared_ptr<Waiter> waiter_;
    Waitable* const* objects_;
    DWORD count_;
};

void Waitable::WakeWaiters() {
    std::vector<std::shared_ptr<Waiter>>& due = DueWakes();
    due.insert(due.end(), waiters_.begin(), waiters_.end());
}

WaitLock::WaitLock() {
    WaitMutex().lock();
}
WaitLock::~WaitLock() {
    std::vector<std::shared_ptr<Waiter>> due;
    due.swap(DueWakes());
    WaitMutex().unlock();
    for (const std::shared_ptr<Waiter>& w : due) w->cv.notify_one();
    // The list's room is kept for the next signal.
    due.clear();
    if (DueWakes().empty()) due.swap(DueWakes());
}

namespace {

// Takes the signal of the first (wait-any) or of every (wait-all) object; the index
// through *index. Wait lock held.
bool TryTake(DWORD count, Waitable* const* objects, bool waitAll, DWORD* index) {
    if (waitAll) {
        for (DWORD i = 0; i < count; ++i) {
            if (!objects[i]->TryAcquire(false)) return false;
        }
        for (DWORD i = 0; i < count; ++i) objects[i]->TryAcquire(true);
        *index = 0;
        return true;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (objects[i]->TryAcquire(true)) {
            *index = i;
            return true;
        }
    }
    return false;
}

}  // namespace

DWORD WaitForObjects(DWORD count, Waitable* const* objects, bool waitAll, DWORD timeoutMs) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !objects) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    for (DWORD i = 0; i < count; ++i) {
        if (!objects[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        // Taking one object twice in a wait-all could not be done atomically.
        for (DWORD j = 0; waitAll && j < i; ++j) {
            if (objects[j] == objects[i]) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return WAIT_FAILED;
            }
        }
    }
    DWORD pollMs = 0;  // objects held by other processes are looked at again this often
    for (DWORD i = 0; i < count; ++i) {
        DWORD p = objects[i]->PollMs();
        if (p && (!pollMs || p < pollMs)) pollMs = p;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::unique_lock<std::mutex> lock(WaitMutex());
    DWORD index = 0;
    if (TryTake(count, objects, waitAll, &index)) return WAIT_OBJECT_0 + index;
    if (timeoutMs == 0) return WAIT_TIMEOUT;
    Waiter& waiter = *OwnWaiter();
    WaitRegistration reg(OwnWaiter(), objects, count);
    for (;;) {
        auto until = timeoutMs == INFINITE ? Clock::time_point::max() : deadline;
        if (pollMs) until = std::min(until, Clock::now() + std::chrono::milliseconds(pollMs));
        if (until == Clock::time_point::max()) {
            waiter.cv.wait(lock);
        } else if (waiter.cv.wait_until(lock, until) == std::cv_status::timeout &&
                   until == deadline) {
            if (TryTake(count, objects, waitAll, &index)) return WAIT_OBJECT_0 + index;
            return WAIT_TIMEOUT;
        }
        if (TryTake(count, objects, waitAll, &index)) return WAIT_OBJECT_0 + index;
        if (timeoutMs != INFINITE && Clock::now() >= deadline) return WAIT_TIMEOUT;
    }
}

// ---- events ----------------------------------------------------------------------------

EventObject::EventObject(bool manualReset, bool initialState)
    : manualReset_(manualReset), signalled_(initialState) {}

bool EventObject::TryAcquire(bool consume) {
    if (!signalled_) return false;
    if (consume && !manualReset_) signalled_ = false;
    return true;
}

void EventObject::Set() {
    WaitLock lock;
    signalled_ = true;
    WakeWaiters();
}

void EventObject::Reset() {
    WaitLock lock;
    signalled_ = false;
}

HANDLE CreateEventW(void*, BOOL manualReset, BOOL initialState, LPCWSTR) {
    return NewHandle(std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE event) {
    auto e = HandleAs<EventObject>(event);
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    e->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE event) {
    auto e = HandleAs<EventObject>(event);
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    e->Reset();
    return TRUE;
}

// ---- mutexes ---------------------------------------------------------------------------

namespace {

class MutexObject : public Waitable {
  public:
    MutexObject() = default;
    // A named mutex shared with other processes through its lock file.
    explicit MutexObject(std::unique_ptr<ipc::NamedMutexFile> file) : file_(std::move(file)) {}

    bool TryAcquire(bool consume) override {
        DWORD self = GetCurrentThreadId();
        if (owner_ != 0 && owner_ != self) return false;
        if (owner_ == 0 && file_) {
            // Another process may own it. (A wait for all objects checks, then takes: another
            // process can slip in between, and the taking then finds it owned.)
            if (!consume) return file_->CouldOwn();
            if (!file_->TryOwn()) return false;
        }
        if (consume) {
            owner_ = self;
            ++count_;
        }
        return true;
    }
    DWORD PollMs() const override { return file_ ? 10 : 0; }
    // False when the calling thread does not own the mutex.
    bool Release() {
        WaitLock lock;
        if (owner_ != GetCurrentThreadId()) return false;
        if (--count_ == 0) {
            owner_ = 0;
            if (file_) file_->Disown();
            WakeWaiters();
        }
        return true;
    }

  private:
    std::unique_ptr<ipc::NamedMutexFile> file_;  // named: the lock file, else null
    DWORD owner_ = 0;                            // owning thread, 0 when free
    DWORD count_ = 0;                            // recursion depth of the owner
};

struct MutexNames {
    std::mutex lock;
    std::map<WString, std::weak_ptr<MutexObject>> byName;  // upper-cased name -> mutex
};

MutexNames& Names() {
    static MutexNames* n = new MutexNames;
    return *n;
}

WString FoldName(LPCWSTR name) {
    WString s(name);
    for (auto& c : s) {
        if (c >= u'a' && c <= u'z') c = static_cast<WCHAR>(c - u'a' + u'A');
    }
    return s;
}

}  // namespace

HANDLE CreateMutexW(void*, BOOL initialOwner, LPCWSTR name) {
    std::shared_ptr<MutexObject> m;
    bool existed = false;
    if (name && *name) {
        MutexNames& n = Names();
        std::lock_guard<std::mutex> g(n.lock);
        WString key = FoldName(name);
        m = n.byName[key].lock();
        existed = m != nullptr;
        if (!m) {
            // Null when the runtime folder is unusable: the mutex is then this process's only.
            auto file = ipc::NamedMutexFile::Open(ToUtf8(key), &existed);
            m = std::make_shared<MutexObject>(std::move(file));
            n.byName[key] = m;
        }
    } else {
        m = std::make_shared<MutexObject>();
    }
    if (initialOwner && !existed) {
        WaitLock lock;
        m->TryAcquire(true);
    }
    HANDLE h = NewHandle(m);
    SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL ReleaseMutex(HANDLE mutex) {
    auto m = HandleAs<MutexObject>(mutex);
    if (!m) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!m->Release()) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    return TRUE;
}

// ---- critical sections -----------------------------------------------------------------

struct CriticalSectionImpl {
    std::mutex lock;             // guards owner and count
    std::condition_variable cv;  // signalled when the section becomes free
    DWORD owner = 0;             // owning thread, 0 when free
    int count = 0;               // recursion depth of the owner
};

namespace {

// The impl of cs, created on first use when InitializeCriticalSection was skipped.
CriticalSectionImpl* Impl(CRITICAL_SECTION* cs) {
    std::atomic_ref<CriticalSectionImpl*> slot(cs->impl);
    CriticalSectionImpl* impl = slot.load(std::memory_order_acquire);
    if (impl) return impl;
    auto* fresh = new CriticalSectionImpl;
    if (slot.compare_exchange_strong(impl, fresh, std::memory_order_acq_rel)) return fresh;
    delete fresh;
    return impl;
}

}  // namespace

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
    if (cs) cs->impl = new CriticalSectionImpl;
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
    if (!cs || !cs->impl) return;
    delete cs->impl;
    cs->impl = nullptr;
}

void EnterCriticalSection(CRITICAL_SECTION* cs) {
    if (!cs) return;
    CriticalSectionImpl* impl = Impl(cs);
    DWORD self = GetCurrentThreadId();
    std::unique_lock<std::mutex> g(impl->lock);
    impl->cv.wait(g, [&] { return impl->owner == 0 || impl->owner == self; });
    impl->owner = self;
    ++impl->count;
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) {
    if (!cs) return FALSE;
    CriticalSectionImpl* impl = Impl(cs);
    DWORD self = GetCurrentThreadId();
    std::lock_guard<std::mutex> g(impl->lock);
    if (impl->owner != 0 && impl->owner != self) return FALSE;
    impl->owner = self;
    ++impl->count;
    return TRUE;
}

void LeaveCriticalSection(CRITICAL_SECTION* cs) {
    if (!cs || !cs->impl) return;
    CriticalSectionImpl* impl = cs->impl;
    std::lock_guard<std::mutex> g(impl->lock);
    if (impl->owner != GetCurrentThreadId()) {
        Trace("[Platform] LeaveCriticalSection by thread %u, which does not own it",
              static_cast<unsigned>(GetCurrentThreadId()));
        return;
    }
    if (--impl->count == 0) {
        impl->owner = 0;
        impl->cv.notify_one();
    }
}

// ---- threads ---------------------------------------------------------------------------

namespace {

class ThreadObject : public Waitable {
  public:
    explicit ThreadObject(DWORD id) : id_(id) {}
    bool TryAcquire(bool) override { return finished_; }

    DWORD Id() const { return id_; }
    std::atomic<int> priority{THREAD_PRIORITY_NORMAL};  // as last set, for GetThreadPriority

    void Finish(DWORD code) {
        WaitLock lock;
        exitCode_ = code;
        finished_ = true;
        WakeWaiters();
    }
    // STILL_ACTIVE while the thread runs.
    DWORD ExitCode() {
        WaitLock lock;
        return finished_ ? exitCode_ : STILL_ACTIVE;
    }

    // Suspension gate for CREATE_SUSPENDED: the thread waits here before its routine.
    void WaitUntilResumed() {
        std::unique_lock<std::mutex> g(gateLock_);
        gateCv_.wait(g, [&] { return suspendCount_ == 0; });
    }
    void SetSuspended() {
        std::lock_guard<std::mutex> g(gateLock_);
        suspendCount_ = 1;
    }
    DWORD Resume() {
        std::lock_guard<std::mutex> g(gateLock_);
        DWORD previous = suspendCount_;
        if (suspendCount_ > 0 && --suspendCount_ == 0) gateCv_.notify_all();
        return previous;
    }

  private:
    DWORD id_;               // GetCurrentThreadId of the thread
    bool finished_ = false;  // under the wait lock
    DWORD exitCode_ = 0;     // under the wait lock, valid once finished_
    std::mutex gateLock_;
    std::condition_variable gateCv_;
    DWORD suspendCount_ = 0;  // under gateLock_
};

// The calling thread's object; threads not started by CreateThread get one on first use.
std::shared_ptr<ThreadObject> Self() {
    if (!t_self) t_self = std::make_shared<ThreadObject>(GetCurrentThreadId());
    return t_self;
}

std::shared_ptr<ThreadObject> ThreadFromHandle(HANDLE h) {
    if (h == kCurrentThreadPseudo) return Self();
    auto t = HandleAs<ThreadObject>(h);
    if (!t) SetLastError(ERROR_INVALID_HANDLE);
    return t;
}

void RunExitHooks() {
    for (auto& slot : g_exitHooks) {
        if (auto fn = slot.load()) fn();
    }
}

}  // namespace

DWORD GetCurrentThreadId() {
    if (t_threadId == 0) t_threadId = g_nextThreadId.fetch_add(1);
    return t_threadId;
}

HANDLE GetCurrentThread() {
    return kCurrentThreadPseudo;
}

void AddThreadExitHook(void (*fn)()) {
    for (auto& slot : g_exitHooks) {
        void (*expected)() = nullptr;
        if (slot.load() == fn) return;
        if (slot.compare_exchange_strong(expected, fn)) return;
    }
    Trace("[Platform] AddThreadExitHook: no free slot");
}

HANDLE CreateThread(void*, size_t, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD flags,
                    DWORD* threadId) {
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto obj = std::make_shared<ThreadObject>(g_nextThreadId.fetch_add(1));
    if (flags & CREATE_SUSPENDED) obj->SetSuspended();
    try {
        std::thread([obj, start, param] {
            t_threadId = obj->Id();
            t_self = obj;
            obj->WaitUntilResumed();
            DWORD code = start(param);
            RunExitHooks();
            obj->Finish(code);
            t_self.reset();
        }).detach();
    } catch (const std::system_error& e) {
        Trace("[Platform] CreateThread failed: %s", e.what());
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId) *threadId = obj->Id();
    return NewHandle(obj);
}

DWORD ResumeThread(HANDLE thread) {
    auto t = ThreadFromHandle(thread);
    return t ? t->Resume() : 0xFFFFFFFF;
}

BOOL GetExitCodeThread(HANDLE thread, DWORD* code) {
    auto t = ThreadFromHandle(thread);
    if (!t || !code) {
        if (t) SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *code = t->ExitCode();
    return TRUE;
}

DWORD GetThreadId(HANDLE thread) {
    auto t = ThreadFromHandle(thread);
    return t ? t->Id() : 0;
}

BOOL SetThreadPriority(HANDLE thread, int priority) {
    auto t = ThreadFromHandle(thread);
    if (!t) return FALSE;
    if (priority < THREAD_PRIORITY_IDLE || priority > THREAD_PRIORITY_TIME_CRITICAL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (t == Self()) {
        // Below normal, the kernel gives the thread a smaller share next to the others of the
        // process; above normal is recorded only (a user's process may not rise above others).
        const int nice = priority <= THREAD_PRIORITY_IDLE     ? 19
                         : priority <= THREAD_PRIORITY_LOWEST ? 10
                         : priority < THREAD_PRIORITY_NORMAL  ? 5
                                                              : 0;
        if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), nice) != 0 && nice > 0) {
            Trace("[Platform] thread %u: cannot lower its priority (errno %d)",
                  static_cast<unsigned>(t->Id()), errno);
        }
    }
    int previous = t->priority.exchange(priority);
    if (previous != priority) {
        Trace("[Platform] thread %u priority %d -> %d", static_cast<unsigned>(t->Id()), previous,
              priority);
    }
    return TRUE;
}

int GetThreadPriority(HANDLE thread) {
    auto t = ThreadFromHandle(thread);
    return t ? t->priority.load() : THREAD_PRIORITY_ERROR_RETURN;
}

// ---- waits on handles ------------------------------------------------------------------

DWORD WaitForSingleObject(HANDLE h, DWORD timeoutMs) {
    return WaitForMultipleObjects(1, &h, FALSE, timeoutMs);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // The shared pointers keep every object alive while we wait, even if its handle closes.
    std::shared_ptr<Waitable> held[MAXIMUM_WAIT_OBJECTS];
    Waitable* objects[MAXIMUM_WAIT_OBJECTS];
    for (DWORD i = 0; i < count; ++i) {
        held[i] = handles[i] == kCurrentThreadPseudo ? std::shared_ptr<Waitable>(Self())
                                                     : HandleAs<Waitable>(handles[i]);
        if (!held[i]) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        objects[i] = held[i].get();
    }
    return WaitForObjects(count, objects, waitAll != FALSE, timeoutMs);
}
