// Synchronisation: critical sections (recursive), events, threads and waits.
#pragma once

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

using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID param);
// The thread runs start(param); its handle is signalled when it ends.
HANDLE CreateThread(void* security, size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID param, DWORD flags, DWORD* threadId);
DWORD GetCurrentThreadId();
BOOL GetExitCodeThread(HANDLE thread, DWORD* code);
constexpr DWORD STILL_ACTIVE = 259;

// Thread priorities are recorded (and traced) but have no effect on the host scheduler.
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
HANDLE GetCurrentThread();
BOOL SetThreadPriority(HANDLE thread, int priority);
int GetThreadPriority(HANDLE thread);

constexpr DWORD WAIT_OBJECT_0 = 0;
constexpr DWORD WAIT_ABANDONED = 0x80;
constexpr DWORD WAIT_TIMEOUT = 258;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFF;
constexpr DWORD MAXIMUM_WAIT_OBJECTS = 64;

DWORD WaitForSingleObject(HANDLE h, DWORD timeoutMs);
// waitAll false: WAIT_OBJECT_0 + the index of the first signalled object.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs);

// Objects that can be waited on derive from Waitable; the platform's message queue uses
// this to wake a thread that waits for messages and objects at once.
class Waitable : public KernelObject {
public:
    // True when the object is signalled; consumes the signal of an auto-reset object
    // when consume is true. Called with the global wait lock held.
    virtual bool TryAcquire(bool consume) = 0;
};
// Wakes every thread waiting on any object; call after signalling under the wait lock.
void NotifyWaiters();
// The lock that guards every Waitable's state (one lock keeps multi-object waits simple).
class WaitLock {
public:
    WaitLock();
    ~WaitLock();
    WaitLock(const WaitLock&) = delete;
    WaitLock& operator=(const WaitLock&) = delete;
};
