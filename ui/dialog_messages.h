// Messages between the application, its page dialogs and the companion agent.
#pragma once

#include "platform/types.h"
#include "platform/window.h"

// The outcome of a login, posted by the account adapter to the login page's window (and by the page
// to itself): wParam 0, lParam 1 when the user is signed in, else the service's value.
constexpr UINT MSG_LOGIN_RESULT = 2075;  // WM_USER + 1051
// A new request ends the open dialog: every page and the task viewer end with 5010.
constexpr UINT MSG_CANCEL_TASK = WM_USER + 1084;  // 2108
// To the agent window: wParam the service (0 YouTube, 1 Facebook), lParam 0 signed in, 1 not (the
// user cancelled or the page was minimised).
constexpr UINT AGENT_LOGIN_RESULT = WM_USER + 159;  // 1183
