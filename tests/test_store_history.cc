// The upload history: files recognised by their four keys, duplicates refused, the newest
// 10000 kept; and the path splitting that forms a key's name and folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "store/path_split.h"
#include "store/upload_db.h"
#include "tests/store_test_util.h"
#include "tests/support/test_env.h"

namespace {

class HistoryTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        ASSERT_TRUE(history_.InitHistory());
    }
    void TearDown() override {
        history_.Close();
        DeviceTest::TearDown();
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
// duplicate check of AddHistory.
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

using HistoryVolumeTest = DeviceTest;

DWORD HistoryCount() {
    DirectDb db(UPLOAD_HISTORY_DB, 0);
    return db.get() ? db->Count(0, nullptr) : 0xFFFFFFFFu;
}

}  // namespace

TEST_F(HistoryTest, AddedFileIsFoundUntilDeleted) {
    TraceCapture trace(runtime_);
    UploadHistoryKey key = KeyFor(1);
    EXPECT_FALSE(history_.IsInHistory(&key));
    ASSERT_TRUE(history_.AddHistory(&key));
    EXPECT_TRUE(history_.IsInHistory(&key));
    EXPECT_TRUE(trace.Contains("[Vantlo] GetUploadStatusDb: File found in DB\n"));
    EXPECT_EQ(history_.DeleteHistory(&key), 1u);
    EXPECT_TRUE(
        trace.Contains("[Vantlo] Delete item pending db , 1 items, Filename: img_1.jpg, "
                       "Folder:\\My Documents\\Photos\n"));
    EXPECT_FALSE(history_.IsInHistory(&key));
    EXPECT_EQ(history_.DeleteHistory(&key), 0u);
    EXPECT_TRUE(trace.Contains("[Vantlo] Delete item pending db , 0 items, Filename: img_1.jpg"));
    EXPECT_EQ(HistoryCount(), 0u);
}

TEST_F(HistoryTest, AddingAKeyAlreadyPresentWritesNothing) {
    TraceCapture trace(runtime_);
    UploadHistoryKey key = KeyFor(7);
    ASSERT_TRUE(history_.AddHistory(&key));
    EXPECT_FALSE(history_.AddHistory(&key));
    EXPECT_TRUE(trace.Contains("[Vantlo] Data exist history db: img_7.jpg\n"));
    EXPECT_EQ(HistoryCount(), 1u);
}

TEST_F(HistoryTest, EveryOneOfTheFourKeysTellsFilesApart) {
    UploadHistoryKey base = KeyFor(3);
    ASSERT_TRUE(history_.AddHistory(&base));

    UploadHistoryKey size = base;
    size.dwFileSize += 1;
    UploadHistoryKey time = base;
    time.ftModified = U64ToFileTime(FileTimeToU64(time.ftModified) + 1);  // 100 ns later
    UploadHistoryKey name = base;
    WStrCopyN(name.szFileName, u"IMG_3.jpg", MAX_PATH);  // texts compare exactly
    UploadHistoryKey folder = KeyFor(3, u"\\My Documents\\Photos\\");

    for (const UploadHistoryKey* k : {&size, &time, &name, &folder}) {
        EXPECT_FALSE(history_.IsInHistory(k));
        EXPECT_EQ(history_.DeleteHistory(k), 0u);
        EXPECT_TRUE(history_.AddHistory(k));
    }
    EXPECT_EQ(HistoryCount(), 5u);
    EXPECT_TRUE(history_.IsInHistory(&base));
    EXPECT_EQ(history_.DeleteHistory(&time), 1u);
    EXPECT_TRUE(history_.IsInHistory(&base));
    EXPECT_TRUE(history_.IsInHistory(&size));
}

TEST_F(HistoryTest, DeleteHistoryRemovesEveryRecordOfTheKey) {
    UploadHistoryKey key = KeyFor(5);
    UploadHistoryKey other = KeyFor(6);
    DirectDb db(UPLOAD_HISTORY_DB, 0);
    AddRaw(db, key);
    AddRaw(db, key);
    AddRaw(db, key);
    AddRaw(db, other);
    EXPECT_TRUE(history_.IsInHistory(&key));
    EXPECT_EQ(history_.DeleteHistory(&key), 3u);
    EXPECT_FALSE(history_.IsInHistory(&key));
    EXPECT_TRUE(history_.IsInHistory(&other));
}

