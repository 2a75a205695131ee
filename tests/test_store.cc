// The upload stores: the history recognising files by their four keys, refusing duplicates
// and keeping the newest 10000, with the path splitting that forms a key; the pending queue
// read back in type order and deleted by identity, type or all, no additions past 10000;
// what the stores keep across stores, Close, a fresh open and a killed writer; the one-shot
// clear requests in the registry; and the album list reading the photo engine's result file.
// And the volume wrapper under them: mounting, databases in a volume, handles in their sort
// orders, queries and records, through IDbVolume, IDatabase and IDbRecord.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/devpath.h"
#include "platform/registry.h"
#include "platform/wstr.h"
#include "store/album_list.h"
#include "store/db_volume.h"
#include "store/path_split.h"
#include "store/settings.h"
#include "store/upload_db.h"
#include "tests/store_keys.h"
#include "tests/support/child_process.h"
#include "tests/support/test_env.h"

namespace {

// Cases that fill 10000 records put their device root in memory when the host has a memory
// file system: every record is its own flushed transaction, and on a busy disk the flushes
// alone would take minutes. What survives on the real disk is tested separately.
void PreferMemoryFolder() {
    std::error_code ec;
    if (std::filesystem::is_directory("/dev/shm", ec)) setenv("TEST_TMPDIR", "/dev/shm/", 1);
}

// Direct access to one database of the upload volume, next to the CUploadDb under test.
class DirectDb {
  public:
    DirectDb(LPCWSTR name, int sortIndex, BOOL autoAdvance = TRUE) : volume_(CreateDbVolume()) {
        if (volume_ && volume_->Mount(UPLOAD_DB_VOLUME)) {
            db_ = volume_->OpenDatabase(name, sortIndex, autoAdvance);
        }
    }
    ~DirectDb() {
        if (volume_) volume_->Release(db_);
        delete volume_;
    }
    DirectDb(const DirectDb&) = delete;
    DirectDb& operator=(const DirectDb&) = delete;
    IDatabase* operator->() const { return db_; }
    IDatabase* get() const { return db_; }

  private:
    IDbVolume* volume_;
    IDatabase* db_ = nullptr;
};

class HistoryTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        UseTraceFile();
        ASSERT_TRUE(history_.InitHistory());
    }
    void TearDown() override {
        history_.Close();
        DeviceTest::TearDown();
    }
    bool Has(int n) {
        UploadHistoryKey key = KeyFor(n);
        return history_.IsInHistory(&key);
    }
    CUploadDb history_;
};

class FullHistoryTest : public HistoryTest {
  protected:
    void SetUp() override {
        PreferMemoryFolder();
        HistoryTest::SetUp();
    }
};

// Adds a record with the key's values straight through the wrapper, bypassing the
// duplicate check and the trim of AddHistory, as another writer might.
void AddRaw(const DirectDb& db, const UploadHistoryKey& key) {
    ASSERT_NE(db.get(), nullptr);
    CEPROPVAL v[4] = {};
    v[0].propid = PROPID_HISTORY_FILESIZE;
    v[0].val.ulVal = key.dwFileSize;
    v[1].propid = PROPID_HISTORY_MODIFIED;
    v[1].val.filetime = key.ftModified;
    v[2].propid = PROPID_HISTORY_FILENAME;
    v[2].val.lpwstr = const_cast<LPWSTR>(key.szFileName);
    v[3].propid = PROPID_HISTORY_FOLDER;
    v[3].val.lpwstr = const_cast<LPWSTR>(key.szFolderPath);
    ASSERT_TRUE(db->AddRecord(4, v));
}

DWORD HistoryCount() {
    DirectDb db(UPLOAD_HISTORY_DB, 0);
    return db.get() ? db->Count(0, nullptr) : 0xFFFFFFFFu;
}

}  // namespace

TEST_F(HistoryTest, AFileIsFoundByAllFourKeysUntilDeletedAndIsAddedOnlyOnce) {
    UploadHistoryKey base = KeyFor(1);
    EXPECT_FALSE(history_.IsInHistory(&base));
    ASSERT_TRUE(history_.AddHistory(&base));
    EXPECT_TRUE(history_.IsInHistory(&base));
    EXPECT_TRUE(trace_.Contains("[Vantlo] GetUploadStatusDb: File found in DB\n"));
    EXPECT_FALSE(history_.AddHistory(&base));
    EXPECT_TRUE(trace_.Contains("[Vantlo] Data exist history db: img_1.jpg\n"));
    EXPECT_EQ(HistoryCount(), 1u);

    // Every one of the four keys tells files apart.
    UploadHistoryKey size = base, time = base, name = base;
    size.dwFileSize += 1;
    time.ftModified = U64ToFileTime(FileTimeToU64(time.ftModified) + 1);  // 100 ns later
    WStrCopyN(name.szFileName, u"IMG_1.jpg", MAX_PATH);                   // texts compare exactly
    UploadHistoryKey folder = KeyFor(1, u"\\My Documents\\Photos\\");
    for (const UploadHistoryKey* k : {&size, &time, &name, &folder}) {
        EXPECT_FALSE(history_.IsInHistory(k));
        EXPECT_EQ(history_.DeleteHistory(k), 0u);
        EXPECT_TRUE(history_.AddHistory(k));
    }
    EXPECT_EQ(HistoryCount(), 5u);
    EXPECT_EQ(history_.DeleteHistory(&time), 1u);
    EXPECT_TRUE(history_.IsInHistory(&base));
    EXPECT_TRUE(history_.IsInHistory(&size));

    // A delete takes every record of the key, also duplicates another writer left.
    DirectDb db(UPLOAD_HISTORY_DB, 0);
    AddRaw(db, base);
    AddRaw(db, base);
    EXPECT_EQ(history_.DeleteHistory(&base), 3u);
    EXPECT_TRUE(
        trace_.Contains("[Vantlo] Delete item pending db , 3 items, Filename: img_1.jpg, "
                        "Folder:\\My Documents\\Photos\n"));
    EXPECT_FALSE(history_.IsInHistory(&base));
    EXPECT_EQ(history_.DeleteHistory(&base), 0u);
    EXPECT_TRUE(trace_.Contains("[Vantlo] Delete item pending db , 0 items, Filename: img_1.jpg"));
    EXPECT_EQ(HistoryCount(), 3u);

    EXPECT_FALSE(history_.IsInHistory(nullptr));
    EXPECT_FALSE(history_.AddHistory(nullptr));
    EXPECT_EQ(history_.DeleteHistory(nullptr), 0u);
}

