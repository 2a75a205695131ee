// Dynamic libraries: LoadLibraryW, GetProcAddress and FreeLibrary over the host's loader.
// A library is named by a device path (\Windows\Zorvid.dll is the file Windows/Zorvid.dll
// under the device root, a host shared object whatever its name) or by a bare file name,
// which is looked for in \Windows as the device does. Loading the same file again returns
// the same handle; each successful load needs its own FreeLibrary. Failures set the last
// error and are traced.
#pragma once

#include "platform/types.h"

struct HINSTANCE__;
using HINSTANCE = HINSTANCE__*;
using HMODULE = HINSTANCE;
using FARPROC = void (*)();

constexpr DWORD ERROR_MOD_NOT_FOUND = 126;
constexpr DWORD ERROR_PROC_NOT_FOUND = 127;
constexpr DWORD ERROR_BAD_EXE_FORMAT = 193;

// Null on failure: ERROR_INVALID_PARAMETER, ERROR_MOD_NOT_FOUND or ERROR_BAD_EXE_FORMAT.
HMODULE LoadLibraryW(LPCWSTR fileName);
// Null on failure: ERROR_INVALID_HANDLE, ERROR_INVALID_PARAMETER or ERROR_PROC_NOT_FOUND.
FARPROC GetProcAddressW(HMODULE module, LPCWSTR procName);
FARPROC GetProcAddress(HMODULE module, const char* procName);
// Drops one load; the library is unloaded with its last one. FALSE for an unknown handle.
BOOL FreeLibrary(HMODULE module);

// The export as a function pointer of type F, or null (see GetProcAddress).
template <class F>
F GetProcAddressAs(HMODULE module, const char* procName) {
    return reinterpret_cast<F>(GetProcAddress(module, procName));
}
