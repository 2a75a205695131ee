// Files on the device. Paths are device paths (see devpath.h) or absolute host paths.
#pragma once

#include "platform/handle.h"
#include "platform/types.h"

constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_DIR_NOT_EMPTY = 145;

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

BOOL RemoveDirectoryW(LPCWSTR path);  // the folder must be empty
// Renames a file or folder; fails with ERROR_ALREADY_EXISTS when the target exists.
BOOL MoveFileW(LPCWSTR from, LPCWSTR to);

// Byte-stream files and device files. Share modes are accepted and not enforced.
constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD FILE_SHARE_READ = 0x1;
constexpr DWORD FILE_SHARE_WRITE = 0x2;
constexpr DWORD TRUNCATE_EXISTING = 5;
constexpr DWORD FILE_FLAG_WRITE_THROUGH = 0x80000000;
// CREATE_ALWAYS and OPEN_ALWAYS set ERROR_ALREADY_EXISTS when the file was there before.
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
// Reads until toRead bytes or the end of the file; *read is 0 at the end.
BOOL ReadFile(HANDLE file, void* buf, DWORD toRead, DWORD* read, void* overlapped);
// Writes all toWrite bytes (retrying short writes); on failure *written tells how many went out.
BOOL WriteFile(HANDLE file, const void* buf, DWORD toWrite, DWORD* written, void* overlapped);
// Copies up to toCopy bytes from the current position of from to the current position of to
// within the system, not through the caller's memory; both positions advance by *copied,
// which is 0 at the end of from. FALSE with ERROR_NOT_SUPPORTED when these two files cannot
// be copied so, FALSE with another error when the copy failed; either way *copied tells what
// went through, and the caller may go on with ReadFile and WriteFile.
BOOL CopyFileBytes(HANDLE from, HANDLE to, DWORD toCopy, DWORD* copied);
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;
DWORD GetFileSize(HANDLE file, DWORD* high);
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method);
BOOL SetEndOfFile(HANDLE file);      // cuts (or extends) the file at the current position
BOOL FlushFileBuffers(HANDLE file);  // the data reaches the disk (fsync)

// FILETIME of a Unix modification time (seconds and nanoseconds).
FILETIME FileTimeFromUnix(int64_t seconds, int64_t nanoseconds);
