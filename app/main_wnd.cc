// The main window procedure: every client request, every internal request and the shutdown.
#include <vector>

#include "app/account_adapter.h"
#include "app/app_globals.h"
#include "app/main_wnd.h"
#include "app/messages.h"
#include "app/payload.h"
#include "platform/trace.h"
#include "upload/task_mgr.h"

namespace {

constexpr WPARAM kConnectionWaiting = 0x40;  // CONNMGR_STATUS_WAITINGCONNECTION

HWND ReplyWindow(WPARAM wParam) {
    return reinterpret_cast<HWND>(wParam);
}

unsigned long long HandleValue(HWND hwnd) {
    return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hwnd));
}

// Posts MSG_QUEUE_KICK to the main window: StartTask runs once the current request is done.
void KickQueue(HWND hWnd) {
    if (!PostMessageW(hWnd, MSG_QUEUE_KICK, 0, 0)) {
        Trace("[Vantlo] MSG_QUEUE_KICK could not be posted (error %u)",
              static_cast<unsigned>(GetLastError()));
    }
}

// A notice for the task viewer; with no viewer open it has no receiver and is dropped.
void PostToTaskViewer(UINT msg) {
    if (g_App.hTaskViewerWnd) PostMessageW(g_App.hTaskViewerWnd, msg, 0, 0);
}

// Queues one video with its texts and token (the YouTube account text).
void QueueVideo(const WString& path, LPCWSTR title, LPCWSTR description, LPCWSTR category,
                LPCWSTR tags, DWORD visibility, const WString& token) {
    if (path.empty()) {
        Trace("[Vantlo] a video without a path is not queued");
        return;
    }
    VideoTaskRequest request{};
    request.path = path.c_str();
    request.title = title;
    request.description = description;
    request.category = category;
    request.tags = tags;
    request.visibility = visibility;
    const HRESULT hr = g_App.pTaskMgr->AddVideoTask(request, token.c_str(), TRUE);
    if (FAILED(hr)) Trace("[Vantlo] %s not queued: 0x%08x", path, static_cast<unsigned>(hr));
}

// Queues one photo with its caption and album.
void QueuePhoto(const WString& path, LPCWSTR caption, LPCWSTR album) {
    if (path.empty()) {
        Trace("[Vantlo] a photo without a path is not queued");
        return;
    }
    PhotoTaskRequest request{};
    request.path = path.c_str();
    request.caption = caption;
    request.album = album;
    const HRESULT hr = g_App.pTaskMgr->AddPhotoTask(request, TRUE);
    if (FAILED(hr)) Trace("[Vantlo] %s not queued: 0x%08x", path, static_cast<unsigned>(hr));
}

// CD_VIDEO_ITEMS: count videos in path slots, queued at once with the default texts.
void OnVideoItems(HWND hWnd, WPARAM count, const COPYDATASTRUCT* cds) {
    std::vector<WString> paths;
    if (!DecodePathSlots(ViewOf(cds), count, &paths)) return;
    g_App.pTaskMgr->EnsureVideoList();
    const int n = static_cast<int>(paths.size());
    Trace("[Vantlo] %d Video items received", n);
    // The account is asked before the batch: the batch holds the task manager until it ends.
    const WString token = g_App.pAccount->GetYTAccount();
    {
        CUploadTaskMgr::TaskBatch batch(*g_App.pTaskMgr);  // one store write for the batch
        for (const WString& path : paths) {
            Trace("[Vantlo] %d: %s", n, path);
            QueueVideo(path, DEFAULT_VIDEO_TITLE, DEFAULT_VIDEO_DESCRIPTION, DEFAULT_VIDEO_CATEGORY,
                       DEFAULT_VIDEO_TAGS, DEFAULT_VIDEO_VISIBILITY, token);
        }
    }
    PostToTaskViewer(MSG_TASKVIEWER_ITEMS_ADDED);
    KickQueue(hWnd);
}

