// The platform's basics: wide strings, time conversion, the device root, the trace line
// format and handles; events, waits, critical sections, mutexes and threads; files in the
// device root, also when the system calls under them fail; and dynamic libraries loaded from
// the device root, their exports and their unloading, every failure a null result with the
// last error set and a trace line.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/devpath.h"
#include "platform/file_os.h"
#include "platform/files.h"
#include "platform/handle.h"
#include "platform/module.h"
#include "platform/sync.h"
#include "platform/time.h"
#include "platform/trace.h"
#include "platform/wstr.h"
#include "tests/support/test_env.h"
#include "tests/upload/engine_fixture.h"

TEST(WideStrings, RoundTripThroughUtf8ReplaceWhatIsInvalidAndCopyWithinCapacity) {
    WString w = u"Caf\u00e9 \u65e5\u672c \U0001F600 end";
    std::string u8 = ToUtf8(w);
    EXPECT_EQ(u8, "Caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 end");
    EXPECT_EQ(FromUtf8(u8), w);
    EXPECT_EQ(FromUtf8("a\xFF"
                       "b"),
              u"a\uFFFDb");
    EXPECT_EQ(FromUtf8("\xE6\x97"), u"\uFFFD\uFFFD");
    EXPECT_EQ(ToUtf8(WString(1, char16_t(0xD800))), "\xEF\xBF\xBD");

    WCHAR buf[4] = {1, 1, 1, 1};
    EXPECT_EQ(WStrCopyN(buf, u"abcdef", 4), 3u);
    EXPECT_EQ(WString(buf), u"abc");
    EXPECT_EQ(WStrCopyN(buf, nullptr, 4), 0u);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(WStrICmp(u"WINDOWS", u"windows"), 0);
    EXPECT_LT(WStrCmp(u"a", u"b"), 0);
}

TEST(Time, SystemTimesConvertToTheMillisecondAndInvalidDatesAreRefused) {
    SYSTEMTIME st{2026, 12, 0, 6, 23, 59, 58, 999};
    FILETIME ft{};
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    SYSTEMTIME back{};
    ASSERT_TRUE(FileTimeToSystemTime(&ft, &back));
    st.wDayOfWeek = 0;  // a Sunday
    EXPECT_EQ(memcmp(&back, &st, sizeof st), 0);

    SYSTEMTIME unix0{1970, 1, 0, 1, 0, 0, 0, 0};
    ASSERT_TRUE(SystemTimeToFileTime(&unix0, &ft));
    EXPECT_EQ(FileTimeToU64(ft), 116444736000000000ull);
    SYSTEMTIME leap{2024, 2, 0, 29, 12, 0, 0, 0};
    EXPECT_TRUE(SystemTimeToFileTime(&leap, &ft));
    for (SYSTEMTIME bad :
         {SYSTEMTIME{2023, 2, 0, 29, 0, 0, 0, 0}, SYSTEMTIME{2024, 1, 0, 1, 0, 0, 0, 1000}}) {
        EXPECT_FALSE(SystemTimeToFileTime(&bad, &ft));
    }

    GetLocalTime(&st);
    EXPECT_GE(st.wYear, 2024);
    DWORD t0 = GetTickCount();
    Sleep(20);
    EXPECT_GE(GetTickCount() - t0, 15u);
}

class DeviceRootTest : public DeviceTest {};

TEST_F(DeviceRootTest, DevicePathsMapIntoTheRootWhichIsCreatedOnFirstUse) {
    std::filesystem::create_directories(root_ + "/Windows");
    EXPECT_EQ(HostPath(u"\\Windows\\UploadHistory.vol"), root_ + "/Windows/UploadHistory.vol");
    EXPECT_EQ(HostPath(u"\\WINDOWS\\x.dll"), root_ + "/Windows/x.dll");  // first folder: any case
    EXPECT_EQ(HostPath(u"\\Temp\\a\\b.xml"), root_ + "/Temp/a/b.xml");
    EXPECT_EQ(HostPath(u"/var/tmp/x.jpg"), "/var/tmp/x.jpg");
    EXPECT_TRUE(EnsureParentFolder(HostPath(u"\\Temp\\a\\b.xml")));
    EXPECT_TRUE(std::filesystem::is_directory(root_ + "/Temp/a"));

    std::string fresh = root_ + "/nested/deeper";
    setenv("VANTLO_ROOT", fresh.c_str(), 1);
    EXPECT_EQ(DeviceRoot(), fresh);
    EXPECT_TRUE(std::filesystem::is_directory(fresh));
}

