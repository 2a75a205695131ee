// The device registry: keys under HKEY_LOCAL_MACHINE (and the other predefined roots)
// holding REG_DWORD, REG_SZ and raw binary values. The whole registry is one text file in the
// device root, \Windows\registry.txt, that a person can read and edit; see docs/registry.md.
//
// Every call looks at the file anew (its parse is kept only while the file stays the same),
// so changes made by another process on the device are seen at once; every change is written
// under a lock, so concurrent writers never lose a value. Key and value names are compared
// without regard to ASCII case. Access rights and options are accepted and ignored, as on the
// device.
#pragma once

#include "platform/types.h"

struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using REGSAM = DWORD;
using LPDWORD = DWORD*;
using LPBYTE = BYTE*;

// Predefined root keys; always open, never closed or deleted.
#define HKEY_CLASSES_ROOT (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u)))
#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u)))
#define HKEY_LOCAL_MACHINE (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000002u)))
#define HKEY_USERS (reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000003u)))

// Value types.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;

// Access rights (not enforced).
constexpr REGSAM KEY_QUERY_VALUE = 0x0001;
constexpr REGSAM KEY_SET_VALUE = 0x0002;
constexpr REGSAM KEY_CREATE_SUB_KEY = 0x0004;
constexpr REGSAM KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr REGSAM KEY_READ = 0x20019;
constexpr REGSAM KEY_WRITE = 0x20006;
constexpr REGSAM KEY_ALL_ACCESS = 0xF003F;

// Key options and creation dispositions.
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;

// Longest key name (one component) and value name, in characters.
constexpr DWORD MAX_KEY_NAME_CHARS = 255;
constexpr DWORD MAX_VALUE_NAME_CHARS = 16383;

// All calls return ERROR_SUCCESS or a Win32 error code: ERROR_INVALID_HANDLE for an unknown
// key handle, ERROR_KEY_DELETED when the handle's key was deleted (by anyone) after it was
// opened, ERROR_FILE_NOT_FOUND for a missing key or value, ERROR_INVALID_PARAMETER for a
// malformed name or argument, ERROR_DISK_FULL / ERROR_WRITE_FAULT / ERROR_ACCESS_DENIED when
// the registry file cannot be written (it is then left as it was).

// Opens an existing key below hKey; an empty or null subKey gives a new handle to hKey itself.
LONG RegOpenKeyExW(HKEY hKey, LPCWSTR subKey, DWORD options, REGSAM sam, PHKEY result);
// Opens subKey below hKey, creating it and any missing keys above it; disposition (optional)
// receives REG_CREATED_NEW_KEY or REG_OPENED_EXISTING_KEY.
LONG RegCreateKeyExW(HKEY hKey, LPCWSTR subKey, DWORD reserved, LPWSTR keyClass, DWORD options,
                     REGSAM sam, void* security, PHKEY result, LPDWORD disposition);
// Reads a value (null or "" names the key's default value). type and data are optional; with
// data null only *cbData (the size in bytes) is returned; a too small buffer gives
// ERROR_MORE_DATA with the needed size in *cbData. REG_SZ data includes its terminator.
LONG RegQueryValueExW(HKEY hKey, LPCWSTR valueName, LPDWORD reserved, LPDWORD type, LPBYTE data,
                      LPDWORD cbData);
// Writes a value. REG_DWORD takes exactly 4 bytes; REG_SZ takes UTF-16 text, read up to its
// terminator or the end of data; any other type is stored as raw bytes.
LONG RegSetValueExW(HKEY hKey, LPCWSTR valueName, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD cbData);
LONG RegDeleteValueW(HKEY hKey, LPCWSTR valueName);
// Deletes subKey below hKey with all its values and subkeys; "" deletes hKey's own key.
LONG RegDeleteKeyW(HKEY hKey, LPCWSTR subKey);
// The index-th value of the key in file order; ERROR_NO_MORE_ITEMS past the last.
// *cchName is the name buffer's size in characters on entry (terminator included) and the
// name's length without terminator on return (ERROR_MORE_DATA and the size needed, terminator
// included, when the buffer is too small); type, data and cbData as for RegQueryValueExW.
LONG RegEnumValueW(HKEY hKey, DWORD index, LPWSTR name, LPDWORD cchName, LPDWORD reserved,
                   LPDWORD type, LPBYTE data, LPDWORD cbData);
// The index-th direct subkey's name, in sorted order; ERROR_NO_MORE_ITEMS past the last.
LONG RegEnumKeyExW(HKEY hKey, DWORD index, LPWSTR name, LPDWORD cchName, LPDWORD reserved,
                   LPWSTR keyClass, LPDWORD cchClass, FILETIME* lastWrite);
LONG RegCloseKey(HKEY hKey);

// A REG_DWORD value of an open key, or fallback when it is absent. A value that is present
// but not a 4-byte REG_DWORD is traced with tag and gives fallback too.
DWORD RegReadDwordOr(HKEY hKey, LPCWSTR valueName, DWORD fallback, const char* tag);
