// The phone shell's services for dialogs: full-screen dialog set-up, the soft-key bar
// (SHCreateMenuBar), the title and caption buttons, the activation handlers, PNG loading,
// tap-and-hold recognition and the input panel.
//
// The soft-key bar is a top-level window of class "menu_worker" across the bottom of the
// screen, owned by its dialog. It has one key per button of its definition: a plain key
// posts WM_COMMAND(command) to the dialog; a menu key opens its pop-up menu above itself
// (WM_INITMENUPOPUP goes to the dialog first). A hidden key is not drawn and does nothing; a
// disabled one is greyed and does nothing. The device's soft keys act on the keys of the
// topmost visible bar: soft left on the first, soft right on the last; while a pop-up menu is
// open they close it.
#pragma once

#include "platform/gdi.h"
#include "platform/menu.h"
#include "platform/window.h"

// ---- Full-screen dialogs ----------------------------------------------------------------

constexpr DWORD SHIDIM_FLAGS = 0x0001;
constexpr DWORD SHIDIF_DONEBUTTON = 0x0001;           // "ok" in the title strip
constexpr DWORD SHIDIF_SIZEDLG = 0x0002;              // sized to the work area
constexpr DWORD SHIDIF_SIZEDLGFULLSCREEN = 0x0004;    // sized to the work area
constexpr DWORD SHIDIF_SIPDOWN = 0x0008;              // no input panel
constexpr DWORD SHIDIF_FULLSCREENNOMENUBAR = 0x0010;  // down to the screen's bottom
constexpr DWORD SHIDIF_EMPTYMENU = 0x0020;            // kept
constexpr DWORD SHIDIF_WANTSCROLLBAR = 0x0040;        // kept
constexpr DWORD SHIDIF_CANCELBUTTON = 0x0080;         // "X" in the title strip

struct SHINITDLGINFO {
    DWORD dwMask;   // SHIDIM_FLAGS
    HWND hDlg;      // the dialog
    DWORD dwFlags;  // SHIDIF_ flags
};
using PSHINITDLGINFO = SHINITDLGINFO*;

// Moves a dialog asking for a size to the work area (with SHIDIF_FULLSCREENNOMENUBAR down to
// the screen's bottom) and sets its caption buttons ("ok" also for the dialog's extended
// style 0x80000000); FALSE with a trace for a bad record or window.
BOOL SHInitDialog(PSHINITDLGINFO info);

// ---- The soft-key bar -------------------------------------------------------------------

constexpr DWORD SHCMBF_EMPTYBAR = 0x0001;       // no keys, no resource
constexpr DWORD SHCMBF_HIDDEN = 0x0002;         // created hidden
constexpr DWORD SHCMBF_HIDESIPBUTTON = 0x0004;  // kept
constexpr DWORD SHCMBF_COLORBK = 0x0008;        // clrBk is the background colour
constexpr DWORD SHCMBF_HMENU = 0x0010;          // nToolBarId names an RT_MENU resource

// The device's record is 36 bytes (32-bit fields); cbSize may be that or sizeof here.
struct SHMENUBARINFO {
    DWORD cbSize;        // sizeof(SHMENUBARINFO) or 36
    HWND hwndParent;     // the dialog that owns the bar
    DWORD dwFlags;       // SHCMBF_ flags
    UINT nToolBarId;     // RT_RCDATA bar definition, or RT_MENU with SHCMBF_HMENU
    HINSTANCE hInstRes;  // module holding the definition, the menu and the labels
    int nBmpId;          // kept
    int cBmpImages;      // kept
    HWND hwndMB;         // out: the bar window
    COLORREF clrBk;      // background with SHCMBF_COLORBK
};
using PSHMENUBARINFO = SHMENUBARINFO*;
constexpr DWORD SHMENUBARINFO_DEVICE_SIZE = 36;

// The bar definition (RT_RCDATA): menu id, button count, then per button seven WORDs:
// image, command, state, style, label string id, 0, pop-up index of the menu (none 0xFFFF).
constexpr WORD SHMB_NOIMAGE = 0xFFFE;
constexpr WORD SHMB_NOSUBMENU = 0xFFFF;

// Button states and styles of the bar's definition and TBBUTTONINFOW.
constexpr BYTE TBSTATE_CHECKED = 0x01;
constexpr BYTE TBSTATE_PRESSED = 0x02;
constexpr BYTE TBSTATE_ENABLED = 0x04;
constexpr BYTE TBSTATE_HIDDEN = 0x08;
constexpr BYTE TBSTYLE_BUTTON = 0x00;
constexpr BYTE TBSTYLE_DROPDOWN = 0x08;
constexpr BYTE TBSTYLE_AUTOSIZE = 0x10;

// Messages to the bar window; keys are named by command.
constexpr UINT TB_ENABLEBUTTON = WM_USER + 1;     // wParam command, LOWORD(lParam) enable
constexpr UINT TB_HIDEBUTTON = WM_USER + 4;       // wParam command, LOWORD(lParam) hide
constexpr UINT TB_ISBUTTONENABLED = WM_USER + 9;  // wParam command
constexpr UINT TB_ISBUTTONHIDDEN = WM_USER + 12;  // wParam command
constexpr UINT TB_GETBUTTONINFOW = WM_USER + 63;  // wParam command, lParam TBBUTTONINFOW*
constexpr UINT TB_SETBUTTONINFOW = WM_USER + 64;  // wParam command, lParam TBBUTTONINFOW*
constexpr UINT TB_SETBUTTONINFO = TB_SETBUTTONINFOW;
constexpr UINT TB_GETBUTTONINFO = TB_GETBUTTONINFOW;
constexpr UINT SHCMBM_GETSUBMENU = WM_USER + 401;  // lParam command: the key's pop-up menu
constexpr UINT SHCMBM_GETMENU = WM_USER + 402;     // the menu the bar was made from