TEST_F(DeviceRootTest, TraceLinesCarryThePrefixAndWideArgumentsAndNeverInterleave) {
    UseTraceFile();
    WString wide = u"h\u00e9llo";
    Trace("[Vantlo] Data exist history db: %s", wide.c_str());
    Trace("plain %d %s", 7, WString(u"w"));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i)
                Trace("thread %d line %d %s", t, i, std::string(100, 'x'));
        });
    }
    for (auto& th : threads) th.join();
    unsetenv("VANTLO_TRACE_FILE");
    int count = 0;
    for (const std::string& line : SplitLines(trace_.Text())) {
        ++count;
        ASSERT_EQ(line.rfind("[Orbel] [", 0), 0u) << line;
        size_t close = line.find("] ", 9);
        ASSERT_NE(close, std::string::npos);
        std::string msg = line.substr(close + 2);
        if (count == 1) {
            EXPECT_EQ(msg, "[Vantlo] Data exist history db: h\xC3\xA9llo");
        } else if (count == 2) {
            EXPECT_EQ(msg, "plain 7 w");
        } else {
            EXPECT_EQ(msg.size() - msg.rfind(' ') - 1, 100u) << line;
        }
    }
    EXPECT_EQ(count, 2 + 4 * 200);
}

TEST(Handles, ClosedOrUnknownHandlesAreRefused) {
    struct Obj : KernelObject {};
    HANDLE h = NewHandle(std::make_shared<Obj>());
    EXPECT_NE(HandleAs<Obj>(h), nullptr);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(HandleAs<Obj>(h), nullptr);
    EXPECT_EQ(Err(CloseHandle(h)), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x1234567)));
}

namespace {

// Long enough that a wait which should end never reaches it; it only guards against a hang.
constexpr DWORD kWatchdogMs = 10000;

// Runs start(param) on a new thread to its end; its exit code.
DWORD RunToEnd(LPTHREAD_START_ROUTINE start, LPVOID param) {
    HANDLE t = CreateThread(nullptr, 0, start, param, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, kWatchdogMs), WAIT_OBJECT_0);
    DWORD code = 99;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    CloseHandle(t);
    return code;
}

DWORD SetEventThread(LPVOID event) {
    return SetEvent(static_cast<HANDLE>(event));
}
DWORD WaitThread(LPVOID object) {
    return WaitForSingleObject(static_cast<HANDLE>(object), kWatchdogMs);
}
DWORD PollThread(LPVOID object) {
    return WaitForSingleObject(static_cast<HANDLE>(object), 0);
}

}  // namespace

TEST(Events, AutoResetReleasesOneWaitManualResetEveryWaitUntilReset) {
    HANDLE autoEv = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_TRUE(autoEv && manual);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);  // the first wait took the signal
    ASSERT_TRUE(SetEvent(autoEv));
    ASSERT_TRUE(SetEvent(autoEv));  // signals do not add up
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);

    EXPECT_EQ(WaitForSingleObject(manual, 10), WAIT_TIMEOUT);
    HANDLE threads[3];
    for (HANDLE& t : threads) t = CreateThread(nullptr, 0, WaitThread, manual, 0, nullptr);
    ASSERT_TRUE(SetEvent(manual));
    ASSERT_EQ(WaitForMultipleObjects(3, threads, TRUE, kWatchdogMs), WAIT_OBJECT_0);
    for (HANDLE t : threads) {
        DWORD code = 99;
        EXPECT_TRUE(GetExitCodeThread(t, &code));
        EXPECT_EQ(code, WAIT_OBJECT_0);
        CloseHandle(t);
    }
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), WAIT_TIMEOUT);
    CloseHandle(autoEv);
    CloseHandle(manual);
}