// CD_PHOTO_ITEMS: the same for photos, with an empty caption and the default album.
void OnPhotoItems(HWND hWnd, WPARAM count, const COPYDATASTRUCT* cds) {
    std::vector<WString> paths;
    if (!DecodePathSlots(ViewOf(cds), count, &paths)) return;
    g_App.pTaskMgr->EnsurePhotoList();
    const int n = static_cast<int>(paths.size());
    Trace("[Vantlo] %d Photo items received", n);
    {
        CUploadTaskMgr::TaskBatch batch(*g_App.pTaskMgr);  // one store write for the batch
        for (const WString& path : paths) {
            Trace("[Vantlo] %d: %s", n, path);
            QueuePhoto(path, u"", DEFAULT_PHOTO_ALBUM);
        }
    }
    PostToTaskViewer(MSG_TASKVIEWER_ITEMS_ADDED);
    KickQueue(hWnd);
}

// Sends an answer to a client's reply window; a window that is gone or does not take it in
// time loses the answer (traced), and no retry follows.
void SendReply(HWND reply, UINT msg, WPARAM wParam, LPARAM lParam, UINT timeoutMs) {
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(reply, msg, wParam, lParam, SMTO_NORMAL, timeoutMs, &result)) {
        Trace("[Vantlo] reply %u to window 0x%llx not delivered (error %u)", msg,
              HandleValue(reply), static_cast<unsigned>(GetLastError()));
    }
}

// CD_GET_UPLOAD_STATUS: the status of one file, answered with WM_UPL_UPLOAD_STATUS.
void OnGetUploadStatus(WPARAM wParam, const COPYDATASTRUCT* cds) {
    HWND reply = ReplyWindow(wParam);
    if (!reply) return;
    const WString path = DecodeSinglePath(ViewOf(cds));
    const TaskStatus status = g_App.pTaskMgr->GetUploadStatusDb(path.c_str(), nullptr);
    SendReply(reply, WM_UPL_UPLOAD_STATUS, 0, static_cast<LPARAM>(status),
              UPLOAD_STATUS_REPLY_TIMEOUT_MS);
    Trace("GetUploadStatus: %d", static_cast<int>(status));
}

// CD_GET_UPLOAD_STATUS_MULTI: the records come back with their status filled in, as
// CD_UPLOAD_STATUS_MULTI.
void OnGetUploadStatusMulti(WPARAM wParam, const COPYDATASTRUCT* cds) {
    HWND reply = ReplyWindow(wParam);
    if (!reply) return;
    std::vector<UploadStatusRecord> records;
    if (!DecodeStatusRecords(ViewOf(cds), &records)) return;
    const int n = static_cast<int>(records.size());
    Trace("[Vantlo] GetUploadStatusMulti+, %d items", n);
    for (int i = 0; i < n; i++) {
        UploadStatusRecord& record = records[static_cast<size_t>(i)];
        record.status = g_App.pTaskMgr->GetUploadStatusDb(record.path, nullptr);
        Trace("[Vantlo] GetUploadStatusMulti %d: %s, %d", i, record.path,
              static_cast<int>(record.status));
    }
    COPYDATASTRUCT answer{};
    answer.dwData = CD_UPLOAD_STATUS_MULTI;
    answer.cbData = static_cast<DWORD>(records.size() * STATUS_RECORD_BYTES);
    answer.lpData = records.empty() ? nullptr : records.data();
    SendReply(reply, WM_COPYDATA, static_cast<WPARAM>(n), reinterpret_cast<LPARAM>(&answer),
              STATUS_REPLY_TIMEOUT_MS);
    Trace("[Vantlo] GetUploadStatusMulti-");
}

// WM_UPL_GET_TASK_STATUS: the overall state of the queue, answered with WM_UPL_TASK_STATUS.
void OnGetTaskStatus(WPARAM wParam) {
    HWND reply = ReplyWindow(wParam);
    if (!reply) return;
    const ListState state = g_App.pTaskMgr->GetTaskStatus();
    SendReply(reply, WM_UPL_TASK_STATUS, 0, static_cast<LPARAM>(state), STATUS_REPLY_TIMEOUT_MS);
    Trace("[Vantlo] GetTaskStatus: %d", static_cast<int>(state));
}

void OnAddVideo(const COPYDATASTRUCT* cds) {
    if (g_App.VideoList.size() >= MAX_FLOW_LIST_ITEMS) {
        Trace("[Vantlo] CD_ADD_VIDEO refused: the video list holds %u files already",
              static_cast<unsigned>(g_App.VideoList.size()));
        return;
    }
    VideoListItem item{};
    item.path = DecodeSinglePath(ViewOf(cds));
    Trace("[Vantlo] CD_ADD_VIDEO %s", item.path);
    g_App.VideoList.push_back(std::move(item));
}

