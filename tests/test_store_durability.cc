// What the stores keep: everything across Close and a fresh open, records of one CUploadDb
// seen by another on the same volume, and every record whose add had returned when the
// writing process was killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "store/upload_db.h"
#include "tests/store_kill_keys.h"
#include "tests/store_test_util.h"
#include "tests/support/test_env.h"

extern char** environ;

namespace {

std::set<std::string> PendingPaths(CUploadDb& db) {
    std::set<std::string> paths;
    DWORD count = db.GetPendingCount();
    if (count == 0) return paths;
    std::vector<PendingRecord> records(count);
    EXPECT_TRUE(db.ReadPending(records.data(), count));
    for (const PendingRecord& r : records) paths.insert(PathOf(r));
    return paths;
}

using StoreDurabilityTest = DeviceTest;

}  // namespace

TEST_F(StoreDurabilityTest, EverythingIsStillThereAfterCloseAndAFreshOpen) {
    {
        CUploadDb history;
        CUploadDb pending;
        ASSERT_TRUE(history.InitHistory());
        ASSERT_TRUE(pending.InitPending());
        for (int i = 0; i < 20; i++) {
            UploadHistoryKey key = KeyFor(i);
            ASSERT_TRUE(history.AddHistory(&key));
            PendingRecord r =
                EntryFor("\\clip" + std::to_string(i) + ".mp4", i % 2, static_cast<WORD>(i));
            ASSERT_TRUE(pending.AddPending(&r));
        }
        history.Close();
        pending.Close();
        // Closed stores refuse everything and keep refusing after a second Close.
        UploadHistoryKey key = KeyFor(0);
        EXPECT_FALSE(history.IsInHistory(&key));
        EXPECT_EQ(pending.GetPendingCount(), 0u);
        pending.Close();
    }
    CUploadDb history;
    CUploadDb pending;
    ASSERT_TRUE(history.InitHistory());
    ASSERT_TRUE(pending.InitPending());
    for (int i = 0; i < 20; i++) {
        UploadHistoryKey key = KeyFor(i);
        EXPECT_TRUE(history.IsInHistory(&key)) << i;
    }
    EXPECT_EQ(pending.GetPendingCount(), 20u);
    EXPECT_EQ(pending.GetPendingCountByType(PENDING_TYPE_PHOTO), 10u);
    std::vector<PendingRecord> all(20);
    ASSERT_TRUE(pending.ReadPending(all.data(), 20));
    for (const PendingRecord& r : all) {
        int i = std::stoi(PathOf(r).substr(5));
        EXPECT_EQ(r.dwType, static_cast<DWORD>(i % 2));
        EXPECT_EQ(r.stSubmit.wSecond, i);
        EXPECT_EQ(r.stSubmit.wMilliseconds, 123);
    }
    // A second initialisation of the same object starts afresh on the same volume.
    ASSERT_TRUE(pending.InitPending());
    EXPECT_EQ(pending.GetPendingCount(), 20u);
}

TEST_F(StoreDurabilityTest, TwoStoresOnOneVolumeSeeEachOthersRecords) {
    CUploadDb a;
    CUploadDb b;
    ASSERT_TRUE(a.InitPending());
    ASSERT_TRUE(b.InitPending());
    PendingRecord r = EntryFor("\\shared.jpg", PENDING_TYPE_PHOTO);
    ASSERT_TRUE(a.AddPending(&r));
    EXPECT_EQ(b.GetPendingCount(), 1u);
    EXPECT_EQ(PendingPaths(b), std::set<std::string>{"\\shared.jpg"});
    EXPECT_EQ(b.DeletePending(&r), 1u);
    EXPECT_EQ(a.GetPendingCount(), 0u);

    CUploadDb h1;
    CUploadDb h2;
    ASSERT_TRUE(h1.InitHistory());
    ASSERT_TRUE(h2.InitHistory());
    UploadHistoryKey key = KeyFor(42);
    ASSERT_TRUE(h1.AddHistory(&key));
    EXPECT_TRUE(h2.IsInHistory(&key));
    EXPECT_FALSE(h2.AddHistory(&key));
    EXPECT_EQ(h2.DeleteHistory(&key), 1u);
    EXPECT_FALSE(h1.IsInHistory(&key));
}

