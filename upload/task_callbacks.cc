// The engines' reports: progress and the end of every upload, on the engines' own threads.
#include "platform/trace.h"
#include "upload/agent_notice.h"
#include "upload/messages.h"
#include "upload/task_mgr.h"

void CUploadTaskMgr::OnUploadVideo(HRESULT hr, LONG percent) {
    OnUpload(SERVICE_YOUTUBE, hr, percent);
}

void CUploadTaskMgr::OnUploadPhoto(HRESULT hr, DWORD, LONG percent) {
    OnUpload(SERVICE_FACEBOOK, hr, percent);
}

void CUploadTaskMgr::OnUpload(ServiceType type, HRESULT hr, LONG percent) {
    const bool video = type == SERVICE_YOUTUBE;
    const char* const tag = video ? "OnUploadVideo" : "OnUploadPhoto";
    // A cancelled upload's task is already gone (CancelTask, a clear): only the queue moves on.
    if (hr == (video ? VIDEO_ENGINE_CANCELLED : PHOTO_ENGINE_CANCELLED)) {
        Trace("%s: Task cancelled, start next task", tag);
        PostToMain(MSG_START_TASK);
        return;
    }
    // The photo service looks the agent up once per report, the video service when it sends.
    // Lookups, notices and posts go without the lock: the other threads need it meanwhile.
    const HWND photoAgent = video ? nullptr : FindAgentWindow();
    TaskStatus status = TASK_UPLOADING;
    bool noticeDue = percent == 0;
    bool running = false;  // a task was uploading
    WString path;          // its file, when running
    SYSTEMTIME time{};     // its submit time, when running
    UINT ended = 0;        // the message that tells the main window of the end, or 0
    {
        Hold h(&lock_);
        LONG& lastPercent = PercentOf(type);
        if (percent != lastPercent) {
            Trace("%s hr: 0x%08x, nPercent: %d", tag, static_cast<unsigned>(hr),
                  static_cast<int>(percent));
        }
        lastPercent = percent;
        UploadTaskList* list = ListOf(type);
        LPCWSTR uploadingPath = list ? list->GetUploadingPath() : nullptr;
        const SYSTEMTIME* uploadingTime = list ? list->GetUploadingTime() : nullptr;
        running = uploadingPath != nullptr;
        if (running) {
            path = uploadingPath;
            time = *uploadingTime;
        }
        if (FAILED(hr) || percent >= 100) {
            noticeDue = true;
            const bool done = SUCCEEDED(hr) && percent == 100;
            status = done ? TASK_DONE : TASK_FAILED;
            (video ? lastVideoPath_ : lastPhotoPath_) = path;
            if (done && running) (video ? lastVideoTime_ : lastPhotoTime_) = time;
            // Without a running task there is nothing for the main window to record. The end
            // is queued before its message goes: the main window takes it from the queue.
            if (running) {
                ended = video ? (done ? MSG_VIDEO_DONE : MSG_VIDEO_FAILED)
                              : (done ? MSG_PHOTO_DONE : MSG_PHOTO_FAILED);
                (video ? endedVideos_ : endedPhotos_).push_back(EndedUpload{path, time, done});
            }
        }
        if (list) list->SetError(hr);
        NotifyProgress(running ? path.c_str() : nullptr, running ? &time : nullptr, percent);
    }
    if (ended && !PostToMain(ended)) {
        // This engine's uploads end one at a time: its last queued end is this one.
        Hold h(&lock_);
        std::deque<EndedUpload>& queue = video ? endedVideos_ : endedPhotos_;
        if (!queue.empty()) queue.pop_back();
    }
    if (!noticeDue) return;
    if (!running) {
        Trace("%s: Current item not found", tag);
        PostToMain(MSG_START_TASK);
        return;
    }
    // The agent hears of the end before the queue moves on (OnTaskFinished starts the next
    // upload, whose start it hears of next).
    const UploadStatusRecord record = MakeUploadStatusRecord(path.c_str(), status);
    if (video) {
        SendAgentNotice(FindAgentWindow(), record);
    } else if (photoAgent) {
        SendAgentNotice(photoAgent, record);
    }
    OnTaskFinished(path.c_str(), &time, status, type);
}

void CUploadTaskMgr::OnTaskFinished(LPCWSTR path, const SYSTEMTIME* time, TaskStatus status,
                                    ServiceType type) {
    if (status != TASK_FAILED && status != TASK_DONE) return;
    {
        Hold h(&lock_);
        for (UploadTaskList* list : lists_) {
            if (!list->IsService(type)) continue;
            list->SetStatus(status, path, time);
            NotifyStateChanged(path, time);
            if (status == TASK_DONE) list->ClearItem(path, time);
        }
        if (!AnyWaiting() && power_) power_->LeaveUnattendedMode();
    }
    PostToMain(MSG_START_TASK);
}
