// The engines' settings in the device registry, under HKEY_LOCAL_MACHINE
// "SOFTWARE\Velmar\Engines\<engine>": a throughput limit and a fault to inject, so that
// progress, failure and cancellation can be watched on a device without a network.
#pragma once

#include "platform/types.h"
#include "platform/wstr.h"

constexpr WCHAR ZORVID_SETTINGS_KEY[] = u"SOFTWARE\\Velmar\\Engines\\Zorvid";
constexpr WCHAR PELFIN_SETTINGS_KEY[] = u"SOFTWARE\\Velmar\\Engines\\Pelfin";

// One upload's settings, read when the upload starts.
struct EngineSettings {
    DWORD bytesPerSecond = 0;  // "BytesPerSecond": throughput limit, 0 = unlimited
    DWORD failAtPercent = 0;   // "FailAtPercent": where the injected fault is reported
    HRESULT failCode = S_OK;   // "FailCode": the fault to report, 0 = none
};

// The settings under key; absent or malformed values keep their defaults (traced).
EngineSettings ReadEngineSettings(LPCWSTR key, const char* tag);
// A REG_DWORD value of key; false when the key or value is absent or of another type.
bool ReadEngineDword(LPCWSTR key, LPCWSTR value, DWORD* out, const char* tag);
// A REG_SZ value of key; false when the key or value is absent or of another type.
bool ReadEngineString(LPCWSTR key, LPCWSTR value, WString* out, const char* tag);
