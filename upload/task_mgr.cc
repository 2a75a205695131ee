#include "upload/task_mgr.h"

#include <algorithm>
#include <functional>
#include <new>

#include "platform/time.h"
#include "platform/trace.h"
#include "upload/agent_notice.h"
#include "upload/messages.h"

namespace {

ServiceType ServiceOf(const UploadTaskList* list) {
    return list->IsService(SERVICE_YOUTUBE) ? SERVICE_YOUTUBE : SERVICE_FACEBOOK;
}

// A new task's submit time: the local time, its milliseconds taken from the tick count so
// that two submissions within one second still differ.
SYSTEMTIME NewSubmitTime() {
    SYSTEMTIME st{};
    GetLocalTime(&st);
    st.wMilliseconds = static_cast<WORD>((GetTickCount() & 0xFFFF) % 1000);
    return st;
}

PendingRecord MakePendingRecord(LPCWSTR path, const SYSTEMTIME& time, DWORD type) {
    PendingRecord record{};
    if (path) WStrCopyN(record.szFilePath, path, MAX_PATH);
    record.stSubmit = time;
    record.dwType = type;
    return record;
}

}  // namespace

// ---- The album list's view of the photo engine -----------------------------------------

void CUploadTaskMgr::AlbumEngineLink::SetHost(PhotoEngineHost* host) {
    std::lock_guard<std::mutex> g(lock_);
    host_ = host;
}

HRESULT CUploadTaskMgr::AlbumEngineLink::SetSession(LPCWSTR first, LPCWSTR third) {
    std::lock_guard<std::mutex> g(lock_);
    if (!host_) return E_POINTER;
    return host_->SetSession(first, third);
}

HRESULT CUploadTaskMgr::AlbumEngineLink::FetchAlbumList(LPCWSTR session, LPCWSTR path) {
    std::lock_guard<std::mutex> g(lock_);
    if (!host_) return E_POINTER;
    return host_->FetchAlbumList(session, path);
}

// ---- Construction and wiring ------------------------------------------------------------

CUploadTaskMgr::CUploadTaskMgr()
    : videoHost_(nullptr),
      photoHost_(nullptr),
      lock_{},
      videoList_(nullptr),
      photoList_(nullptr),
      power_(nullptr),
      net_(nullptr),
      photoPercent_(0),
      videoPercent_(0),
      storeLock_{},
      storeDepth_(0),
      batchDepth_(0),
      batchStore_(nullptr),
      lastVideoTime_{},
      lastPhotoTime_{},
      settledLock_{},
      firstSettledAt_(0),
      writeNow_(false),
      writerStop_(false),
      writer_(nullptr),
      writeDue_(nullptr),
      hMainWnd_(nullptr),
      account_(nullptr),
      albumList_(nullptr) {
    InitializeCriticalSection(&lock_);
    InitializeCriticalSection(&storeLock_);
    InitializeCriticalSection(&settledLock_);
}

CUploadTaskMgr::~CUploadTaskMgr() {
    StopWriter();
    {
        StoreHold store(*this);  // without a Shutdown, what was settled is still written
    }
    // Without a Shutdown the process-wide hosts outlive this object: they must not report here.
    if (videoHost_) videoHost_->SetCallback(nullptr);
    if (photoHost_) {
        photoHost_->SetCallback(nullptr);
        photoHost_->SetAlbumListTarget(nullptr);
    }
    if (albumList_) albumList_->SetEngine(nullptr);
    albumEngine_.SetHost(nullptr);
    delete videoList_;
    delete photoList_;
    delete power_;
    DeleteCriticalSection(&settledLock_);
    DeleteCriticalSection(&storeLock_);
    DeleteCriticalSection(&lock_);
}

DWORD CUploadTaskMgr::PendingTypeOf(ServiceType type) {
    return type == SERVICE_YOUTUBE ? PENDING_TYPE_VIDEO : PENDING_TYPE_PHOTO;
}

void CUploadTaskMgr::SetMainWindow(HWND hWnd) {
    Hold h(&lock_);
    hMainWnd_ = hWnd;
}

void CUploadTaskMgr::SetAccountInfo(IAccountInfo* account) {
    Hold h(&lock_);
    account_ = account;
}

void CUploadTaskMgr::SetAlbumList(CAlbumList* albums) {
    Hold h(&lock_);
    if (albumList_ && albumList_ != albums) albumList_->SetEngine(nullptr);
    albumList_ = albums;
    if (photoHost_) photoHost_->SetAlbumListTarget(albums);
    // Until the photo host exists the link answers E_POINTER.
    if (albums) albums->SetEngine(&albumEngine_);
}

