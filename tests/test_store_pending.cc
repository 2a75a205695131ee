// The pending queue: entries added, read back in type order, counted, deleted by their
// (submit time, path) identity, by type or all at once; no additions past 10000.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "store/upload_db.h"
#include "tests/store_test_util.h"
#include "tests/support/test_env.h"

namespace {

class PendingTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_TRUE(pending_.InitPending());
    }
    void TearDown() override {
        pending_.Close();
        DeviceTest::TearDown();
    }
    std::vector<PendingRecord> ReadAll(DWORD room = 64) {
        std::vector<PendingRecord> out(room);
        EXPECT_TRUE(pending_.ReadPending(out.data(), room));
        DWORD n = 0;
        while (n < room && out[n].szFilePath[0] != 0) n++;
        out.resize(n);
        return out;
    }
    BOOL Add(const PendingRecord& r) { return pending_.AddPending(&r); }
    CUploadDb pending_;
};

class FullPendingTest : public PendingTest {
  protected:
    void SetUp() override {
        PreferMemoryFolder();
        PendingTest::SetUp();
    }
};

constexpr int kUntouched = 0xABAB;  // a path character memset to 0xAB

std::set<std::string> Paths(const std::vector<PendingRecord>& v, size_t from, size_t to) {
    std::set<std::string> s;
    for (size_t i = from; i < to && i < v.size(); i++) s.insert(PathOf(v[i]));
    return s;
}

}  // namespace

TEST_F(PendingTest, EntriesReadBackWholeWithEveryVideoFirstAsManyAsThereIsRoomFor) {
    TraceCapture trace(runtime_);
    ASSERT_TRUE(Add(EntryFor("\\My Documents\\p1.jpg", PENDING_TYPE_PHOTO, 1)));
    ASSERT_TRUE(Add(EntryFor("\\My Documents\\v1.mp4", PENDING_TYPE_VIDEO, 2)));
    ASSERT_TRUE(Add(EntryFor("\\My Documents\\p2.jpg", PENDING_TYPE_PHOTO, 3)));
    ASSERT_TRUE(Add(EntryFor("\\My Documents\\v2.mp4", PENDING_TYPE_VIDEO, 4)));
    EXPECT_EQ(pending_.GetPendingCount(), 4u);
    EXPECT_TRUE(trace.Contains("[Vantlo] Get count pending db , 4 items\n"));
    EXPECT_EQ(pending_.GetPendingCountByType(PENDING_TYPE_VIDEO), 2u);
    EXPECT_EQ(pending_.GetPendingCountByType(PENDING_TYPE_PHOTO), 2u);
    EXPECT_TRUE(trace.Contains("[Vantlo] Get count by type pending db , 2 items\n"));

    std::vector<PendingRecord> all = ReadAll();
    ASSERT_EQ(all.size(), 4u);
    const DWORD types[] = {PENDING_TYPE_VIDEO, PENDING_TYPE_VIDEO, PENDING_TYPE_PHOTO,
                           PENDING_TYPE_PHOTO};
    for (size_t i = 0; i < 4; i++) EXPECT_EQ(all[i].dwType, types[i]) << i;
    EXPECT_EQ(Paths(all, 0, 2),
              (std::set<std::string>{"\\My Documents\\v1.mp4", "\\My Documents\\v2.mp4"}));
    EXPECT_EQ(Paths(all, 2, 4),
              (std::set<std::string>{"\\My Documents\\p1.jpg", "\\My Documents\\p2.jpg"}));
    for (const PendingRecord& r : all) {
        PendingRecord expected = EntryFor(PathOf(r), r.dwType, r.stSubmit.wSecond);
        EXPECT_EQ(memcmp(&r.stSubmit, &expected.stSubmit, sizeof(SYSTEMTIME)), 0) << PathOf(r);
    }

    // Room beyond the queue is left untouched; less room takes as many as it holds.
    PendingRecord room[6];
    memset(room, 0xAB, sizeof room);
    ASSERT_TRUE(pending_.ReadPending(room, 6));
    EXPECT_NE(static_cast<int>(room[3].szFilePath[0]), 0);
    EXPECT_EQ(static_cast<int>(room[4].szFilePath[0]), kUntouched);
    memset(room, 0xAB, sizeof room);
    ASSERT_TRUE(pending_.ReadPending(room, 3));
    EXPECT_EQ(room[2].dwType, PENDING_TYPE_PHOTO);
    EXPECT_EQ(static_cast<int>(room[3].szFilePath[0]), kUntouched);
    EXPECT_FALSE(pending_.ReadPending(nullptr, 5));
    EXPECT_FALSE(pending_.ReadPending(room, 0));
    EXPECT_EQ(pending_.DeleteAllPending(), 4u);
    EXPECT_TRUE(pending_.ReadPending(room, 6));  // an empty queue still reads
}

