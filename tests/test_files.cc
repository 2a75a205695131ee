// Finding, creating, reading, writing and deleting files in the device root, and how the
// file calls behave when the system calls under them fail.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>

#include "platform/file_os.h"
#include "platform/files.h"
#include "platform/time.h"
#include "platform/wstr.h"
#include "tests/support/test_env.h"

namespace {

class Files : public DeviceTest {};

// Puts the real system calls back when the case ends.
struct OsTableScope {
    FileOsCalls saved = FileOs();
    ~OsTableScope() { FileOs() = saved; }
};

std::set<WString> FindAll(LPCWSTR pattern) {
    std::set<WString> names;
    WIN32_FIND_DATAW fd{};
    HANDLE h = FindFirstFileW(pattern, &fd);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
        names.insert(fd.cFileName);
    } while (FindNextFileW(h, &fd));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(h));
    return names;
}

// The find data of the one entry path names.
WIN32_FIND_DATAW FindOne(LPCWSTR path) {
    WIN32_FIND_DATAW fd{};
    HANDLE h = FindFirstFileW(path, &fd);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << ToUtf8(path);
    EXPECT_FALSE(FindNextFileW(h, &fd));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(FindClose(h));
    EXPECT_FALSE(FindClose(h));  // already closed
    return fd;
}

int g_writeCalls = 0;
long g_bytesBeforeFull = 0;

// Writes at most 3 bytes a call and is interrupted every other call.
long ShortInterruptedWrite(int fd, const void* buf, size_t n) {
    if (++g_writeCalls % 2 == 0) {
        errno = EINTR;
        return -1;
    }
    return FileOsDefaults().Write(fd, buf, std::min<size_t>(n, 3));
}

// Writes until g_bytesBeforeFull bytes went out, then reports a full disk.
long FillingWrite(int fd, const void* buf, size_t n) {
    if (g_bytesBeforeFull <= 0) {
        errno = ENOSPC;
        return -1;
    }
    long w = FileOsDefaults().Write(fd, buf, std::min<size_t>(n, g_bytesBeforeFull));
    if (w > 0) g_bytesBeforeFull -= w;
    return w;
}

int FailingFsync(int) {
    errno = EIO;
    return -1;
}

int InterruptedOnceOpen(const char* path, int flags, unsigned mode) {
    static bool interrupted = false;
    if (!interrupted) {
        interrupted = true;
        errno = EINTR;
        return -1;
    }
    return FileOsDefaults().Open(path, flags, mode);
}

}  // namespace

