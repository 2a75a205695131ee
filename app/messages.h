// Message numbers of the application's own windows (the main window, the dialogs).
#pragma once

#include "platform/types.h"

// The outcome of a login, posted by the account adapter to the login page's window:
// wParam 0, lParam 1 when the user is signed in, else the service's value.
constexpr UINT MSG_LOGIN_RESULT = 2075;  // WM_USER + 1051