TEST_F(FullHistoryTest, EveryAdditionPastTenThousandDropsTheOldestRecords) {
    for (int i = 0; i < 10000; i++) {
        UploadHistoryKey key = KeyFor(i);
        ASSERT_TRUE(history_.AddHistory(&key)) << i;
    }
    EXPECT_EQ(HistoryCount(), 10000u);
    EXPECT_FALSE(trace_.Contains("Exceed history db size"));

    UploadHistoryKey key = KeyFor(10000);
    ASSERT_TRUE(history_.AddHistory(&key));
    EXPECT_TRUE(trace_.Contains("[Vantlo] Exceed history db size, 10001 items\n"));
    EXPECT_EQ(HistoryCount(), 10000u);
    EXPECT_FALSE(Has(0));
    EXPECT_TRUE(Has(1));
    EXPECT_TRUE(Has(10000));

    // Another writer went past the limit without trimming; the next addition trims the
    // oldest until 10000 are left.
    {
        DirectDb db(UPLOAD_HISTORY_DB, 0);
        for (int i : {10001, 10002, 10003}) AddRaw(db, KeyFor(i));
    }
    key = KeyFor(20000);
    ASSERT_TRUE(history_.AddHistory(&key));
    EXPECT_EQ(HistoryCount(), 10000u);
    for (int i : {1, 2, 3, 4}) EXPECT_FALSE(Has(i)) << i;
    for (int i : {5, 10003, 20000}) EXPECT_TRUE(Has(i)) << i;
}

TEST_F(HistoryTest, AKeyIsFormedFromTheFileItNames) {
    const std::string host = root_ + "/My Documents/My Pictures/IMG_0042.JPG";
    WriteHostFile(host, std::string(1234, 'j'));
    // 2024-01-02 03:04:05.5 UTC.
    const timespec times[2] = {{1704164645, 500000000}, {1704164645, 500000000}};
    ASSERT_EQ(utimensat(AT_FDCWD, host.c_str(), times, 0), 0);
    UploadHistoryKey key;
    ASSERT_TRUE(FormUploadHistoryKey(u"\\My Documents\\My Pictures\\IMG_0042.JPG", &key));
    EXPECT_EQ(WString(key.szFileName), u"IMG_0042.JPG");
    EXPECT_EQ(WString(key.szFolderPath), u"\\My Documents\\My Pictures");
    EXPECT_EQ(key.dwFileSize, 1235u);  // the device's size value: the size plus one
    EXPECT_EQ(FileTimeToU64(key.ftModified),
              (1704164645ull + 11644473600ull) * 10000000ull + 5000000u);
    // The key finds the file once it is in the history.
    ASSERT_TRUE(history_.AddHistory(&key));
    UploadHistoryKey again;
    ASSERT_TRUE(FormUploadHistoryKey(u"\\My Documents\\My Pictures\\IMG_0042.JPG", &again));
    EXPECT_TRUE(history_.IsInHistory(&again));

    // A missing file gives its name and folder, but no key.
    EXPECT_FALSE(FormUploadHistoryKey(u"\\Storage Card\\gone.mp4", &key));
    EXPECT_EQ(WString(key.szFileName), u"gone.mp4");
    EXPECT_EQ(WString(key.szFolderPath), u"\\Storage Card");
    EXPECT_EQ(key.dwFileSize, 0u);
    EXPECT_EQ(FileTimeToU64(key.ftModified), 0u);
    EXPECT_FALSE(FormUploadHistoryKey(nullptr, &key));
    EXPECT_FALSE(FormUploadHistoryKey(u"x", nullptr));
}

// --- Path splitting ------------------------------------------------------------------------

