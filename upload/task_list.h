// The per-service task lists: the tasks of one service in the order they were added, and
// the operations through which the task manager queries them and drives the service's
// engine host. A task is found by its exact path and its submit time (SameSubmitTime);
// every lookup takes the first match in list order. The lists have no lock: the task
// manager serialises the calls.
#pragma once

#include <deque>
#include <vector>

#include "upload/engine_host.h"
#include "upload/task_model.h"

class UploadTaskList {
  public:
    UploadTaskList() = default;
    UploadTaskList(const UploadTaskList&) = delete;
    UploadTaskList& operator=(const UploadTaskList&) = delete;

    // Status of the task with path and, when time is given, that submit time; 0 when none.
    virtual TaskStatus GetStatus(LPCWSTR path, const SYSTEMTIME* time) const = 0;
    // The status of the first task not yet done, as a ListState; LIST_IDLE when none.
    virtual ListState GetListState() const = 0;
    virtual bool IsUploading() const = 0;  // some task is uploading
    virtual bool HasWaiting() const = 0;   // some task is waiting
    virtual bool IsAllDone() const = 0;    // every task is done, or there is none
    // The same test as HasWaiting; the operation table holds it twice.
    virtual bool HasWaitingTask() const = 0;
    // Starts the first waiting task at the engine; E_FAIL when none waits. A task the
    // engine refuses stays waiting and the refusal is returned.
    virtual HRESULT StartNext() = 0;
    // Removes the task, cancelling its upload at the engine when status says it runs.
    virtual HRESULT Remove(LPCWSTR path, const SYSTEMTIME* time, TaskStatus status) = 0;
    // Cancels a running upload, then drops every task; always S_OK.
    virtual HRESULT ClearAll() = 0;
    virtual bool IsService(ServiceType type) const = 0;  // the list's own service
    // Fills out (emptied first) with one snapshot per task in order; returns out.
    virtual TaskSnapshotList* GetAllItems(TaskSnapshotList* out) const = 0;
    virtual HRESULT RetryFailed() = 0;  // every failed task becomes waiting; S_OK
    // Sets the status of the first task matching time (when given) and path, or, with a
    // null path, of the first uploading task matching time; E_FAIL when none.
    virtual HRESULT SetStatus(TaskStatus status, LPCWSTR path, const SYSTEMTIME* time) = 0;
    // Drops one task without telling the engine; E_FAIL when none matches.
    virtual HRESULT ClearItem(LPCWSTR path, const SYSTEMTIME* time) = 0;
    // Path and time of the first uploading task, null when none; valid until the list changes.
    virtual LPCWSTR GetUploadingPath() const = 0;
    virtual const SYSTEMTIME* GetUploadingTime() const = 0;
    // Path of the first waiting task, or an empty text (never null); valid until the list changes.
    virtual LPCWSTR GetFirstWaitingPath() const = 0;
    // The error of the matching task; E_INVALIDARG for a null argument, E_FAIL when none.
    virtual HRESULT GetError(LPCWSTR path, const SYSTEMTIME* time) const = 0;
    // Stores error into the task being uploaded (current path and time); E_FAIL when gone.
    virtual HRESULT SetError(HRESULT error) = 0;
    // Frees the tasks; the engine is not told.
    virtual ~UploadTaskList() = default;
};

class VideoTaskList final : public UploadTaskList {
  public:
    VideoTaskList();

    TaskStatus GetStatus(LPCWSTR path, const SYSTEMTIME* time) const override;
    ListState GetListState() const override;
    bool IsUploading() const override;
    bool HasWaiting() const override;
    bool IsAllDone() const override;
    bool HasWaitingTask() const override;
    HRESULT StartNext() override;
    HRESULT Remove(LPCWSTR path, const SYSTEMTIME* time, TaskStatus status) override;
    HRESULT ClearAll() override;
    bool IsService(ServiceType type) const override;
    TaskSnapshotList* GetAllItems(TaskSnapshotList* out) const override;
    HRESULT RetryFailed() override;
    HRESULT SetStatus(TaskStatus status, LPCWSTR path, const SYSTEMTIME* time) override;
    HRESULT ClearItem(LPCWSTR path, const SYSTEMTIME* time) override;
    LPCWSTR GetUploadingPath() const override;
    const SYSTEMTIME* GetUploadingTime() const override;
    LPCWSTR GetFirstWaitingPath() const override;
    HRESULT GetError(LPCWSTR path, const SYSTEMTIME* time) const override;
    HRESULT SetError(HRESULT error) override;

    // Appends a task built from a copy of request; E_OUTOFMEMORY leaves the list as it was.
    HRESULT Add(const VideoTaskRequest& request);
    HRESULT SetEngine(VideoEngineHost* host);  // E_POINTER for null
    HRESULT SetAccountText(LPCWSTR text);      // E_POINTER for null
    HRESULT SetAuthToken(LPCWSTR text);        // E_POINTER for null

  private:
    // Copies of the current task's texts that params points into.
    struct ParamTexts {
        WString category;     // of the current task
        WString title;        // of the current task
        WString tags;         // of the current task
        WString description;  // of the current task
        WString path;         // of the current task
        WString authToken;    // the list's token when the upload started
    };

    void FillParams(const VideoTaskItem& item);

    std::deque<VideoTaskItem>
        items_;  // tasks in the order they were added (done ones leave from the front)
    VideoEngineHost* engine_;   // not owned; null until SetEngine
    SYSTEMTIME currentTime_;    // submit time of the task last started
    WString currentPath_;       // path of the task last started
    WString accountText_;       // handed to the engine before each upload
    WString authToken_;         // the account's upload token
    ParamTexts paramTexts_;     // what params_ points into
    VideoUploadParams params_;  // the current upload, as the engine got it
};

class PhotoTaskList final : public UploadTaskList {
  public:
    PhotoTaskList();

    TaskStatus GetStatus(LPCWSTR path, const SYSTEMTIME* time) const override;
    ListState GetListState() const override;
    bool IsUploading() const override;
    bool HasWaiting() const override;
    bool IsAllDone() const override;
    bool HasWaitingTask() const override;
    HRESULT StartNext() override;
    HRESULT Remove(LPCWSTR path, const SYSTEMTIME* time, TaskStatus status) override;
    HRESULT ClearAll() override;
    bool IsService(ServiceType type) const override;
    TaskSnapshotList* GetAllItems(TaskSnapshotList* out) const override;
    HRESULT RetryFailed() override;
    HRESULT SetStatus(TaskStatus status, LPCWSTR path, const SYSTEMTIME* time) override;
    HRESULT ClearItem(LPCWSTR path, const SYSTEMTIME* time) override;
    LPCWSTR GetUploadingPath() const override;
    const SYSTEMTIME* GetUploadingTime() const override;
    LPCWSTR GetFirstWaitingPath() const override;
    HRESULT GetError(LPCWSTR path, const SYSTEMTIME* time) const override;
    HRESULT SetError(HRESULT error) override;

    // Appends a task built from a copy of request; E_OUTOFMEMORY leaves the list as it was.
    HRESULT Add(const PhotoTaskRequest& request);
    HRESULT SetEngine(PhotoEngineHost* host);  // E_POINTER for null

  private:
    std::deque<PhotoTaskItem>
        items_;  // tasks in the order they were added (done ones leave from the front)
    PhotoEngineHost* engine_;  // not owned; null until SetEngine
    SYSTEMTIME currentTime_;   // submit time of the task last started
    WString currentPath_;      // path of the task last started
};
