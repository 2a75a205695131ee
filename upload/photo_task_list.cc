#include "upload/task_list.h"

#include <new>

#include "platform/trace.h"
#include "upload/task_list_ops.h"

using namespace task_list_ops;

PhotoTaskList::PhotoTaskList() : engine_(nullptr), currentTime_{} {}

TaskStatus PhotoTaskList::GetStatus(LPCWSTR path, const SYSTEMTIME* time) const {
    const PhotoTaskItem* item = Find(items_, path, time);
    return item ? item->status : 0;
}

ListState PhotoTaskList::GetListState() const {
    return StateOf(items_);
}

bool PhotoTaskList::IsUploading() const {
    return FirstWith(items_, TASK_UPLOADING) != nullptr;
}

bool PhotoTaskList::HasWaiting() const {
    return FirstWith(items_, TASK_WAITING) != nullptr;
}

bool PhotoTaskList::IsAllDone() const {
    return AllDone(items_);
}

bool PhotoTaskList::HasWaitingTask() const {
    return HasWaiting();
}

HRESULT PhotoTaskList::StartNext() {
    PhotoTaskItem* item = FirstWith(items_, TASK_WAITING);
    if (!item) return E_FAIL;
    if (!engine_) {
        Trace("[PhotoTaskList] StartNext: no engine host");
        return E_POINTER;
    }
    // The task is marked before the engine starts, so that its first report finds it.
    item->status = TASK_UPLOADING;
    currentTime_ = item->submitTime;
    currentPath_ = item->path;
    const WString path = item->path;
    HRESULT hr = engine_->StartUpload(path.c_str(), u"", u"");
    if (FAILED(hr)) {
        // Nothing runs for a task the engine refused; it waits for the next attempt.
        PhotoTaskItem* again = Find(items_, path.c_str(), &currentTime_);
        if (again && again->status == TASK_UPLOADING) again->status = TASK_WAITING;
        Trace("[PhotoTaskList] StartNext: the engine refused %s: 0x%08x", path,
              static_cast<unsigned>(hr));
    }
    return hr;
}

HRESULT PhotoTaskList::Remove(LPCWSTR path, const SYSTEMTIME* time, TaskStatus status) {
    const PhotoTaskItem* item = Find(items_, path, time);
    if (!item) return E_FAIL;
    if (status == TASK_UPLOADING) {
        if (engine_) {
            const WString itemPath = item->path;
            engine_->CancelUpload(itemPath.c_str(), u"", u"");
        } else {
            Trace("[PhotoTaskList] Remove: no engine host to cancel %s", path);
        }
    }
    Erase(items_, path, time);
    return S_OK;
}

HRESULT PhotoTaskList::ClearAll() {
    if (IsUploading()) {
        if (engine_) {
            engine_->CancelUpload(nullptr, u"", u"");
        } else {
            Trace("[PhotoTaskList] ClearAll: no engine host to cancel the upload");
        }
    }
    items_.clear();
    return S_OK;
}

bool PhotoTaskList::IsService(ServiceType type) const {
    return type == SERVICE_FACEBOOK;
}

TaskSnapshotList* PhotoTaskList::GetAllItems(TaskSnapshotList* out) const {
    if (!out) return nullptr;
    Snapshots(items_, out);
    return out;
}

HRESULT PhotoTaskList::RetryFailed() {
    for (PhotoTaskItem& item : items_) {
        if (item.status == TASK_FAILED) item.status = TASK_WAITING;
    }
    return S_OK;
}

HRESULT PhotoTaskList::SetStatus(TaskStatus status, LPCWSTR path, const SYSTEMTIME* time) {
    PhotoTaskItem* item = FindForStatus(items_, path, time);
    if (!item) return E_FAIL;
    item->status = status;
    return S_OK;
}

HRESULT PhotoTaskList::ClearItem(LPCWSTR path, const SYSTEMTIME* time) {
    const PhotoTaskItem* item = Find(items_, path, time);
    if (!item) return E_FAIL;
    Trace("[Vantlo] Clear item from memory: %s", item->path);
    Erase(items_, path, time);
    return S_OK;
}

LPCWSTR PhotoTaskList::GetUploadingPath() const {
    const PhotoTaskItem* item = FirstWith(items_, TASK_UPLOADING);
    return item ? item->path.c_str() : nullptr;
}

const SYSTEMTIME* PhotoTaskList::GetUploadingTime() const {
    const PhotoTaskItem* item = FirstWith(items_, TASK_UPLOADING);
    return item ? &item->submitTime : nullptr;
}

LPCWSTR PhotoTaskList::GetFirstWaitingPath() const {
    const PhotoTaskItem* item = FirstWith(items_, TASK_WAITING);
    return item ? item->path.c_str() : u"";
}

HRESULT PhotoTaskList::GetError(LPCWSTR path, const SYSTEMTIME* time) const {
    if (!path || !time) return E_INVALIDARG;
    const PhotoTaskItem* item = Find(items_, path, time);
    return item ? item->error : E_FAIL;
}

HRESULT PhotoTaskList::SetError(HRESULT error) {
    PhotoTaskItem* item = Find(items_, currentPath_.c_str(), &currentTime_);
    if (!item) return E_FAIL;
    item->error = error;
    return S_OK;
}

HRESULT PhotoTaskList::Add(const PhotoTaskRequest& request) {
    Trace("Add() +");
    try {
        items_.push_back(PhotoTaskItem{TextOf(request.caption), TextOf(request.album),
                                       TextOf(request.path), request.submitTime, request.status,
                                       request.error});
    } catch (const std::bad_alloc&) {
        Trace("Add() -");
        return E_OUTOFMEMORY;
    }
    Trace("Add() -");
    return S_OK;
}

HRESULT PhotoTaskList::SetEngine(PhotoEngineHost* host) {
    if (!host) return E_POINTER;
    engine_ = host;
    return S_OK;
}
