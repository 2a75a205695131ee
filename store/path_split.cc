#include "store/path_split.h"

#include "platform/wstr.h"

namespace {

bool IsSeparator(WCHAR c) {
    return c == u'\\' || c == u'/' || c == u':';
}

// Index of the last separator of path, or -1.
ptrdiff_t LastSeparator(LPCWSTR path) {
    ptrdiff_t last = -1;
    for (ptrdiff_t i = 0; path[i]; i++) {
        if (IsSeparator(path[i])) last = i;
    }
    return last;
}

void CopyN(LPWSTR dest, LPCWSTR src, size_t count, DWORD capacity) {
    if (count > capacity - 1) count = capacity - 1;
    for (size_t i = 0; i < count; i++) dest[i] = src[i];
    dest[count] = 0;
}

}  // namespace

LPWSTR SplitFileName(LPWSTR dest, LPCWSTR path, DWORD capacity) {
    if (!dest || capacity == 0) return dest;
    if (!path) {
        dest[0] = 0;
        return dest;
    }
    ptrdiff_t sep = LastSeparator(path);
    WStrCopyN(dest, path + sep + 1, capacity);
    dest[capacity - 1] = 0;
    return dest;
}

LPWSTR SplitFolder(LPWSTR dest, LPCWSTR path, BOOL withoutSeparator, DWORD capacity) {
    if (!dest || capacity == 0) return dest;
    if (!path) {
        dest[0] = 0;
        return dest;
    }
    ptrdiff_t sep = LastSeparator(path);
    if (sep < 0) {
        WStrCopyN(dest, path, capacity);
        return dest;
    }
    size_t length = static_cast<size_t>(sep) + (withoutSeparator ? 0 : 1);
    CopyN(dest, path, length, capacity);
    return dest;
}