void OnAddPhoto(const COPYDATASTRUCT* cds) {
    if (g_App.PhotoList.size() >= MAX_FLOW_LIST_ITEMS) {
        Trace("[Vantlo] CD_ADD_PHOTO refused: the photo list holds %u files already",
              static_cast<unsigned>(g_App.PhotoList.size()));
        return;
    }
    PhotoListItem item{};
    item.path = DecodeSinglePath(ViewOf(cds));
    Trace("[Vantlo] CD_ADD_PHOTO %s", item.path);
    g_App.PhotoList.push_back(std::move(item));
}

LRESULT OnCopyData(HWND hWnd, WPARAM wParam, const COPYDATASTRUCT* cds) {
    if (!cds) {
        Trace("[Vantlo] WM_COPYDATA without its record ignored");
        return 0;
    }
    switch (cds->dwData) {
        case CD_PREPARE_YOUTUBE:
            ShowWindow(hWnd, SW_MINIMIZE);
            g_App.pTaskMgr->EnsureVideoList();
            break;
        case CD_START_VIDEO:
        case CD_START_PHOTO:
            KickQueue(hWnd);
            break;
        case CD_VIDEO_ITEMS:
            OnVideoItems(hWnd, wParam, cds);
            break;
        case CD_CLEAR_VIDEO_LIST:
            g_App.VideoList.clear();
            break;
        case CD_SHOW_VIDEO_LIST:
            PostMessageW(hWnd, MSG_SHOW_VIDEO_FLOW, 0, 0);
            break;
        case CD_ADD_VIDEO:
            OnAddVideo(cds);
            break;
        case CD_PREPARE_FACEBOOK:
            g_App.pTaskMgr->EnsurePhotoList();
            break;
        case CD_PHOTO_ITEMS:
            OnPhotoItems(hWnd, wParam, cds);
            break;
        case CD_CLEAR_PHOTO_LIST:
            g_App.PhotoList.clear();
            break;
        case CD_SHOW_PHOTO_LIST:
            PostMessageW(hWnd, MSG_SHOW_PHOTO_FLOW, 0, 0);
            break;
        case CD_ADD_PHOTO:
            OnAddPhoto(cds);
            break;
        case CD_GET_UPLOAD_STATUS:
            OnGetUploadStatus(wParam, cds);
            break;
        case CD_GET_UPLOAD_STATUS_MULTI:
            OnGetUploadStatusMulti(wParam, cds);
            break;
        default:
            Trace("[Vantlo] WM_COPYDATA of unknown kind %llu (%u bytes) ignored",
                  static_cast<unsigned long long>(cds->dwData), static_cast<unsigned>(cds->cbData));
            break;
    }
    return 0;
}

// MSG_SHOW_VIDEO_FLOW / MSG_SHOW_PHOTO_FLOW: the upload flow with user interface.
void ShowUploadFlow(ServiceType service) {
    if (service == SERVICE_YOUTUBE) {
        Trace("[Vantlo] MSG_SHOW_VIDEO_FLOW: %u videos for the video flow",
              static_cast<unsigned>(g_App.VideoList.size()));
        g_App.pVideoFlowList = &g_App.VideoList;
    } else {
        Trace("[Vantlo] MSG_SHOW_PHOTO_FLOW: %u photos for the photo flow",
              static_cast<unsigned>(g_App.PhotoList.size()));
        g_App.pPhotoFlowList = &g_App.PhotoList;
    }
    g_App.pDlgThread->StartUploadFlow(service);
}

// MSG_UPLOAD_VIDEO_LIST: the video flow ended with the upload command.
void UploadVideoList(HWND hWnd) {
    ShowWindow(hWnd, SW_MINIMIZE);
    g_App.pTaskMgr->EnsureVideoList();
    const WString token = g_App.pAccount->GetYTAccount();
    {
        CUploadTaskMgr::TaskBatch batch(*g_App.pTaskMgr);
        for (const VideoListItem& item : g_App.VideoList) {
            QueueVideo(item.path, item.title.c_str(), item.description.c_str(),
                       item.category.c_str(), item.tags.c_str(), static_cast<DWORD>(item.privacy),
                       token);
        }
    }
    KickQueue(hWnd);
}

