// The system's own settings: two one-shot requests, set by another component on the device,
// to drop every pending task of one site at the next start.
#pragma once

#include "platform/types.h"

constexpr WCHAR SETTINGS_KEY[] = u"SOFTWARE\\Velmar\\Vantlo";  // under HKEY_LOCAL_MACHINE
constexpr WCHAR SETTING_CLEAR_YOUTUBE[] = u"ClearYoutube";
constexpr WCHAR SETTING_CLEAR_FACEBOOK[] = u"ClearFacebook";
constexpr DWORD CLEAR_REQUESTED = 1;  // only this value asks for a clear

// Reads both requests (0 when the key or a value is missing, or not a 4-byte value) and,
// when the key exists, writes 0 into both. Never creates the key. Returns whether the key
// could be opened.
BOOL ConsumeClearRequests(DWORD* clearYoutube, DWORD* clearFacebook);