TEST_F(FullHistoryTest, TheTenThousandAndFirstAdditionDropsTheOldestRecord) {
    TraceCapture trace(runtime_);
    for (int i = 0; i < 10000; i++) {
        UploadHistoryKey key = KeyFor(i);
        ASSERT_TRUE(history_.AddHistory(&key)) << i;
    }
    EXPECT_EQ(HistoryCount(), 10000u);
    EXPECT_FALSE(trace.Contains("Exceed history db size"));

    UploadHistoryKey newest = KeyFor(10000);
    ASSERT_TRUE(history_.AddHistory(&newest));
    EXPECT_TRUE(trace.Contains("[Vantlo] Exceed history db size, 10001 items\n"));
    EXPECT_EQ(HistoryCount(), 10000u);
    UploadHistoryKey oldest = KeyFor(0);
    UploadHistoryKey second = KeyFor(1);
    EXPECT_FALSE(history_.IsInHistory(&oldest));
    EXPECT_TRUE(history_.IsInHistory(&second));
    EXPECT_TRUE(history_.IsInHistory(&newest));

    // The limit holds after every later addition too, and the oldest go first.
    UploadHistoryKey next = KeyFor(10001);
    ASSERT_TRUE(history_.AddHistory(&next));
    EXPECT_EQ(HistoryCount(), 10000u);
    EXPECT_FALSE(history_.IsInHistory(&second));
    EXPECT_TRUE(history_.IsInHistory(&next));
}

TEST_F(FullHistoryTest, TrimTakesRecordsOverTheLimitLeftByAnotherWriter) {
    // Another writer went past the limit without trimming; the next addition trims.
    {
        DirectDb db(UPLOAD_HISTORY_DB, 0);
        for (int i = 0; i < 10003; i++) AddRaw(db, KeyFor(i));
    }
    UploadHistoryKey key = KeyFor(20000);
    ASSERT_TRUE(history_.AddHistory(&key));
    EXPECT_EQ(HistoryCount(), 10000u);
    for (int i : {0, 1, 2, 3}) {
        UploadHistoryKey gone = KeyFor(i);
        EXPECT_FALSE(history_.IsInHistory(&gone)) << i;
    }
    UploadHistoryKey kept = KeyFor(4);
    EXPECT_TRUE(history_.IsInHistory(&kept));
}

TEST_F(HistoryTest, NullKeysAreRefused) {
    EXPECT_FALSE(history_.IsInHistory(nullptr));
    EXPECT_FALSE(history_.AddHistory(nullptr));
    EXPECT_EQ(history_.DeleteHistory(nullptr), 0u);
}

TEST(HistoryWithoutStore, OperationsFailWhenNotInitialisedOrClosed) {
    CUploadDb db;
    UploadHistoryKey key = KeyFor(1);
    EXPECT_FALSE(db.IsInHistory(&key));
    EXPECT_FALSE(db.AddHistory(&key));
    EXPECT_EQ(db.DeleteHistory(&key), 0u);
    db.Close();
    db.Close();
}

TEST_F(HistoryVolumeTest, FailsToInitialiseOnACorruptVolumeAndThenRefusesEverything) {
    WriteHostFile(root_ + "/Windows/UploadHistory.vol", std::string(8192, '\x5A'));
    CUploadDb db;
    EXPECT_FALSE(db.InitHistory());
    UploadHistoryKey key = KeyFor(1);
    EXPECT_FALSE(db.AddHistory(&key));
    EXPECT_FALSE(db.IsInHistory(&key));
    EXPECT_EQ(db.DeleteHistory(&key), 0u);
    db.Close();
    EXPECT_EQ(ReadHostFile(root_ + "/Windows/UploadHistory.vol"), std::string(8192, '\x5A'));
}

// --- Keys from the file system -------------------------------------------------------------

TEST_F(HistoryVolumeTest, AKeyIsFormedFromTheFileItNames) {
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
    CUploadDb history;
    ASSERT_TRUE(history.InitHistory());
    ASSERT_TRUE(history.AddHistory(&key));
    UploadHistoryKey again;
    ASSERT_TRUE(FormUploadHistoryKey(u"\\My Documents\\My Pictures\\IMG_0042.JPG", &again));
    EXPECT_TRUE(history.IsInHistory(&again));
}

