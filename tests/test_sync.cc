// Events, waits, critical sections, mutexes and threads, driven through their handles.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/sync.h"
#include "platform/time.h"

namespace {

// Long enough that a wait which should end never reaches it; it only guards against a hang.
constexpr DWORD kWatchdogMs = 10000;

struct Closer {
    HANDLE h;
    ~Closer() {
        if (h) CloseHandle(h);
    }
};

DWORD SetEventThread(LPVOID param) {
    SetEvent(static_cast<HANDLE>(param));
    return 7;
}

}  // namespace

TEST(Events, AutoResetReleasesOneWaitAndClearsItself) {
    HANDLE ev = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    Closer c{ev};
    ASSERT_NE(ev, nullptr);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);  // the first wait took the signal
    ASSERT_TRUE(SetEvent(ev));
    ASSERT_TRUE(SetEvent(ev));  // signals do not add up
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
}

TEST(Events, ManualResetStaysSignalledUntilReset) {
    HANDLE ev = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Closer c{ev};
    EXPECT_EQ(WaitForSingleObject(ev, 10), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_TIMEOUT);
}

TEST(Events, ManualResetReleasesEveryWaitingThread) {
    HANDLE gate = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Closer cg{gate};
    std::atomic<int> released{0};
    struct Ctx {
        HANDLE gate;
        std::atomic<int>* released;
    } ctx{gate, &released};
    auto waiter = [](LPVOID p) -> DWORD {
        auto* c = static_cast<Ctx*>(p);
        DWORD r = WaitForSingleObject(c->gate, kWatchdogMs);
        if (r == WAIT_OBJECT_0) c->released->fetch_add(1);
        return r;
    };
    HANDLE threads[3];
    for (auto& t : threads) t = CreateThread(nullptr, 0, waiter, &ctx, 0, nullptr);
    SetEvent(gate);
    ASSERT_EQ(WaitForMultipleObjects(3, threads, TRUE, kWatchdogMs), WAIT_OBJECT_0);
    EXPECT_EQ(released.load(), 3);
    for (HANDLE t : threads) {
        DWORD code = 0;
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, WAIT_OBJECT_0);
        CloseHandle(t);
    }
}

TEST(Waits, WaitAnyReportsTheFirstSignalledIndex) {
    HANDLE evs[3] = {CreateEventW(nullptr, FALSE, FALSE, nullptr),
                     CreateEventW(nullptr, FALSE, FALSE, nullptr),
                     CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    Closer c0{evs[0]}, c1{evs[1]}, c2{evs[2]};
    EXPECT_EQ(WaitForMultipleObjects(3, evs, FALSE, 10), WAIT_TIMEOUT);
    SetEvent(evs[2]);
    SetEvent(evs[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, evs, FALSE, 0), WAIT_OBJECT_0 + 1);
    // The auto-reset event was taken; the manual-reset one remains.
    EXPECT_EQ(WaitForMultipleObjects(3, evs, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForSingleObject(evs[1], 0), WAIT_TIMEOUT);
}

TEST(Waits, WaitAllTakesEveryObjectTogetherOrNone) {
    HANDLE evs[2] = {CreateEventW(nullptr, FALSE, FALSE, nullptr),
                     CreateEventW(nullptr, FALSE, FALSE, nullptr)};
    Closer c0{evs[0]}, c1{evs[1]};
    SetEvent(evs[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, evs, TRUE, 20), WAIT_TIMEOUT);
    // The partial wait must not have consumed the first event.
    EXPECT_EQ(WaitForSingleObject(evs[0], 0), WAIT_OBJECT_0);
    SetEvent(evs[0]);
    HANDLE t = CreateThread(nullptr, 0, SetEventThread, evs[1], 0, nullptr);
    Closer ct{t};
    EXPECT_EQ(WaitForMultipleObjects(2, evs, TRUE, kWatchdogMs), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(evs[0], 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(evs[1], 0), WAIT_TIMEOUT);
}

TEST(Waits, BadHandlesAndArgumentsFail) {
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xdead0));
    EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE ev = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    HANDLE twice[2] = {ev, ev};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(bogus));
    ASSERT_TRUE(CloseHandle(ev));
    EXPECT_EQ(WaitForSingleObject(ev, 0), WAIT_FAILED);  // a closed handle is refused
    EXPECT_FALSE(SetEvent(ev));
}

TEST(CriticalSections, RecursiveForTheOwnerExclusiveForOthers) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);
    struct Ctx {
        CRITICAL_SECTION* cs;
    } ctx{&cs};
    auto tryOther = [](LPVOID p) -> DWORD {
        auto* c = static_cast<Ctx*>(p);
        if (!TryEnterCriticalSection(c->cs)) return 0;
        LeaveCriticalSection(c->cs);
        return 1;
    };
    auto runOther = [&] {
        HANDLE t = CreateThread(nullptr, 0, tryOther, &ctx, 0, nullptr);
        EXPECT_EQ(WaitForSingleObject(t, kWatchdogMs), WAIT_OBJECT_0);
        DWORD code = 99;
        GetExitCodeThread(t, &code);
        CloseHandle(t);
        return code;
    };
    EXPECT_EQ(runOther(), 0u);
    LeaveCriticalSection(&cs);
    EXPECT_EQ(runOther(), 0u);  // still held once
    LeaveCriticalSection(&cs);
    EXPECT_EQ(runOther(), 1u);
    DeleteCriticalSection(&cs);
}

