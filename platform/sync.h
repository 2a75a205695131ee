// Synchronisation: critical sections (recursive), events, mutexes, threads and waits.
#pragma once

#include <memory>
#include <vector>

#include "platform/handle.h"
#include "platform/types.h"

struct CriticalSectionImpl;
struct CRITICAL_SECTION {
    CriticalSectionImpl* impl;  // owned; created by InitializeCriticalSection
};

void InitializeCriticalSection(CRITICAL_SECTION* cs);
void DeleteCriticalSection(CRITICAL_SECTION* cs);
void EnterCriticalSection(CRITICAL_SECTION* cs);  // recursive on the owning thread
void LeaveCriticalSection(CRITICAL_SECTION* cs);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs);

// Events: manualReset keeps the event signalled until ResetEvent; an auto-reset event
// releases one waiter and clears itself. name is ignored within one process.
HANDLE CreateEventW(void* security, BOOL manualReset, BOOL initialState, LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);

// Mutexes, recursive for the owning thread. A named mutex is shared by every CreateMutexW
// of that name (compared without regard to case), in this process and, through a lock file
// in the runtime folder, in every other: a creation while the mutex exists anywhere sets
// ERROR_ALREADY_EXISTS, and only one thread of all processes owns it at a time.
HANDLE CreateMutexW(void* security, BOOL initialOwner, LPCWSTR name);
BOOL ReleaseMutex(HANDLE mutex);

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID param);
constexpr DWORD CREATE_SUSPENDED = 0x4;
// The thread runs start(param); its handle is signalled when it ends. Closing the handle
// does not stop the thread.
HANDLE CreateThread(void* security, size_t stackSize, LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD flags, DWORD* threadId);
DWORD ResumeThread(HANDLE thread);  // the previous suspend count, 0xFFFFFFFF on failure
DWORD GetCurrentThreadId();
BOOL GetExitCodeThread(HANDLE thread, DWORD* code);
DWORD GetThreadId(HANDLE thread);
// Runs fn on every thread that CreateThread started, after its start routine returns and
// before its handle is signalled (the message queue uses this to tear down the thread's windows).
void AddThreadExitHook(void (*fn)());
constexpr DWORD STILL_ACTIVE = 259;

// Thread priorities are recorded (and traced) but have no effect on the host scheduler.
constexpr int THREAD_PRIORITY_IDLE = -15;
constexpr int THREAD_PRIORITY_LOWEST = -2;
constexpr int THREAD_PRIORITY_BELOW_NORMAL = -1;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_ABOVE_NORMAL = 1;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;
HANDLE GetCurrentThread();  // a pseudo-handle naming the calling thread
// The priority is kept for GetThreadPriority. A thread that sets its own priority below normal
// also runs at a lower kernel priority (nice 5, 10 at LOWEST, 19 at IDLE); above normal is
// kept only, as a user's process may not rise above the others.
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

DWORD WaitForSingleObject(HANDLE h, DWORD timeoutMs);
// waitAll false: WAIT_OBJECT_0 + the index of the first signalled object. waitAll true:
// returns when every object is signalled at once, and takes them all together.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs);

// Below the API: objects that can be waited on derive from Waitable. Every Waitable's
// state is guarded by the one wait lock (one lock keeps multi-object waits simple).
struct Waiter;
class Waitable : public KernelObject {
  public:
    // True when the object is signalled; with consume, takes the signal (an auto-reset
    // event clears, a mutex becomes owned). Called with the wait lock held.
    virtual bool TryAcquire(bool consume) = 0;
    // How often a waiter looks again, in ms, when the object can become signalled without a
    // wake-up from this process (another process holds it); 0 when it never can.
    virtual DWORD PollMs() const { return 0; }

  protected:
    // Wakes the threads waiting on this object once the wait lock is let go; call with the
    // wait lock held (through a WaitLock).
    void WakeWaiters();

  private:
    friend class WaitRegistration;
    std::vector<std::shared_ptr<Waiter>> waiters_;  // threads blocked on this object now
};

// Holds the wait lock for its lifetime.
class WaitLock {
  public:
    WaitLock();
    ~WaitLock();
    WaitLock(const WaitLock&) = delete;
    WaitLock& operator=(const WaitLock&) = delete;
};

// An event object; CreateEventW hands out handles to these, and the message queues use
// them directly as their wake-up signal.
class EventObject : public Waitable {
  public:
    EventObject(bool manualReset, bool initialState);
    bool TryAcquire(bool consume) override;
    void Set();
    void Reset();

  private:
    bool manualReset_;  // stays signalled until Reset
    bool signalled_;    // current state, under the wait lock
};

// The core of every wait: waits for objects rather than handles.
DWORD WaitForObjects(DWORD count, Waitable* const* objects, bool waitAll, DWORD timeoutMs);
