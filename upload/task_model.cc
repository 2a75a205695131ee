#include "upload/task_model.h"

const TaskStateRow TaskStateText[4] = {
    {TASK_FAILED, u"failed"},
    {TASK_UPLOADING, u"uploading"},
    {TASK_WAITING, u"waiting"},
    {TASK_DONE, u"done"},
};

LPCWSTR TaskStateName(TaskStatus status) {
    for (const TaskStateRow& row : TaskStateText) {
        if (row.status == status) return row.text;
    }
    return u"Unknown state";
}

bool SameSubmitTime(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return a.wDay == b.wDay && a.wHour == b.wHour && a.wMinute == b.wMinute &&
           a.wSecond == b.wSecond;
}
