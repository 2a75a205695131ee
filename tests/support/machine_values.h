// Values below HKEY_LOCAL_MACHINE as the tests set and read them, and the keys of the
// stand-ins' settings.
#pragma once

#include "platform/registry.h"
#include "platform/wstr.h"

// The engines' settings ("BytesPerSecond", "FailAtPercent", "FailCode", "Albums", ...).
constexpr WCHAR kZorvidKey[] = u"SOFTWARE\\Velmar\\Engines\\Zorvid";
constexpr WCHAR kPelfinKey[] = u"SOFTWARE\\Velmar\\Engines\\Pelfin";
// The connection manager stand-in's settings ("Mode": 0 connect, 1 fail, 2 keep waiting).
constexpr WCHAR kConnMgrKey[] = u"SOFTWARE\\Velmar\\ConnMgr";
// Where the power guard keeps its flag "App1".
constexpr WCHAR kAppStatusKey[] = u"SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus";

// Sets a value of type below HKEY_LOCAL_MACHINE, creating the key; false on failure.
inline bool SetMachineValue(LPCWSTR key, LPCWSTR name, DWORD type, const void* data, DWORD size) {
    HKEY h = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, &h, nullptr) != ERROR_SUCCESS) {
        return false;
    }
    LONG rc = RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS;
}
inline bool SetMachineDword(LPCWSTR key, LPCWSTR name, DWORD value) {
    return SetMachineValue(key, name, REG_DWORD, &value, sizeof value);
}
inline bool SetMachineText(LPCWSTR key, LPCWSTR name, const WString& text) {
    return SetMachineValue(key, name, REG_SZ, text.c_str(),
                           static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

// A REG_DWORD below HKEY_LOCAL_MACHINE, or fallback when absent or of another type.
inline DWORD MachineDword(LPCWSTR key, LPCWSTR name, DWORD fallback) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return fallback;
    DWORD value = 0, size = sizeof value, type = 0;
    LONG rc = RegQueryValueExW(h, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS && type == REG_DWORD ? value : fallback;
}

// A REG_SZ below HKEY_LOCAL_MACHINE, empty when absent.
inline WString MachineText(LPCWSTR key, LPCWSTR name) {
    HKEY h = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return u"";
    WCHAR buf[MAX_PATH] = {};
    DWORD size = sizeof buf - sizeof(WCHAR);
    LONG rc = RegQueryValueExW(h, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS ? WString(buf) : WString();
}
