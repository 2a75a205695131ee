#include "app/app_globals.h"

#include <optional>

#include "app/account_adapter.h"
#include "app/messages.h"
#include "platform/sync.h"
#include "platform/trace.h"
#include "store/album_list.h"
#include "upload/task_mgr.h"

// Constant-initialised: every field is valid before the objects below are created.
constinit AppGlobals g_App{};

SingleInstanceMutex::SingleInstanceMutex() : hMutex(INVALID_HANDLE_VALUE), dwLastError(0) {
    hMutex = CreateMutexW(nullptr, FALSE, INSTANCE_MUTEX_NAME);
    dwLastError = GetLastError();
}

SingleInstanceMutex::~SingleInstanceMutex() {
    if (hMutex && hMutex != INVALID_HANDLE_VALUE) CloseHandle(hMutex);
}

namespace {

// Creates one process-wide object, points its slot of g_App at it, and destroys it at exit.
// The holders below are defined in creation order, so exit destroys them in reverse.
template <class T>
class ProcessObject {
  public:
    explicit ProcessObject(T*& slot) : slot_(slot) { slot_ = &object_.emplace(); }
    ~ProcessObject() {
        slot_ = nullptr;
        object_.reset();
    }
    ProcessObject(const ProcessObject&) = delete;
    ProcessObject& operator=(const ProcessObject&) = delete;

  private:
    T*& slot_;                 // the g_App field that points at the object
    std::optional<T> object_;  // the object itself
};

ProcessObject<CAlbumList> g_albumList(g_App.pAlbumList);
ProcessObject<AccountAdapter> g_account(g_App.pAccount);
ProcessObject<SingleInstanceMutex> g_instanceMutex(g_App.pInstanceMutex);
ProcessObject<CUploadTaskMgr> g_taskMgr(g_App.pTaskMgr);
ProcessObject<CAppSettings> g_settings(g_App.pSettings);

}  // namespace

void AddClientRef() {
    g_App.nClientRefs++;
    Trace("[Vantlo] Ref count: %d", static_cast<int>(g_App.nClientRefs));
}

void ReleaseClientRef() {
    if (g_App.nClientRefs > 0) {
        g_App.nClientRefs--;
    } else {
        Trace("[Vantlo] Ref count might be minus");
    }
    Trace("[Vantlo] Ref count: %d", static_cast<int>(g_App.nClientRefs));
}

void LogClientRef() {
    Trace("[Vantlo] Ref count: %d", static_cast<int>(g_App.nClientRefs));
}

void PostShowStatus(HWND hwnd) {
    if (!g_App.g_bShowStatus || g_App.pTaskViewer) return;
    Trace("PostMessage MSG_SHOWSTATUS +");
    if (!PostMessageW(hwnd, MSG_SHOWSTATUS, 0, 0)) {
        Trace("[Vantlo] MSG_SHOWSTATUS could not be posted (error %u)",
              static_cast<unsigned>(GetLastError()));
    }
    Trace("PostMessage MSG_SHOWSTATUS -");
    g_App.g_bShowStatus = FALSE;
    // The low bit brings the window's owned windows (an open dialog) forward with it.
    SetForegroundWindow(reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(hwnd) | 1));
}