WString CUploadTaskMgr::AccountText(WString (IAccountInfo::*get)()) {
    IAccountInfo* account;
    {
        Hold h(&lock_);
        account = account_;
    }
    return account ? (account->*get)() : WString();
}

// ---- Lists --------------------------------------------------------------------------------

HRESULT CUploadTaskMgr::EnsureVideoList() {
    // The account service is asked before the lock is taken: it may take its time.
    const WString accountText = AccountText(&IAccountInfo::GetYTAuthToken);
    Hold h(&lock_);
    if (!videoList_) {
        videoList_ = new (std::nothrow) VideoTaskList;
        if (!videoList_) {
            Trace("[UploadTaskMgr] Out of memory for the video list");
            return E_OUTOFMEMORY;
        }
        if (videoHost_) videoList_->SetEngine(videoHost_);
        lists_.push_back(videoList_);
    }
    videoList_->SetAccountText(accountText.c_str());
    return S_OK;
}

HRESULT CUploadTaskMgr::ObtainPhotoHost() {
    Hold h(&lock_);
    if (photoHost_) return S_OK;
    HRESULT hr = CreatePhotoEngineHost(&photoHost_);
    if (FAILED(hr) || !photoHost_) {
        Trace("[UploadTaskMgr] No photo engine host: 0x%08x", static_cast<unsigned>(hr));
        photoHost_ = nullptr;
        return FAILED(hr) ? hr : E_POINTER;
    }
    if (FAILED(photoHost_->SetCallback(this))) {
        Trace("[UploadTaskMgr] The photo engine is not loaded: photo uploads cannot start");
    }
    albumEngine_.SetHost(photoHost_);
    if (albumList_) photoHost_->SetAlbumListTarget(albumList_);
    return S_OK;
}

HRESULT CUploadTaskMgr::EnsurePhotoList() {
    const WString session0 = AccountText(&IAccountInfo::GetFBSession0);
    const WString session2 = AccountText(&IAccountInfo::GetFBSession2);
    Hold h(&lock_);
    if (!photoList_) {
        ObtainPhotoHost();
        photoList_ = new (std::nothrow) PhotoTaskList;
        if (!photoList_) {
            Trace("[UploadTaskMgr] Out of memory for the photo list");
            return E_OUTOFMEMORY;
        }
        if (photoHost_) photoList_->SetEngine(photoHost_);
        lists_.push_back(photoList_);
    }
    if (photoHost_) {
        HRESULT hr = photoHost_->SetSession(session0.c_str(), session2.c_str());
        if (FAILED(hr)) {
            Trace("[UploadTaskMgr] The photo engine refused the session: 0x%08x",
                  static_cast<unsigned>(hr));
        }
    }
    return S_OK;
}

UploadTaskList* CUploadTaskMgr::ListOf(ServiceType type) const {
    for (UploadTaskList* list : lists_) {
        if (list->IsService(type)) return list;
    }
    return nullptr;
}

LONG& CUploadTaskMgr::PercentOf(ServiceType type) {
    return type != SERVICE_YOUTUBE ? photoPercent_ : videoPercent_;
}

bool CUploadTaskMgr::AnyWaiting() const {
    for (const UploadTaskList* list : lists_) {
        LPCWSTR first = list->GetFirstWaitingPath();
        if (first && *first) return true;
    }
    return false;
}

bool CUploadTaskMgr::ExactTime(UploadTaskList* list, LPCWSTR path, const SYSTEMTIME* time,
                               SYSTEMTIME* exact) {
    if (!path) return false;
    TaskSnapshotList items;
    list->GetAllItems(&items);
    for (const TaskSnapshot& item : items) {
        if (item.path == path && (!time || SameSubmitTime(item.submitTime, *time))) {
            *exact = item.submitTime;
            return true;
        }
    }
    return false;
}

// ---- Adding and starting ----------------------------------------------------------------

HRESULT CUploadTaskMgr::AddVideoTask(const VideoTaskRequest& fields, LPCWSTR authToken,
                                     BOOL isNew) {
    if (!fields.path) return E_POINTER;
    Hold h(&lock_);
    if (!videoList_) {
        HRESULT hr = EnsureVideoList();
        if (FAILED(hr)) return hr;
    }
    VideoTaskRequest request = fields;
    if (isNew) {
        request.submitTime = NewSubmitTime();
        request.status = TASK_WAITING;
        request.error = S_OK;
        // A task the full queue refuses is still made; only a restart would lose it.
        StoreHold store(*this);
        AddPendingOf(request.path, request.submitTime, PENDING_TYPE_VIDEO);
    } else {
        request.status = TASK_FAILED;
        request.error = ERR_RESTORED;
    }
    if (authToken) videoList_->SetAuthToken(authToken);
    return videoList_->Add(request);
}

