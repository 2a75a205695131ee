// Windows and messages: window classes and procedures, one message queue per thread, posted
// and sent messages, timers, show state and the foreground window, as on the device.
//
// A window belongs to the thread that created it; its procedure runs only on that thread.
// Posting works from any thread. Sending to a window of the calling thread calls its
// procedure directly; sending to another thread's window queues the message there and waits
// for the answer, answering meanwhile what other threads send to the caller's own windows.
#pragma once

#include "platform/types.h"

struct HWND__;
using HWND = HWND__*;
struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
struct HMENU__;
using HMENU = HMENU__*;
using ATOM = WORD;
using LONG_PTR = intptr_t;
using ULONG_PTR = uintptr_t;
using UINT_PTR = uintptr_t;
using DWORD_PTR = ULONG_PTR;

#ifndef CALLBACK
#define CALLBACK
#endif

using WNDPROC = LRESULT (*)(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
using TIMERPROC = void (*)(HWND hwnd, UINT msg, UINT_PTR idEvent, DWORD time);

struct POINT {
    LONG x;  // horizontal, pixels
    LONG y;  // vertical, pixels
};

struct RECT {
    LONG left;    // first column inside
    LONG top;     // first row inside
    LONG right;   // first column outside
    LONG bottom;  // first row outside
};

struct WNDCLASSW {
    UINT style;             // CS_ class styles, kept
    WNDPROC lpfnWndProc;    // the procedure of every window of the class
    int cbClsExtra;         // not supported; kept
    int cbWndExtra;         // bytes per window for Get/SetWindowLong at offsets >= 0
    HINSTANCE hInstance;    // module, kept
    HICON hIcon;            // kept
    HCURSOR hCursor;        // kept
    HBRUSH hbrBackground;   // kept
    LPCWSTR lpszMenuName;   // kept
    LPCWSTR lpszClassName;  // the class name, compared without regard to case
};
using WNDCLASS = WNDCLASSW;

struct MSG {
    HWND hwnd;      // target window, null for a thread message
    UINT message;   // message number
    WPARAM wParam;  // first parameter
    LPARAM lParam;  // second parameter
    DWORD time;     // GetTickCount when it was posted
    POINT pt;       // cursor position when it was posted (always 0,0)
};

struct CREATESTRUCTW {
    LPVOID lpCreateParams;  // lpParam of CreateWindowExW
    HINSTANCE hInstance;    // module
    HMENU hMenu;            // menu, or the child identifier
    HWND hwndParent;        // parent (child windows) or owner
    int cy;                 // height
    int cx;                 // width
    int y;                  // top
    int x;                  // left
    LONG style;             // WS_ styles
    LPCWSTR lpszName;       // title
    LPCWSTR lpszClass;      // class name
    DWORD dwExStyle;        // WS_EX_ styles
};
using CREATESTRUCT = CREATESTRUCTW;

// WM_COPYDATA: the receiver gets its own copy of lpData, valid while it handles the message.
struct COPYDATASTRUCT {
    ULONG_PTR dwData;  // kind of data, chosen by the sender
    DWORD cbData;      // bytes at lpData
    LPVOID lpData;     // the data
};
using PCOPYDATASTRUCT = COPYDATASTRUCT*;

struct WINDOWPLACEMENT {
    UINT length;            // sizeof(WINDOWPLACEMENT)
    UINT flags;             // 0
    UINT showCmd;           // SW_SHOWNORMAL, SW_SHOWMINIMIZED or SW_SHOWMAXIMIZED
    POINT ptMinPosition;    // 0,0
    POINT ptMaxPosition;    // 0,0
    RECT rcNormalPosition;  // the window rectangle
};

constexpr WORD LOWORD(uintptr_t v) {
    return static_cast<WORD>(v & 0xFFFF);
}
constexpr WORD HIWORD(uintptr_t v) {
    return static_cast<WORD>((v >> 16) & 0xFFFF);
}
constexpr LPARAM MAKELPARAM(WORD lo, WORD hi) {
    return static_cast<LPARAM>(static_cast<DWORD>(lo) | (static_cast<DWORD>(hi) << 16));
}
constexpr WPARAM MAKEWPARAM(WORD lo, WORD hi) {
    return static_cast<WPARAM>(static_cast<DWORD>(lo) | (static_cast<DWORD>(hi) << 16));
}

// Messages.
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_MOVE = 0x0003;
constexpr UINT WM_SIZE = 0x0005;
constexpr UINT WM_ACTIVATE = 0x0006;
constexpr UINT WM_SETFOCUS = 0x0007;
constexpr UINT WM_KILLFOCUS = 0x0008;
constexpr UINT WM_ENABLE = 0x000A;
constexpr UINT WM_SETTEXT = 0x000C;
constexpr UINT WM_GETTEXT = 0x000D;
constexpr UINT WM_GETTEXTLENGTH = 0x000E;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_ERASEBKGND = 0x0014;
constexpr UINT WM_SHOWWINDOW = 0x0018;
constexpr UINT WM_SETTINGCHANGE = 0x001A;
constexpr UINT WM_COPYDATA = 0x004A;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_KEYDOWN = 0x0100;
constexpr UINT WM_KEYUP = 0x0101;
constexpr UINT WM_CHAR = 0x0102;
constexpr UINT WM_INITDIALOG = 0x0110;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_MOUSEMOVE = 0x0200;
constexpr UINT WM_LBUTTONDOWN = 0x0201;
constexpr UINT WM_LBUTTONUP = 0x0202;
constexpr UINT WM_USER = 0x0400;  // 1024: first message private to a window class
constexpr UINT WM_APP = 0x8000;   // 32768: first message private to an application

constexpr WPARAM WA_INACTIVE = 0;
constexpr WPARAM WA_ACTIVE = 1;
constexpr WPARAM WA_CLICKACTIVE = 2;
constexpr WPARAM SIZE_RESTORED = 0;
constexpr WPARAM SIZE_MINIMIZED = 1;
constexpr WPARAM SIZE_MAXIMIZED = 2;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;

// Window styles.
constexpr DWORD WS_OVERLAPPED = 0x00000000;
constexpr DWORD WS_POPUP = 0x80000000;
constexpr DWORD WS_CHILD = 0x40000000;
constexpr DWORD WS_MINIMIZE = 0x20000000;
constexpr DWORD WS_VISIBLE = 0x10000000;
constexpr DWORD WS_DISABLED = 0x08000000;
constexpr DWORD WS_CLIPSIBLINGS = 0x04000000;
constexpr DWORD WS_CLIPCHILDREN = 0x02000000;
constexpr DWORD WS_MAXIMIZE = 0x01000000;
constexpr DWORD WS_CAPTION = 0x00C00000;
constexpr DWORD WS_BORDER = 0x00800000;
constexpr DWORD WS_SYSMENU = 0x00080000;
constexpr DWORD WS_DLGFRAME = 0x00400000;
constexpr DWORD WS_VSCROLL = 0x00200000;  // a vertical scroll bar (dialog.h: SetScrollInfo)
constexpr DWORD WS_HSCROLL = 0x00100000;
constexpr DWORD WS_GROUP = 0x00020000;
constexpr DWORD WS_TABSTOP = 0x00010000;  // the dialog manager's keys stop at this control
constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000);