TEST_F(PendingTest, DeletesGoBySubmitTimeAndPathByTypeOrAll) {
    TraceCapture trace(runtime_);
    PendingRecord first = EntryFor("\\My Documents\\same.mp4", PENDING_TYPE_VIDEO, 30, 100);
    PendingRecord second = EntryFor("\\My Documents\\same.mp4", PENDING_TYPE_VIDEO, 30, 101);
    PendingRecord otherPath = EntryFor("\\My Documents\\else.mp4", PENDING_TYPE_VIDEO, 30, 100);
    for (const PendingRecord& r : {first, second, otherPath}) ASSERT_TRUE(Add(r));
    for (int i : {0, 1, 2, 9}) {
        ASSERT_TRUE(Add(EntryFor("\\p" + std::to_string(i) + ".jpg", PENDING_TYPE_PHOTO, i)));
    }

    // The submit time to the millisecond and the path identify an entry; the type does not.
    EXPECT_EQ(pending_.DeletePending(&first), 1u);
    EXPECT_TRUE(trace.Contains(
        "[Vantlo] Delete item pending db , 1 items, File: \\My Documents\\same.mp4\n"));
    EXPECT_EQ(pending_.DeletePending(&first), 0u);
    std::set<std::pair<std::string, int>> videos;
    for (const PendingRecord& r : ReadAll()) {
        if (r.dwType == PENDING_TYPE_VIDEO) videos.insert({PathOf(r), r.stSubmit.wMilliseconds});
    }
    EXPECT_EQ(videos, (std::set<std::pair<std::string, int>>{{"\\My Documents\\same.mp4", 101},
                                                             {"\\My Documents\\else.mp4", 100}}));
    PendingRecord asPhoto = second;
    asPhoto.dwType = PENDING_TYPE_PHOTO;
    EXPECT_EQ(pending_.DeletePending(&asPhoto), 1u);
    EXPECT_EQ(pending_.GetPendingCount(), 5u);

    EXPECT_EQ(pending_.GetPendingCountByType(5), 0u);
    EXPECT_EQ(pending_.DeleteAllPendingByType(5), 0u);
    EXPECT_TRUE(trace.Contains("[Vantlo] delete all by type pending db , 0 items\n"));
    EXPECT_EQ(pending_.DeleteAllPendingByType(PENDING_TYPE_VIDEO), 1u);
    EXPECT_TRUE(trace.Contains("[Vantlo] delete all by type pending db , 1 items\n"));
    EXPECT_EQ(pending_.GetPendingCountByType(PENDING_TYPE_VIDEO), 0u);
    EXPECT_EQ(pending_.GetPendingCountByType(PENDING_TYPE_PHOTO), 4u);
    for (const PendingRecord& r : ReadAll()) EXPECT_EQ(r.dwType, PENDING_TYPE_PHOTO);

    EXPECT_EQ(pending_.DeleteAllPending(), 4u);
    EXPECT_TRUE(trace.Contains("[Vantlo] delete all pending db, 4 items\n"));
    EXPECT_EQ(pending_.GetPendingCount(), 0u);
    EXPECT_EQ(pending_.DeleteAllPending(), 0u);
    EXPECT_TRUE(trace.Contains("[Vantlo] delete all pending db, 0 items\n"));
}

