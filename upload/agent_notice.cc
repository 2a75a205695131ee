#include "upload/agent_notice.h"

#include "platform/trace.h"
#include "platform/wstr.h"

UploadStatusRecord MakeUploadStatusRecord(LPCWSTR path, DWORD status) {
    UploadStatusRecord record{};
    if (path) WStrCopyN(record.path, path, MAX_PATH);
    record.status = status;
    return record;
}

HWND FindAgentWindow() {
    return FindWindowW(AGENT_WINDOW_CLASS, nullptr);
}

BOOL SendAgentNotice(HWND agent, const UploadStatusRecord& record) {
    if (!agent) return FALSE;
    COPYDATASTRUCT data{};
    data.dwData = AGENT_STATUS_COPYDATA;
    data.cbData = sizeof record;
    data.lpData = const_cast<UploadStatusRecord*>(&record);
    SetLastError(ERROR_SUCCESS);
    SendMessageW(agent, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data));
    // The agent's answer means nothing; only a notice that did not arrive is worth a line.
    if (GetLastError() == ERROR_INVALID_WINDOW_HANDLE) {
        Trace("[Vantlo] Agent notice %u for %s not delivered", static_cast<unsigned>(record.status),
              record.path);
        return FALSE;
    }
    return TRUE;
}

BOOL NotifyAgent(LPCWSTR path, DWORD status) {
    HWND agent = FindAgentWindow();
    if (!agent) return FALSE;
    return SendAgentNotice(agent, MakeUploadStatusRecord(path, status));
}
