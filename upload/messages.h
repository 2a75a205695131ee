// Message numbers the upload layer posts or receives (the main window's own requests).
#pragma once

#include "platform/types.h"

// The connection manager's status report to the main window; the status is in wParam.
constexpr UINT MSG_CONNECTION_STATUS = 2124;  // WM_USER + 1100

// Posted by the task manager and its engine callbacks to the main window (wParam 0, lParam 0);
// the main window answers each with the named task manager operation on its own thread.
constexpr UINT MSG_START_TASK = 1451;    // WM_USER + 427: StartTask
constexpr UINT MSG_PHOTO_DONE = 1454;    // WM_USER + 430: CommitPhotoDone
constexpr UINT MSG_PHOTO_FAILED = 1455;  // WM_USER + 431: ForgetPhotoFailed
constexpr UINT MSG_VIDEO_DONE = 1456;    // WM_USER + 432: CommitVideoDone
constexpr UINT MSG_VIDEO_FAILED = 1457;  // WM_USER + 433: ForgetVideoFailed
