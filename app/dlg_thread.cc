#include "app/dlg_thread.h"

#include <initializer_list>

#include "app/account_adapter.h"
#include "app/app_globals.h"
#include "app/dlg_page.h"
#include "app/messages.h"
#include "platform/gdi.h"
#include "platform/screen.h"
#include "platform/trace.h"
#include "store/album_list.h"
#include "ui/dialog_messages.h"
#include "upload/task_model.h"

namespace {

constexpr LONG kBaseWidth = 240;  // layouts are given for a 240 × 320 screen
constexpr LONG kBaseHeight = 320;
constexpr size_t kScratchChars = 256;
constexpr DWORD kCancelRepostMs = 50;  // how often a cancellation looks for a page that came late
constexpr int kCloseRounds = 100;      // teardown waits this many rounds for the thread

// The window together with the windows it owns (an open page comes forward with it).
HWND WithOwned(HWND hwnd) {
    return reinterpret_cast<HWND>(reinterpret_cast<uintptr_t>(hwnd) | 1);
}

// Runs one page of the thread's flow; its result.
LONG RunPage(DlgThread* thread) {
    DlgPage page(thread->hOwner, g_App.hInstance, thread->nService, thread->nPage);
    thread->pPage = &page;
    const LONG result = page.Run();
    thread->pPage = nullptr;
    return result;
}

// The page an upload flow starts at: the list when signed in, else the before-login page. A
// Facebook list needs the album list, asked for here with the session.
LONG FirstUploadPage(LONG service, LONG current) {
    AccountAdapter* account = g_App.pAccount;
    if (service == SERVICE_YOUTUBE) {
        return account->YTIsLogin() ? PAGE_YT_LIST : PAGE_BEFORE_LOGIN;
    }
    if (service == SERVICE_FACEBOOK) {
        if (!account->FBIsLogin()) return PAGE_BEFORE_LOGIN;
        CAlbumList* albums = g_App.pAlbumList;
        albums->SetEngineSession(account->GetFBSession0().c_str(),
                                 account->GetFBSession2().c_str());
        albums->RequestAlbumList(account->GetFBSession1().c_str());
        return PAGE_FB_LIST;
    }
    return current;
}

}  // namespace

DlgThread::DlgThread(HWND owner)
    : hStopEvent(nullptr),
      hThread(nullptr),
      bRunning(TRUE),
      nService(0),
      nPage(0),
      pPage(nullptr),
      hOwner(owner),
      host{},
      inSequence_(false) {
    InitializeCriticalSection(&requestLock_);
    g_App.nScaleX = GetSystemMetrics(SM_CXSCREEN) / kBaseWidth;
    g_App.nScaleY = GetSystemMetrics(SM_CYSCREEN) / kBaseHeight;
    g_App.hShowDlgEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    hStopEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_App.hDlgLeftEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_App.hCurDlg = nullptr;
    g_App.hSubDlg = nullptr;
    for (WString& text : g_App.scratchText) text.reserve(kScratchChars);
    g_App.g_bDlgExist = FALSE;

    host.hInstance = g_App.hInstance;
    host.nScaleX = g_App.nScaleX;
    host.nScaleY = g_App.nScaleY;
    host.pContext = &g_App.pageContext;
    host.phCurDlg = &g_App.hCurDlg;
    host.pAccount = g_App.pAccount;
    host.pAlbumList = g_App.pAlbumList;
    host.InitPageDialog = InitPageDialog;
    SetPageHost(&host);

    if (g_App.hShowDlgEvent && hStopEvent && g_App.hDlgLeftEvent) {
        hThread = CreateThread(nullptr, 0, ShowDlgThread, this, 0, nullptr);
    }
    if (!hThread) Trace("[ShowDlgThread] the dialog thread cannot start: no dialog can be shown");
}

DlgThread::~DlgThread() {
    if (hThread || hStopEvent) CloseDlgThread();
    DeleteCriticalSection(&requestLock_);
}

// ---- Main thread ----------------------------------------------------------------------------

void DlgThread::Request(DlgMode mode, LONG service, UINT viewerNotice) {
    if (!hThread) {
        Trace("[ShowDlgThread] request %d for service %d dropped: no dialog thread",
              static_cast<int>(mode), static_cast<int>(service));
        return;
    }
    g_App.nDlgMode = mode;
    EnterCriticalSection(&requestLock_);
    if (!inSequence_) requests_.clear();
    requests_.push_back(DlgRequest{mode, service, viewerNotice});
    LeaveCriticalSection(&requestLock_);
    SetEvent(g_App.hShowDlgEvent);
}