TEST(CriticalSections, SerialisesCountersAcrossThreads) {
    struct Ctx {
        CRITICAL_SECTION cs;
        long counter = 0;
    } ctx;
    InitializeCriticalSection(&ctx.cs);
    auto bump = [](LPVOID p) -> DWORD {
        auto* c = static_cast<Ctx*>(p);
        for (int i = 0; i < 10000; ++i) {
            EnterCriticalSection(&c->cs);
            EnterCriticalSection(&c->cs);
            long v = c->counter;
            c->counter = v + 1;
            LeaveCriticalSection(&c->cs);
            LeaveCriticalSection(&c->cs);
        }
        return 0;
    };
    HANDLE t[4];
    for (auto& h : t) h = CreateThread(nullptr, 0, bump, &ctx, 0, nullptr);
    ASSERT_EQ(WaitForMultipleObjects(4, t, TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE h : t) CloseHandle(h);
    EXPECT_EQ(ctx.counter, 40000);
    DeleteCriticalSection(&ctx.cs);
}

TEST(Mutexes, NamedMutexIsSharedAndOwnedRecursively) {
    HANDLE a = CreateMutexW(nullptr, TRUE, u"{900A9DF7-test}");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE b = CreateMutexW(nullptr, FALSE, u"{900a9df7-TEST}");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);  // recursive for the owner
    auto other = [](LPVOID p) -> DWORD { return WaitForSingleObject(static_cast<HANDLE>(p), 0); };
    HANDLE t = CreateThread(nullptr, 0, other, b, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, kWatchdogMs), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, WAIT_TIMEOUT);
    CloseHandle(t);
    EXPECT_TRUE(ReleaseMutex(a));
    EXPECT_TRUE(ReleaseMutex(b));
    EXPECT_FALSE(ReleaseMutex(a));  // no longer owned
    CloseHandle(a);
    CloseHandle(b);
}

TEST(Threads, ExitCodeHandleSignalAndClosingDoesNotKill) {
    HANDLE started = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);  // releases both threads
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Closer c1{started}, c2{go}, c3{done};
    struct Ctx {
        HANDLE started, go, done;
    } ctx{started, go, done};
    auto body = [](LPVOID p) -> DWORD {
        auto* c = static_cast<Ctx*>(p);
        SetEvent(c->started);
        if (WaitForSingleObject(c->go, kWatchdogMs) != WAIT_OBJECT_0) return 1;
        SetEvent(c->done);
        return 42;
    };
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, body, &ctx, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(GetThreadId(t), id);
    ASSERT_EQ(WaitForSingleObject(started, kWatchdogMs), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);

    HANDLE t2 = CreateThread(nullptr, 0, body, &ctx, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(started, kWatchdogMs), WAIT_OBJECT_0);
    ASSERT_TRUE(CloseHandle(t2));  // the thread goes on without its handle
    SetEvent(go);
    ASSERT_EQ(WaitForSingleObject(t, kWatchdogMs), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(WaitForSingleObject(done, kWatchdogMs), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // stays signalled
    CloseHandle(t);
    EXPECT_FALSE(GetExitCodeThread(t, &code));
}

TEST(Threads, SuspendedThreadStartsOnResume) {
    std::atomic<bool> ran{false};
    auto body = [](LPVOID p) -> DWORD {
        static_cast<std::atomic<bool>*>(p)->store(true);
        return 5;
    };
    HANDLE t = CreateThread(nullptr, 0, body, &ran, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, 30), WAIT_TIMEOUT);
    EXPECT_FALSE(ran.load());
    EXPECT_EQ(ResumeThread(t), 1u);
    EXPECT_EQ(WaitForSingleObject(t, kWatchdogMs), WAIT_OBJECT_0);
    EXPECT_TRUE(ran.load());
    CloseHandle(t);
}

TEST(Threads, PriorityIsRecordedPerThread) {
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);
    EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 99));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);

    HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE leave = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    struct Ctx {
        HANDLE ready, leave;
    } ctx{ready, leave};
    auto body = [](LPVOID p) -> DWORD {
        auto* c = static_cast<Ctx*>(p);
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        SetEvent(c->ready);
        WaitForSingleObject(c->leave, kWatchdogMs);
        return 0;
    };
    HANDLE t = CreateThread(nullptr, 0, body, &ctx, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(ready, kWatchdogMs), WAIT_OBJECT_0);
    // What the thread set for itself is seen through its handle.
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_NORMAL);
    SetEvent(leave);
    EXPECT_EQ(WaitForSingleObject(t, kWatchdogMs), WAIT_OBJECT_0);
    CloseHandle(t);
    CloseHandle(ready);
    CloseHandle(leave);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}