TEST_F(HistoryVolumeTest, AMissingFileGivesNameAndFolderButNoKey) {
    UploadHistoryKey key;
    EXPECT_FALSE(FormUploadHistoryKey(u"\\Storage Card\\gone.mp4", &key));
    EXPECT_EQ(WString(key.szFileName), u"gone.mp4");
    EXPECT_EQ(WString(key.szFolderPath), u"\\Storage Card");
    EXPECT_EQ(key.dwFileSize, 0u);
    EXPECT_EQ(FileTimeToU64(key.ftModified), 0u);
    EXPECT_FALSE(FormUploadHistoryKey(nullptr, &key));
    EXPECT_FALSE(FormUploadHistoryKey(u"x", nullptr));
}

// --- Path splitting ------------------------------------------------------------------------

TEST(PathSplit, FolderAndNameOfAFullPath) {
    WCHAR name[MAX_PATH];
    WCHAR folder[MAX_PATH];
    LPCWSTR path = u"\\My Documents\\My Pictures\\IMG_0001.JPG";
    EXPECT_EQ(SplitFileName(name, path, MAX_PATH), name);
    EXPECT_EQ(WString(name), u"IMG_0001.JPG");
    EXPECT_EQ(SplitFolder(folder, path, TRUE, MAX_PATH), folder);
    EXPECT_EQ(WString(folder), u"\\My Documents\\My Pictures");
    SplitFolder(folder, path, FALSE, MAX_PATH);
    EXPECT_EQ(WString(folder), u"\\My Documents\\My Pictures\\");
}

TEST(PathSplit, SlashAndColonSeparateToo) {
    WCHAR out[MAX_PATH];
    EXPECT_EQ(WString(SplitFileName(out, u"a\\b/c.mp4", MAX_PATH)), u"c.mp4");
    EXPECT_EQ(WString(SplitFolder(out, u"a\\b/c.mp4", TRUE, MAX_PATH)), u"a\\b");
    EXPECT_EQ(WString(SplitFileName(out, u"SD:clip.3gp", MAX_PATH)), u"clip.3gp");
    EXPECT_EQ(WString(SplitFolder(out, u"SD:clip.3gp", FALSE, MAX_PATH)), u"SD:");
    EXPECT_EQ(WString(SplitFileName(out, u"\\Windows\\", MAX_PATH)), u"");
    EXPECT_EQ(WString(SplitFolder(out, u"\\x.jpg", TRUE, MAX_PATH)), u"");
}

TEST(PathSplit, APathWithoutSeparatorIsBothNameAndFolder) {
    WCHAR out[MAX_PATH];
    EXPECT_EQ(WString(SplitFileName(out, u"photo.jpg", MAX_PATH)), u"photo.jpg");
    EXPECT_EQ(WString(SplitFolder(out, u"photo.jpg", TRUE, MAX_PATH)), u"photo.jpg");
    EXPECT_EQ(WString(SplitFolder(out, u"photo.jpg", FALSE, MAX_PATH)), u"photo.jpg");
}

TEST(PathSplit, CopiesAreCutToTheCapacityAndTerminated) {
    WCHAR out[8];
    for (WCHAR& c : out) c = u'#';
    SplitFileName(out, u"\\dir\\abcdefghijkl", 8);
    EXPECT_EQ(WString(out), u"abcdefg");
    EXPECT_EQ(out[7], 0);
    SplitFolder(out, u"\\folder\\sub\\name.jpg", TRUE, 8);
    EXPECT_EQ(WString(out), u"\\folder");
    SplitFolder(out, u"\\folder\\sub\\name.jpg", FALSE, 8);
    EXPECT_EQ(WString(out), u"\\folder");
    SplitFolder(out, u"\\abcdefghij\\name.jpg", TRUE, 8);
    EXPECT_EQ(WString(out), u"\\abcdef");
    SplitFolder(out, u"abcdefghijkl", TRUE, 8);
    EXPECT_EQ(WString(out), u"abcdefg");
    SplitFileName(out, nullptr, 8);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(SplitFileName(nullptr, u"x", 8), nullptr);
    WCHAR one[1] = {u'#'};
    SplitFolder(one, u"a\\b", TRUE, 1);
    EXPECT_EQ(one[0], 0);
}