TEST(PathSplit, NameAndFolderAreCutAtTheLastSeparatorAndToTheCapacity) {
    const struct {
        LPCWSTR path;
        DWORD capacity;
        LPCWSTR name, folder, folderWithSeparator;
    } cases[] = {
        {u"\\My Documents\\My Pictures\\IMG_0001.JPG", MAX_PATH, u"IMG_0001.JPG",
         u"\\My Documents\\My Pictures", u"\\My Documents\\My Pictures\\"},
        // Slash and colon separate too.
        {u"a\\b/c.mp4", MAX_PATH, u"c.mp4", u"a\\b", u"a\\b/"},
        {u"SD:clip.3gp", MAX_PATH, u"clip.3gp", u"SD", u"SD:"},
        {u"\\Windows\\", MAX_PATH, u"", u"\\Windows", u"\\Windows\\"},
        {u"\\x.jpg", MAX_PATH, u"x.jpg", u"", u"\\"},
        // A path without separator is both name and folder.
        {u"photo.jpg", MAX_PATH, u"photo.jpg", u"photo.jpg", u"photo.jpg"},
        // Copies are cut to capacity - 1 characters and terminated.
        {u"\\dir\\abcdefghijkl", 8, u"abcdefg", u"\\dir", u"\\dir\\"},
        {u"\\folder\\sub\\name.jpg", 8, u"name.jp", u"\\folder", u"\\folder"},
        {u"\\abcdefghij\\name.jpg", 8, u"name.jp", u"\\abcdef", u"\\abcdef"},
        {u"abcdefghijkl", 8, u"abcdefg", u"abcdefg", u"abcdefg"},
        {u"a\\b", 1, u"", u"", u""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(ToUtf8(c.path) + " in " + std::to_string(c.capacity));
        WCHAR out[MAX_PATH + 1];
        std::fill(std::begin(out), std::end(out), u'#');
        EXPECT_EQ(SplitFileName(out, c.path, c.capacity), out);
        EXPECT_EQ(WString(out), c.name);
        EXPECT_EQ(SplitFolder(out, c.path, TRUE, c.capacity), out);
        EXPECT_EQ(WString(out), c.folder);
        SplitFolder(out, c.path, FALSE, c.capacity);
        EXPECT_EQ(WString(out), c.folderWithSeparator);
        EXPECT_EQ(out[c.capacity], u'#') << "nothing is written past the capacity";
    }
    WCHAR out[8] = {u'#'};
    SplitFileName(out, nullptr, 8);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(SplitFileName(nullptr, u"x", 8), nullptr);
}

namespace {

class PendingTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        UseTraceFile();
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
    ASSERT_TRUE(Add(EntryFor("\\My Documents\\p1.jpg", PENDING_TYPE_PHOTO, 1)));
    ASSERT_TRUE(Add(EntryFor("\\My Documents\\v1.mp4", PENDING_TYPE_VIDEO, 2)));
    ASSERT_TRUE(Add(EntryFor("\\My Documents\\p2.jpg", PENDING_TYPE_PHOTO, 3)));
    ASSERT_TRUE(Add(EntryFor("\\My Documents\\v2.mp4", PENDING_TYPE_VIDEO, 4)));
    EXPECT_EQ(pending_.GetPendingCount(), 4u);
    EXPECT_TRUE(trace_.Contains("[Vantlo] Get count pending db , 4 items\n"));
    EXPECT_EQ(pending_.GetPendingCountByType(PENDING_TYPE_VIDEO), 2u);
    EXPECT_EQ(pending_.GetPendingCountByType(PENDING_TYPE_PHOTO), 2u);
    EXPECT_TRUE(trace_.Contains("[Vantlo] Get count by type pending db , 2 items\n"));

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
    PendingRecord first = EntryFor("\\My Documents\\same.mp4", PENDING_TYPE_VIDEO, 30, 100);
    PendingRecord second = EntryFor("\\My Documents\\same.mp4", PENDING_TYPE_VIDEO, 30, 101);
    PendingRecord otherPath = EntryFor("\\My Documents\\else.mp4", PENDING_TYPE_VIDEO, 30, 100);
    for (const PendingRecord& r : {first, second, otherPath}) ASSERT_TRUE(Add(r));
    for (int i : {0, 1, 2, 9}) {
        ASSERT_TRUE(Add(EntryFor("\\p" + std::to_string(i) + ".jpg", PENDING_TYPE_PHOTO, i)));
    }

    // The submit time to the millisecond and the path identify an entry; the type does not.
    EXPECT_EQ(pending_.DeletePending(&first), 1u);
    EXPECT_TRUE(trace_.Contains(
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
    EXPECT_TRUE(trace_.Contains("[Vantlo] delete all by type pending db , 0 items\n"));
    EXPECT_EQ(pending_.DeleteAllPendingByType(PENDING_TYPE_VIDEO), 1u);
    EXPECT_TRUE(trace_.Contains("[Vantlo] delete all by type pending db , 1 items\n"));
    EXPECT_EQ(pending_.GetPendingCountByType(PENDING_TYPE_VIDEO), 0u);
    EXPECT_EQ(pending_.GetPendingCountByType(PENDING_TYPE_PHOTO), 4u);
    for (const PendingRecord& r : ReadAll()) EXPECT_EQ(r.dwType, PENDING_TYPE_PHOTO);

    EXPECT_EQ(pending_.DeleteAllPending(), 4u);
    EXPECT_TRUE(trace_.Contains("[Vantlo] delete all pending db, 4 items\n"));
    EXPECT_EQ(pending_.GetPendingCount(), 0u);
    EXPECT_EQ(pending_.DeleteAllPending(), 0u);
    EXPECT_TRUE(trace_.Contains("[Vantlo] delete all pending db, 0 items\n"));
}

TEST_F(FullPendingTest, TheQueueRefusesAdditionsOnceItHoldsMoreThanTenThousand) {
    for (int i = 0; i < 10000; i++) {
        PendingRecord r = EntryFor("\\Videos\\clip" + std::to_string(i) + ".mp4", i % 2,
                                   static_cast<WORD>(i / 1000), static_cast<WORD>(i % 1000));
        ASSERT_TRUE(pending_.AddPending(&r)) << i;
    }
    // With exactly 10000 the addition still goes in; with 10001 it is refused.
    PendingRecord last = EntryFor("\\Videos\\last.mp4", PENDING_TYPE_VIDEO, 59, 999);
    ASSERT_TRUE(pending_.AddPending(&last));
    EXPECT_FALSE(trace_.Contains("Exceed pending db size"));
    PendingRecord refused = EntryFor("\\Videos\\refused.mp4", PENDING_TYPE_VIDEO, 59, 998);
    EXPECT_FALSE(pending_.AddPending(&refused));
    EXPECT_TRUE(trace_.Contains("[Vantlo] Exceed pending db size, 10001 items\n"));
    EXPECT_EQ(pending_.GetPendingCount(), 10001u);
    EXPECT_EQ(pending_.DeletePending(&refused), 0u);

    // Room again after a deletion.
    EXPECT_EQ(pending_.DeletePending(&last), 1u);
    EXPECT_TRUE(pending_.AddPending(&refused));
    EXPECT_EQ(pending_.GetPendingCountByType(PENDING_TYPE_VIDEO), 5001u);
}

TEST_F(PendingTest, ImpossibleTimesAreRefusedAndDamagedStoredEntriesReadBackSafely) {
    PendingRecord bad = EntryFor("\\bad.mp4", PENDING_TYPE_VIDEO);
    bad.stSubmit.wMonth = 13;
    EXPECT_FALSE(pending_.AddPending(&bad));
    EXPECT_TRUE(trace_.Contains("[Vantlo] Fail to add pending db: \\bad.mp4\n"));
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
        // The writer reports every add that returned true; it is killed after a random number
        // of them (and the READY line), plus a random part of the next one.
        ChildProcess child(
            {BinPath("vantlo-test-writer"), "records", std::to_string(round * 100000L)});
        const size_t target = 1 + rng() % 40;
        ASSERT_TRUE(child.ReadLines(target + 1));
        ASSERT_TRUE(child.Running()) << "the writer ended by itself: " << child.Out();
        usleep(static_cast<useconds_t>(rng() % 3000));
        child.Kill();
        EXPECT_EQ(child.Wait(), 128 + SIGKILL);
        std::vector<std::string> reported = child.Lines();
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

// A writer whose batches of pending entries each go in one transaction.
TEST_F(StoreDurabilityTest, BatchesOfAWriterKilledAtAnyMomentAreWhollyThereOrWhollyGone) {
    constexpr int kPerBatch = 20;
    std::mt19937 rng(std::random_device{}());
    std::map<int, int> reported;  // per run, the last batch whose commit returned
    for (int run = 0; run < 3; ++run) {
        ChildProcess writer({BinPath("vantlo-test-writer"), "batches", std::to_string(run),
                             std::to_string(kPerBatch)});
        const size_t lines = std::uniform_int_distribution<size_t>(2, 12)(rng);
        ASSERT_TRUE(writer.ReadLines(lines)) << "watchdog: the writer stalled";
        writer.Kill();
        writer.Wait();
        reported[run] = static_cast<int>(writer.Lines().size()) - 1;
    }

    std::map<std::pair<int, int>, int> found;  // entries per (run, batch)
    CUploadDb pending;
    ASSERT_TRUE(pending.InitPending());
    for (const std::string& path : PendingPaths(pending)) {
        int run = -1, batch = -1, i = -1;
        ASSERT_EQ(sscanf(path.c_str(), "\\r%d\\b%d\\%d.jpg", &run, &batch, &i), 3);
        found[{run, batch}]++;
    }
    for (const auto& [key, count] : found) {
        EXPECT_EQ(count, kPerBatch) << "run " << key.first << " batch " << key.second;
        EXPECT_LE(key.second, reported[key.first] + 1) << "run " << key.first;
    }
    for (const auto& [run, last] : reported) {
        for (int batch = 0; batch <= last; ++batch) {
            EXPECT_EQ(found.count({run, batch}), 1u) << "run " << run << " batch " << batch;
        }
    }
}

namespace {

// A value as stored before the start; type REG_NONE: no such value.
struct Stored {
    DWORD type;               // registry type
    std::vector<BYTE> bytes;  // its data
};

// The value's type and 4-byte content; REG_NONE when it is missing.
std::pair<DWORD, DWORD> Get(HKEY key, LPCWSTR name) {
    DWORD type = REG_NONE, value = 0, size = sizeof value;
    if (RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size) !=
        ERROR_SUCCESS) {
        return {REG_NONE, 0};
    }
    return {type, value};
}

using SettingsTest = DeviceTest;

}  // namespace

TEST_F(SettingsTest, OnlyADwordOfOneIsARequestAndBothValuesAreResetToZero) {
    const Stored one{REG_DWORD, {1, 0, 0, 0}}, zero{REG_DWORD, {0, 0, 0, 0}},
        two{REG_DWORD, {2, 0, 0, 0}}, missing{REG_NONE, {}}, text{REG_SZ, {'1', 0, 0, 0}},
        wide{REG_BINARY, {1, 0, 0, 0, 0, 0, 0, 0}};
    constexpr DWORD kNoRequest = 0xFFFFFFFF;  // any value but CLEAR_REQUESTED
    const struct {
        Stored youtube, facebook;         // stored before the start
        DWORD youtubeRead, facebookRead;  // what the call reads
    } cases[] = {
        {one, zero, CLEAR_REQUESTED, 0},
        {zero, one, 0, CLEAR_REQUESTED},
        {missing, two, 0, kNoRequest},  // a missing value reads as 0 and is written as 0
        {text, wide, kNoRequest, 0},    // values of another type or size are no request
    };
    auto expectRead = [](DWORD got, DWORD want) {
        if (want == kNoRequest) {
            EXPECT_NE(got, CLEAR_REQUESTED);
        } else {
            EXPECT_EQ(got, want);
        }
    };
    for (const auto& c : cases) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        for (const auto& [name, stored] : {std::pair{SETTING_CLEAR_YOUTUBE, &c.youtube},
                                           std::pair{SETTING_CLEAR_FACEBOOK, &c.facebook}}) {
            if (stored->type == REG_NONE) {
                RegDeleteValueW(key, name);
            } else {
                ASSERT_EQ(RegSetValueExW(key, name, 0, stored->type, stored->bytes.data(),
                                         static_cast<DWORD>(stored->bytes.size())),
                          ERROR_SUCCESS);
            }
        }
        DWORD youtube = 7, facebook = 7;
        EXPECT_TRUE(ConsumeClearRequests(&youtube, &facebook));
        expectRead(youtube, c.youtubeRead);
        expectRead(facebook, c.facebookRead);
        const std::pair<DWORD, DWORD> zeroDword{REG_DWORD, 0};
        EXPECT_EQ(Get(key, SETTING_CLEAR_YOUTUBE), zeroDword);
        EXPECT_EQ(Get(key, SETTING_CLEAR_FACEBOOK), zeroDword);
        // Consumed: the next start sees no request.
        EXPECT_TRUE(ConsumeClearRequests(&youtube, &facebook));
        EXPECT_EQ(youtube, 0u);
        EXPECT_EQ(facebook, 0u);
        RegCloseKey(key);
    }
}

TEST_F(SettingsTest, AMissingKeyMeansNoRequestAndIsNeverCreated) {
    DWORD youtube = 7, facebook = 7;
    EXPECT_FALSE(ConsumeClearRequests(&youtube, &facebook));
    EXPECT_EQ(youtube, 0u);
    EXPECT_EQ(facebook, 0u);
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, SETTINGS_KEY, 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(ConsumeClearRequests(nullptr, nullptr));
}

namespace {

class RecordingEngine : public IAlbumListEngine {
  public:
    HRESULT SetSession(LPCWSTR first, LPCWSTR third) override {
        sessions.push_back(WString(first) + u"|" + WString(third));
        return S_OK;
    }
    HRESULT FetchAlbumList(LPCWSTR session, LPCWSTR path) override {
        fetches.push_back(WString(session) + u"|" + WString(path));
        return S_OK;
    }
    std::vector<WString> sessions;  // SetSession calls as "first|third"
    std::vector<WString> fetches;   // FetchAlbumList calls as "session|path"
};

class AlbumListTest : public DeviceTest {
  protected:
    std::string ResultFile() { return HostPath(kAlbumListResultFile); }
    void WriteResult(const std::string& xml) { WriteHostFile(ResultFile(), xml); }
    CAlbumList list_;
};

}  // namespace

TEST_F(AlbumListTest, TheFirstGoodResultIsMappedByNameAndEveryResultFileIsRemoved) {
    // A failed fetch leaves the map and the file alone, and does not use up the one reading.
    WriteResult("<r><album><aid>1</aid><name>A</name></album></r>");
    list_.OnAlbumListResult(E_FAIL, kAlbumListResultFile);
    EXPECT_TRUE(list_.GetAlbumMap().empty());
    EXPECT_TRUE(HostFileExists(ResultFile()));

    // Only <album> elements count; a name seen before keeps its first identifier.
    WriteResult(
        "<?xml version=\"1.0\"?><albums>"
        "<album><aid>11</aid><name>Trips</name></album>"
        "<other><aid>99</aid><name>Ignored</name></other>"
        "<album kind=\"x\"><aid>12</aid><name>Family</name></album>"
        "<album><aid>13</aid><name>Trips</name></album>"
        "<album><name>No id</name></album>"
        "<album><aid>15</aid><name>Caf\xC3\xA9 &amp; bar</name></album>"
        "</albums>");
    list_.OnAlbumListResult(S_OK, kAlbumListResultFile);
    const AlbumMap expected{
        {u"Trips", u"11"}, {u"Family", u"12"}, {u"No id", u""}, {u"Caf\u00e9 & bar", u"15"}};
    EXPECT_EQ(list_.GetAlbumMap(), expected);
    EXPECT_FALSE(HostFileExists(ResultFile()));

    // A later result is not read, only removed.
    WriteResult("<r><album><aid>2</aid><name>B</name></album></r>");
    list_.OnAlbumListResult(S_OK, kAlbumListResultFile);
    EXPECT_EQ(list_.GetAlbumMap(), expected);
    EXPECT_FALSE(HostFileExists(ResultFile()));
}

TEST_F(AlbumListTest, AResultWithoutAlbumsMalformedOrMissingLeavesTheMapEmpty) {
    for (const std::string& bytes :
         {std::string("<albums><photo/></albums>"),
          std::string("<albums><album><aid>1</aid><name>A</name></album><album><aid>"),
          std::string("\x00\xff\xfe garbage", 11), std::string()}) {
        CAlbumList list;
        if (!bytes.empty()) WriteResult(bytes);
        list.OnAlbumListResult(S_OK, bytes.empty() ? u"\\Temp\\none.xml" : kAlbumListResultFile);
        EXPECT_TRUE(list.GetAlbumMap().empty()) << bytes;
    }
    // A well-formed result without albums is removed all the same.
    CAlbumList list;
    WriteResult("<albums><photo/></albums>");
    list.OnAlbumListResult(S_OK, kAlbumListResultFile);
    EXPECT_FALSE(HostFileExists(ResultFile()));
}

TEST_F(AlbumListTest, RequestDeletesTheOldFileAndAsksTheEngine) {
    RecordingEngine engine;
    EXPECT_EQ(list_.SetEngineSession(u"s0", u"s2"), E_POINTER);  // no engine yet
    list_.SetEngine(&engine);
    WriteResult("<stale/>");
    EXPECT_EQ(list_.SetEngineSession(u"s0", u"s2"), S_OK);
    EXPECT_EQ(list_.RequestAlbumList(u"owner"), 0);
    EXPECT_FALSE(HostFileExists(ResultFile()));
    EXPECT_EQ(engine.sessions, std::vector<WString>{u"s0|s2"});
    EXPECT_EQ(engine.fetches, std::vector<WString>{WString(u"owner|") + kAlbumListResultFile});
}

namespace {

constexpr WCHAR kVolume[] = u"\\Windows\\Test.vol";
constexpr WCHAR kDb[] = u"Things";

constexpr CEPROPID kIndex = MakePropId(0, CEVT_AUTO_I4);
constexpr CEPROPID kName = MakePropId(1, CEVT_LPWSTR);
constexpr CEPROPID kSize = MakePropId(2, CEVT_UI4);
constexpr CEPROPID kKind = MakePropId(3, CEVT_UI2);
constexpr CEPROPID kWhen = MakePropId(4, CEVT_FILETIME);

const DbPropDef kSchema[5] = {
    {CEVT_AUTO_I4, u"Index", kIndex}, {CEVT_LPWSTR, u"Name", kName},   {CEVT_UI4, u"Size", kSize},
    {CEVT_UI2, u"Kind", kKind},       {CEVT_FILETIME, u"When", kWhen},
};

// 0: by name. 1: by kind, then size descending. 2: newest first.
const SORTORDERSPECEX kSorts[3] = {
    {2, 1, 0, 0, {kName}, {0}},
    {2, 2, 0, 0, {kKind, kSize}, {0, CEDB_SORT_DESCENDING}},
    {2, 1, 0, 0, {kIndex}, {CEDB_SORT_DESCENDING}},
};

struct Thing {
    const char* name;
    DWORD size;
    WORD kind;
};

// Added in this order; names, kinds and sizes give different orders in every sort order.
const Thing kThings[] = {
    {"delta", 40, 2}, {"alpha", 10, 1}, {"echo", 50, 2}, {"charlie", 30, 1}, {"bravo", 20, 2},
};

using Names = std::vector<std::string>;
const Names kAdded = {"delta", "alpha", "echo", "charlie", "bravo"};
const Names kByName = {"alpha", "bravo", "charlie", "delta", "echo"};
const Names kByKindThenSize = {"charlie", "alpha", "echo", "delta", "bravo"};

CEPROPVAL Val(CEPROPID id, uint64_t raw = 0) {
    CEPROPVAL v{};
    v.propid = id;
    v.val.raw = raw;  // the low bytes are the member of any number type
    return v;
}
CEPROPVAL Text(CEPROPID id, const WString& s) {
    CEPROPVAL v = Val(id);
    v.val.lpwstr = const_cast<LPWSTR>(s.c_str());
    return v;
}

// A read text; a null pointer (never expected) shows up as a distinct value.
std::string S(LPCWSTR p) {
    return p ? ToUtf8(p) : "(null)";
}

class VolumeTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        volume_ = CreateDbVolume();
        ASSERT_NE(volume_, nullptr);
    }
    void TearDown() override {
        for (IDatabase* db : open_) volume_->Release(db);
        delete volume_;
        DeviceTest::TearDown();
    }

    // Mounts the test volume and creates the test database with kThings in it.
    void MakeThings() {
        ASSERT_TRUE(volume_->Mount(kVolume));
        ASSERT_TRUE(volume_->CreateDatabase(kDb, 5, kSchema, 3, kSorts));
        IDatabase* db = Open(-1, TRUE);
        for (const Thing& t : kThings) {
            WString name = FromUtf8(t.name);
            CEPROPVAL v[3] = {Text(kName, name), Val(kSize, t.size), Val(kKind, t.kind)};
            ASSERT_TRUE(db->AddRecord(3, v)) << t.name;
        }
    }
    IDatabase* Open(int sortIndex, BOOL autoAdvance) {
        IDatabase* db = volume_->OpenDatabase(kDb, sortIndex, autoAdvance);
        EXPECT_NE(db, nullptr);
        if (db) open_.push_back(db);
        return db;
    }
    // Names of every database, from the start of an enumeration to its end.
    std::set<std::string> Databases() {
        std::set<std::string> seen;
        WCHAR name[CEDB_MAXDBASENAMELEN];
        for (BOOL restart = TRUE; volume_->EnumDatabases(restart, name, CEDB_MAXDBASENAMELEN);
             restart = FALSE) {
            seen.insert(ToUtf8(name));
        }
        return seen;
    }
    // Names of every record ReadNext yields from now on.
    static Names ReadNames(IDatabase* db) {
        Names names;
        IDbRecord* rec = db->CreateRecord();
        EXPECT_NE(rec, nullptr);
        while (rec && db->ReadNext(rec) && names.size() < 100) {
            names.push_back(S(rec->GetProp(kName).lpwstr));
        }
        db->Release(rec);
        return names;
    }
    static Names Query(IDatabase* db, DWORD matchCount = 0, const CEPROPVAL* match = nullptr) {
        db->SetQuery(0, nullptr, matchCount, match);
        return ReadNames(db);
    }

    IDbVolume* volume_ = nullptr;   // the volume under test
    std::vector<IDatabase*> open_;  // handles to release at the end
};

}  // namespace

