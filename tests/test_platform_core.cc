// Strings, time conversion, the device root and the trace line format.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/devpath.h"
#include "platform/handle.h"
#include "platform/time.h"
#include "platform/trace.h"
#include "platform/wstr.h"
#include "tests/support/test_env.h"

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
    std::string file = root_ + "/trace.log";
    setenv("VANTLO_TRACE_FILE", file.c_str(), 1);
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
    std::istringstream in(ReadHostFile(file));
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
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
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(0x1234567)));
}
