// Dates and times as text in the device's one locale, English (United States).
#pragma once

#include "platform/types.h"

using LCID = DWORD;

constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
constexpr LCID LOCALE_USER_DEFAULT = 0x0400;

constexpr DWORD DATE_SHORTDATE = 0x00000001;  // "M/d/yyyy"
constexpr DWORD DATE_LONGDATE = 0x00000002;   // "dddd, MMMM d, yyyy"
constexpr DWORD TIME_NOMINUTESORSECONDS = 0x00000001;
constexpr DWORD TIME_NOSECONDS = 0x00000002;
constexpr DWORD TIME_NOTIMEMARKER = 0x00000004;
constexpr DWORD TIME_FORCE24HOURFORMAT = 0x00000008;

constexpr DWORD ERROR_INVALID_FLAGS = 1004;

// Formats date (null: today) by the picture format (d dd ddd dddd, M MM MMM MMMM, y yy yyyy,
// 'quoted text') or, when format is null, by DATE_SHORTDATE / DATE_LONGDATE. Returns the
// characters written including the NUL; with cch 0 the size needed. 0 on failure
// (ERROR_INVALID_PARAMETER for a bad date, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_FLAGS).
int GetDateFormatW(LCID locale, DWORD flags, const SYSTEMTIME* date, LPCWSTR format, LPWSTR out,
                   int cch);
// As GetDateFormatW for a time (null: now): h hh H HH m mm s ss t tt, default "h:mm:ss tt".
int GetTimeFormatW(LCID locale, DWORD flags, const SYSTEMTIME* time, LPCWSTR format, LPWSTR out,
                   int cch);