HRESULT CUploadTaskMgr::AddPhotoTask(const PhotoTaskRequest& fields, BOOL isNew) {
    if (!fields.path) return E_POINTER;
    Hold h(&lock_);
    if (!photoList_) {
        HRESULT hr = EnsurePhotoList();
        if (FAILED(hr)) return hr;
    }
    PhotoTaskRequest request = fields;
    if (isNew) {
        request.submitTime = NewSubmitTime();
        request.status = TASK_WAITING;
        request.error = S_OK;
        StoreHold store(*this);
        AddPendingOf(request.path, request.submitTime, PENDING_TYPE_PHOTO);
    } else {
        request.status = TASK_FAILED;
        request.error = ERR_RESTORED;
    }
    return photoList_->Add(request);
}

CUploadTaskMgr::TaskBatch::TaskBatch(CUploadTaskMgr& mgr) : mgr_(mgr) {
    // In the order every other caller takes them.
    EnterCriticalSection(&mgr_.lock_);
    EnterCriticalSection(&mgr_.storeLock_);
    if (mgr_.storeDepth_++ == 0) mgr_.WriteSettled();  // they ended before this batch began
    if (mgr_.batchDepth_++ == 0) {
        mgr_.batchEntries_.clear();
        mgr_.batchStore_ = mgr_.BeginStoreTransaction();
    }
}

CUploadTaskMgr::TaskBatch::~TaskBatch() {
    if (--mgr_.batchDepth_ == 0 && mgr_.batchStore_) {
        CUploadDb* store = mgr_.batchStore_;
        mgr_.batchStore_ = nullptr;
        if (!store->EndTransaction(TRUE)) {
            Trace(
                "[UploadTaskMgr] %u pending entries were not stored together; storing them one "
                "by one",
                static_cast<unsigned>(mgr_.batchEntries_.size()));
            for (const PendingRecord& record : mgr_.batchEntries_) {
                mgr_.pending_.AddPending(&record);
            }
        }
        mgr_.batchEntries_.clear();
    }
    --mgr_.storeDepth_;
    LeaveCriticalSection(&mgr_.storeLock_);
    LeaveCriticalSection(&mgr_.lock_);
}

void CUploadTaskMgr::AddPendingOf(LPCWSTR path, const SYSTEMTIME& time, DWORD type) {
    PendingRecord record = MakePendingRecord(path, time, type);
    pending_.AddPending(&record);
    // Also an entry refused now: should the transaction fail, all are tried again.
    if (batchStore_) batchEntries_.push_back(record);
}

CUploadDb* CUploadTaskMgr::BeginStoreTransaction() {
    // Both stores live in one volume: a transaction of either groups the writes of both.
    if (history_.BeginTransaction()) return &history_;
    if (pending_.BeginTransaction()) return &pending_;
    return nullptr;
}

void CUploadTaskMgr::WriteTogether(const std::function<void()>& writes) {
    CUploadDb* store = batchDepth_ == 0 ? BeginStoreTransaction() : nullptr;
    writes();
    if (store && !store->EndTransaction(TRUE)) {
        Trace(
            "[UploadTaskMgr] The store writes did not go through together; writing them one "
            "by one");
        writes();
    }
}

void CUploadTaskMgr::StartTask() {
    const DWORD started = GetTickCount();
    HRESULT hr = S_OK;  // no connection request made in this call
    bool waiting = false;
    {
        Hold h(&lock_);
        for (const UploadTaskList* list : lists_) waiting = waiting || list->HasWaitingTask();
    }
    if (net_ && waiting) {
        if (!net_->IsConnected()) hr = net_->CreateConnectionAsyn(hMainWnd_);
        if (!net_->IsPending()) StartUploading();
    }
    Trace("StartTask elpased %d ms, 0x%08x", static_cast<int>(GetTickCount() - started),
          static_cast<unsigned>(hr));
}

