// Wide (UTF-16) strings and their conversion to UTF-8 at the platform edge.
#pragma once

#include <string>
#include <string_view>

#include "platform/types.h"

using WString = std::u16string;
using WStringView = std::u16string_view;

// Invalid sequences become U+FFFD; conversion never fails.
std::string ToUtf8(WStringView s);
std::string ToUtf8(LPCWSTR s);  // null gives ""
WString FromUtf8(std::string_view s);

size_t WStrLen(LPCWSTR s);  // null gives 0
int WStrCmp(LPCWSTR a, LPCWSTR b);
int WStrICmp(LPCWSTR a, LPCWSTR b);  // ASCII case folding only
// Copies at most cap-1 characters and always terminates; returns the characters copied.
size_t WStrCopyN(LPWSTR dst, LPCWSTR src, size_t cap);