// ShowWindow commands.
constexpr int SW_HIDE = 0;
constexpr int SW_SHOWNORMAL = 1;
constexpr int SW_SHOWMINIMIZED = 2;
constexpr int SW_MAXIMIZE = 3;
constexpr int SW_SHOWMAXIMIZED = 3;
constexpr int SW_SHOWNOACTIVATE = 4;
constexpr int SW_SHOW = 5;
constexpr int SW_MINIMIZE = 6;
constexpr int SW_SHOWMINNOACTIVE = 7;
constexpr int SW_SHOWNA = 8;
constexpr int SW_RESTORE = 9;

// Get/SetWindowLong indexes.
constexpr int GWL_WNDPROC = -4;
constexpr int GWL_HINSTANCE = -6;
constexpr int GWL_HWNDPARENT = -8;
constexpr int GWL_ID = -12;
constexpr int GWL_STYLE = -16;
constexpr int GWL_EXSTYLE = -20;
constexpr int GWL_USERDATA = -21;
constexpr int GWLP_WNDPROC = GWL_WNDPROC;
constexpr int GWLP_HINSTANCE = GWL_HINSTANCE;
constexpr int GWLP_HWNDPARENT = GWL_HWNDPARENT;
constexpr int GWLP_ID = GWL_ID;
constexpr int GWLP_USERDATA = GWL_USERDATA;

constexpr UINT GW_HWNDNEXT = 2;
constexpr UINT GW_OWNER = 4;
constexpr UINT GW_CHILD = 5;