HRESULT CUploadTaskMgr::StartUploading() {
    Trace("[Vantlo] StartUploading +");
    Hold h(&lock_);
    for (UploadTaskList* list : lists_) {
        if (list->IsAllDone() || list->IsUploading()) continue;
        Trace("[UploadTaskMgr] Service is not uploading");
        // A list holding only failed tasks has nothing to start and nothing to tell.
        if (!list->HasWaiting()) continue;
        NotifyAgent(list->GetFirstWaitingPath(), TASK_UPLOADING);
        HRESULT hr = list->StartNext();
        if (FAILED(hr)) {
            Trace("[UploadTaskMgr] StartNext failed: 0x%08x", static_cast<unsigned>(hr));
            continue;
        }
        if (power_) power_->EnterUnattendedMode();
        PercentOf(ServiceOf(list)) = 0;
        NotifyStateChanged(list->GetUploadingPath(), list->GetUploadingTime());
    }
    Trace("[Vantlo] StartUploading -");
    return S_OK;
}

BOOL CUploadTaskMgr::PrepareUploadHistory(LPCWSTR path, UploadHistoryKey* key) {
    if (!key) return FALSE;
    BOOL found = FormUploadHistoryKey(path, key);
    Trace("[UploadTaskMgr] PrepareUploadHistory %s", key->szFileName);
    Trace("[UploadTaskMgr] PrepareUploadHistory -");
    return found;
}

void CUploadTaskMgr::DeleteHistoryOf(LPCWSTR path) {
    UploadHistoryKey key;
    // A file that is gone has no key; its record (if any) cannot be told from others.
    if (!PrepareUploadHistory(path, &key)) return;
    StoreHold store(*this);
    history_.DeleteHistory(&key);
}

void CUploadTaskMgr::DeletePendingOf(LPCWSTR path, const SYSTEMTIME& time, DWORD type) {
    PendingRecord record = MakePendingRecord(path, time, type);
    StoreHold store(*this);
    pending_.DeletePending(&record);
}

// ---- Task viewer ---------------------------------------------------------------------------

HRESULT CUploadTaskMgr::CancelTask(LPCWSTR path, const SYSTEMTIME* time) {
    Trace("CancelTask +%s", path);
    Hold h(&lock_);
    UploadTaskList* owner = nullptr;
    SYSTEMTIME exact{};
    bool haveExact = false;
    for (UploadTaskList* list : lists_) {
        haveExact = ExactTime(list, path, time, &exact);
        if (list->Remove(path, time, list->GetStatus(path, time)) == S_OK) {
            owner = list;
            break;
        }
    }
    if (!owner) {
        Trace("CancelTask -");
        return E_FAIL;
    }
    const ServiceType type = ServiceOf(owner);
    PercentOf(type) = 0;
    if (!AnyWaiting() && power_) power_->LeaveUnattendedMode();
    {
        StoreHold store(*this);
        WriteTogether([&] {
            DeleteHistoryOf(path);
            if (haveExact) DeletePendingOf(path, exact, PendingTypeOf(type));
        });
    }
    Trace("CancelTask -");
    return S_OK;
}

int CUploadTaskMgr::RetryItem(LPCWSTR path, const SYSTEMTIME* time) {
    Hold h(&lock_);
    for (UploadTaskList* list : lists_) {
        const TaskStatus status = list->GetStatus(path, time);
        if (status == 0) continue;
        // A running upload is not started a second time.
        if (status == TASK_UPLOADING) {
            Trace("[UploadTaskMgr] RetryItem: %s is uploading", path);
            return 0;
        }
        if (list->SetStatus(TASK_WAITING, path, time) != S_OK) continue;
        PercentOf(ServiceOf(list)) = 0;
        PostToMain(MSG_START_TASK);
        return 0;
    }
    return 1;
}

void CUploadTaskMgr::RetryService(ServiceType type) {
    Hold h(&lock_);
    for (UploadTaskList* list : lists_) {
        if (!list->IsService(type)) continue;
        if (list->GetListState() != LIST_UPLOADING) PercentOf(type) = 0;
        list->RetryFailed();
    }
}

HRESULT CUploadTaskMgr::ClearAllTasks() {
    Hold h(&lock_);
    std::vector<WString> paths;
    for (UploadTaskList* list : lists_) {
        TaskSnapshotList items;
        list->GetAllItems(&items);
        for (const TaskSnapshot& item : items) paths.push_back(item.path);
        list->ClearAll();
    }
    {
        StoreHold store(*this);
        WriteTogether([&] {
            for (const WString& path : paths) DeleteHistoryOf(path.c_str());
            pending_.DeleteAllPending();
        });
    }
    if (power_) power_->LeaveUnattendedMode();
    return S_OK;
}

