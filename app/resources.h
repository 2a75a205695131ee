// The application's string table: the texts the localised resource module carries on the
// device. Only the window title and the main window's class name are needed so far.
#pragma once

#include "platform/types.h"
#include "platform/window.h"

constexpr UINT IDS_APP_TITLE = 1;         // the main window's title
constexpr UINT IDS_APP_CLASS = 2;         // the main window's class, "VANTLO"
constexpr int RESOURCE_TEXT_CHARS = 100;  // the buffer each start-up text is loaded into

// Copies string id into buffer (at most cap - 1 characters, always terminated) and returns
// the characters copied; 0, with an empty buffer, for an unknown id. instance is ignored:
// the table is built in.
int LoadStringW(HINSTANCE instance, UINT id, LPWSTR buffer, int cap);
