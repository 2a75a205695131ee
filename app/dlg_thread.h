// The dialog thread: every dialog of the application runs on one thread of its own, so that the
// main window keeps serving clients while a dialog is open. The main thread hands it requests (a
// flow and its service) and wakes it by hShowDlgEvent; the thread runs one flow at a time as a
// chain of modal full-screen pages and reports back only by posting to the main window. A new
// request first ends the flow on screen and waits until it has ended (hDlgLeftEvent).
#pragma once

#include <atomic>
#include <deque>

#include "platform/sync.h"
#include "platform/types.h"
#include "platform/window.h"
#include "ui/page_host.h"

class DlgPage;

// What the dialog thread shows for a request.
enum DlgMode : LONG {
    DLG_MODE_UPLOAD_WITH_UI = 0,  // login pages when needed, then the list page
    DLG_MODE_LOGIN_ONLY = 1,      // login pages only
    DLG_MODE_TASK_VIEWER = 2,     // the task viewer
};

// One request for the dialog thread.
struct DlgRequest {
    DlgMode mode;       // what to show
    LONG service;       // the flow's service: 0 YouTube, 1 Facebook
    UINT viewerNotice;  // posted to the task viewer once it is open; 0 for none
};

class DlgThread {
  public:
    // Creates the events and starts the thread; owner is the main window.
    explicit DlgThread(HWND owner);
    ~DlgThread();  // closes the thread when CloseDlgThread has not
    DlgThread(const DlgThread&) = delete;
    DlgThread& operator=(const DlgThread&) = delete;

    // ---- Main thread ----
    // Ends the open flow and waits until the thread has left it; drops requests not yet run.
    void CancelOpenDialogs();
    // The login pages for service, after ending the open flow.
    void StartLoginFlow(LONG service);
    // The upload flow with the list page for service, after ending the open flow.
    void StartUploadFlow(LONG service);
    // Opens the task viewer, or brings the open one to the front; viewerNotice (when not 0) reaches
    // the viewer once it is open.
    void ShowTaskViewer(UINT viewerNotice = 0);
    // Between BeginSequence and EndSequence requests queue up and run one after the other instead
    // of each ending the one before; BeginSequence ends the open flow.
    void BeginSequence();
    void EndSequence();
    // Ends the open flow and the thread, waits for it, and frees the shared drawing objects.
    void CloseDlgThread();

    // ---- Dialog thread ----
    // Takes the next request and marks a flow as running (g_bDlgExist); false when none.
    BOOL TakeRequest(DlgRequest* request);
    BOOL HasRequests();

    HANDLE hStopEvent;           // auto-reset: set once, at teardown
    HANDLE hThread;              // ShowDlgThread
    std::atomic<BOOL> bRunning;  // 1 until teardown; the thread's loop ends at 0
    LONG nService;               // the running flow's service: 0 YouTube, 1 Facebook
    LONG nPage;                  // the flow's page: its start page, then the last result
    DlgPage* pPage;              // the page now running, null between pages
    HWND hOwner;                 // the main window
    PageHost host;               // what the pages use of the application

  private:
    void Request(DlgMode mode, LONG service, UINT viewerNotice);
    // Posts the cancellation to every open dialog it has not reached yet (posted[3]: the
    // sub-window, the page and the viewer it was last posted to).
    void PostCancels(HWND posted[3]);

    CRITICAL_SECTION requestLock_;     // guards requests_ and g_bDlgExist's setting
    std::deque<DlgRequest> requests_;  // requests not yet run, oldest first
    bool inSequence_;                  // main thread: requests queue up instead of replacing
};

// The thread: waits for a request or the stop event and runs one flow per request. 0.
DWORD ShowDlgThread(LPVOID param);
// The flows; each is true when it ended because another request cancelled it (5010).
BOOL UploadWithUI(DlgThread* thread);
BOOL UploadWithoutUI(DlgThread* thread);
BOOL RunTaskViewerDialog(UINT viewerNotice);
