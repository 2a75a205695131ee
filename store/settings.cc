#include "store/settings.h"

#include "platform/registry.h"
#include "platform/trace.h"

namespace {

// The 4-byte value name of key, or 0 when it is missing or of another size.
DWORD ReadDword(HKEY key, LPCWSTR name) {
    DWORD value = 0;
    DWORD size = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size) !=
            ERROR_SUCCESS ||
        size != sizeof value) {
        return 0;
    }
    return value;
}

void ResetDword(HKEY key, LPCWSTR name) {
    DWORD zero = 0;
    LONG rc =
        RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&zero), sizeof zero);
    if (rc != ERROR_SUCCESS) Trace("[Vantlo] Fail to reset setting %s, error %d", name, rc);
}

}  // namespace

BOOL ConsumeClearRequests(DWORD* clearYoutube, DWORD* clearFacebook) {
    DWORD youtube = 0;
    DWORD facebook = 0;
    HKEY key = nullptr;
    BOOL opened =
        RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS;
    if (opened) {
        youtube = ReadDword(key, SETTING_CLEAR_YOUTUBE);
        facebook = ReadDword(key, SETTING_CLEAR_FACEBOOK);
        // The requests are one-shot: consumed on every start, whatever they held.
        ResetDword(key, SETTING_CLEAR_YOUTUBE);
        ResetDword(key, SETTING_CLEAR_FACEBOOK);
        RegCloseKey(key);
    }
    if (clearYoutube) *clearYoutube = youtube;
    if (clearFacebook) *clearFacebook = facebook;
    return opened;
}
