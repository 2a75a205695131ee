// Dialogs built from in-memory templates: modal and modeless creation, the modal loop, the
// dialog manager's keys and focus, dialog items, dialog units, and a window's own scroll bars.
//
// A modal dialog disables its owner and runs a message loop of its own, nested inside the
// caller's, until EndDialog; then it is destroyed, the owner enabled again and the result
// returned. A loop also ends when its dialog or its owner is destroyed, when a dialog below
// it on the same thread ends, or on WM_QUIT (which is posted again for the outer loop).
#pragma once

#include "platform/window.h"

using INT_PTR = intptr_t;
// A dialog procedure: TRUE when it handled the message (the answer is then DWLP_MSGRESULT,
// or the procedure's own value for WM_INITDIALOG), FALSE to leave it to DefDlgProc.
using DLGPROC = INT_PTR (*)(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);

struct DialogItem {
    WORD id;             // control identifier
    LPCWSTR className;   // u"STATIC", u"EDIT", u"BUTTON", u"COMBOBOX"
    DWORD style;         // WS_ and control styles
    short x, y, cx, cy;  // dialog units
    LPCWSTR text;        // initial text, may be null
};

struct DialogTemplate {
    DWORD style;              // WS_ and DS_ styles
    DWORD exStyle;            // WS_EX_ styles
    short x, y, cx, cy;       // dialog units
    LPCWSTR caption;          // title, may be null
    const DialogItem* items;  // the controls in tab order
    int itemCount;            // entries at items
};

// The window class of every dialog.
inline constexpr WCHAR WC_DIALOG[] = u"Dialog";

// Dialog styles.
constexpr DWORD DS_ABSALIGN = 0x0001;  // x, y are screen coordinates, not the owner's
constexpr DWORD DS_CENTER = 0x0800;    // centred in the work area

// Offsets of a dialog's window longs (GetWindowLongPtrW).
constexpr int DWLP_MSGRESULT = 0;  // the answer to a message the procedure handled
constexpr int DWLP_DLGPROC = DWLP_MSGRESULT + static_cast<int>(sizeof(LRESULT));
constexpr int DWLP_USER = DWLP_DLGPROC + static_cast<int>(sizeof(DLGPROC));
constexpr int DLGWINDOWEXTRA = DWLP_USER + static_cast<int>(sizeof(LONG_PTR));

// The default command (Enter): DM_GETDEFID answers MAKELONG(id, DC_HASDEFID).
constexpr UINT DM_GETDEFID = WM_USER + 0;
constexpr UINT DM_SETDEFID = WM_USER + 1;
constexpr WORD DC_HASDEFID = 0x534B;

constexpr DWORD ERROR_CONTROL_ID_NOT_FOUND = 1421;

// ---- Dialogs ---------------------------------------------------------------------------

// A modeless dialog: created hidden, WM_INITDIALOG(first tab-stop control, param) sent, then
// shown when the template has WS_VISIBLE. Null (traced) for a malformed template or a
// control that cannot be created.
HWND CreateDialogIndirectParamW(HINSTANCE instance, const DialogTemplate* dialogTemplate,
                                HWND owner, DLGPROC proc, LPARAM param);
// Runs a modal dialog and returns its EndDialog result (0 when it was destroyed without
// one); -1 when it could not be created.
INT_PTR DialogBoxIndirectParamW(HINSTANCE instance, const DialogTemplate* dialogTemplate,
                                HWND owner, DLGPROC proc, LPARAM param);
// The same with the RT_DIALOG resource of the module; -1 when it is missing or malformed.
INT_PTR DialogBoxParamW(HINSTANCE instance, LPCWSTR templateName, HWND owner, DLGPROC proc,
                        LPARAM param);
// Records the result and ends the dialog's modal loop; callable from any thread.
BOOL EndDialog(HWND hDlg, INT_PTR result);
// The dialog window procedure: the dialog procedure first, then the defaults: a white
// background, WM_CLOSE as WM_COMMAND IDCANCEL, the focus kept across activation.
LRESULT DefDlgProcW(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);
// Handles msg when it is for hDlg or one of its controls: Escape gives WM_COMMAND IDCANCEL,
// Enter clicks the focused button or sends the default command, up and down move the focus
// between tab stops; everything else is dispatched. FALSE when msg is not for the dialog.
BOOL IsDialogMessageW(HWND hDlg, MSG* msg);
// The next (or previous) visible, enabled WS_TABSTOP control after ctl, wrapping around.
HWND GetNextDlgTabItem(HWND hDlg, HWND ctl, BOOL previous);

// ---- Dialog items ----------------------------------------------------------------------

