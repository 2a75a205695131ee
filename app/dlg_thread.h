// The dialog thread: every dialog of the application runs on one thread of its own, so that
// the main window keeps serving clients while a dialog is open. The main thread only sets
// the request (nDlgMode, nService, the flow's list) and wakes the thread.
//
// NOT AVAILABLE YET: the thread, its pages and the task viewer arrive with the dialogs. This
// object stands where the thread will be; every operation below is a call point that only
// traces that no dialog can be shown. Nothing is pretended: no flow runs, no viewer opens.
#pragma once

#include "platform/types.h"
#include "platform/window.h"

// What the dialog thread shows when it is woken next.
enum DlgMode : LONG {
    DLG_MODE_UPLOAD_WITH_UI = 0,  // login pages when needed, then the list page
    DLG_MODE_LOGIN_ONLY = 1,      // login pages only
    DLG_MODE_TASK_VIEWER = 2,     // the task viewer
};

class DlgThread {
  public:
    // The thread object of the main window owner.
    explicit DlgThread(HWND owner);
    ~DlgThread();
    DlgThread(const DlgThread&) = delete;
    DlgThread& operator=(const DlgThread&) = delete;

    // Ends the open flow and waits until the thread has left it (main thread).
    void CancelOpenDialogs();
    // The login flow for nService, after cancelling the open flow (main thread).
    void StartLoginFlow();
    // Opens the task viewer, or brings it to the front when it is open (main thread).
    void ShowTaskViewer();
    // Wakes the thread for the flow that nDlgMode names (sets hShowDlgEvent).
    void SignalShowDlg();
    // Ends the thread at teardown.
    void CloseDlgThread();

    LONG nService;  // service of the next flow: 0 YouTube, 1 Facebook
    LONG nPage;     // page of the flow: its start page, then the last page's result
    HWND hOwner;    // the main window

  private:
    void NotAvailable(const char* operation);
};
