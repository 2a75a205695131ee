// Time: the millisecond tick, the local wall clock and SYSTEMTIME <-> FILETIME conversion.
// Conversions are field by field, without any time-zone adjustment.
#pragma once

#include "platform/types.h"

DWORD GetTickCount();
void GetLocalTime(SYSTEMTIME* st);
void GetSystemTime(SYSTEMTIME* st);
BOOL SystemTimeToFileTime(const SYSTEMTIME* st, FILETIME* ft);  // false for an invalid date
BOOL FileTimeToSystemTime(const FILETIME* ft, SYSTEMTIME* st);
void Sleep(DWORD ms);