// PeekMessage, SendMessageTimeout and MsgWaitForMultipleObjects flags.
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr UINT PM_NOYIELD = 0x0002;
constexpr UINT SMTO_NORMAL = 0x0000;
constexpr UINT SMTO_BLOCK = 0x0001;  // do not answer sent messages while waiting
constexpr UINT SMTO_ABORTIFHUNG = 0x0002;
constexpr DWORD QS_KEY = 0x0001;
constexpr DWORD QS_MOUSEMOVE = 0x0002;
constexpr DWORD QS_MOUSEBUTTON = 0x0004;
constexpr DWORD QS_POSTMESSAGE = 0x0008;
constexpr DWORD QS_TIMER = 0x0010;
constexpr DWORD QS_PAINT = 0x0020;
constexpr DWORD QS_SENDMESSAGE = 0x0040;
constexpr DWORD QS_INPUT = QS_KEY | QS_MOUSEMOVE | QS_MOUSEBUTTON;
constexpr DWORD QS_ALLEVENTS = QS_INPUT | QS_POSTMESSAGE | QS_TIMER | QS_PAINT;
constexpr DWORD QS_ALLINPUT = QS_ALLEVENTS | QS_SENDMESSAGE;
constexpr UINT USER_TIMER_MINIMUM = 10;  // shorter timer periods are raised to this

constexpr DWORD ERROR_MESSAGE_SYNC_ONLY = 1159;
constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;
constexpr DWORD ERROR_CANNOT_FIND_WND_CLASS = 1407;
constexpr DWORD ERROR_CLASS_ALREADY_EXISTS = 1410;
constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
constexpr DWORD ERROR_INVALID_INDEX = 1413;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;

// ---- Classes and windows ---------------------------------------------------------------

// 0 when the name is taken (ERROR_CLASS_ALREADY_EXISTS) or the class is malformed.
ATOM RegisterClassW(const WNDCLASSW* wc);
BOOL UnregisterClassW(LPCWSTR className, HINSTANCE instance);  // fails while windows use it
BOOL GetClassInfoW(HINSTANCE instance, LPCWSTR className, WNDCLASSW* wc);
int GetClassNameW(HWND hwnd, LPWSTR name, int cap);

// Sends WM_CREATE (a result of -1 destroys the window and gives null); a WS_VISIBLE window
// then gets WM_SHOWWINDOW. WS_CHILD makes parent the parent, otherwise parent is the owner.
HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);
// Only the owner thread may destroy a window. Owned windows go first; then the window gets
// WM_DESTROY, its children are destroyed, and it gets WM_NCDESTROY.
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// A top-level window by class and title (either may be null for any), compared without
// regard to case; the topmost match first. Windows of other processes are found through
// the remote window driver.
HWND FindWindowW(LPCWSTR className, LPCWSTR title);

LONG GetWindowLongW(HWND hwnd, int index);
LONG SetWindowLongW(HWND hwnd, int index, LONG value);  // returns the previous value
LONG_PTR GetWindowLongPtrW(HWND hwnd, int index);
LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value);
HWND GetParent(HWND hwnd);  // the parent of a child window, else the owner
HWND GetWindow(HWND hwnd, UINT cmd);
BOOL IsChild(HWND parent, HWND hwnd);
DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId);
DWORD GetCurrentProcessId();

int GetWindowTextW(HWND hwnd, LPWSTR text, int cap);
int GetWindowTextLengthW(HWND hwnd);
BOOL SetWindowTextW(HWND hwnd, LPCWSTR text);  // sends WM_SETTEXT
// In screen coordinates, for child windows too; the client area is the whole window.
BOOL GetWindowRect(HWND hwnd, RECT* rect);
BOOL GetClientRect(HWND hwnd, RECT* rect);
BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint);
BOOL EnableWindow(HWND hwnd, BOOL enable);  // returns whether it was disabled
BOOL IsWindowEnabled(HWND hwnd);

// Show state and the foreground window. A handle with its low bit set (hwnd | 1) names the
// window together with the windows it owns. Changes are recorded and traced; the window's
// procedure hears of them by WM_SHOWWINDOW, WM_SIZE (SIZE_MINIMIZED / SIZE_RESTORED) and
// WM_ACTIVATE: sent on its own thread, posted when another thread makes the change.
BOOL ShowWindow(HWND hwnd, int cmd);  // whether the window was visible before
BOOL IsWindowVisible(HWND hwnd);
BOOL IsIconic(HWND hwnd);  // minimised
BOOL GetWindowPlacement(HWND hwnd, WINDOWPLACEMENT* placement);
// Raises the window (and its owned windows) to the top and makes it the foreground window;
// with the low bit set the topmost visible owned window becomes the foreground window.
BOOL SetForegroundWindow(HWND hwnd);
HWND GetForegroundWindow();

// Painting. An invalidated window is due a WM_PAINT, which the queue makes up after posted
// messages and WM_QUIT and before timers, until the window is validated: by ValidateRect,
// by painting, or by DefWindowProc's WM_PAINT. The whole window is one area: rect is ignored.
BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase);
BOOL ValidateRect(HWND hwnd, const RECT* rect);
BOOL UpdateWindow(HWND hwnd);  // sends WM_PAINT at once when one is due