HWND GetDlgItem(HWND hDlg, int id);  // null with ERROR_CONTROL_ID_NOT_FOUND
int GetDlgCtrlID(HWND hwnd);
BOOL SetDlgItemTextW(HWND hDlg, int id, LPCWSTR text);
// Copies at most cap - 1 characters and terminates; returns the characters copied.
UINT GetDlgItemTextW(HWND hDlg, int id, LPWSTR text, int cap);
LRESULT SendDlgItemMessageW(HWND hDlg, int id, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL CheckDlgButton(HWND hDlg, int id, UINT check);  // BST_ value
UINT IsDlgButtonChecked(HWND hDlg, int id);
// Dialog units to pixels: 1 horizontal unit = 3/2 x scaleX, 1 vertical unit = 13/8 x
// scaleY pixels, each coordinate multiplied first and then divided, truncating toward zero.
BOOL MapDialogRect(HWND hDlg, RECT* rect);

// ---- Scroll bars -----------------------------------------------------------------------

struct SCROLLINFO {
    UINT cbSize;    // sizeof(SCROLLINFO)
    UINT fMask;     // SIF_ parts to set or get
    int nMin;       // first position
    int nMax;       // last position of the range
    UINT nPage;     // positions one page shows
    int nPos;       // the position
    int nTrackPos;  // where the thumb is while it is dragged
};
using LPSCROLLINFO = SCROLLINFO*;
using LPCSCROLLINFO = const SCROLLINFO*;

constexpr UINT SIF_RANGE = 0x0001;
constexpr UINT SIF_PAGE = 0x0002;
constexpr UINT SIF_POS = 0x0004;
constexpr UINT SIF_DISABLENOSCROLL = 0x0008;
constexpr UINT SIF_TRACKPOS = 0x0010;
constexpr UINT SIF_ALL = SIF_RANGE | SIF_PAGE | SIF_POS | SIF_TRACKPOS;

constexpr int SB_HORZ = 0;
constexpr int SB_VERT = 1;
constexpr int SB_CTL = 2;

constexpr UINT WM_HSCROLL = 0x0114;
constexpr UINT WM_VSCROLL = 0x0115;  // LOWORD(wParam) SB_ code, HIWORD the thumb position
constexpr WORD SB_LINEUP = 0;
constexpr WORD SB_LINEDOWN = 1;
constexpr WORD SB_PAGEUP = 2;
constexpr WORD SB_PAGEDOWN = 3;
constexpr WORD SB_THUMBPOSITION = 4;
constexpr WORD SB_THUMBTRACK = 5;
constexpr WORD SB_TOP = 6;
constexpr WORD SB_BOTTOM = 7;
constexpr WORD SB_ENDSCROLL = 8;

struct HRGN__;
using HRGN = HRGN__*;
constexpr UINT SW_SCROLLCHILDREN = 0x0001;
constexpr UINT SW_INVALIDATE = 0x0002;
constexpr UINT SW_ERASE = 0x0004;
constexpr int RGN_ERROR = 0;
constexpr int NULLREGION = 1;
constexpr int SIMPLEREGION = 2;

// SB_HORZ or SB_VERT of any window; the position is kept within nMin .. nMax - nPage + 1.
// A dialog with WS_VSCROLL draws its vertical bar at its right edge, and a tap or drag there
// sends it WM_VSCROLL. SetScrollInfo returns the new position, 0 on failure.
int SetScrollInfo(HWND hwnd, int bar, LPCSCROLLINFO info, BOOL redraw);
BOOL GetScrollInfo(HWND hwnd, int bar, LPSCROLLINFO info);
int SetScrollPos(HWND hwnd, int bar, int pos, BOOL redraw);  // the previous position
int GetScrollPos(HWND hwnd, int bar);
// Moves the child windows by (dx, dy) with SW_SCROLLCHILDREN and repaints the window
// (region, clip and hrgnUpdate are not kept: the whole window is repainted); *updateRect
// gets the uncovered band. SIMPLEREGION, NULLREGION when nothing moved, RGN_ERROR.
int ScrollWindowEx(HWND hwnd, int dx, int dy, const RECT* scroll, const RECT* clip, HRGN hrgnUpdate,
                   RECT* updateRect, UINT flags);

// The device's names without the W.
inline INT_PTR DialogBoxIndirectParam(HINSTANCE i, const DialogTemplate* t, HWND o, DLGPROC p,
                                      LPARAM l) {
    return DialogBoxIndirectParamW(i, t, o, p, l);
}
inline INT_PTR DialogBoxParam(HINSTANCE i, LPCWSTR n, HWND o, DLGPROC p, LPARAM l) {
    return DialogBoxParamW(i, n, o, p, l);
}
inline INT_PTR DialogBox(HINSTANCE i, LPCWSTR n, HWND o, DLGPROC p) {
    return DialogBoxParamW(i, n, o, p, 0);
}
inline HWND CreateDialogIndirectParam(HINSTANCE i, const DialogTemplate* t, HWND o, DLGPROC p,
                                      LPARAM l) {
    return CreateDialogIndirectParamW(i, t, o, p, l);
}
inline LRESULT DefDlgProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    return DefDlgProcW(h, m, w, l);
}
inline BOOL IsDialogMessage(HWND h, MSG* m) {
    return IsDialogMessageW(h, m);
}
inline BOOL SetDlgItemText(HWND h, int id, LPCWSTR t) {
    return SetDlgItemTextW(h, id, t);
}
inline UINT GetDlgItemText(HWND h, int id, LPWSTR t, int n) {
    return GetDlgItemTextW(h, id, t, n);
}
inline LRESULT SendDlgItemMessage(HWND h, int id, UINT m, WPARAM w, LPARAM l) {
    return SendDlgItemMessageW(h, id, m, w, l);
}