constexpr DWORD TBIF_IMAGE = 0x00000001;
constexpr DWORD TBIF_TEXT = 0x00000002;
constexpr DWORD TBIF_STATE = 0x00000004;
constexpr DWORD TBIF_STYLE = 0x00000008;
constexpr DWORD TBIF_LPARAM = 0x00000010;
constexpr DWORD TBIF_COMMAND = 0x00000020;
constexpr DWORD TBIF_SIZE = 0x00000040;
constexpr DWORD TBIF_BYINDEX = 0x80000000;  // wParam is the key's index, not its command

struct TBBUTTONINFOW {
    UINT cbSize;       // sizeof(TBBUTTONINFOW)
    DWORD dwMask;      // TBIF_ fields that count
    int idCommand;     // the command posted by the key
    int iImage;        // kept
    BYTE fsState;      // TBSTATE_ bits
    BYTE fsStyle;      // TBSTYLE_ bits
    WORD cx;           // kept
    DWORD_PTR lParam;  // kept
    LPWSTR pszText;    // the label
    int cchText;       // capacity of pszText when reading
};

// Creates the bar for the dialog and stores its window in info->hwndMB. FALSE with a trace
// for a bad record, a missing or malformed definition, or a missing menu resource.
BOOL SHCreateMenuBar(PSHMENUBARINFO info);
// The bar of a dialog, or null.
HWND SHFindMenuBar(HWND dialog);

// ---- Title, caption buttons and the activation handlers ----------------------------------

// The title the title strip shows while the window is the topmost one that set a title.
BOOL SHSetNavBarText(HWND hwnd, LPCWSTR text);

constexpr DWORD SHDB_SHOW = 0x0001;        // "ok"
constexpr DWORD SHDB_HIDE = 0x0002;        // neither
constexpr DWORD SHDB_SHOWCANCEL = 0x0004;  // "X"
BOOL SHDoneButton(HWND hwnd, DWORD state);

constexpr DWORD SHFS_SHOWTASKBAR = 0x0001;
constexpr DWORD SHFS_HIDETASKBAR = 0x0002;
constexpr DWORD SHFS_SHOWSIPBUTTON = 0x0004;
constexpr DWORD SHFS_HIDESIPBUTTON = 0x0008;
constexpr DWORD SHFS_SHOWSTARTICON = 0x0010;
constexpr DWORD SHFS_HIDESTARTICON = 0x0020;
// The title strip stays; the request is checked and traced.
BOOL SHFullScreen(HWND hwnd, DWORD state);

struct SHACTIVATEINFO {
    DWORD cbSize;                 // sizeof(SHACTIVATEINFO), 12 (the device's size) or 0
    HWND hwndLastFocus;           // focus when the window was last deactivated
    UINT fSipUp : 1;              // the input panel was up
    UINT fSipOnDeactivation : 1;  // the input panel was up on deactivation
    UINT fActive : 1;             // the window is active
    UINT fReserved : 29;          // 0
};
using PSHACTIVATEINFO = SHACTIVATEINFO*;
constexpr DWORD SHA_INPUTDIALOG = 0x00000001;

// WM_ACTIVATE: records the activation and, on reactivation, gives the focus back to the
// control that had it.
BOOL SHHandleWMActivate(HWND hwnd, WPARAM wParam, LPARAM lParam, PSHACTIVATEINFO info, DWORD flags);
// WM_SETTINGCHANGE: nothing in the shell depends on settings here; checks the record.
BOOL SHHandleWMSettingChange(HWND hwnd, WPARAM wParam, LPARAM lParam, PSHACTIVATEINFO info);

// ---- Images, gestures and the input panel ------------------------------------------------

// A PNG named by a device path as a bitmap; null with a trace when missing or corrupt.
HBITMAP SHLoadImageFile(LPCWSTR fileName);

constexpr DWORD SHRG_RETURNCMD = 0x00000001;
constexpr DWORD SHRG_NOTIFYPARENT = 0x00000002;
constexpr DWORD SHRG_LONGDELAY = 0x00000008;
constexpr DWORD SHRG_NOANIMATION = 0x00000010;
constexpr DWORD GN_CONTEXTMENU = 1000;

struct SHRGINFO {
    DWORD cbSize;     // sizeof(SHRGINFO) or 20 (the device's size)
    HWND hwndClient;  // the window pressed
    POINT ptDown;     // the press, client coordinates
    DWORD dwFlags;    // SHRG_ flags
};
using PSHRGINFO = SHRGINFO*;
constexpr DWORD SHRGINFO_DEVICE_SIZE = 20;
// Tap-and-hold, called while the stylus is down on the window: serves the thread's other
// messages until the stylus is released or moves away (0, its messages left in the queue) or
// is held long enough, 600 ms (1200 with SHRG_LONGDELAY): then GN_CONTEXTMENU, and the window
// is posted WM_CONTEXTMENU with the screen point. 0 with a trace for a bad record.
DWORD SHRecognizeGesture(PSHRGINFO info);

enum SIPSTATE { SIP_UP = 0, SIP_DOWN, SIP_FORCEDOWN, SIP_UNCHANGED, SIP_INPUTDIALOG };
// There is no input panel: traced, TRUE.
BOOL SHSipPreference(HWND hwnd, SIPSTATE state);