TEST_F(VolumeTest, AVolumeMountsOnceAndCreatesListsAndDeletesItsDatabases) {
    // Unmounted, every operation fails; a null path does not mount.
    EXPECT_FALSE(volume_->Mount(nullptr));
    WCHAR name[CEDB_MAXDBASENAMELEN];
    EXPECT_FALSE(volume_->EnumDatabases(TRUE, name, CEDB_MAXDBASENAMELEN));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 5, kSchema, 3, kSorts));
    EXPECT_FALSE(volume_->DatabaseExists(kDb));
    EXPECT_FALSE(volume_->DeleteDatabase(kDb));
    EXPECT_EQ(volume_->OpenDatabase(kDb, 0, TRUE), nullptr);

    // The mount creates the file; a second mount is refused and leaves the first in place.
    EXPECT_FALSE(HostFileExists(HostPath(kVolume)));
    ASSERT_TRUE(volume_->Mount(kVolume));
    EXPECT_TRUE(HostFileExists(HostPath(kVolume)));
    EXPECT_FALSE(volume_->Mount(kVolume));
    EXPECT_FALSE(volume_->Mount(u"\\Windows\\Other.vol"));

    // Incomplete definitions are refused.
    EXPECT_FALSE(volume_->CreateDatabase(nullptr, 5, kSchema, 3, kSorts));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 0, kSchema, 3, kSorts));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 5, nullptr, 3, kSorts));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 5, kSchema, 3, nullptr));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 5, kSchema, CEDB_MAXSORTORDER + 1, kSorts));
    EXPECT_FALSE(volume_->DatabaseExists(kDb));

    ASSERT_TRUE(volume_->CreateDatabase(u"First", 5, kSchema, 3, kSorts));
    ASSERT_TRUE(volume_->CreateDatabase(u"Second", 2, kSchema, 0, nullptr));
    EXPECT_TRUE(volume_->DatabaseExists(u"First"));
    EXPECT_TRUE(volume_->DatabaseExists(u"Second"));
    EXPECT_FALSE(volume_->DatabaseExists(u"Third"));
    EXPECT_FALSE(volume_->DatabaseExists(nullptr));
    EXPECT_EQ(Databases(), (std::set<std::string>{"First", "Second"}));
    // The end closed the enumeration: the next call starts again.
    ASSERT_TRUE(volume_->EnumDatabases(FALSE, name, CEDB_MAXDBASENAMELEN));
    EXPECT_TRUE(ToUtf8(name) == "First" || ToUtf8(name) == "Second") << ToUtf8(name);
    // A short buffer gets a cut, terminated name.
    WCHAR small[3] = {1, 1, 1};
    ASSERT_TRUE(volume_->EnumDatabases(TRUE, small, 3));
    EXPECT_EQ(WStrLen(small), 2u);
    EXPECT_FALSE(volume_->EnumDatabases(TRUE, nullptr, 3));

    EXPECT_TRUE(volume_->DeleteDatabase(u"First"));
    EXPECT_FALSE(volume_->DatabaseExists(u"First"));
    EXPECT_FALSE(volume_->DeleteDatabase(u"First"));
    EXPECT_FALSE(volume_->DeleteDatabase(nullptr));
    EXPECT_EQ(Databases(), (std::set<std::string>{"Second"}));
}