void DlgThread::PostCancels(HWND posted[3]) {
    const HWND open[3] = {g_App.hSubDlg, g_App.hCurDlg, g_App.hTaskViewerWnd};
    const UINT message[3] = {WM_DESTROY, MSG_CANCEL_TASK, MSG_CANCEL_TASK};
    for (int i = 0; i < 3; i++) {
        if (!open[i] || open[i] == posted[i]) continue;
        PostMessageW(open[i], message[i], 0, 0);
        posted[i] = open[i];
    }
}

void DlgThread::CancelOpenDialogs() {
    if (inSequence_) return;  // the sequence's own flows must not end each other
    EnterCriticalSection(&requestLock_);
    requests_.clear();
    const BOOL open = g_App.g_bDlgExist;
    LeaveCriticalSection(&requestLock_);
    if (!open) return;

    HANDLE left = g_App.hDlgLeftEvent;
    ResetEvent(left);  // a flow that was minimised before may have left it set
    // The page on screen may not have recorded itself yet, or the flow may be between two pages:
    // the cancellation goes to every page that turns up until the flow has ended.
    HWND posted[3] = {};
    for (;;) {
        PostCancels(posted);
        const DWORD wait = WaitForSingleObject(left, kCancelRepostMs);
        if (wait == WAIT_OBJECT_0) break;
        if (wait != WAIT_TIMEOUT) {
            Trace("[ShowDlgThread] waiting for the open flow failed (error %u)",
                  static_cast<unsigned>(GetLastError()));
            return;
        }
        if (!g_App.g_bDlgExist) {
            // The flow ended by itself; had it ended by the cancellation the event is set.
            if (WaitForSingleObject(left, 0) != WAIT_OBJECT_0) return;
            break;
        }
    }
    ResetEvent(left);
}

void DlgThread::StartLoginFlow(LONG service) {
    CancelOpenDialogs();
    Request(DLG_MODE_LOGIN_ONLY, service, 0);
}

void DlgThread::StartUploadFlow(LONG service) {
    CancelOpenDialogs();
    Request(DLG_MODE_UPLOAD_WITH_UI, service, 0);
}

void DlgThread::ShowTaskViewer(UINT viewerNotice) {
    if (HWND viewer = g_App.hTaskViewerWnd) {
        SetForegroundWindow(WithOwned(hOwner));
        if (viewerNotice) PostMessageW(viewer, viewerNotice, 0, 0);
        return;
    }
    CancelOpenDialogs();
    Request(DLG_MODE_TASK_VIEWER, 0, viewerNotice);
}

void DlgThread::BeginSequence() {
    CancelOpenDialogs();
    inSequence_ = true;
}

void DlgThread::EndSequence() {
    inSequence_ = false;
}

void DlgThread::CloseDlgThread() {
    bRunning = FALSE;
    EnterCriticalSection(&requestLock_);
    requests_.clear();
    LeaveCriticalSection(&requestLock_);
    if (hStopEvent) SetEvent(hStopEvent);

    // The thread is joined: an open flow is ended as a new request would end it.
    bool ended = hThread == nullptr;
    HWND posted[3] = {};
    for (int round = 0; !ended && round < kCloseRounds; round++) {
        PostCancels(posted);
        ended = WaitForSingleObject(hThread, kCancelRepostMs) == WAIT_OBJECT_0;
    }
    if (!ended) {
        // A page that does not answer keeps the thread: its objects stay with it.
        Trace("[ShowDlgThread] the dialog thread did not end: left running");
        return;
    }

    SetPageHost(nullptr);
    for (HBITMAP& icon : host.hServiceIcon) {
        if (icon) DeleteObject(icon);
        icon = nullptr;
    }
    for (HANDLE* event : {&g_App.hShowDlgEvent, &g_App.hDlgLeftEvent, &hStopEvent}) {
        if (*event) CloseHandle(*event);
        *event = nullptr;
    }
    if (hThread) {
        const BOOL closed = CloseHandle(hThread);
        hThread = nullptr;
        Trace("Vantlo: Close Thread(%d)", closed);
    }
}

// ---- Dialog thread --------------------------------------------------------------------------

BOOL DlgThread::TakeRequest(DlgRequest* request) {
    EnterCriticalSection(&requestLock_);
    const BOOL taken = !requests_.empty();
    if (taken) {
        *request = requests_.front();
        requests_.pop_front();
        // Under the lock: a canceller either sees the flow running or finds no request.
        g_App.g_bDlgExist = TRUE;
    }
    LeaveCriticalSection(&requestLock_);
    return taken;
}

