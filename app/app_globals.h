// The process-wide block of shared state: the main window, the dialog thread's request
// fields and windows, the client reference count, the lists handed over for the dialog flows
// and the pointers to the process-wide objects. The main thread and the dialog thread write
// it, each its own fields, handing over by the dialog thread's events (app/dlg_thread.h).
#pragma once

#include <vector>

#include "app/dlg_thread.h"  // DlgMode; PageContext (ui/page_host.h)
#include "platform/types.h"
#include "platform/window.h"
#include "platform/wstr.h"

class AccountAdapter;
class CAlbumList;
class CUploadTaskMgr;
class CTaskView;  // the task viewer object; arrives with the dialogs

// The named mutex every instance creates; the single-instance decision is the window search.
constexpr WCHAR INSTANCE_MUTEX_NAME[] = u"{900A9DF7-04ED-49a1-90AA-83F1B7B8B04C}";
// VideoList and PhotoList keep at most this many files; more are refused (traced).
constexpr size_t MAX_FLOW_LIST_ITEMS = 10000;

// One video handed over for the video list dialog.
struct VideoListItem {
    WString path;         // the file
    WString title;        // written by the list dialog
    WString tags;         // written by the list dialog
    WString category;     // written by the list dialog
    WString description;  // written by the list dialog
    LONG appendFileName;  // the list dialog's append-file-name choice
    LONG privacy;         // the task's visibility: 0 private, 1 public
};

// One photo handed over for the photo list dialog.
struct PhotoListItem {
    WString path;     // the file
    WString caption;  // written by the list dialog
    WString album;    // album identifier chosen in the list dialog, or empty
};

// The main window's activation state as the shell keeps it for WM_ACTIVATE and
// WM_SETTINGCHANGE; zero-initialised.
struct ShellActivateInfo {
    DWORD cbSize;        // size of the record as the shell knows it
    HWND hwndLastFocus;  // the child that had the focus
    DWORD flags;         // the shell's input panel bits
};

// The named mutex of the instance: created unowned by a static initialiser.
class SingleInstanceMutex {
  public:
    SingleInstanceMutex();
    ~SingleInstanceMutex();  // closes the handle
    SingleInstanceMutex(const SingleInstanceMutex&) = delete;
    SingleInstanceMutex& operator=(const SingleInstanceMutex&) = delete;

    HANDLE hMutex;      // the mutex, INVALID_HANDLE_VALUE until created, null on failure
    DWORD dwLastError;  // GetLastError right after the creation (ERROR_ALREADY_EXISTS...)
};

// An object without data that start-up requires to exist for the whole run.
class CAppSettings {};

struct AppGlobals {
    HWND hMainWnd;                               // the main window
    HINSTANCE hInstance;                         // the module instance
    HANDLE hShowDlgEvent;                        // auto-reset: wakes the dialog thread for a flow
    HANDLE hDlgLeftEvent;                        // manual-reset: a cancelled flow has ended
    HWND hCurDlg;                                // the page dialog on screen (gets MSG_CANCEL_TASK)
    HWND hSubDlg;                                // a window opened from a page (gets WM_DESTROY)
    HWND hTaskViewerWnd;                         // the task viewer while it is open, else null
    BOOL g_bDlgExist;                            // a dialog flow runs on the dialog thread
    DlgMode nDlgMode;                            // what the dialog thread shows next
    DlgThread* pDlgThread;                       // the dialog thread object
    LONG nClientRefs;                            // registered client applications
    CTaskView* pTaskViewer;                      // the task viewer object while it exists
    BOOL g_bShowStatus;                          // the command line asked for the task viewer
    LONG nScaleX;                                // screen width / 240
    LONG nScaleY;                                // screen height / 320
    std::vector<PhotoListItem>* pPhotoFlowList;  // the list the photo flow works on
    std::vector<VideoListItem>* pVideoFlowList;  // the list the video flow works on
    PageContext pageContext;                     // the page being shown
    CAlbumList* pAlbumList;                      // the Facebook album list
    AccountAdapter* pAccount;                    // the account service adapter
    ShellActivateInfo shellActivate;             // the main window's shell activation record
    SingleInstanceMutex* pInstanceMutex;         // the named mutex
    CUploadTaskMgr* pTaskMgr;                    // the upload task manager
    CAppSettings* pSettings;                     // present for the whole run
    std::vector<VideoListItem> VideoList;        // videos handed over one by one (CD_ADD_VIDEO)
    std::vector<PhotoListItem> PhotoList;        // photos handed over one by one (CD_ADD_PHOTO)
    WString scratchText[2];                      // the dialogs' scratch texts
};

// The process-wide block. Its objects are created before main in this order: album list,
// account adapter, instance mutex, task manager, settings; and destroyed in reverse at exit.
extern AppGlobals g_App;

// The client reference count: counted and traced only; nothing acts on it.
void AddClientRef();      // WM_UPL_REGISTER
void ReleaseClientRef();  // WM_UPL_DEREGISTER; never below 0
void LogClientRef();      // traces the count
// When the command line asked for the task viewer and none exists, posts MSG_SHOWSTATUS to
// hwnd (the main window of this or of the running instance) and brings it to the front.
void PostShowStatus(HWND hwnd);