TEST_F(FullPendingTest, TheQueueRefusesAdditionsOnceItHoldsMoreThanTenThousand) {
    TraceCapture trace(runtime_);
    for (int i = 0; i < 10000; i++) {
        PendingRecord r = EntryFor("\\Videos\\clip" + std::to_string(i) + ".mp4", i % 2,
                                   static_cast<WORD>(i / 1000), static_cast<WORD>(i % 1000));
        ASSERT_TRUE(pending_.AddPending(&r)) << i;
    }
    // With exactly 10000 the addition still goes in; with 10001 it is refused.
    PendingRecord last = EntryFor("\\Videos\\last.mp4", PENDING_TYPE_VIDEO, 59, 999);
    ASSERT_TRUE(pending_.AddPending(&last));
    EXPECT_FALSE(trace.Contains("Exceed pending db size"));
    PendingRecord refused = EntryFor("\\Videos\\refused.mp4", PENDING_TYPE_VIDEO, 59, 998);
    EXPECT_FALSE(pending_.AddPending(&refused));
    EXPECT_TRUE(trace.Contains("[Vantlo] Exceed pending db size, 10001 items\n"));
    EXPECT_EQ(pending_.GetPendingCount(), 10001u);
    EXPECT_EQ(pending_.DeletePending(&refused), 0u);

    // Room again after a deletion.
    EXPECT_EQ(pending_.DeletePending(&last), 1u);
    EXPECT_TRUE(pending_.AddPending(&refused));
    EXPECT_EQ(pending_.GetPendingCountByType(PENDING_TYPE_VIDEO), 5001u);
}

TEST_F(PendingTest, ImpossibleTimesAreRefusedAndDamagedStoredEntriesReadBackSafely) {
    TraceCapture trace(runtime_);
    PendingRecord bad = EntryFor("\\bad.mp4", PENDING_TYPE_VIDEO);
    bad.stSubmit.wMonth = 13;
    EXPECT_FALSE(pending_.AddPending(&bad));
    EXPECT_TRUE(trace.Contains("[Vantlo] Fail to add pending db: \\bad.mp4\n"));
    EXPECT_EQ(pending_.GetPendingCount(), 0u);
    EXPECT_EQ(pending_.DeletePending(&bad), 0u);
    EXPECT_FALSE(pending_.AddPending(nullptr));
    EXPECT_EQ(pending_.DeletePending(nullptr), 0u);

    // Another writer left a path too long and an entry with only its type.
    {
        DirectDb db(UPLOAD_PENDING_DB, 0);
        ASSERT_NE(db.get(), nullptr);
        WString longPath = u"\\" + WString(300, u'x');
        CEPROPVAL full[2] = {};
        full[0].propid = PROPID_PENDING_FILEPATH;
        full[0].val.lpwstr = longPath.data();
        full[1].propid = PROPID_PENDING_TYPE;
        full[1].val.uiVal = static_cast<WORD>(PENDING_TYPE_PHOTO);
        ASSERT_TRUE(db->AddRecord(2, full));
        CEPROPVAL typeOnly[1] = {};
        typeOnly[0].propid = PROPID_PENDING_TYPE;
        typeOnly[0].val.uiVal = static_cast<WORD>(PENDING_TYPE_VIDEO);
        ASSERT_TRUE(db->AddRecord(1, typeOnly));
    }
    PendingRecord out[3];
    memset(out, 0xAB, sizeof out);
    ASSERT_TRUE(pending_.ReadPending(out, 3));
    // The video entry has no path and no time: it reads as empty.
    EXPECT_EQ(out[0].dwType, PENDING_TYPE_VIDEO);
    EXPECT_EQ(static_cast<int>(out[0].szFilePath[0]), 0);
    EXPECT_EQ(out[0].stSubmit.wYear, 1601);
    // The photo entry's path is cut to 259 characters.
    EXPECT_EQ(out[1].dwType, PENDING_TYPE_PHOTO);
    EXPECT_EQ(WStrLen(out[1].szFilePath), 259u);
    EXPECT_EQ(static_cast<int>(out[1].szFilePath[258]), 'x');
    EXPECT_EQ(static_cast<int>(out[2].szFilePath[0]), kUntouched);
}
