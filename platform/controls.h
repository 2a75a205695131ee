// The dialog controls: static text, edit fields, push buttons and check boxes, and combo
// boxes whose list opens as a pop-up window. Each is a window class that answers the
// messages below, tells its parent of changes by WM_COMMAND (id, notification code) and
// paints itself with GDI in the system font.
#pragma once

#include "platform/window.h"

inline constexpr WCHAR WC_STATIC[] = u"STATIC";
inline constexpr WCHAR WC_EDIT[] = u"EDIT";
inline constexpr WCHAR WC_BUTTON[] = u"BUTTON";
inline constexpr WCHAR WC_COMBOBOX[] = u"COMBOBOX";

// Registers the control classes once per process (dialogs do it themselves); TRUE when
// they exist.
BOOL RegisterControlClasses();

// What a control wants of the dialog manager's keys (WM_GETDLGCODE: wParam the key).
constexpr UINT WM_GETDLGCODE = 0x0087;
constexpr LRESULT DLGC_WANTARROWS = 0x0001;       // left and right
constexpr LRESULT DLGC_WANTTAB = 0x0002;          // kept
constexpr LRESULT DLGC_WANTALLKEYS = 0x0004;      // every key, Enter and Escape included
constexpr LRESULT DLGC_HASSETSEL = 0x0008;        // EM_SETSEL selects its text
constexpr LRESULT DLGC_DEFPUSHBUTTON = 0x0010;    // the default push button
constexpr LRESULT DLGC_UNDEFPUSHBUTTON = 0x0020;  // another push button
constexpr LRESULT DLGC_WANTCHARS = 0x0080;        // WM_CHAR
constexpr LRESULT DLGC_STATIC = 0x0100;           // static text
constexpr LRESULT DLGC_BUTTON = 0x2000;           // a button of any kind

// ---- Static ----------------------------------------------------------------------------

constexpr DWORD SS_LEFT = 0x0000;  // word-wrapped, left aligned
constexpr DWORD SS_CENTER = 0x0001;
constexpr DWORD SS_RIGHT = 0x0002;
constexpr DWORD SS_LEFTNOWORDWRAP = 0x000C;  // one line
constexpr DWORD SS_NOPREFIX = 0x0080;        // kept: & is never a prefix here
constexpr DWORD SS_NOTIFY = 0x0100;          // a tap sends STN_CLICKED
constexpr WORD STN_CLICKED = 0;

// ---- Edit ------------------------------------------------------------------------------

constexpr DWORD ES_LEFT = 0x0000;
constexpr DWORD ES_MULTILINE = 0x0004;    // several lines, word-wrapped unless ES_AUTOHSCROLL
constexpr DWORD ES_PASSWORD = 0x0020;     // shows * for every character
constexpr DWORD ES_AUTOVSCROLL = 0x0040;  // kept: a multi-line edit always scrolls
constexpr DWORD ES_AUTOHSCROLL = 0x0080;  // kept for one line: it always scrolls
constexpr DWORD ES_READONLY = 0x0800;     // typing changes nothing
constexpr DWORD ES_WANTRETURN = 0x1000;   // Enter starts a new line in a multi-line edit
constexpr DWORD ES_NUMBER = 0x2000;       // digits only

constexpr UINT EM_GETSEL = 0x00B0;     // *(DWORD*)wParam, *(DWORD*)lParam: start and end
constexpr UINT EM_SETSEL = 0x00B1;     // wParam start (-1: none), lParam end (-1: the end)
constexpr UINT EM_GETRECT = 0x00B2;    // lParam RECT*: the formatting rectangle
constexpr UINT EM_SETRECT = 0x00B3;    // lParam RECT* (null: the default), then repaints
constexpr UINT EM_SETRECTNP = 0x00B4;  // the same without repainting
constexpr UINT EM_GETLINECOUNT = 0x00BA;
constexpr UINT EM_REPLACESEL = 0x00C2;  // lParam text, within the limit
constexpr UINT EM_LIMITTEXT = 0x00C5;   // wParam characters typing may reach (0: no limit)
constexpr UINT EM_SETLIMITTEXT = EM_LIMITTEXT;
constexpr UINT EM_GETLIMITTEXT = 0x00D5;

