// Menus: menu handles with their items, menus loaded from RT_MENU resources, and pop-up menus
// tracked modally (TrackPopupMenu), drawn with GDI and chosen by stylus or keys.
//
// A menu handle is checked on every call: a null, destroyed or made-up handle fails with
// ERROR_INVALID_HANDLE and a trace line. Menus may be built and changed from any thread.
#pragma once

#include "platform/window.h"

// Item flags (AppendMenu, InsertMenu, ModifyMenu, GetMenuState) and the RT_MENU template.
constexpr UINT MF_STRING = 0x0000;
constexpr UINT MF_ENABLED = 0x0000;
constexpr UINT MF_UNCHECKED = 0x0000;
constexpr UINT MF_BYCOMMAND = 0x0000;
constexpr UINT MF_GRAYED = 0x0001;
constexpr UINT MF_DISABLED = 0x0002;
constexpr UINT MF_CHECKED = 0x0008;
constexpr UINT MF_POPUP = 0x0010;
constexpr UINT MF_END = 0x0080;  // resource templates only: the last item of its list
constexpr UINT MF_BYPOSITION = 0x0400;
constexpr UINT MF_SEPARATOR = 0x0800;

// TrackPopupMenu flags.
constexpr UINT TPM_LEFTBUTTON = 0x0000;
constexpr UINT TPM_LEFTALIGN = 0x0000;
constexpr UINT TPM_TOPALIGN = 0x0000;
constexpr UINT TPM_RIGHTBUTTON = 0x0002;
constexpr UINT TPM_CENTERALIGN = 0x0004;
constexpr UINT TPM_RIGHTALIGN = 0x0008;
constexpr UINT TPM_VCENTERALIGN = 0x0010;
constexpr UINT TPM_BOTTOMALIGN = 0x0020;
constexpr UINT TPM_NONOTIFY = 0x0080;   // no WM_INITMENUPOPUP to the owner
constexpr UINT TPM_RETURNCMD = 0x0100;  // return the chosen command instead of posting it

// wParam = the pop-up menu, LOWORD(lParam) = its index in the parent menu (0 for a menu
// tracked on its own); sent to the owner before the menu is shown, so the owner can delete,
// append, check or grey items.
constexpr UINT WM_INITMENUPOPUP = 0x0117;
// wParam = the window, lParam = the screen point (x low word, y high word).
constexpr UINT WM_CONTEXTMENU = 0x007B;

struct TPMPARAMS {
    UINT cbSize;     // sizeof(TPMPARAMS)
    RECT rcExclude;  // screen area the menu must not cover, when it can avoid it
};

HMENU CreateMenu();
HMENU CreatePopupMenu();
// Destroys the menu and the pop-up menus of its items.
BOOL DestroyMenu(HMENU menu);
BOOL IsMenu(HMENU menu);

// With MF_POPUP, idOrMenu is the pop-up menu (owned by this menu from now on); with
// MF_SEPARATOR the text is ignored. MF_BITMAP and MF_OWNERDRAW items are not supported.
BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR idOrMenu, LPCWSTR text);
// Inserts before the item at position (MF_BYPOSITION; -1 or past the end appends) or before
// the item with that command (MF_BYCOMMAND, searched in pop-up menus too).
BOOL InsertMenuW(HMENU menu, UINT position, UINT flags, UINT_PTR idOrMenu, LPCWSTR text);
// DeleteMenu also destroys an item's pop-up menu; RemoveMenu gives it back to the caller.
BOOL DeleteMenu(HMENU menu, UINT position, UINT flags);
BOOL RemoveMenu(HMENU menu, UINT position, UINT flags);
// Both return the item's previous MF_GRAYED | MF_DISABLED (or MF_CHECKED) bits, or
// 0xFFFFFFFF when the item does not exist.
DWORD EnableMenuItem(HMENU menu, UINT idItem, UINT enable);
DWORD CheckMenuItem(HMENU menu, UINT idItem, UINT check);

HMENU GetSubMenu(HMENU menu, int position);    // null when the item has no pop-up menu
int GetMenuItemCount(HMENU menu);              // -1 for a bad handle
UINT GetMenuItemID(HMENU menu, int position);  // 0xFFFFFFFF for a pop-up item or none
// The item's MF_ flags; for a pop-up item the item count of its menu in the high byte.
// 0xFFFFFFFF when the item does not exist.
UINT GetMenuState(HMENU menu, UINT id, UINT flags);
// The item's text; with a null buffer, its length. 0 when the item does not exist.
int GetMenuStringW(HMENU menu, UINT id, LPWSTR text, int cap, UINT flags);

// The RT_MENU resource name of the module; null with a trace when it is missing or its
// template is malformed (an item list without MF_END, a pop-up without items).
HMENU LoadMenuW(HINSTANCE instance, LPCWSTR name);

// Shows the pop-up menu at the screen point (x, y) and runs a modal loop, serving other
// messages, until an item is chosen, the stylus taps outside, back is pressed, EndMenu is
// called, or the owner goes away or is hidden. A choice is posted to the owner as WM_COMMAND,
// or with TPM_RETURNCMD returned (0 when nothing was chosen). FALSE for a bad menu or owner.
BOOL TrackPopupMenuEx(HMENU menu, UINT flags, int x, int y, HWND owner, const TPMPARAMS* params);
BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int reserved, HWND owner,
                    const RECT* rect);
// Closes every pop-up menu being tracked, with nothing chosen; safe from any thread.
// FALSE when no menu was open.
BOOL EndMenu();

// The device's names without the W.
inline BOOL AppendMenu(HMENU m, UINT f, UINT_PTR id, LPCWSTR t) {
    return AppendMenuW(m, f, id, t);
}
inline BOOL InsertMenu(HMENU m, UINT p, UINT f, UINT_PTR id, LPCWSTR t) {
    return InsertMenuW(m, p, f, id, t);
}
inline HMENU LoadMenu(HINSTANCE i, LPCWSTR n) {
    return LoadMenuW(i, n);
}