TEST_F(VolumeTest, AHandleDescribesItsDatabaseAndReadsInItsSortOrder) {
    MakeThings();
    IDatabase* db = Open(0, TRUE);
    WCHAR name[32];
    ASSERT_TRUE(db->GetName(name, 32));
    EXPECT_EQ(WString(name), u"Things");
    EXPECT_FALSE(db->GetName(nullptr, 32));
    ASSERT_EQ(db->GetPropCount(), 5u);
    DbPropDef* def = nullptr;
    for (DWORD i = 0; i < 5; i++) {
        ASSERT_TRUE(db->GetPropDef(i, &def));
        EXPECT_EQ(def->propId, kSchema[i].propId);
        EXPECT_EQ(def->wType, kSchema[i].wType);
        EXPECT_EQ(S(def->szName), S(kSchema[i].szName));
    }
    EXPECT_FALSE(db->GetPropDef(5, &def));
    EXPECT_FALSE(db->GetPropDef(0, nullptr));
    DbPropDef find{};
    WStrCopyN(find.szName, u"Size", CEDB_MAXPROPNAMELEN);
    ASSERT_TRUE(db->FindPropByName(&find));
    EXPECT_EQ(find.propId, kSize);
    EXPECT_EQ(find.wType, CEVT_UI4);
    WStrCopyN(find.szName, u"size", CEDB_MAXPROPNAMELEN);  // names are case-sensitive
    EXPECT_FALSE(db->FindPropByName(&find));
    EXPECT_FALSE(db->FindPropByName(nullptr));

    // A sort order beyond the database's opens in record order.
    EXPECT_EQ(volume_->OpenDatabase(u"Missing", 0, TRUE), nullptr);
    EXPECT_EQ(volume_->OpenDatabase(nullptr, 0, TRUE), nullptr);
    EXPECT_EQ(Query(Open(3, TRUE)), kAdded);
    EXPECT_EQ(Query(Open(16, FALSE)), kAdded);
    EXPECT_EQ(Query(Open(-1, TRUE)), kAdded);
    EXPECT_EQ(Query(db), kByName);
    EXPECT_EQ(Query(Open(2, TRUE)), (Names{"bravo", "charlie", "echo", "alpha", "delta"}));

    // Every SetQuery starts from the first record again, also after a scan broken off.
    for (BOOL autoAdvance : {TRUE, FALSE}) {
        IDatabase* bySize = Open(1, autoAdvance);
        EXPECT_EQ(Query(bySize), kByKindThenSize) << autoAdvance;
        bySize->SetQuery(0, nullptr, 0, nullptr);
        IDbRecord* rec = bySize->CreateRecord();
        ASSERT_TRUE(bySize->ReadNext(rec));
        ASSERT_TRUE(bySize->ReadNext(rec));
        EXPECT_EQ(S(rec->GetProp(kName).lpwstr), "alpha");
        bySize->Release(rec);
        EXPECT_EQ(Query(bySize), kByKindThenSize) << autoAdvance;
    }

    // A read list chooses the properties: the others read as zero. alpha..echo were added
    // as the 2nd, 5th, 4th, 1st and 3rd record.
    CEPROPID ids[2] = {kSize, kIndex};
    db->SetQuery(2, ids, 0, nullptr);
    IDbRecord* rec = db->CreateRecord();
    std::vector<DWORD> indexes;
    while (db->ReadNext(rec)) {
        EXPECT_EQ(rec->GetProp(kName).raw, 0u);
        EXPECT_NE(rec->GetProp(kSize).ulVal, 0u);
        indexes.push_back(rec->GetProp(kIndex).ulVal);
    }
    db->Release(rec);
    ASSERT_EQ(indexes.size(), 5u);
    EXPECT_LT(indexes[3], indexes[0]);
    EXPECT_LT(indexes[0], indexes[4]);
    EXPECT_LT(indexes[4], indexes[2]);
    EXPECT_LT(indexes[2], indexes[1]);
}

