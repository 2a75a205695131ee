// Upload task records: service and status values, the requests that create tasks, the
// items the task lists keep, and the snapshots handed to the task viewer.
#pragma once

#include <vector>

#include "platform/engine_abi.h"
#include "platform/types.h"
#include "platform/wstr.h"

// The service a task is for.
using ServiceType = LONG;
constexpr ServiceType SERVICE_YOUTUBE = 0;   // videos
constexpr ServiceType SERVICE_FACEBOOK = 1;  // photos

// The state of one task.
using TaskStatus = DWORD;
constexpr TaskStatus TASK_FAILED = 1;
constexpr TaskStatus TASK_UPLOADING = 2;
constexpr TaskStatus TASK_WAITING = 3;
constexpr TaskStatus TASK_DONE = 4;

// The state of a whole list: that of its first task not yet done.
using ListState = LONG;
constexpr ListState LIST_IDLE = 0;  // empty, or every task done
constexpr ListState LIST_WAITING = 1;
constexpr ListState LIST_UPLOADING = 2;
constexpr ListState LIST_FAILED = 3;

// One row of the status text table.
struct TaskStateRow {
    TaskStatus status;  // TASK_FAILED .. TASK_DONE
    WCHAR text[32];     // its display text, zero-terminated
};
static_assert(sizeof(TaskStateRow) == 68);

// The status texts, in the order failed, uploading, waiting, done.
extern const TaskStateRow TaskStateText[4];
// The text of a status from TaskStateText, or "Unknown state".
LPCWSTR TaskStateName(TaskStatus status);

// True when a and b fall on the same day of the month, hour, minute and second; year,
// month, day of week and milliseconds do not count.
bool SameSubmitTime(const SYSTEMTIME& a, const SYSTEMTIME& b);

// Texts of tasks restored from the pending queue and of client batches.
constexpr const WCHAR DEFAULT_VIDEO_TITLE[] = u"Video from my Velmar phone";
constexpr const WCHAR DEFAULT_VIDEO_DESCRIPTION[] = u"Video uploaded from my Velmar mobile phone";
constexpr const WCHAR DEFAULT_VIDEO_CATEGORY[] = u"People";
constexpr const WCHAR DEFAULT_VIDEO_TAGS[] = u"mobile, video, cellphone";
constexpr DWORD DEFAULT_VIDEO_VISIBILITY = 1;
constexpr const WCHAR DEFAULT_PHOTO_ALBUM[] = u"Photos from my Velmar phone";

// What Add of the video list copies into a new task; null texts copy as empty.
struct VideoTaskRequest {
    LPCWSTR path;           // full path of the file
    LPCWSTR title;          // video title
    LPCWSTR description;    // free text
    LPCWSTR category;       // category name
    LPCWSTR tags;           // comma-separated keywords
    DWORD visibility;       // 0 private, 1 public
    SYSTEMTIME submitTime;  // when the task was handed over
    TaskStatus status;      // initial status
    HRESULT error;          // initial error
};

// A video task as the video list keeps it.
struct VideoTaskItem {
    WString title;          // video title
    WString description;    // free text
    WString category;       // category name
    WString tags;           // comma-separated keywords
    WString path;           // full path of the file
    DWORD visibility;       // 0 private, 1 public
    SYSTEMTIME submitTime;  // with path, identifies the task
    TaskStatus status;      // current status
    HRESULT error;          // last result the engine reported; 0 while all is well
};

// What Add of the photo list copies into a new task; null texts copy as empty.
struct PhotoTaskRequest {
    LPCWSTR path;           // full path of the file
    LPCWSTR caption;        // photo caption
    LPCWSTR album;          // album identifier, the default album text, or empty
    SYSTEMTIME submitTime;  // when the task was handed over
    TaskStatus status;      // initial status
    HRESULT error;          // initial error
};

// A photo task as the photo list keeps it.
struct PhotoTaskItem {
    WString caption;        // photo caption
    WString album;          // album identifier or text
    WString path;           // full path of the file
    SYSTEMTIME submitTime;  // with path, identifies the task
    TaskStatus status;      // current status
    HRESULT error;          // last result the engine reported; 0 while all is well
};

// One task as the task viewer sees it.
struct TaskSnapshot {
    WString path;           // full path of the file
    SYSTEMTIME submitTime;  // with path, identifies the task
    TaskStatus status;      // status when the snapshot was taken
};
using TaskSnapshotList = std::vector<TaskSnapshot>;
