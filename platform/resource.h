// Module resources: dialog templates, menu-bar definitions, menus and string tables, found by
// type and identifier as on the device. A module (an HINSTANCE; null is the program itself)
// gets its resources by registering a table of constant data at start-up; lookups hand out
// pointers into that table, so the data must live as long as the process.
//
// Data formats by type:
// - RT_DIALOG: one DialogTemplate (platform/dialog.h).
// - RT_MENU: an array of MenuTemplateItem (below).
// - RT_RCDATA: raw bytes, for example a soft-key bar definition (platform/shell.h).
// - RT_STRING: one string; the identifier is the string's, the data its UTF-16 text, NUL
//   terminated, the size its length in bytes without the terminator.
// - RT_ICON: the device path of the icon's PNG image (UTF-16, NUL terminated).
//
// Failures set the last error (ERROR_RESOURCE_DATA_NOT_FOUND for a module without
// resources, ERROR_RESOURCE_TYPE_NOT_FOUND, ERROR_RESOURCE_NAME_NOT_FOUND,
// ERROR_INVALID_PARAMETER, ERROR_INVALID_HANDLE) and are traced.
#pragma once

#include <cstddef>

#include "platform/types.h"
#include "platform/window.h"

struct HRSRC__;
using HRSRC = HRSRC__*;
using HGLOBAL = HANDLE;

constexpr DWORD ERROR_RESOURCE_DATA_NOT_FOUND = 1812;
constexpr DWORD ERROR_RESOURCE_TYPE_NOT_FOUND = 1813;
constexpr DWORD ERROR_RESOURCE_NAME_NOT_FOUND = 1814;

// A resource named by number rather than by string.
#define MAKEINTRESOURCEW(i) (reinterpret_cast<LPWSTR>(static_cast<ULONG_PTR>(static_cast<WORD>(i))))
#define MAKEINTRESOURCE(i) MAKEINTRESOURCEW(i)
inline bool IS_INTRESOURCE(LPCWSTR name) {
    return (reinterpret_cast<ULONG_PTR>(name) >> 16) == 0;
}

#define RT_ICON MAKEINTRESOURCEW(3)
#define RT_MENU MAKEINTRESOURCEW(4)
#define RT_DIALOG MAKEINTRESOURCEW(5)
#define RT_STRING MAKEINTRESOURCEW(6)
#define RT_RCDATA MAKEINTRESOURCEW(10)

// One resource of a module's table.
struct ResourceEntry {
    LPCWSTR type;      // RT_ value, or a type name
    UINT id;           // identifier, 1 to 65535
    const void* data;  // the resource's bytes, constant for the life of the process
    DWORD size;        // their count
};

// One item of an RT_MENU template, in the order of a resource script: an item with MF_POPUP
// (platform/menu.h) is followed by the items of its pop-up; MF_END marks the last item of a
// list; MF_SEPARATOR and MF_GRAYED as in AppendMenu.
struct MenuTemplateItem {
    UINT flags;    // MF_ flags, MF_END on the last item of its list
    UINT id;       // command identifier; 0 for a pop-up or a separator
    LPCWSTR text;  // the item's text; null for a separator
};

// Gives module its resources, replacing any table it had; count 0 takes them away. FALSE
// (ERROR_INVALID_PARAMETER, traced) for a missing table, an entry without type or data, an
// identifier outside 1 to 65535, a malformed string or the same type and identifier twice.
BOOL RegisterModuleResources(HINSTANCE module, const ResourceEntry* entries, size_t count);

// name and type are MAKEINTRESOURCE values or strings ("#123" names number 123).
HRSRC FindResourceW(HINSTANCE module, LPCWSTR name, LPCWSTR type);
// The resource's data; null for a handle that is not one of module's resources.
HGLOBAL LoadResource(HINSTANCE module, HRSRC resource);
LPVOID LockResource(HGLOBAL data);
DWORD SizeofResource(HINSTANCE module, HRSRC resource);  // 0 for a bad handle

// Copies string id into buffer, at most cap - 1 characters, always terminated, and returns the
// characters copied; 0 with an empty buffer for an unknown id. With cap 0, buffer receives a
// read-only pointer to the text itself (as an LPCWSTR) and the text's length is returned.
int LoadStringW(HINSTANCE module, UINT id, LPWSTR buffer, int cap);

// The module's shared icon (never destroyed), or null when it has no such RT_ICON resource.
HICON LoadIconW(HINSTANCE module, LPCWSTR name);

// The device's names without the W.
inline HRSRC FindResource(HINSTANCE m, LPCWSTR n, LPCWSTR t) {
    return FindResourceW(m, n, t);
}
inline int LoadString(HINSTANCE m, UINT id, LPWSTR b, int cap) {
    return LoadStringW(m, id, b, cap);
}
inline HICON LoadIcon(HINSTANCE m, LPCWSTR n) {
    return LoadIconW(m, n);
}