TEST_F(VolumeTest, QueriesStartAtAnOffsetOrVisitEveryMatchInSortOrder) {
    MakeThings();
    for (BOOL autoAdvance : {TRUE, FALSE}) {
        IDatabase* db = Open(1, autoAdvance);
        for (DWORD start = 0; start <= kByKindThenSize.size(); ++start) {
            db->SetQuery(0, nullptr, 0, nullptr);
            ASSERT_TRUE(db->SetQueryStart(start));
            EXPECT_EQ(ReadNames(db), Names(kByKindThenSize.begin() + start, kByKindThenSize.end()))
                << autoAdvance << " from " << start;
        }
        // The start holds for one query: the next SetQuery reads from the first again.
        db->SetQuery(0, nullptr, 0, nullptr);
        ASSERT_TRUE(db->SetQueryStart(3));
        EXPECT_EQ(Query(db), kByKindThenSize);

        // Match values: every match in sort order, as often as asked; the first match comes
        // first on either kind of handle.
        CEPROPVAL kind2[1] = {Val(kKind, 2)};
        EXPECT_EQ(Query(db, 1, kind2), (Names{"echo", "delta", "bravo"}));
        EXPECT_EQ(Query(db, 1, kind2), (Names{"echo", "delta", "bravo"}));
        CEPROPVAL both[2] = {Val(kKind, 1), Val(kSize, 10)};
        EXPECT_EQ(Query(db, 2, both), (Names{"alpha"}));
        CEPROPVAL none[1] = {Val(kKind, 7)};
        EXPECT_EQ(Query(db, 1, none), Names{});
        // A query with match values has no offset.
        db->SetQuery(0, nullptr, 1, kind2);
        EXPECT_FALSE(db->SetQueryStart(1));
        EXPECT_EQ(ReadNames(db), (Names{"echo", "delta", "bravo"}));
    }

    // Deleting every record read from the start on keeps exactly the ones before it.
    IDatabase* db = Open(1, TRUE);
    db->SetQuery(0, nullptr, 0, nullptr);
    ASSERT_TRUE(db->SetQueryStart(2));
    IDbRecord* rec = db->CreateRecord();
    ASSERT_NE(rec, nullptr);
    Names deleted;
    while (db->ReadNext(rec) && deleted.size() < 10) {
        deleted.push_back(S(rec->GetProp(kName).lpwstr));
        EXPECT_TRUE(rec->Delete());
    }
    db->Release(rec);
    EXPECT_EQ(deleted, (Names{"echo", "delta", "bravo"}));
    EXPECT_EQ(Query(db), (Names{"charlie", "alpha"}));
}