constexpr WORD EN_SETFOCUS = 0x0100;
constexpr WORD EN_KILLFOCUS = 0x0200;
constexpr WORD EN_CHANGE = 0x0300;   // the user changed the text (one line: WM_SETTEXT too)
constexpr WORD EN_MAXTEXT = 0x0501;  // typing stopped at the limit

// ---- Button ----------------------------------------------------------------------------

constexpr DWORD BS_PUSHBUTTON = 0x0000;
constexpr DWORD BS_DEFPUSHBUTTON = 0x0001;
constexpr DWORD BS_CHECKBOX = 0x0002;
constexpr DWORD BS_AUTOCHECKBOX = 0x0003;  // a tap toggles the check
constexpr DWORD BS_TYPEMASK = 0x000F;

constexpr UINT BM_GETCHECK = 0x00F0;
constexpr UINT BM_SETCHECK = 0x00F1;  // wParam BST_CHECKED or BST_UNCHECKED
constexpr UINT BM_GETSTATE = 0x00F2;  // BST_ check, pushed and focus bits
constexpr UINT BM_SETSTATE = 0x00F3;  // wParam TRUE: drawn pushed
constexpr UINT BM_CLICK = 0x00F5;     // as a tap
constexpr UINT BST_UNCHECKED = 0x0000;
constexpr UINT BST_CHECKED = 0x0001;
constexpr UINT BST_PUSHED = 0x0004;
constexpr UINT BST_FOCUS = 0x0008;
constexpr WORD BN_CLICKED = 0;

// ---- Combo box -------------------------------------------------------------------------

constexpr DWORD CBS_SIMPLE = 0x0001;        // shown as CBS_DROPDOWN
constexpr DWORD CBS_DROPDOWN = 0x0002;      // an edit field and a list
constexpr DWORD CBS_DROPDOWNLIST = 0x0003;  // a selection field and a list
constexpr DWORD CBS_AUTOHSCROLL = 0x0040;   // kept
constexpr DWORD CBS_SORT = 0x0100;          // CB_ADDSTRING keeps the list sorted
constexpr DWORD CBS_HASSTRINGS = 0x0200;    // kept: items are always strings

constexpr LRESULT CB_OKAY = 0;
constexpr LRESULT CB_ERR = -1;
constexpr LRESULT CB_ERRSPACE = -2;

constexpr UINT CB_LIMITTEXT = 0x0141;     // wParam: characters of the edit field
constexpr UINT CB_ADDSTRING = 0x0143;     // lParam text: its index
constexpr UINT CB_DELETESTRING = 0x0144;  // wParam index: the count left
constexpr UINT CB_GETCOUNT = 0x0146;
constexpr UINT CB_GETCURSEL = 0x0147;
constexpr UINT CB_GETLBTEXT = 0x0148;  // wParam index, lParam buffer of LBTEXTLEN + 1
constexpr UINT CB_GETLBTEXTLEN = 0x0149;
constexpr UINT CB_INSERTSTRING = 0x014A;  // wParam index (-1: the end), lParam text
constexpr UINT CB_RESETCONTENT = 0x014B;
constexpr UINT CB_FINDSTRING = 0x014C;    // wParam start (-1: all), lParam prefix
constexpr UINT CB_SELECTSTRING = 0x014D;  // CB_FINDSTRING, then CB_SETCURSEL
constexpr UINT CB_SETCURSEL = 0x014E;     // wParam index (-1: none)
constexpr UINT CB_SHOWDROPDOWN = 0x014F;  // wParam TRUE opens the list, FALSE closes it
constexpr UINT CB_GETITEMDATA = 0x0150;
constexpr UINT CB_SETITEMDATA = 0x0151;
constexpr UINT CB_GETDROPPEDSTATE = 0x0157;
constexpr UINT CB_FINDSTRINGEXACT = 0x0158;  // wParam start, lParam the whole text

constexpr WORD CBN_SELCHANGE = 1;  // the user chose an item
constexpr WORD CBN_SETFOCUS = 3;
constexpr WORD CBN_KILLFOCUS = 4;
constexpr WORD CBN_EDITCHANGE = 5;  // the user changed the edit field's text
constexpr WORD CBN_EDITUPDATE = 6;
constexpr WORD CBN_DROPDOWN = 7;       // the list is about to open
constexpr WORD CBN_CLOSEUP = 8;        // the list closed
constexpr WORD CBN_SELENDOK = 9;       // the list closed with a choice
constexpr WORD CBN_SELENDCANCEL = 10;  // the list closed without one