HRESULT CUploadTaskMgr::ClearServiceTasks(ServiceType type) {
    Hold h(&lock_);
    std::vector<WString> paths;
    for (UploadTaskList* list : lists_) {
        if (!list->IsService(type)) continue;
        TaskSnapshotList items;
        list->GetAllItems(&items);
        for (const TaskSnapshot& item : items) paths.push_back(item.path);
        list->ClearAll();
        PercentOf(type) = 0;
    }
    StoreHold store(*this);
    WriteTogether([&] {
        for (const WString& path : paths) DeleteHistoryOf(path.c_str());
        pending_.DeleteAllPendingByType(PendingTypeOf(type));
    });
    return S_OK;
}

TaskSnapshotList* CUploadTaskMgr::GetAllServiceTasks(TaskSnapshotList* out, ServiceType type) {
    Trace("GetAllServiceTasks() +");
    if (!out) return nullptr;
    Hold h(&lock_);
    if (UploadTaskList* list = ListOf(type)) return list->GetAllItems(out);
    out->clear();
    Trace("GetAllServiceTasks() -");
    return out;
}

TaskStatus CUploadTaskMgr::GetStatus(LPCWSTR path, const SYSTEMTIME* time) {
    Hold h(&lock_);
    for (const UploadTaskList* list : lists_) {
        if (TaskStatus status = list->GetStatus(path, time)) return status;
    }
    return 0;
}

TaskStatus CUploadTaskMgr::GetUploadStatusDb(LPCWSTR path, const SYSTEMTIME* time) {
    Hold h(&lock_);
    if (TaskStatus status = GetStatus(path, time)) return status;
    Trace("[Vantlo] GetUploadStatusDb: File not found in memory, search DB");
    UploadHistoryKey key;
    if (!PrepareUploadHistory(path, &key)) return 0;
    StoreHold store(*this);
    return history_.IsInHistory(&key) ? TASK_DONE : 0;
}

ListState CUploadTaskMgr::GetTaskStatus() {
    Hold h(&lock_);
    for (const UploadTaskList* list : lists_) {
        const ListState state = list->GetListState();
        if (state == LIST_WAITING || state == LIST_UPLOADING || state == LIST_FAILED) return state;
    }
    return LIST_IDLE;
}

HRESULT CUploadTaskMgr::GetError(LPCWSTR path, const SYSTEMTIME* time) {
    Hold h(&lock_);
    if (lists_.empty()) return S_OK;
    for (const UploadTaskList* list : lists_) {
        HRESULT hr = list->GetError(path, time);
        if (hr != E_FAIL) return hr;
    }
    Trace("CUploadTaskMgr::GetError() Cannot find matched item.");
    return E_FAIL;
}

LONG CUploadTaskMgr::GetPercent(ServiceType type) {
    Hold h(&lock_);
    return PercentOf(type);
}

HRESULT CUploadTaskMgr::RegisterObserver(ITaskObserver* observer) {
    if (!observer) return E_POINTER;
    Hold h(&lock_);
    observers_.push_back(observer);
    return S_OK;
}

HRESULT CUploadTaskMgr::UnregisterObserver(ITaskObserver* observer) {
    if (!observer) return E_POINTER;
    Hold h(&lock_);
    auto it = std::find(observers_.begin(), observers_.end(), observer);
    if (it != observers_.end()) observers_.erase(it);
    return S_OK;
}

std::vector<WString> CUploadTaskMgr::GetCategories() {
    Hold h(&lock_);
    return categories_;
}

// ---- Notifications -------------------------------------------------------------------------

void CUploadTaskMgr::NotifyProgress(LPCWSTR path, const SYSTEMTIME* time, LONG percent) {
    // A copy: an observer may unregister itself from inside the call.
    const std::vector<ITaskObserver*> observers = observers_;
    for (ITaskObserver* observer : observers) observer->OnTaskProgress(path, time, percent);
}

void CUploadTaskMgr::NotifyStateChanged(LPCWSTR path, const SYSTEMTIME* time) {
    const std::vector<ITaskObserver*> observers = observers_;
    for (ITaskObserver* observer : observers) observer->OnTaskStateChanged(path, time);
}

bool CUploadTaskMgr::PostToMain(UINT msg) {
    HWND main = hMainWnd_;
    if (!main) {
        Trace("[UploadTaskMgr] No main window for message %u", msg);
        return false;
    }
    if (!PostMessageW(main, msg, 0, 0)) {
        Trace("[UploadTaskMgr] Message %u to the main window lost (error %u)", msg,
              static_cast<unsigned>(GetLastError()));
        return false;
    }
    return true;
}