TEST_F(VolumeTest, CountDeleteAndUpdateTakeTheFirstMatchEveryMatchOrEveryRecord) {
    MakeThings();
    IDatabase* db = Open(1, FALSE);
    IDatabase* byName = Open(0, TRUE);
    CEPROPVAL kind1[1] = {Val(kKind, 1)}, kind2[1] = {Val(kKind, 2)}, kind9[1] = {Val(kKind, 9)};
    EXPECT_EQ(db->Count(0, nullptr), 5u);
    EXPECT_EQ(db->Count(1, kind2), 3u);
    EXPECT_EQ(db->Count(1, kind9), 0u);
    EXPECT_EQ(db->Count(1, nullptr), 0u);

    // Without all-matches only the first match in sort order counts: echo.
    EXPECT_TRUE(db->SetAllMatches(FALSE));
    EXPECT_EQ(db->Count(1, kind2), 1u);
    EXPECT_EQ(db->Delete(1, kind2), 1u);
    EXPECT_FALSE(db->SetAllMatches(TRUE));
    EXPECT_EQ(db->Count(1, kind2), 2u);
    EXPECT_EQ(Query(byName), (Names{"alpha", "bravo", "charlie", "delta"}));

    // Update writes the matches; nothing without values or without matches.
    CEPROPVAL when[1] = {Val(kWhen, 0x01DC000012345678ull)};
    EXPECT_EQ(db->Update(1, when, 1, kind1), 2u);
    EXPECT_EQ(db->Update(0, when, 1, kind1), 0u);
    EXPECT_EQ(db->Update(1, when, 1, kind9), 0u);
    byName->SetQuery(0, nullptr, 0, nullptr);
    IDbRecord* rec = byName->CreateRecord();
    std::set<std::string> stamped;
    while (byName->ReadNext(rec)) {
        if (rec->GetProp(kWhen).raw == 0x01DC000012345678ull) {
            stamped.insert(S(rec->GetProp(kName).lpwstr));
        }
    }
    EXPECT_EQ(stamped, (std::set<std::string>{"alpha", "charlie"}));
    // Without match values every record in the handle's order is written (the handle's own
    // sort keys are left alone: writing them would move records under the walk).
    CEPROPVAL size[1] = {Val(kSize, 7)};
    EXPECT_EQ(byName->Update(1, size, 0, nullptr), 4u);
    byName->SetQuery(0, nullptr, 0, nullptr);
    int n = 0;
    for (; byName->ReadNext(rec); n++) EXPECT_EQ(rec->GetProp(kSize).ulVal, 7u);
    EXPECT_EQ(n, 4);
    byName->Release(rec);

    EXPECT_EQ(db->Delete(1, kind1), 2u);
    EXPECT_EQ(db->Delete(1, kind1), 0u);
    EXPECT_EQ(db->Delete(1, nullptr), 0u);  // never "everything"
    EXPECT_EQ(Query(byName), (Names{"bravo", "delta"}));
    EXPECT_EQ(db->Delete(0, nullptr), 2u);
    EXPECT_EQ(db->Count(0, nullptr), 0u);
    EXPECT_EQ(db->Delete(0, nullptr), 0u);
    EXPECT_EQ(Query(byName), Names{});
}

