#include "upload/task_list.h"

#include <new>

#include "platform/trace.h"
#include "upload/task_list_ops.h"

using namespace task_list_ops;

VideoTaskList::VideoTaskList() : engine_(nullptr), currentTime_{}, params_{} {}

TaskStatus VideoTaskList::GetStatus(LPCWSTR path, const SYSTEMTIME* time) const {
    const VideoTaskItem* item = Find(items_, path, time);
    return item ? item->status : 0;
}

ListState VideoTaskList::GetListState() const {
    return StateOf(items_);
}

bool VideoTaskList::IsUploading() const {
    return FirstWith(items_, TASK_UPLOADING) != nullptr;
}

bool VideoTaskList::HasWaiting() const {
    return FirstWith(items_, TASK_WAITING) != nullptr;
}

bool VideoTaskList::IsAllDone() const {
    return AllDone(items_);
}

bool VideoTaskList::HasWaitingTask() const {
    return HasWaiting();
}

HRESULT VideoTaskList::StartNext() {
    VideoTaskItem* item = FirstWith(items_, TASK_WAITING);
    if (!item) return E_FAIL;
    if (!engine_) {
        Trace("[VideoTaskList] StartNext: no engine host");
        return E_POINTER;
    }
    HRESULT hr = engine_->SetAccount(accountText_.c_str());
    if (FAILED(hr)) return hr;
    // The task is marked before the engine starts, so that its first report finds it.
    item->status = TASK_UPLOADING;
    Trace("SetStatus %d", static_cast<int>(TASK_UPLOADING));
    currentTime_ = item->submitTime;
    currentPath_ = item->path;
    FillParams(*item);
    const SYSTEMTIME started = item->submitTime;
    hr = engine_->StartUpload(&params_);
    if (FAILED(hr)) {
        // Nothing runs for a task the engine refused; it waits for the next attempt.
        VideoTaskItem* again = Find(items_, currentPath_.c_str(), &started);
        if (again && again->status == TASK_UPLOADING) {
            again->status = TASK_WAITING;
            Trace("SetStatus %d", static_cast<int>(TASK_WAITING));
        }
        Trace("[VideoTaskList] StartNext: the engine refused %s: 0x%08x", currentPath_,
              static_cast<unsigned>(hr));
    }
    return hr;
}

HRESULT VideoTaskList::Remove(LPCWSTR path, const SYSTEMTIME* time, TaskStatus status) {
    if (!Find(items_, path, time)) return E_FAIL;
    // Only the upload that params describes is running at the engine.
    if (status == TASK_UPLOADING && params_.path && WStrCmp(path, params_.path) == 0) {
        if (engine_) {
            engine_->CancelUpload(&params_);
        } else {
            Trace("[VideoTaskList] Remove: no engine host to cancel %s", path);
        }
    }
    Erase(items_, path, time);
    return S_OK;
}

HRESULT VideoTaskList::ClearAll() {
    if (IsUploading()) {
        if (engine_) {
            engine_->CancelUpload(&params_);
        } else {
            Trace("[VideoTaskList] ClearAll: no engine host to cancel the upload");
        }
    }
    items_.clear();
    return S_OK;
}

bool VideoTaskList::IsService(ServiceType type) const {
    return type == SERVICE_YOUTUBE;
}

TaskSnapshotList* VideoTaskList::GetAllItems(TaskSnapshotList* out) const {
    if (!out) return nullptr;
    Snapshots(items_, out);
    for (const TaskSnapshot& s : *out)
        Trace("GetAllItems %d %s", static_cast<int>(s.status), s.path);
    Trace("GetAllItems %d", static_cast<int>(out->size()));
    return out;
}

HRESULT VideoTaskList::RetryFailed() {
    for (VideoTaskItem& item : items_) {
        if (item.status == TASK_FAILED) {
            item.status = TASK_WAITING;
            Trace("SetStatus %d", static_cast<int>(TASK_WAITING));
        }
    }
    return S_OK;
}

HRESULT VideoTaskList::SetStatus(TaskStatus status, LPCWSTR path, const SYSTEMTIME* time) {
    Trace("SetStatus +");
    VideoTaskItem* item = FindForStatus(items_, path, time);
    if (!item) {
        Trace("SetStatus -");
        return E_FAIL;
    }
    item->status = status;
    Trace("SetStatus %d", static_cast<int>(status));
    return S_OK;
}

HRESULT VideoTaskList::ClearItem(LPCWSTR path, const SYSTEMTIME* time) {
    const VideoTaskItem* item = Find(items_, path, time);
    if (!item) return E_FAIL;
    Trace("[Vantlo] Clear item from memory: %s", item->path);
    Erase(items_, path, time);
    return S_OK;
}

LPCWSTR VideoTaskList::GetUploadingPath() const {
    const VideoTaskItem* item = FirstWith(items_, TASK_UPLOADING);
    return item ? item->path.c_str() : nullptr;
}

const SYSTEMTIME* VideoTaskList::GetUploadingTime() const {
    const VideoTaskItem* item = FirstWith(items_, TASK_UPLOADING);
    return item ? &item->submitTime : nullptr;
}

LPCWSTR VideoTaskList::GetFirstWaitingPath() const {
    const VideoTaskItem* item = FirstWith(items_, TASK_WAITING);
    return item ? item->path.c_str() : u"";
}

HRESULT VideoTaskList::GetError(LPCWSTR path, const SYSTEMTIME* time) const {
    if (!path || !time) return E_INVALIDARG;
    const VideoTaskItem* item = Find(items_, path, time);
    return item ? item->error : E_FAIL;
}

HRESULT VideoTaskList::SetError(HRESULT error) {
    VideoTaskItem* item = Find(items_, currentPath_.c_str(), &currentTime_);
    if (!item) return E_FAIL;
    item->error = error;
    return S_OK;
}

HRESULT VideoTaskList::Add(const VideoTaskRequest& request) {
    Trace("Add() + %s", TextOf(request.path));
    try {
        items_.push_back(VideoTaskItem{TextOf(request.title), TextOf(request.description),
                                       TextOf(request.category), TextOf(request.tags),
                                       TextOf(request.path), request.visibility, request.submitTime,
                                       request.status, request.error});
    } catch (const std::bad_alloc&) {
        Trace("Add() - %s", items_.empty() ? WString() : items_.back().path);
        return E_OUTOFMEMORY;
    }
    Trace("Add() - %s", items_.back().path);
    return S_OK;
}

HRESULT VideoTaskList::SetEngine(VideoEngineHost* host) {
    if (!host) return E_POINTER;
    engine_ = host;
    return S_OK;
}

HRESULT VideoTaskList::SetAccountText(LPCWSTR text) {
    if (!text) return E_POINTER;
    accountText_ = text;
    return S_OK;
}

HRESULT VideoTaskList::SetAuthToken(LPCWSTR text) {
    if (!text) return E_POINTER;
    authToken_ = text;
    return S_OK;
}

void VideoTaskList::FillParams(const VideoTaskItem& item) {
    paramTexts_ =
        ParamTexts{item.category, item.title, item.tags, item.description, item.path, authToken_};
    params_.category = paramTexts_.category.c_str();
    params_.title = paramTexts_.title.c_str();
    params_.tags = paramTexts_.tags.c_str();
    params_.description = paramTexts_.description.c_str();
    params_.path = paramTexts_.path.c_str();
    params_.authToken = paramTexts_.authToken.c_str();
    params_.privateFlag = item.visibility == 0 ? 1 : 0;
}
