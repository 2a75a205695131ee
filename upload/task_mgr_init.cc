// The task manager's start-up: engine host, power guard, connection, the two stores, the
// video list, the registry's clear requests, and the pending queue turned back into tasks.
#include <new>
#include <vector>

#include "platform/trace.h"
#include "store/settings.h"
#include "upload/task_mgr.h"

HRESULT CUploadTaskMgr::Init() {
    VideoEngineHost* videoHost = nullptr;
    const HRESULT result = CreateVideoEngineHost(&videoHost);
    {
        Hold h(&lock_);
        videoHost_ = videoHost;
        if (videoHost_) videoHost_->SetCallback(this);
        if (!power_) power_ = new (std::nothrow) CPowerMgr;
        if (!power_) Trace("[UploadTaskMgr] Out of memory for the power guard");
        net_ = NetworkMgr::GetInstance();
        if (!net_) Trace("[UploadTaskMgr] Out of memory for the connection");
        Hold store(&storeLock_);
        if (!history_.InitHistory()) Trace("Fail to initialize upload history db");
        if (!pending_.InitPending()) Trace("Fail to initialize upload pending db");
        // The album list can ask for albums before the first photo task only with the host.
        if (albumList_) ObtainPhotoHost();
    }
    EnsureVideoList();

    DWORD clearYoutube = 0;
    DWORD clearFacebook = 0;
    ConsumeClearRequests(&clearYoutube, &clearFacebook);
    if (clearYoutube == CLEAR_REQUESTED) ClearPendingOfType(PENDING_TYPE_VIDEO);
    if (clearFacebook == CLEAR_REQUESTED) ClearPendingOfType(PENDING_TYPE_PHOTO);

    RestorePending();
    StartWriter();
    return result;
}

void CUploadTaskMgr::ClearPendingOfType(DWORD type) {
    Hold h(&lock_);
    Hold store(&storeLock_);
    const DWORD count = pending_.GetPendingCount();
    if (pending_.GetPendingCountByType(type) == 0) return;
    std::vector<PendingRecord> records;
    try {
        records.resize(count);
    } catch (const std::bad_alloc&) {
        Trace("[UploadTaskMgr] Out of memory reading %u pending entries",
              static_cast<unsigned>(count));
        return;
    }
    const bool read = pending_.ReadPending(records.data(), count);
    WriteTogether([&] {
        for (const PendingRecord& record : records) {
            if (read && record.dwType == type && record.szFilePath[0]) {
                DeleteHistoryOf(record.szFilePath);
            }
        }
        pending_.DeleteAllPendingByType(type);
    });
}

void CUploadTaskMgr::RestorePending() {
    DWORD count;
    {
        Hold store(&storeLock_);
        count = pending_.GetPendingCount();
    }
    if (count < 1) return;
    std::vector<PendingRecord> records;
    try {
        records.resize(count);  // zeroed: entries the read does not reach have no path
    } catch (const std::bad_alloc&) {
        Trace("[UploadTaskMgr] Out of memory restoring %u pending entries",
              static_cast<unsigned>(count));
        return;
    }
    {
        Hold store(&storeLock_);
        if (!pending_.ReadPending(records.data(), count)) return;
    }
    const WString token = AccountText(&IAccountInfo::GetYTAccount);
    Hold h(&lock_);
    for (const PendingRecord& record : records) {
        if (!record.szFilePath[0]) continue;
        if (record.dwType == PENDING_TYPE_VIDEO) {
            VideoTaskRequest request{};
            request.path = record.szFilePath;
            request.title = DEFAULT_VIDEO_TITLE;
            request.description = DEFAULT_VIDEO_DESCRIPTION;
            request.category = DEFAULT_VIDEO_CATEGORY;
            request.tags = DEFAULT_VIDEO_TAGS;
            request.visibility = DEFAULT_VIDEO_VISIBILITY;
            request.submitTime = record.stSubmit;
            AddVideoTask(request, token.c_str(), FALSE);
        } else if (record.dwType == PENDING_TYPE_PHOTO) {
            PhotoTaskRequest request{};
            request.path = record.szFilePath;
            request.caption = u"";
            request.album = DEFAULT_PHOTO_ALBUM;
            request.submitTime = record.stSubmit;
            AddPhotoTask(request, FALSE);
        } else {
            Trace("[UploadTaskMgr] Pending entry of unknown type %u skipped: %s",
                  static_cast<unsigned>(record.dwType), record.szFilePath);
        }
    }
}

HRESULT CUploadTaskMgr::Shutdown() {
    {
        Hold h(&lock_);
        for (UploadTaskList* list : lists_) delete list;
        lists_.clear();
        videoList_ = nullptr;
        photoList_ = nullptr;
        endedVideos_.clear();
        endedPhotos_.clear();
    }
    // Outside the lock: releasing a host waits for a report still running in the task manager.
    if (videoHost_) {
        videoHost_->SetCallback(nullptr);
        ReleaseVideoEngineHost(&videoHost_);
    }
    if (photoHost_) {
        photoHost_->SetCallback(nullptr);
        photoHost_->SetAlbumListTarget(nullptr);
        albumEngine_.SetHost(nullptr);
        ReleasePhotoEngineHost(&photoHost_);
    }
    StopWriter();
    Hold h(&lock_);
    delete power_;
    power_ = nullptr;
    if (net_) {
        NetworkMgr::DestroyInstance();
        net_ = nullptr;
    }
    StoreHold store(*this);  // the settled uploads are written before the stores close
    history_.Close();
    pending_.Close();
    return S_OK;
}
