// The upload history: files recognised by their four keys, duplicates refused, the newest
// 10000 kept; and the path splitting that forms a key's name and folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <iterator>
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
    TraceCapture trace(runtime_);
    UploadHistoryKey base = KeyFor(1);
    EXPECT_FALSE(history_.IsInHistory(&base));
    ASSERT_TRUE(history_.AddHistory(&base));
    EXPECT_TRUE(history_.IsInHistory(&base));
    EXPECT_TRUE(trace.Contains("[Vantlo] GetUploadStatusDb: File found in DB\n"));
    EXPECT_FALSE(history_.AddHistory(&base));
    EXPECT_TRUE(trace.Contains("[Vantlo] Data exist history db: img_1.jpg\n"));
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
        trace.Contains("[Vantlo] Delete item pending db , 3 items, Filename: img_1.jpg, "
                       "Folder:\\My Documents\\Photos\n"));
    EXPECT_FALSE(history_.IsInHistory(&base));
    EXPECT_EQ(history_.DeleteHistory(&base), 0u);
    EXPECT_TRUE(trace.Contains("[Vantlo] Delete item pending db , 0 items, Filename: img_1.jpg"));
    EXPECT_EQ(HistoryCount(), 3u);

    EXPECT_FALSE(history_.IsInHistory(nullptr));
    EXPECT_FALSE(history_.AddHistory(nullptr));
    EXPECT_EQ(history_.DeleteHistory(nullptr), 0u);
}

TEST_F(FullHistoryTest, EveryAdditionPastTenThousandDropsTheOldestRecords) {
    TraceCapture trace(runtime_);
    for (int i = 0; i < 10000; i++) {
        UploadHistoryKey key = KeyFor(i);
        ASSERT_TRUE(history_.AddHistory(&key)) << i;
    }
    EXPECT_EQ(HistoryCount(), 10000u);
    EXPECT_FALSE(trace.Contains("Exceed history db size"));

    UploadHistoryKey key = KeyFor(10000);
    ASSERT_TRUE(history_.AddHistory(&key));
    EXPECT_TRUE(trace.Contains("[Vantlo] Exceed history db size, 10001 items\n"));
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