// MSG_UPLOAD_PHOTO_LIST: the photo flow ended with the upload command.
void UploadPhotoList(HWND hWnd) {
    ShowWindow(hWnd, SW_MINIMIZE);
    g_App.pTaskMgr->EnsurePhotoList();
    {
        CUploadTaskMgr::TaskBatch batch(*g_App.pTaskMgr);
        for (const PhotoListItem& item : g_App.PhotoList) {
            QueuePhoto(item.path, item.caption.c_str(), item.album.c_str());
        }
    }
    KickQueue(hWnd);
}

// MSG_LOGINALL_BEFORE_REUPLOAD: a login flow per signed-out service, then the task viewer,
// which is told to re-queue once it is open again.
void LoginAllBeforeReupload() {
    Trace("mainwnd receive MSG_LOGINALL_BEFORE_REUPLOAD +");
    DlgThread* dlg = g_App.pDlgThread;
    dlg->BeginSequence();  // the flows run one after the other instead of ending each other
    if (!g_App.pAccount->YTIsLogin()) {
        Trace("need login youtube");
        dlg->StartLoginFlow(SERVICE_YOUTUBE);
    }
    if (!g_App.pAccount->FBIsLogin()) {
        Trace("need login facebook");
        dlg->StartLoginFlow(SERVICE_FACEBOOK);
    }
    dlg->ShowTaskViewer(MSG_RETURN_FROM_LOGINALL);
    dlg->EndSequence();
    Trace("mainwnd receive MSG_LOGINALL_BEFORE_REUPLOAD -");
}

// MSG_LOGINALL_REUPLOAD: the task viewer's re-upload needs a login for service first.
void LoginForReupload(WPARAM service) {
    if (service != static_cast<WPARAM>(SERVICE_YOUTUBE) &&
        service != static_cast<WPARAM>(SERVICE_FACEBOOK)) {
        Trace("[Vantlo] MSG_LOGINALL_REUPLOAD for unknown service %llu ignored",
              static_cast<unsigned long long>(service));
        return;
    }
    DlgThread* dlg = g_App.pDlgThread;
    dlg->BeginSequence();
    dlg->StartLoginFlow(static_cast<LONG>(service));
    dlg->ShowTaskViewer(MSG_RETURN_FROM_LOGIN);
    dlg->EndSequence();
}

// MSG_LOGIN_YOUTUBE / MSG_LOGIN_FACEBOOK: the login flow without the upload list.
void StartLogin(ServiceType service) {
    Trace("[Vantlo] login flow for service %d requested", static_cast<int>(service));
    g_App.pDlgThread->StartLoginFlow(service);
}

void ShowStatus() {
    Trace("on MSG_SHOWSTATUS +");
    // No CTaskView exists on this build (the viewer is not available yet): pTaskViewer
    // stays null and the dialog thread's call point only traces.
    g_App.pDlgThread->ShowTaskViewer();
    Trace("on MSG_SHOWSTATUS -");
}

// Posts the cancellation to every open dialog without waiting for the flow to end.
void CancelDialogsNoWait() {
    if (!g_App.g_bDlgExist) return;
    if (g_App.hSubDlg) PostMessageW(g_App.hSubDlg, WM_DESTROY, 0, 0);
    if (g_App.hCurDlg) PostMessageW(g_App.hCurDlg, MSG_CANCEL_TASK, 0, 0);
    if (g_App.hTaskViewerWnd) PostMessageW(g_App.hTaskViewerWnd, MSG_CANCEL_TASK, 0, 0);
}

void OnTaskViewerClosed() {
    // Only the dialogs create a CTaskView; none exists before they arrive.
    g_App.pTaskViewer = nullptr;
    CancelDialogsNoWait();
    LogClientRef();
}

void ClearServiceTasks(ServiceType type) {
    g_App.pTaskMgr->ClearServiceTasks(type);
    PostToTaskViewer(MSG_TASKVIEWER_TASKS_CLEARED);
}

// WM_DESTROY: account service, task manager, dialog thread, then the message loop ends.
void OnDestroy() {
    Trace("[Vantlo] WM_DESTROY: shutting down");
    if (g_App.pAccount) g_App.pAccount->Shutdown();
    if (g_App.pTaskMgr) g_App.pTaskMgr->Shutdown();
    if (g_App.pDlgThread) {
        g_App.pDlgThread->CloseDlgThread();
        delete g_App.pDlgThread;
        g_App.pDlgThread = nullptr;
    }
    PostQuitMessage(0);
}

}  // namespace

