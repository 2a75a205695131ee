// Events, waits, critical sections, mutexes and threads, driven through their handles.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/sync.h"
#include "platform/time.h"

namespace {

// Long enough that a wait which should end never reaches it; it only guards against a hang.
constexpr DWORD kWatchdogMs = 10000;

// Runs start(param) on a new thread to its end; its exit code.
DWORD RunToEnd(LPTHREAD_START_ROUTINE start, LPVOID param) {
    HANDLE t = CreateThread(nullptr, 0, start, param, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, kWatchdogMs), WAIT_OBJECT_0);
    DWORD code = 99;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    CloseHandle(t);
    return code;
}

DWORD SetEventThread(LPVOID event) {
    return SetEvent(static_cast<HANDLE>(event));
}
DWORD WaitThread(LPVOID object) {
    return WaitForSingleObject(static_cast<HANDLE>(object), kWatchdogMs);
}
DWORD PollThread(LPVOID object) {
    return WaitForSingleObject(static_cast<HANDLE>(object), 0);
}

}  // namespace

TEST(Events, AutoResetReleasesOneWaitManualResetEveryWaitUntilReset) {
    HANDLE autoEv = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(autoEv && manual);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);  // the first wait took the signal
    ASSERT_TRUE(SetEvent(autoEv));
    ASSERT_TRUE(SetEvent(autoEv));  // signals do not add up
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);

    EXPECT_EQ(WaitForSingleObject(manual, 10), WAIT_TIMEOUT);
    HANDLE threads[3];
    for (HANDLE& t : threads) t = CreateThread(nullptr, 0, WaitThread, manual, 0, nullptr);
    ASSERT_TRUE(SetEvent(manual));
    ASSERT_EQ(WaitForMultipleObjects(3, threads, TRUE, kWatchdogMs), WAIT_OBJECT_0);
    for (HANDLE t : threads) {
        DWORD code = 99;
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, WAIT_OBJECT_0);
        CloseHandle(t);
    }
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    CloseHandle(autoEv);
    CloseHandle(manual);
}

TEST(Waits, WaitAnyGivesTheFirstSignalledIndexAndWaitAllTakesAllOrNone) {
    HANDLE evs[3] = {CreateEventW(nullptr, FALSE, FALSE, nullptr),
                     CreateEventW(nullptr, FALSE, FALSE, nullptr),
                     CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    EXPECT_EQ(WaitForMultipleObjects(3, evs, FALSE, 10), WAIT_TIMEOUT);
    SetEvent(evs[2]);
    SetEvent(evs[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, evs, FALSE, 0), WAIT_OBJECT_0 + 1);
    // The auto-reset event was taken; the manual-reset one remains.
    EXPECT_EQ(WaitForMultipleObjects(3, evs, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForSingleObject(evs[1], 0), WAIT_TIMEOUT);

    SetEvent(evs[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, evs, TRUE, 20), WAIT_TIMEOUT);
    // The partial wait must not have consumed the first event.
    EXPECT_EQ(WaitForSingleObject(evs[0], 0), WAIT_OBJECT_0);
    SetEvent(evs[0]);
    HANDLE t = CreateThread(nullptr, 0, SetEventThread, evs[1], 0, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(2, evs, TRUE, kWatchdogMs), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(evs[0], 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(evs[1], 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(t, kWatchdogMs), WAIT_OBJECT_0);
    CloseHandle(t);

    // Bad handles and arguments fail; so does a closed handle.
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xdead0));
    EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE twice[2] = {evs[2], evs[2]};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(bogus));
    for (HANDLE ev : evs) ASSERT_TRUE(CloseHandle(ev));
    EXPECT_EQ(WaitForSingleObject(evs[2], 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(evs[2]));
}

TEST(CriticalSections, RecursiveForTheOwnerExclusiveForOthersAndSerialising) {
    struct Ctx {
        CRITICAL_SECTION cs;
        long counter = 0;
    } ctx;
    InitializeCriticalSection(&ctx.cs);
    auto tryOther = [](LPVOID p) -> DWORD {
        auto* c = static_cast<Ctx*>(p);
        if (!TryEnterCriticalSection(&c->cs)) return 0;
        LeaveCriticalSection(&c->cs);
        return 1;
    };
    EnterCriticalSection(&ctx.cs);
    EnterCriticalSection(&ctx.cs);
    EXPECT_EQ(RunToEnd(tryOther, &ctx), 0u);
    LeaveCriticalSection(&ctx.cs);
    EXPECT_EQ(RunToEnd(tryOther, &ctx), 0u);  // still held once
    LeaveCriticalSection(&ctx.cs);
    EXPECT_EQ(RunToEnd(tryOther, &ctx), 1u);

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
    EXPECT_EQ(RunToEnd(PollThread, b), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(a));
    EXPECT_TRUE(ReleaseMutex(b));
    EXPECT_FALSE(ReleaseMutex(a));  // no longer owned
    CloseHandle(a);
    CloseHandle(b);
}

// A thread that says when it runs, then waits for leave to finish.
struct Gate {
    HANDLE started;  // set when the thread runs
    HANDLE leave;    // lets it finish
    HANDLE done;     // set as it finishes
};
DWORD GatedThread(LPVOID p) {
    auto* g = static_cast<Gate*>(p);
    SetEvent(g->started);
    if (WaitForSingleObject(g->leave, kWatchdogMs) != WAIT_OBJECT_0) return 1;
    SetEvent(g->done);
    return 42;
}

TEST(Threads, ExitCodesSuspensionAndHandlesClosedWhileTheThreadRuns) {
    HANDLE leave = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Gate a{CreateEventW(nullptr, FALSE, FALSE, nullptr), leave,
           CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    Gate b{CreateEventW(nullptr, FALSE, FALSE, nullptr), leave,
           CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, GatedThread, &a, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(GetThreadId(t), id);
    ASSERT_EQ(WaitForSingleObject(a.started, kWatchdogMs), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);

    // A suspended thread starts on resume; closing its handle does not stop it.
    HANDLE s = CreateThread(nullptr, 0, GatedThread, &b, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(WaitForSingleObject(b.started, 30), WAIT_TIMEOUT);
    EXPECT_EQ(ResumeThread(s), 1u);
    ASSERT_EQ(WaitForSingleObject(b.started, kWatchdogMs), WAIT_OBJECT_0);
    ASSERT_TRUE(CloseHandle(s));
    SetEvent(leave);
    EXPECT_EQ(WaitForSingleObject(b.done, kWatchdogMs), WAIT_OBJECT_0);

    ASSERT_EQ(WaitForSingleObject(t, kWatchdogMs), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // stays signalled
    CloseHandle(t);
    EXPECT_FALSE(GetExitCodeThread(t, &code));
    for (HANDLE h : {a.started, a.done, b.started, b.done, leave}) CloseHandle(h);
}

TEST(Threads, PriorityIsRecordedPerThread) {
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);
    EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 99));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);

    // What a thread set for itself is seen through its handle.
    Gate g{CreateEventW(nullptr, FALSE, FALSE, nullptr),
           CreateEventW(nullptr, TRUE, FALSE, nullptr),
           CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    auto body = [](LPVOID p) -> DWORD {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        return GatedThread(p);
    };
    HANDLE t = CreateThread(nullptr, 0, body, &g, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(g.started, kWatchdogMs), WAIT_OBJECT_0);
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_NORMAL);
    SetEvent(g.leave);
    EXPECT_EQ(WaitForSingleObject(t, kWatchdogMs), WAIT_OBJECT_0);
    for (HANDLE h : {t, g.started, g.leave, g.done}) CloseHandle(h);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
}
