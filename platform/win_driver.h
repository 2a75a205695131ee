// Where windows of other processes plug in. The window functions first look for a window
// of this process; a handle they do not know goes to the remote window driver. The default
// driver reaches other processes over Unix domain sockets in the runtime folder
// (docs/protocol.md); a driver whose members are all null knows no remote window, so such a
// handle is simply not a window.
//
// A driver carries messages across the process boundary and, on the receiving side, hands
// them to the local window functions (PostMessageW, SendMessageTimeoutW) from a thread of
// its own. It learns of local windows appearing, changing title and going away through
// WindowChanged, so that it can publish them to other processes.
#pragma once

#include "platform/sync.h"
#include "platform/window.h"

struct RemoteWindowDriver {
    // A top-level window of another process by class and title (null for any), or null.
    HWND (*FindWindow)(LPCWSTR className, LPCWSTR title);
    bool (*IsWindow)(HWND hwnd);
    // FALSE with the last error set when the message could not be delivered.
    BOOL (*PostMessage)(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
    // Delivers a sent message and waits at most timeoutMs (INFINITE for SendMessage) for
    // the answer, answering meanwhile what is sent to this thread's windows unless flags
    // has SMTO_BLOCK (WaitAnsweringSends does both). False with the last error set on failure.
    bool (*SendMessage)(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags,
                        DWORD timeoutMs, LRESULT* result);
    BOOL (*ShowWindow)(HWND hwnd, int cmd);
    BOOL (*SetForegroundWindow)(HWND hwnd);
    DWORD (*GetWindowThreadProcessId)(HWND hwnd, DWORD* processId);
    // A window of this process was created (exists true), retitled, or destroyed (false).
    void (*WindowChanged)(HWND hwnd, bool exists);
    // Bits 16-30 of every window handle this process hands out, unique among the processes
    // the driver reaches (1..0x7FFF); 0 leaves the choice to the window system.
    uint32_t (*ProcessSlot)();
};

// Installs the driver (null puts back the default, socket driver). Members left null know
// no remote window. Install it before windows are created and messages flow.
void SetRemoteWindowDriver(const RemoteWindowDriver* driver);
// The default driver: windows of other processes over the sockets of the runtime folder.
const RemoteWindowDriver& SocketWindowDriver();

// True when hwnd is a live window of this process.
bool IsLocalWindow(HWND hwnd);

// Waits until done is signalled or timeoutMs passes, answering meanwhile the messages that
// other threads send to the calling thread's windows unless answerSends is false.
// WAIT_OBJECT_0 when done, WAIT_TIMEOUT, or WAIT_FAILED.
DWORD WaitAnsweringSends(Waitable* done, DWORD timeoutMs, bool answerSends);