TEST(Waits, WaitAnyGivesTheFirstSignalledIndexAndWaitAllTakesAllOrNone) {
    HANDLE evs[3] = {CreateEventW(nullptr, FALSE, FALSE, nullptr),
                     CreateEventW(nullptr, FALSE, FALSE, nullptr),
                     CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    EXPECT_EQ(WaitForMultipleObjects(3, evs, FALSE, 10), WAIT_TIMEOUT);
    SetEvent(evs[2]);
    SetEvent(evs[1]);
    EXPECT_EQ(WaitForMultipleObjects(3, evs, FALSE, 0), WAIT_OBJECT_0 + 1);
    // The auto-reset event was taken; the manual-reset one remains.
    EXPECT_EQ(WaitForMultipleObjects(3, evs, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForSingleObject(evs[1], 0), WAIT_TIMEOUT);

    SetEvent(evs[0]);
    EXPECT_EQ(WaitForMultipleObjects(2, evs, TRUE, 20), WAIT_TIMEOUT);
    // The partial wait must not have consumed the first event.
    EXPECT_EQ(WaitForSingleObject(evs[0], 0), WAIT_OBJECT_0);
    SetEvent(evs[0]);
    HANDLE t = CreateThread(nullptr, 0, SetEventThread, evs[1], 0, nullptr);
    EXPECT_EQ(WaitForMultipleObjects(2, evs, TRUE, kWatchdogMs), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(evs[0], 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(evs[1], 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(t, kWatchdogMs), WAIT_OBJECT_0);
    CloseHandle(t);

    // Bad handles and arguments fail; so does a closed handle.
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0xdead0));
    EXPECT_EQ(WaitForSingleObject(bogus, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    HANDLE twice[2] = {evs[2], evs[2]};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
    EXPECT_EQ(WaitForMultipleObjects(0, twice, FALSE, 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(bogus));
    for (HANDLE ev : evs) ASSERT_TRUE(CloseHandle(ev));
    EXPECT_EQ(WaitForSingleObject(evs[2], 0), WAIT_FAILED);
    EXPECT_FALSE(SetEvent(evs[2]));
}

TEST(CriticalSections, RecursiveForTheOwnerExclusiveForOthersAndSerialising) {
    struct Ctx {
        CRITICAL_SECTION cs;
        long counter = 0;
    } ctx;
    InitializeCriticalSection(&ctx.cs);
    auto tryOther = [](LPVOID p) -> DWORD {
        auto* c = static_cast<Ctx*>(p);
        if (!TryEnterCriticalSection(&c->cs)) return 0;
        LeaveCriticalSection(&c->cs);
        return 1;
    };
    EnterCriticalSection(&ctx.cs);
    EnterCriticalSection(&ctx.cs);
    EXPECT_EQ(RunToEnd(tryOther, &ctx), 0u);
    LeaveCriticalSection(&ctx.cs);
    EXPECT_EQ(RunToEnd(tryOther, &ctx), 0u);  // still held once
    LeaveCriticalSection(&ctx.cs);
    EXPECT_EQ(RunToEnd(tryOther, &ctx), 1u);

    auto bump = [](LPVOID p) -> DWORD {
        auto* c = static_cast<Ctx*>(p);
        for (int i = 0; i < 10000; ++i) {
            EnterCriticalSection(&c->cs);
            EnterCriticalSection(&c->cs);
            long v = c->counter;
            c->counter = v + 1;
            LeaveCriticalSection(&c->cs);
            LeaveCriticalSection(&c->cs);
        }
        return 0;
    };
    HANDLE t[4];
    for (auto& h : t) h = CreateThread(nullptr, 0, bump, &ctx, 0, nullptr);
    ASSERT_EQ(WaitForMultipleObjects(4, t, TRUE, 60000), WAIT_OBJECT_0);
    for (HANDLE h : t) CloseHandle(h);
    EXPECT_EQ(ctx.counter, 40000);
    DeleteCriticalSection(&ctx.cs);
}

TEST(Mutexes, NamedMutexIsSharedAndOwnedRecursively) {
    HANDLE a = CreateMutexW(nullptr, TRUE, u"{900A9DF7-test}");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE b = CreateMutexW(nullptr, FALSE, u"{900a9df7-TEST}");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);  // recursive for the owner
    EXPECT_EQ(RunToEnd(PollThread, b), WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(a));
    EXPECT_TRUE(ReleaseMutex(b));
    EXPECT_FALSE(ReleaseMutex(a));  // no longer owned
    CloseHandle(a);
    CloseHandle(b);
}

// A thread that says when it runs, then waits for leave to finish.
struct Gate {
    HANDLE started;  // set when the thread runs
    HANDLE leave;    // lets it finish
    HANDLE done;     // set as it finishes
};
DWORD GatedThread(LPVOID p) {
    auto* g = static_cast<Gate*>(p);
    SetEvent(g->started);
    if (WaitForSingleObject(g->leave, kWatchdogMs) != WAIT_OBJECT_0) return 1;
    SetEvent(g->done);
    return 42;
}

TEST(Threads, ExitCodesSuspensionAndHandlesClosedWhileTheThreadRuns) {
    HANDLE leave = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Gate a{CreateEventW(nullptr, FALSE, FALSE, nullptr), leave,
           CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    Gate b{CreateEventW(nullptr, FALSE, FALSE, nullptr), leave,
           CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, GatedThread, &a, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(GetThreadId(t), id);
    ASSERT_EQ(WaitForSingleObject(a.started, kWatchdogMs), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_TIMEOUT);

    // A suspended thread starts on resume; closing its handle does not stop it.
    HANDLE s = CreateThread(nullptr, 0, GatedThread, &b, CREATE_SUSPENDED, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(WaitForSingleObject(b.started, 30), WAIT_TIMEOUT);
    EXPECT_EQ(ResumeThread(s), 1u);
    ASSERT_EQ(WaitForSingleObject(b.started, kWatchdogMs), WAIT_OBJECT_0);
    ASSERT_TRUE(CloseHandle(s));
    SetEvent(leave);
    EXPECT_EQ(WaitForSingleObject(b.done, kWatchdogMs), WAIT_OBJECT_0);

    ASSERT_EQ(WaitForSingleObject(t, kWatchdogMs), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0);  // stays signalled
    CloseHandle(t);
    EXPECT_FALSE(GetExitCodeThread(t, &code));
    for (HANDLE h : {a.started, a.done, b.started, b.done, leave}) CloseHandle(h);
}

TEST(Threads, PriorityIsRecordedPerThread) {
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);
    EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 99));
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_HIGHEST);

    // What a thread set for itself is seen through its handle.
    Gate g{CreateEventW(nullptr, FALSE, FALSE, nullptr),
           CreateEventW(nullptr, TRUE, FALSE, nullptr),
           CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    auto body = [](LPVOID p) -> DWORD {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
        return GatedThread(p);
    };
    HANDLE t = CreateThread(nullptr, 0, body, &g, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(g.started, kWatchdogMs), WAIT_OBJECT_0);
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_TIME_CRITICAL);
    EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_NORMAL));
    EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_NORMAL);
    SetEvent(g.leave);
    EXPECT_EQ(WaitForSingleObject(t, kWatchdogMs), WAIT_OBJECT_0);
    for (HANDLE h : {t, g.started, g.leave, g.done}) CloseHandle(h);
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);

    // Below normal, the system gives the thread (and only it) a smaller share of the processor.
    static int lowered = -100, others = -100;
    auto lower = [](LPVOID) -> DWORD {
        SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
        lowered = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
        return 0;
    };
    HANDLE low = CreateThread(nullptr, 0, lower, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(low, kWatchdogMs), WAIT_OBJECT_0);
    CloseHandle(low);
    others = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
    EXPECT_GT(lowered, others);
}

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
    EXPECT_EQ(Err(FindNextFileW(h, &fd)), ERROR_NO_MORE_FILES);
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
    EXPECT_EQ(Err(FindNextFileW(h, &fd)), ERROR_NO_MORE_FILES);
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
    EXPECT_EQ(Err(DeleteFileW(u"\\Windows\\old.tmp")), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Err(DeleteFileW(u"\\Windows")), ERROR_ACCESS_DENIED);  // a folder is not a file
    EXPECT_TRUE(HostFileExists(root_ + "/Windows"));

    EXPECT_TRUE(CreateDirectoryW(u"\\Outbox", nullptr));
    EXPECT_EQ(Err(CreateDirectoryW(u"\\Outbox", nullptr)), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(Err(CreateDirectoryW(u"\\No\\Such\\Parent", nullptr)), ERROR_PATH_NOT_FOUND);
    WriteHostFile(root_ + "/Outbox/f", "1");
    EXPECT_EQ(Err(RemoveDirectoryW(u"\\Outbox")), ERROR_DIR_NOT_EMPTY);
    EXPECT_TRUE(MoveFileW(u"\\Outbox\\f", u"\\Outbox\\g"));
    EXPECT_EQ(ReadHostFile(root_ + "/Outbox/g"), "1");
    WriteHostFile(root_ + "/Outbox/h", "2");
    EXPECT_EQ(Err(MoveFileW(u"\\Outbox\\g", u"\\Outbox\\h")), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(ReadHostFile(root_ + "/Outbox/g"), "1");
    EXPECT_EQ(ReadHostFile(root_ + "/Outbox/h"), "2");
    // Where the file system cannot refuse a taken name by itself, it is asked first.
    FileOs().RenameNew = [](const char*, const char*) {
        errno = EINVAL;
        return -1;
    };
    EXPECT_EQ(Err(MoveFileW(u"\\Outbox\\g", u"\\Outbox\\h")), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(MoveFileW(u"\\Outbox\\g", u"\\Outbox\\i"));
    FileOs().RenameNew = FileOsDefaults().RenameNew;
    EXPECT_EQ(ReadHostFile(root_ + "/Outbox/i"), "1");
    EXPECT_EQ(ReadHostFile(root_ + "/Outbox/h"), "2");
    // A folder is no file to read.
    EXPECT_EQ(CreateFileW(u"\\Outbox", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
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
    EXPECT_EQ(Err(WriteFile(h, "x", 1, &n, nullptr)),
              ERROR_ACCESS_DENIED);  // opened for reading only
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
    EXPECT_EQ(Err(ReadFile(h, buf, 1, &n, nullptr)), ERROR_INVALID_HANDLE);  // closed handle
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
    EXPECT_EQ(Err(WriteFile(h, "0123456789", 10, &n, nullptr)), ERROR_DISK_FULL);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(Err(FlushFileBuffers(h)), ERROR_WRITE_FAULT);
    CloseHandle(h);
    EXPECT_EQ(ReadHostFile(root_ + "/full.txt"), "0123");
}

namespace {

// Copies at most 1000 bytes a call, then reports a full disk once g_bytesBeforeFull ran out.
long FillingCopyRange(int from, int to, size_t n) {
    if (g_bytesBeforeFull <= 0) {
        errno = ENOSPC;
        return -1;
    }
    long c = FileOsDefaults().CopyRange(from, to, std::min<size_t>(n, 1000));
    if (c > 0) g_bytesBeforeFull -= c;
    return c;
}

long ReplacedRead(int fd, void* buf, size_t n) {
    return FileOsDefaults().Read(fd, buf, n);
}

}  // namespace

TEST_F(Files, CopiesWithinTheSystemFromPositionToPositionAndGiveWayToReplacedCalls) {
    std::string data(300000, 'x');
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i * 7 % 251);
    WriteHostFile(root_ + "/from.bin", data);
    HANDLE in = CreateFileW(u"\\from.bin", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE out = CreateFileW(u"\\to.bin", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(in, INVALID_HANDLE_VALUE);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(out, "head", 4, &n, nullptr));
    EXPECT_EQ(SetFilePointer(in, 1000, nullptr, FILE_BEGIN), 1000u);
    ASSERT_TRUE(CopyFileBytes(in, out, 100000, &n));
    EXPECT_EQ(n, 100000u);
    ASSERT_TRUE(CopyFileBytes(in, out, 1 << 20, &n));
    EXPECT_EQ(n, data.size() - 101000);
    ASSERT_TRUE(CopyFileBytes(in, out, 1 << 20, &n));
    EXPECT_EQ(n, 0u);  // the end of the source
    EXPECT_EQ(Err(CopyFileBytes(in, nullptr, 1, &n)), ERROR_INVALID_HANDLE);
    {
        // A replaced read must see every byte: the copy within the system steps back.
        OsTableScope scope;
        FileOs().Read = ReplacedRead;
        EXPECT_EQ(SetFilePointer(in, 0, nullptr, FILE_BEGIN), 0u);
        EXPECT_EQ(Err(CopyFileBytes(in, out, 10, &n)), ERROR_NOT_SUPPORTED);
        EXPECT_EQ(n, 0u);
        // A full disk part way: an error, and what went through before it.
        FileOs() = scope.saved;
        FileOs().CopyRange = FillingCopyRange;
        g_bytesBeforeFull = 2500;
        EXPECT_EQ(Err(CopyFileBytes(in, out, 10000, &n)), ERROR_DISK_FULL);
        EXPECT_EQ(n, 3000u);
    }
    CloseHandle(in);
    CloseHandle(out);
    EXPECT_EQ(ReadHostFile(root_ + "/to.bin"), "head" + data.substr(1000) + data.substr(0, 3000));
}

namespace {

using AddFn = int (*)(int, int);
using CallsFn = int (*)();

class ModuleTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        UseTraceFile();
        InstallLibrary(kSampleModule, u"\\Windows\\Sample.dll");
    }
    std::vector<std::string> Events() const { return LifecycleEvents(root_, "sample-module.log"); }
};

}  // namespace

TEST_F(ModuleTest, EveryLoadByAnyNameNeedsItsOwnFreeAndTheLastOneUnloads) {
    HMODULE m = LoadLibraryW(u"\\Windows\\Sample.dll");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(Events(), std::vector<std::string>{"loaded"});
    // A bare name is looked for in \Windows, and a folder's case does not matter: one file,
    // one library.
    EXPECT_EQ(LoadLibraryW(u"Sample.dll"), m);
    EXPECT_EQ(LoadLibraryW(u"\\WINDOWS\\Sample.dll"), m);

    auto add = reinterpret_cast<AddFn>(GetProcAddressW(m, u"SampleAdd"));
    ASSERT_NE(add, nullptr);
    EXPECT_EQ(add(2, 3), 5);
    SetLastError(0);
    EXPECT_EQ(Err(GetProcAddressW(m, u"NoSuchExport")), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(trace_.Contains("GetProcAddress NoSuchExport: no such export"));
    EXPECT_EQ(Err(GetProcAddressW(m, nullptr)), ERROR_INVALID_PARAMETER);

    // Its state lasts until the last of the three loads is freed.
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(Events(), std::vector<std::string>{"loaded"});
    EXPECT_EQ(GetProcAddressAs<CallsFn>(m, "SampleCalls")(), 1);
    EXPECT_TRUE(FreeLibrary(m));
    EXPECT_EQ(Events(), (std::vector<std::string>{"loaded", "unloaded"}));
    SetLastError(0);
    EXPECT_EQ(Err(FreeLibrary(m)), ERROR_INVALID_HANDLE);  // the handle is gone with the last load
    EXPECT_EQ(Err(GetProcAddress(m, "SampleAdd")), ERROR_INVALID_HANDLE);
}

TEST_F(ModuleTest, LoadsThatCannotBeAndForeignHandlesFailWithTheirErrorAndTrace) {
    WriteHostFile(root_ + "/Windows/Broken.dll", "MZ this is not a shared object");
    std::filesystem::create_directories(root_ + "/Windows/Folder.dll");
    const struct {
        LPCWSTR path;       // what is loaded
        DWORD error;        // the last error after it
        const char* trace;  // a trace line it leaves, if any
    } kCases[] = {
        {u"\\Windows\\Absent.dll", ERROR_MOD_NOT_FOUND,
         "LoadLibraryW \\Windows\\Absent.dll: no such file"},
        {u"\\Windows\\Broken.dll", ERROR_BAD_EXE_FORMAT,
         "LoadLibraryW \\Windows\\Broken.dll: cannot load"},
        {u"\\Windows\\Folder.dll", ERROR_BAD_EXE_FORMAT, nullptr},
        {nullptr, ERROR_INVALID_PARAMETER, nullptr},
        {u"", ERROR_INVALID_PARAMETER, nullptr},
    };
    for (const auto& c : kCases) {
        SetLastError(0);
        EXPECT_EQ(LoadLibraryW(c.path), nullptr) << c.error;
        EXPECT_EQ(GetLastError(), c.error);
        if (c.trace) {
            EXPECT_TRUE(trace_.Contains(c.trace)) << c.trace;
        }
    }

    int notAModule = 0;
    HMODULE forged = reinterpret_cast<HMODULE>(&notAModule);
    EXPECT_EQ(Err(GetProcAddress(forged, "SampleAdd")), ERROR_INVALID_HANDLE);
    EXPECT_EQ(Err(FreeLibrary(forged)), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(FreeLibrary(nullptr));
}