TEST_F(StoreDurabilityTest, AnEmptyVolumeFileIsTakenAsANewVolume) {
    WriteHostFile(root_ + "/Windows/UploadHistory.vol", "");
    CUploadDb pending;
    ASSERT_TRUE(pending.InitPending());
    PendingRecord r = EntryFor("\\x.mp4", PENDING_TYPE_VIDEO);
    EXPECT_TRUE(pending.AddPending(&r));
    EXPECT_EQ(pending.GetPendingCount(), 1u);
}

TEST_F(StoreDurabilityTest, PendingFailsToInitialiseOnARandomBytesVolumeAndLosesNothing) {
    std::mt19937 rng(12345);
    std::string junk(32768, '\0');
    for (char& c : junk) c = static_cast<char>(rng() & 0xFF);
    const std::string path = root_ + "/Windows/UploadHistory.vol";
    WriteHostFile(path, junk);
    CUploadDb pending;
    EXPECT_FALSE(pending.InitPending());
    PendingRecord r = EntryFor("\\x.mp4", PENDING_TYPE_VIDEO);
    EXPECT_FALSE(pending.AddPending(&r));
    EXPECT_EQ(pending.GetPendingCount(), 0u);
    pending.Close();
    EXPECT_EQ(ReadHostFile(path), junk);
}

// --- Kill test ---------------------------------------------------------------------------

namespace {

// Complete lines of the child's report.
std::vector<std::string> ReportLines(const std::string& path) {
    std::vector<std::string> lines;
    std::string text = ReadHostFile(path);
    size_t start = 0;
    for (size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(text.substr(start, nl - start));
    }
    return lines;
}

pid_t StartChild(const std::string& report, long first) {
    std::string program = BinPath("vantlo-store-kill-child");
    std::string firstArg = std::to_string(first);
    char* argv[] = {program.data(), const_cast<char*>(report.c_str()), firstArg.data(), nullptr};
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return -1;
    return pid;
}

}  // namespace

TEST_F(StoreDurabilityTest, RecordsWhoseAddReturnedSurviveAKillAtAnyMoment) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::set<long> reportedHistory;
    std::set<long> reportedPending;
    const int rounds = 8;

    for (int round = 0; round < rounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string report = runtime_ + "/report" + std::to_string(round);
        pid_t pid = StartChild(report, round * 100000L);
        ASSERT_GT(pid, 0);

        // Kill after a random number of reported adds, plus a random part of the next one.
        const size_t target = 1 + rng() % 40;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        bool exited = false;
        while (ReportLines(report).size() < target + 1) {  // + the READY line
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid) {
                exited = true;
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) break;
            usleep(500);
        }
        if (!exited) {
            usleep(static_cast<useconds_t>(rng() % 3000));
            kill(pid, SIGKILL);
            int status = 0;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
        }
        std::vector<std::string> lines = ReportLines(report);
        ASSERT_FALSE(exited) << "the child ended by itself: " << ReadHostFile(report);
        ASSERT_GE(lines.size(), target + 1) << "the child made no progress within the watchdog";
        ASSERT_EQ(lines[0], "READY");
        for (size_t i = 1; i < lines.size(); i++) {
            std::istringstream in(lines[i]);
            char kind = 0;
            long n = -1;
            in >> kind >> n;
            ASSERT_TRUE(kind == 'H' || kind == 'P') << lines[i];
            (kind == 'H' ? reportedHistory : reportedPending).insert(n);
        }

        // Reopening always works and holds every record whose add had returned.
        CUploadDb history;
        CUploadDb pending;
        ASSERT_TRUE(history.InitHistory());
        ASSERT_TRUE(pending.InitPending());
        for (long n : reportedHistory) {
            UploadHistoryKey key = KillHistoryKey(n);
            EXPECT_TRUE(history.IsInHistory(&key)) << "history record " << n;
        }
        std::set<std::string> paths = PendingPaths(pending);
        for (long n : reportedPending) {
            EXPECT_TRUE(paths.count(KillPendingPath(n))) << "pending record " << n;
        }
        // At most the one add in flight per kill may have landed unreported.
        EXPECT_LE(paths.size(), reportedPending.size() + static_cast<size_t>(round) + 1);
        // The reopened store takes new records.
        PendingRecord probe = KillPendingRecord(9000000L + round);
        EXPECT_TRUE(pending.AddPending(&probe));
        EXPECT_EQ(pending.DeletePending(&probe), 1u);
    }
    EXPECT_GE(reportedHistory.size() + reportedPending.size(), static_cast<size_t>(rounds));
}