// ---- Messages --------------------------------------------------------------------------

// A null hwnd posts a thread message to the calling thread. A post to a window that does
// not exist is lost (FALSE, ERROR_INVALID_WINDOW_HANDLE). WM_COPYDATA cannot be posted.
BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL PostThreadMessageW(DWORD threadId, UINT msg, WPARAM wParam, LPARAM lParam);
// 0 for a window that does not exist or a thread that ended without answering.
LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// Nonzero when answered within timeoutMs (the answer in *result); 0 on failure, with
// ERROR_TIMEOUT when the window's thread did not answer in time. A message its thread had
// not yet taken by then is withdrawn: it never arrives late.
LRESULT SendMessageTimeoutW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam, UINT flags,
                            UINT timeoutMs, DWORD_PTR* result);
BOOL InSendMessage();  // the message being handled was sent by another thread

// Answers sent messages, then returns the first matching posted message, WM_QUIT, or a
// due WM_TIMER. hwnd null: any window of the thread and thread messages; (HWND)-1: thread
// messages only. min = max = 0: every message. GetMessageW waits; FALSE on WM_QUIT, -1
// for a filter window that does not exist.
BOOL GetMessageW(MSG* msg, HWND hwnd, UINT min, UINT max);
BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT min, UINT max, UINT removeFlags);
BOOL TranslateMessage(const MSG* msg);  // no keyboard to translate yet: FALSE
LRESULT DispatchMessageW(const MSG* msg);
void PostQuitMessage(int exitCode);
BOOL WaitMessage();
// WAIT_OBJECT_0 + count when new input of wakeMask arrived since the thread last looked at
// its queue; otherwise as WaitForMultipleObjects.
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD timeoutMs,
                                DWORD wakeMask);

// A window timer (hwnd, id) or, with a null hwnd, a thread timer whose id is chosen here.
// WM_TIMER arrives no more often than every elapseMs; with proc, DispatchMessage calls proc
// instead of the window procedure. Returns the id, 0 on failure.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// The device's names without the W.
inline ATOM RegisterClass(const WNDCLASSW* wc) {
    return RegisterClassW(wc);
}
inline HWND CreateWindowEx(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x,
                           int y, int width, int height, HWND parent, HMENU menu,
                           HINSTANCE instance, LPVOID param) {
    return CreateWindowExW(exStyle, className, title, style, x, y, width, height, parent, menu,
                           instance, param);
}
inline HWND CreateWindowW(LPCWSTR className, LPCWSTR title, DWORD style, int x, int y, int width,
                          int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param) {
    return CreateWindowExW(0, className, title, style, x, y, width, height, parent, menu, instance,
                           param);
}
inline LRESULT DefWindowProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    return DefWindowProcW(h, m, w, l);
}
inline HWND FindWindow(LPCWSTR c, LPCWSTR t) {
    return FindWindowW(c, t);
}
inline LONG GetWindowLong(HWND h, int i) {
    return GetWindowLongW(h, i);
}
inline LONG SetWindowLong(HWND h, int i, LONG v) {
    return SetWindowLongW(h, i, v);
}
inline BOOL PostMessage(HWND h, UINT m, WPARAM w, LPARAM l) {
    return PostMessageW(h, m, w, l);
}
inline BOOL PostThreadMessage(DWORD t, UINT m, WPARAM w, LPARAM l) {
    return PostThreadMessageW(t, m, w, l);
}
inline LRESULT SendMessage(HWND h, UINT m, WPARAM w, LPARAM l) {
    return SendMessageW(h, m, w, l);
}
inline LRESULT SendMessageTimeout(HWND h, UINT m, WPARAM w, LPARAM l, UINT f, UINT t,
                                  DWORD_PTR* r) {
    return SendMessageTimeoutW(h, m, w, l, f, t, r);
}
inline BOOL GetMessage(MSG* m, HWND h, UINT a, UINT b) {
    return GetMessageW(m, h, a, b);
}
inline BOOL PeekMessage(MSG* m, HWND h, UINT a, UINT b, UINT r) {
    return PeekMessageW(m, h, a, b, r);
}
inline LRESULT DispatchMessage(const MSG* m) {
    return DispatchMessageW(m);
}
inline BOOL SetWindowText(HWND h, LPCWSTR t) {
    return SetWindowTextW(h, t);
}
inline int GetWindowText(HWND h, LPWSTR t, int n) {
    return GetWindowTextW(h, t, n);
}
