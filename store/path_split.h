// Splitting a full path into its folder and its file name. Backslash, slash and colon all
// count as separators.
#pragma once

#include "platform/types.h"

// Copies the characters after the last separator (the whole path when it has none), at most
// capacity - 1 of them; dest[capacity - 1] is always NUL. Returns dest.
LPWSTR SplitFileName(LPWSTR dest, LPCWSTR path, DWORD capacity);

// Copies the characters before the last separator, plus the separator itself unless
// withoutSeparator; the whole path when it has none. At most capacity - 1 characters, NUL
// terminated right after them. Returns dest.
LPWSTR SplitFolder(LPWSTR dest, LPCWSTR path, BOOL withoutSeparator, DWORD capacity);
