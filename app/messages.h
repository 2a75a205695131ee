// Message numbers of the application's own windows (the main window, the dialogs), of the
// client protocol the main window serves, and of the notices it sends out. The WM_COPYDATA
// kinds and their payloads are in app/payload.h.
#pragma once

#include "platform/types.h"
#include "platform/window.h"
#include "ui/dialog_messages.h"  // MSG_LOGIN_RESULT, MSG_CANCEL_TASK, AGENT_LOGIN_RESULT
#include "upload/messages.h"

// ---- Requests from client applications and outside processes ------------------------------

constexpr UINT WM_UPL_YT_LOGIN = WM_USER + 429;                // 1453: YouTube login, flag 1
constexpr UINT WM_UPL_GET_TASK_STATUS = WM_USER + 1043;        // 2067: wParam = reply window
constexpr UINT MSG_LOGIN_YOUTUBE = WM_USER + 1061;             // 2085: login flow for YouTube
constexpr UINT MSG_LOGIN_FACEBOOK = WM_USER + 1062;            // 2086: login flow for Facebook
constexpr UINT WM_CLEAR_ALL_TASKS = WM_USER + 1071;            // 2095: traced only
constexpr UINT WM_CLEAR_FACEBOOK_TASKS = WM_USER + 1072;       // 2096: drops the photo tasks
constexpr UINT WM_CLEAR_YOUTUBE_TASKS = WM_USER + 1073;        // 2097: drops the video tasks
constexpr UINT MSG_SHOWSTATUS = WM_USER + 1081;                // 2105: opens the task viewer
constexpr UINT MSG_LOGINALL_BEFORE_REUPLOAD = WM_USER + 1087;  // 2111: logins, then the viewer
constexpr UINT WM_UPL_REGISTER = WM_USER + 1091;               // 2115: a client starts using us
constexpr UINT WM_UPL_DEREGISTER = WM_USER + 1092;             // 2116: a client stops

// ---- The main window's own requests (its threads, dialogs, the connection manager) ---------

constexpr UINT MSG_QUEUE_KICK = WM_USER + 428;          // 1452: tasks were added: StartTask
constexpr UINT MSG_SHOW_VIDEO_FLOW = WM_USER + 1014;    // 2038: upload flow with UI, videos
constexpr UINT MSG_SHOW_PHOTO_FLOW = WM_USER + 1034;    // 2058: the same for photos
constexpr UINT MSG_UPLOAD_VIDEO_LIST = WM_USER + 1082;  // 2106: queue VideoList as edited
constexpr UINT MSG_UPLOAD_PHOTO_LIST = WM_USER + 1083;  // 2107: queue PhotoList as edited
constexpr UINT MSG_LOGINALL_REUPLOAD = WM_USER + 1086;  // 2110: wParam = service to log in
constexpr UINT MSG_TASKVIEWER_CLOSED = WM_USER + 8132;  // 9156: the viewer dialog ended
constexpr UINT MSG_HIDE_MAINWND = WM_USER + 8133;       // 9157: a page dialog initialised

// ---- Sent or posted to other windows --------------------------------------------------------

constexpr UINT WM_UPL_UPLOAD_STATUS = WM_USER + 1042;         // 2066: lParam = one file's status
constexpr UINT WM_UPL_TASK_STATUS = WM_USER + 1044;           // 2068: lParam = overall task status
constexpr UINT MSG_RETURN_FROM_LOGIN = WM_USER + 1085;        // 2109: viewer retries its task
constexpr UINT MSG_RETURN_FROM_LOGINALL = WM_USER + 1088;     // 2112: viewer re-queues failures
constexpr UINT MSG_TASKVIEWER_ITEMS_ADDED = WM_APP + 1000;    // 33768: viewer reloads its list
constexpr UINT MSG_TASKVIEWER_TASKS_CLEARED = WM_APP + 1001;  // 33769: list and selection

// How long the main window waits for a client's reply window to take an answer.
constexpr UINT UPLOAD_STATUS_REPLY_TIMEOUT_MS = 2000;  // WM_UPL_UPLOAD_STATUS
constexpr UINT STATUS_REPLY_TIMEOUT_MS = 5000;         // WM_UPL_TASK_STATUS, kind 2070