LRESULT WndProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    CUploadTaskMgr* mgr = g_App.pTaskMgr;
    switch (message) {
        case WM_DESTROY:
            OnDestroy();
            return 0;
        case WM_ACTIVATE:
        case WM_SETTINGCHANGE:
            // The shell's activation and setting-change handlers (with g_App.shellActivate)
            // have no counterpart on this build: the window is never shown full screen.
            return 0;
        case WM_PAINT:
            ValidateRect(hWnd, nullptr);  // nothing to draw
            return 0;
        case WM_COPYDATA:
            return OnCopyData(hWnd, wParam, reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        case WM_COMMAND:
            if (LOWORD(wParam) == IDCANCEL) {
                Trace("On IDCANCEL: WndProc");
                g_App.g_bDlgExist = FALSE;
            }
            return 0;

        // Requests from client applications and outside processes.
        case WM_UPL_YT_LOGIN:
            if (FAILED(g_App.pAccount->YTLogin(1))) {
                Trace("[Vantlo] the account service refused the YouTube login request");
            }
            return 0;
        case WM_UPL_GET_TASK_STATUS:
            OnGetTaskStatus(wParam);
            return 0;
        case MSG_LOGIN_YOUTUBE:
            StartLogin(SERVICE_YOUTUBE);
            return 0;
        case MSG_LOGIN_FACEBOOK:
            StartLogin(SERVICE_FACEBOOK);
            return 0;
        case WM_CLEAR_ALL_TASKS:
            Trace("WM_CLEAR_ALL_TASKS");
            return 0;
        case WM_CLEAR_FACEBOOK_TASKS:
            ClearServiceTasks(SERVICE_FACEBOOK);
            return 0;
        case WM_CLEAR_YOUTUBE_TASKS:
            ClearServiceTasks(SERVICE_YOUTUBE);
            return 0;
        case MSG_SHOWSTATUS:
            ShowStatus();
            return 0;
        case MSG_LOGINALL_BEFORE_REUPLOAD:
            LoginAllBeforeReupload();
            return 0;
        case WM_UPL_REGISTER:
            Trace("WM_UPL_REGISTER");
            AddClientRef();
            return 0;
        case WM_UPL_DEREGISTER:
            Trace("WM_UPL_DEREGISTER");
            ReleaseClientRef();
            LogClientRef();
            return 0;

        // The application's own requests.
        case MSG_START_TASK:
            mgr->StartTask();
            LogClientRef();
            return 0;
        case MSG_QUEUE_KICK:
            mgr->StartTask();
            return 0;
        case MSG_PHOTO_DONE:
            mgr->CommitPhotoDone();
            return 0;
        case MSG_PHOTO_FAILED:
            mgr->ForgetPhotoFailed();
            return 0;
        case MSG_VIDEO_DONE:
            mgr->CommitVideoDone();
            return 0;
        case MSG_VIDEO_FAILED:
            mgr->ForgetVideoFailed();
            return 0;
        case MSG_SHOW_VIDEO_FLOW:
            ShowUploadFlow(SERVICE_YOUTUBE);
            return 0;
        case MSG_SHOW_PHOTO_FLOW:
            ShowUploadFlow(SERVICE_FACEBOOK);
            return 0;
        case MSG_UPLOAD_VIDEO_LIST:
            UploadVideoList(hWnd);
            return 0;
        case MSG_UPLOAD_PHOTO_LIST:
            UploadPhotoList(hWnd);
            return 0;
        case MSG_LOGINALL_REUPLOAD:
            LoginForReupload(wParam);
            return 0;
        case MSG_CONNECTION_STATUS:
            Trace("OnStartUploading (0x%08x)", static_cast<unsigned>(wParam));
            if (wParam != kConnectionWaiting) mgr->StartUploading();
            return 0;
        case MSG_TASKVIEWER_CLOSED:
            OnTaskViewerClosed();
            return 0;
        case MSG_HIDE_MAINWND:
            ShowWindow(hWnd, SW_HIDE);
            return 0;
        default:
            return DefWindowProcW(hWnd, message, wParam, lParam);
    }
}
