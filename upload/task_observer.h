// What the task viewer and the item dialogs hear from the task manager: the progress of a
// running upload and every change of a task's state. Observers are called with the task
// manager's lock held, on whatever thread made the change (an engine's thread, the main
// window's, the dialog thread); they must return quickly and may call the task manager back.
#pragma once

#include "platform/types.h"

class ITaskObserver {
  public:
    // Never called by the task manager; kept for the observers' own use.
    virtual void OnObserverNotice() {}
    // The upload of the task (path, submit time) reached percent. path and time are null
    // when the report finds no running task (it was cancelled or cleared meanwhile).
    virtual void OnTaskProgress(LPCWSTR path, const SYSTEMTIME* time, LONG percent) = 0;
    // The task (path, submit time) changed its state; ask the task manager for the new one.
    virtual void OnTaskStateChanged(LPCWSTR path, const SYSTEMTIME* time) = 0;

  protected:
    ~ITaskObserver() = default;
};
