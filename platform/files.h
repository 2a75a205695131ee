// Files on the device. Paths are device paths (see devpath.h) or absolute host paths.
#pragma once

#include "platform/handle.h"
#include "platform/types.h"

constexpr DWORD FILE_ATTRIBUTE_READONLY = 0x01;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

struct WIN32_FIND_DATAW {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;  // the file's modification time
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwOID;
    WCHAR cFileName[MAX_PATH];  // the name without its folder
};

// Looks up one file (no wildcards needed by the system; '*' and '?' in the last
// component are honoured). INVALID_HANDLE_VALUE when nothing matches.
HANDLE FindFirstFileW(LPCWSTR path, WIN32_FIND_DATAW* data);
BOOL FindNextFileW(HANDLE find, WIN32_FIND_DATAW* data);
BOOL FindClose(HANDLE find);
BOOL DeleteFileW(LPCWSTR path);
BOOL CreateDirectoryW(LPCWSTR path, void* security);
DWORD GetFileAttributesW(LPCWSTR path);  // INVALID_FILE_ATTRIBUTES when absent
constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;

// Byte-stream files and device files.
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
BOOL ReadFile(HANDLE file, void* buf, DWORD toRead, DWORD* read, void* overlapped);
BOOL WriteFile(HANDLE file, const void* buf, DWORD toWrite, DWORD* written, void* overlapped);
DWORD GetFileSize(HANDLE file, DWORD* high);

// FILETIME of a Unix modification time (seconds and nanoseconds).
FILETIME FileTimeFromUnix(int64_t seconds, int64_t nanoseconds);
