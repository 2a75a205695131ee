// What dialog.cc (dialogs) and dialog_scroll.cc (scroll bars) share.
#pragma once

#include "platform/dialog.h"

// Whether hwnd is a live dialog made by this module.
bool IsDialogWindow(HWND hwnd);

// The vertical bar of a dialog with WS_VSCROLL, drawn at its right edge over whatever the
// dialog painted. A stylus message at the bar (or while its thumb is dragged) becomes
// WM_VSCROLL and is not given to the dialog procedure: true then.
bool DialogScrollBarInput(HWND dlg, UINT msg, LPARAM lParam);
void DialogPaintScrollBar(HWND dlg);
// Drops the scroll bars of a window that is going away.
void ForgetScrollBars(HWND hwnd);