BOOL DlgThread::HasRequests() {
    EnterCriticalSection(&requestLock_);
    const BOOL any = !requests_.empty();
    LeaveCriticalSection(&requestLock_);
    return any;
}

DWORD ShowDlgThread(LPVOID param) {
    auto* thread = static_cast<DlgThread*>(param);
    const HANDLE waits[2] = {g_App.hShowDlgEvent, thread->hStopEvent};
    while (thread->bRunning) {
        const DWORD wait = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (wait == WAIT_FAILED) {
            Trace("[ShowDlgThread] wait failed (error %u)", static_cast<unsigned>(GetLastError()));
            break;
        }
        if (wait != WAIT_OBJECT_0 || !thread->bRunning) continue;
        DlgRequest request{};
        if (!thread->TakeRequest(&request)) continue;  // a request replaced by a later one

        thread->nService = request.service;
        Trace("[ShowDlgThread] get ShowDlg event");
        SetForegroundWindow(WithOwned(thread->hOwner));
        BOOL cancelled = FALSE;
        switch (request.mode) {
            case DLG_MODE_UPLOAD_WITH_UI:
                Trace("on uploadwithUI +");
                cancelled = UploadWithUI(thread);
                Trace("on uploadwithUI -");
                break;
            case DLG_MODE_LOGIN_ONLY:
                Trace("on uploadwithoutUI +");
                cancelled = UploadWithoutUI(thread);
                Trace("on uploadwithoutUI -");
                break;
            case DLG_MODE_TASK_VIEWER:
                Trace("on TaskViewer +");
                cancelled = RunTaskViewerDialog(request.viewerNotice);
                PostMessageW(thread->hOwner, MSG_TASKVIEWER_CLOSED, 0, 0);
                Trace("on TaskViewer -");
                break;
        }
        ShowWindow(thread->hOwner, SW_MINIMIZE);
        // The event before the flag: a canceller that sees the flag clear finds it set.
        if (cancelled) SetEvent(g_App.hDlgLeftEvent);
        g_App.g_bDlgExist = FALSE;
        Trace("[ShowDlgThread] set g_bDlgExist to false");
        if (thread->HasRequests()) SetEvent(g_App.hShowDlgEvent);  // the rest of a sequence
    }
    Trace("[ShowDlgThread] thread returned");
    return 0;
}

BOOL UploadWithUI(DlgThread* thread) {
    thread->nPage = FirstUploadPage(thread->nService, thread->nPage);
    while (thread->nPage >= PAGE_BEFORE_LOGIN && thread->nPage < PAGE_UPLOAD) {
        thread->nPage = RunPage(thread);
    }
    if (thread->nPage == PAGE_UPLOAD) {
        PostMessageW(
            thread->hOwner,
            thread->nService == SERVICE_YOUTUBE ? MSG_UPLOAD_VIDEO_LIST : MSG_UPLOAD_PHOTO_LIST, 0,
            0);
        Trace("[ShowDlgThread]leave ShowDlg event : normal");
        return FALSE;
    }
    if (thread->nPage == PAGE_CANCELLED_BY_OTHERS) {
        Trace("[ShowDlgThread]leave ShowDlg event : cancel by others");
        return TRUE;
    }
    return FALSE;
}

BOOL UploadWithoutUI(DlgThread* thread) {
    thread->nPage = PAGE_BEFORE_LOGIN;
    do {
        Trace("WITHOUTUI page %d: +", static_cast<int>(thread->nPage));
        thread->nPage = RunPage(thread);
        ShowWindow(thread->hOwner, SW_SHOW);
        Trace("WITHOUTUI page %d: -", static_cast<int>(thread->nPage));
        // A successful login (5003 or 5004) ends the flow: no list page here.
    } while (thread->nPage >= PAGE_BEFORE_LOGIN && thread->nPage < PAGE_YT_LIST);
    ShowWindow(thread->hOwner, SW_HIDE);
    return thread->nPage == PAGE_CANCELLED_BY_OTHERS;
}

BOOL RunTaskViewerDialog(UINT viewerNotice) {
    // Template 6000 and its procedure are not part of this build: no viewer opens, so a notice
    // meant for it has no receiver.
    Trace("[ShowDlgThread] RunTaskViewerDialog: the task viewer is not available yet (notice %u)",
          viewerNotice);
    g_App.hTaskViewerWnd = nullptr;
    return FALSE;
}