TEST_F(Files, FindReportsNameSizeTimeAndKindIgnoringCaseAndMatchesWildcards) {
    const std::string clip = root_ + "/My Documents/clip.3gp";
    WriteHostFile(clip, std::string(1234, 'x'));
    SYSTEMTIME st{2024, 5, 0, 1, 12, 34, 56, 789};  // 2024-05-01 12:34:56.789 UTC
    FILETIME expected{};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &expected));
    const time_t unixSec = static_cast<time_t>(FileTimeToU64(expected) / 10000000 - 11644473600ull);
    const timespec times[2] = {{unixSec, 789000000}, {unixSec, 789000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, clip.c_str(), times, 0), 0);
    WIN32_FIND_DATAW fd = FindOne(u"\\My Documents\\clip.3gp");
    EXPECT_EQ(WString(fd.cFileName), u"clip.3gp");
    EXPECT_EQ(fd.nFileSizeLow, 1234u);
    EXPECT_EQ(fd.nFileSizeHigh, 0u);
    EXPECT_EQ(fd.dwFileAttributes, FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(FileTimeToU64(fd.ftLastWriteTime), FileTimeToU64(expected));

    // Sizes past 4 GiB split into high and low; names ignore case, as on the device.
    const std::string big = root_ + "/big.mp4";
    WriteHostFile(big, "");
    ASSERT_EQ(truncate(big.c_str(), (5LL << 30) + 7), 0);  // sparse: costs no disk
    fd = FindOne(u"\\BIG.MP4");
    EXPECT_EQ(WString(fd.cFileName), u"big.mp4");
    EXPECT_EQ(fd.nFileSizeHigh, 1u);
    EXPECT_EQ(fd.nFileSizeLow, (1u << 30) + 7);

    WriteHostFile(root_ + "/Pics/a.jpg", "1");
    WriteHostFile(root_ + "/Pics/B.JPG", "22");
    WriteHostFile(root_ + "/Pics/c.png", "333");
    WriteHostFile(root_ + "/Pics/sub/d.jpg", "4");
    EXPECT_EQ(FindAll(u"\\Pics\\*.jpg"), (std::set<WString>{u"a.jpg", u"B.JPG"}));
    EXPECT_EQ(FindAll(u"\\Pics\\?.png"), (std::set<WString>{u"c.png"}));
    EXPECT_EQ(FindAll(u"\\Pics\\*.*"), (std::set<WString>{u"a.jpg", u"B.JPG", u"c.png", u"sub"}));
    EXPECT_EQ(FindOne(u"\\Pics\\su*").dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY,
              FILE_ATTRIBUTE_DIRECTORY);

    // Entries removed during a search are skipped.
    HANDLE h = FindFirstFileW(u"\\Pics\\*.jpg", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const WString seen = fd.cFileName;
    ASSERT_TRUE(
        DeleteFileW((u"\\Pics\\" + (seen == u"a.jpg" ? WString(u"B.JPG") : u"a.jpg")).c_str()));
    EXPECT_FALSE(FindNextFileW(h, &fd));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    FindClose(h);
}

TEST_F(Files, MissingPathsDeletesMovesAndFoldersReportWhatWentWrong) {
    WIN32_FIND_DATAW fd{};
    const std::pair<LPCWSTR, DWORD> missing[] = {{u"\\nowhere.jpg", ERROR_FILE_NOT_FOUND},
                                                 {u"\\no folder\\x.jpg", ERROR_PATH_NOT_FOUND},
                                                 {u"\\no folder\\*.jpg", ERROR_PATH_NOT_FOUND}};
    for (const auto& [path, error] : missing) {
        EXPECT_EQ(FindFirstFileW(path, &fd), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), error) << ToUtf8(path);
    }
    EXPECT_EQ(FindFirstFileW(nullptr, &fd), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileAttributesW(u"\\nowhere.jpg"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileW(u"\\nowhere.jpg", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    WriteHostFile(root_ + "/Windows/old.tmp", "x");
    EXPECT_EQ(GetFileAttributesW(u"\\Windows"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(GetFileAttributesW(u"\\Windows\\old.tmp"), FILE_ATTRIBUTE_NORMAL);
    EXPECT_TRUE(DeleteFileW(u"\\Windows\\old.tmp"));
    EXPECT_FALSE(HostFileExists(root_ + "/Windows/old.tmp"));
    EXPECT_FALSE(DeleteFileW(u"\\Windows\\old.tmp"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileW(u"\\Windows"));  // a folder is not a file
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(HostFileExists(root_ + "/Windows"));

    EXPECT_TRUE(CreateDirectoryW(u"\\Outbox", nullptr));
    EXPECT_FALSE(CreateDirectoryW(u"\\Outbox", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryW(u"\\No\\Such\\Parent", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    WriteHostFile(root_ + "/Outbox/f", "1");
    EXPECT_FALSE(RemoveDirectoryW(u"\\Outbox"));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    EXPECT_TRUE(MoveFileW(u"\\Outbox\\f", u"\\Outbox\\g"));
    EXPECT_EQ(ReadHostFile(root_ + "/Outbox/g"), "1");
    WriteHostFile(root_ + "/Outbox/h", "2");
    EXPECT_FALSE(MoveFileW(u"\\Outbox\\g", u"\\Outbox\\h"));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
}

TEST_F(Files, StreamRoundTripAndDispositions) {
    HANDLE h = CreateFileW(u"\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
    EXPECT_EQ(n, 11u);
    DWORD high = 99;
    EXPECT_EQ(GetFileSize(h, &high), 11u);
    EXPECT_EQ(high, 0u);
    EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
    char buf[32] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "world");
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);  // end of file
    EXPECT_EQ(SetFilePointer(h, 5, nullptr, FILE_BEGIN), 5u);
    EXPECT_TRUE(SetEndOfFile(h));
    EXPECT_TRUE(FlushFileBuffers(h));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(ReadHostFile(root_ + "/data.bin"), "hello");

    EXPECT_EQ(CreateFileW(u"\\data.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    h = CreateFileW(u"\\data.bin", GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));  // opened for reading only
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(h);
    h = CreateFileW(u"\\data.bin", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(h, nullptr), 0u);  // truncated
    CloseHandle(h);
    ASSERT_TRUE(CreateDirectoryW(u"\\Windows", nullptr));
    EXPECT_EQ(CreateFileW(u"\\Windows", GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);  // a folder is no byte stream
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));  // closed handle
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(Files, FailingSystemCallsAreRetriedOrReportedWithWhatWasWritten) {
    OsTableScope scope;
    // Short writes and interruptions: everything is still written.
    FileOs().Write = ShortInterruptedWrite;
    FileOs().Open = InterruptedOnceOpen;
    HANDLE h = CreateFileW(u"\\short.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string text = "a record of twenty-nine bytes";
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr));
    EXPECT_EQ(n, text.size());
    EXPECT_GT(g_writeCalls, 10);  // the fault really was in the way
    CloseHandle(h);
    EXPECT_EQ(ReadHostFile(root_ + "/short.txt"), text);

    // A full disk and a failed flush are reported, with what went out.
    g_bytesBeforeFull = 4;
    FileOs().Write = FillingWrite;
    FileOs().Fsync = FailingFsync;
    h = CreateFileW(u"\\full.txt", GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    n = 77;
    EXPECT_FALSE(WriteFile(h, "0123456789", 10, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(n, 4u);
    EXPECT_FALSE(FlushFileBuffers(h));
    EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
    CloseHandle(h);
    EXPECT_EQ(ReadHostFile(root_ + "/full.txt"), "0123");
}