TEST_F(VolumeTest, RecordsReadBackEveryTypeAndWriteOrDeleteWhatTheyRead) {
    MakeThings();
    IDatabase* db = Open(2, FALSE);  // newest first
    const WString first = u"\u65e5\u672c \U0001F600 caf\u00e9", second = u"";
    CEPROPVAL a[4] = {Text(kName, first), Val(kSize, 0xFFFFFFFFu), Val(kKind, 0xFFFF),
                      Val(kWhen, 0x0123456789ABCDEFull)};
    CEPROPVAL b[1] = {Text(kName, second)};
    ASSERT_TRUE(db->AddRecord(4, a));
    ASSERT_TRUE(db->AddRecord(1, b));

    IDbRecord* rec = db->CreateRecord();
    ASSERT_NE(rec, nullptr);
    // Nothing read yet: no values, nothing to write or delete.
    EXPECT_EQ(rec->GetProp(kName).raw, 0u);
    CEPROPVAL size99[1] = {Val(kSize, 99)};
    EXPECT_FALSE(rec->Write(1, size99));
    EXPECT_FALSE(rec->Delete());
    EXPECT_FALSE(db->ReadNext(nullptr));
    IDatabase* other = Open(1, TRUE);
    IDbRecord* foreign = other->CreateRecord();
    db->SetQuery(0, nullptr, 0, nullptr);
    EXPECT_FALSE(db->ReadNext(foreign));
    other->Release(foreign);

    ASSERT_TRUE(db->ReadNext(rec));  // the newest record
    EXPECT_EQ(S(rec->GetProp(kName).lpwstr), "");
    EXPECT_EQ(rec->GetProp(kSize).raw, 0u);  // never written
    DWORD newer = rec->GetProp(kIndex).ulVal;
    ASSERT_TRUE(db->ReadNext(rec));
    EXPECT_EQ(S(rec->GetProp(kName).lpwstr), ToUtf8(first));
    EXPECT_EQ(rec->GetProp(kSize).ulVal, 0xFFFFFFFFu);
    EXPECT_EQ(rec->GetProp(kKind).uiVal, 0xFFFF);
    EXPECT_EQ(FileTimeToU64(rec->GetProp(kWhen).filetime), 0x0123456789ABCDEFull);
    EXPECT_GT(newer, rec->GetProp(kIndex).ulVal);
    EXPECT_EQ(rec->GetProp(MakePropId(9, CEVT_UI4)).raw, 0u);  // no such property

    // What a record read, it writes and deletes.
    WString key = u"charlie";
    CEPROPVAL match[1] = {Text(kName, key)};
    IDatabase* byName = Open(0, FALSE);
    IDbRecord* found = byName->CreateRecord();
    byName->SetQuery(0, nullptr, 1, match);
    ASSERT_TRUE(byName->ReadNext(found));
    EXPECT_TRUE(found->Write(1, size99));
    byName->SetQuery(0, nullptr, 1, match);
    ASSERT_TRUE(byName->ReadNext(found));
    EXPECT_EQ(found->GetProp(kSize).ulVal, 99u);
    EXPECT_TRUE(found->Delete());
    EXPECT_FALSE(found->Delete());
    byName->Release(found);
    db->Release(rec);
    db->Release(nullptr);
    volume_->Release(nullptr);
    EXPECT_EQ(Query(byName), (Names{"", "alpha", "bravo", "delta", "echo", ToUtf8(first)}));

    // More values than the database has properties write nothing, nor do no values.
    CEPROPVAL six[6] = {Text(kName, first), Val(kSize, 1), Val(kKind, 1),
                        Val(kWhen),         Val(kSize, 2), Val(kSize, 3)};
    EXPECT_FALSE(db->AddRecord(6, six));
    EXPECT_FALSE(db->AddRecord(2, nullptr));
    EXPECT_EQ(db->Count(0, nullptr), 6u);
    EXPECT_TRUE(db->AddRecord(5, six));
    EXPECT_EQ(db->Count(0, nullptr), 7u);
}
