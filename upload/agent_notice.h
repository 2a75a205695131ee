// The status notice for the companion agent: one UploadStatusRecord sent as WM_COPYDATA of
// kind AGENT_STATUS_COPYDATA to the top-level window of class "VantloAgentCallbackWnd", when
// one exists. The send is synchronous: the agent's window procedure must not call back into
// the task manager.
#pragma once

#include "platform/types.h"
#include "platform/window.h"

constexpr ULONG_PTR AGENT_STATUS_COPYDATA = 1182;  // dwData of the notice
constexpr WCHAR AGENT_WINDOW_CLASS[] = u"VantloAgentCallbackWnd";

// One file's upload status, as it crosses to other processes (little-endian, 524 bytes).
struct UploadStatusRecord {
    WCHAR path[MAX_PATH];  // NUL-terminated, at most 259 characters, zero-filled after
    DWORD status;          // 0 none, 1 failed, 2 uploading, 3 waiting, 4 done
};
static_assert(sizeof(UploadStatusRecord) == 524);
static_assert(offsetof(UploadStatusRecord, status) == 520);

// A record for path (cut to 259 characters; null gives an empty path) and status.
UploadStatusRecord MakeUploadStatusRecord(LPCWSTR path, DWORD status);
// The agent's window, or null when no agent runs.
HWND FindAgentWindow();
// Sends record to agent; false when agent is null or the send could not be delivered.
BOOL SendAgentNotice(HWND agent, const UploadStatusRecord& record);
// Looks the agent's window up and sends it (path, status); false when there is none.
BOOL NotifyAgent(LPCWSTR path, DWORD status);
