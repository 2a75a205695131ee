// What the stores keep: records of one CUploadDb seen by another on the same volume and
// everything across Close and a fresh open; stores that are not open refuse every call and
// lose nothing; every record whose add had returned survives a kill of the writing process.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "store/upload_db.h"
#include "tests/child_process.h"
#include "tests/store_keys.h"
#include "tests/store_test_util.h"
#include "tests/support/test_env.h"

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

TEST_F(StoreDurabilityTest, RecordsAreSharedBetweenStoresAndSurviveCloseAndAFreshOpen) {
    {
        CUploadDb history, history2, pending, pending2;
        ASSERT_TRUE(history.InitHistory() && history2.InitHistory());
        ASSERT_TRUE(pending.InitPending() && pending2.InitPending());
        for (int i = 0; i < 20; i++) {
            UploadHistoryKey key = KeyFor(i);
            ASSERT_TRUE(history.AddHistory(&key));
            PendingRecord r =
                EntryFor("\\clip" + std::to_string(i) + ".mp4", i % 2, static_cast<WORD>(i));
            ASSERT_TRUE(pending.AddPending(&r));
        }
        // A second store on the volume sees, refuses and deletes the first one's records.
        PendingRecord shared = EntryFor("\\shared.jpg", PENDING_TYPE_PHOTO);
        ASSERT_TRUE(pending.AddPending(&shared));
        EXPECT_EQ(pending2.GetPendingCount(), 21u);
        EXPECT_EQ(PendingPaths(pending2).count("\\shared.jpg"), 1u);
        EXPECT_EQ(pending2.DeletePending(&shared), 1u);
        EXPECT_EQ(pending.GetPendingCount(), 20u);
        UploadHistoryKey key = KeyFor(42);
        ASSERT_TRUE(history.AddHistory(&key));
        EXPECT_TRUE(history2.IsInHistory(&key));
        EXPECT_FALSE(history2.AddHistory(&key));
        EXPECT_EQ(history2.DeleteHistory(&key), 1u);
        EXPECT_FALSE(history.IsInHistory(&key));
    }
    CUploadDb history, pending;
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

TEST_F(StoreDurabilityTest, StoresThatAreNotOpenRefuseEveryCallAndLoseNothing) {
    const std::string volume = root_ + "/Windows/UploadHistory.vol";
    std::mt19937 rng(12345);
    std::string junk(32768, '\0');
    for (char& c : junk) c = static_cast<char>(rng() & 0xFF);
    enum class State { kNeverOpened, kClosed, kOnJunk };
    for (State state : {State::kNeverOpened, State::kClosed, State::kOnJunk}) {
        SCOPED_TRACE(static_cast<int>(state));
        if (state == State::kOnJunk) WriteHostFile(volume, junk);
        CUploadDb history, pending;
        if (state != State::kNeverOpened) {
            EXPECT_EQ(history.InitHistory(), state == State::kClosed);
            EXPECT_EQ(pending.InitPending(), state == State::kClosed);
        }
        history.Close();
        pending.Close();
        pending.Close();
        UploadHistoryKey key = KeyFor(0);
        PendingRecord r = EntryFor("\\a.mp4", PENDING_TYPE_VIDEO);
        PendingRecord out[2];
        EXPECT_FALSE(history.IsInHistory(&key));
        EXPECT_FALSE(history.AddHistory(&key));
        EXPECT_EQ(history.DeleteHistory(&key), 0u);
        EXPECT_FALSE(pending.AddPending(&r));
        EXPECT_EQ(pending.DeletePending(&r), 0u);
        EXPECT_EQ(pending.DeleteAllPending(), 0u);
        EXPECT_EQ(pending.DeleteAllPendingByType(PENDING_TYPE_VIDEO), 0u);
        EXPECT_FALSE(pending.ReadPending(out, 2));
        EXPECT_EQ(pending.GetPendingCount(), 0u);
        EXPECT_EQ(pending.GetPendingCountByType(PENDING_TYPE_PHOTO), 0u);
    }
    EXPECT_EQ(ReadHostFile(volume), junk);

    // An empty volume file is taken as a new volume.
    WriteHostFile(volume, "");
    CUploadDb pending;
    ASSERT_TRUE(pending.InitPending());
    PendingRecord r = EntryFor("\\x.mp4", PENDING_TYPE_VIDEO);
    EXPECT_TRUE(pending.AddPending(&r));
    EXPECT_EQ(pending.GetPendingCount(), 1u);
}

TEST_F(StoreDurabilityTest, RecordsWhoseAddReturnedSurviveAKillAtAnyMoment) {
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    std::set<long> reportedHistory;
    std::set<long> reportedPending;
    const int rounds = 8;

    for (int round = 0; round < rounds; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        // The child reports every add that returned true with a line on disk.
        const std::string report = runtime_ + "/report" + std::to_string(round);
        ChildProcess child(
            {BinPath("vantlo-store-kill-child"), report, std::to_string(round * 100000L)});

        // Kill after a random number of reported adds, plus a random part of the next one.
        const size_t target = 1 + rng() % 40;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        auto lines = [&] {
            std::vector<std::string> out;
            std::istringstream in(ReadHostFile(report));
            for (std::string line; std::getline(in, line) && !in.eof();) out.push_back(line);
            return out;
        };
        while (lines().size() < target + 1 && !child.Ended() &&  // + the READY line
               std::chrono::steady_clock::now() < deadline) {
            usleep(500);
        }
        ASSERT_FALSE(child.Ended()) << "the child ended by itself: " << ReadHostFile(report);
        usleep(static_cast<useconds_t>(rng() % 3000));
        child.Kill();
        EXPECT_EQ(child.Wait(), 128 + SIGKILL);
        std::vector<std::string> reported = lines();
        ASSERT_GE(reported.size(), target + 1) << "the child made no progress within the watchdog";
        ASSERT_EQ(reported[0], "READY");
        for (size_t i = 1; i < reported.size(); i++) {
            std::istringstream in(reported[i]);
            char kind = 0;
            long n = -1;
            in >> kind >> n;
            ASSERT_TRUE(kind == 'H' || kind == 'P') << reported[i];
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
