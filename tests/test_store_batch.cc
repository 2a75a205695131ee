// Writes grouped in transactions: on the property database through several mounts, handles
// and threads, with failed commits and a writer killed at any moment; and in the task manager,
// whose batches of new tasks and ended uploads reach the volume in one write each.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/cedb.h"
#include "platform/cedb_faults.h"
#include "platform/device_image.h"
#include "platform/devpath.h"
#include "platform/handle.h"
#include "platform/window.h"
#include "platform/wstr.h"
#include "store/upload_db.h"
#include "tests/child_process.h"
#include "tests/support/test_env.h"
#include "upload/messages.h"
#include "upload/task_mgr.h"

namespace {

constexpr LPCWSTR kVolume = u"\\Windows\\Batch.vol";
constexpr CEPROPID kName = MakePropId(1, CEVT_LPWSTR);
constexpr CEPROPID kSize = MakePropId(2, CEVT_UI4);
constexpr auto kWatchdog = std::chrono::seconds(60);  // only guards against a hang

using Names = std::vector<WString>;

// Makes writes and syncs of the volume files fail on demand, and counts the log's syncs.
struct Faults {
    std::atomic<bool> failWrites{false};  // every write: disk full
    std::atomic<bool> failSyncs{false};   // every sync: I/O error
    std::atomic<int> failLogSyncs{0};     // so many next syncs of a log: I/O error
    std::atomic<int> logSyncs{0};         // syncs of a log asked for so far

    static DWORD Inject(CeDbFileOp op, const char* path, void* context) {
        auto* f = static_cast<Faults*>(context);
        if (op == CeDbFileOp::kWrite) return f->failWrites ? ERROR_DISK_FULL : ERROR_SUCCESS;
        if (std::string_view(path).ends_with("-wal")) {
            f->logSyncs++;
            if (f->failLogSyncs > 0) {
                f->failLogSyncs--;
                return ERROR_WRITE_FAULT;
            }
        }
        return f->failSyncs ? ERROR_WRITE_FAULT : ERROR_SUCCESS;
    }
};

class StoreBatchTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        tracePath_ = root_ + "/../trace.log";
        setenv("VANTLO_TRACE_FILE", tracePath_.c_str(), 1);
    }
    void TearDown() override {
        CeDbSetFaultHook(nullptr, nullptr);
        for (HANDLE h : open_) CloseHandle(h);  // closing twice is harmless
        for (CEGUID& g : mounts_) CeUnmountDBVol(&g);
        unsetenv("VANTLO_TRACE_FILE");
        DeviceTest::TearDown();
    }

    CEGUID Mount() {
        CEGUID g{};
        EXPECT_TRUE(CeMountDBVolEx(&g, kVolume, nullptr, OPEN_ALWAYS));
        mounts_.push_back(g);
        return g;
    }
    void UnmountAll() {
        for (HANDLE h : open_) CloseHandle(h);
        open_.clear();
        for (CEGUID& g : mounts_) CeUnmountDBVol(&g);
        mounts_.clear();
    }
    // Creates "Log" (a name, the key of sort order 0, and a size) in g's volume.
    void MakeLog(CEGUID* g) {
        CEDBASEINFOEX info{};
        info.wVersion = 2;
        info.dwFlags = CEDB_VALIDNAME | CEDB_VALIDSORTSPEC;
        WStrCopyN(info.szDbaseName, u"Log", CEDB_MAXDBASENAMELEN);
        info.wNumSortOrder = 1;
        info.rgSortSpecs[0] = SORTORDERSPECEX{2, 1, 0, 0, {kName}, {0}};
        WCHAR name[] = u"Name";
        WCHAR size[] = u"Size";
        CEPROPSPEC props[2] = {{1, kName, 0, name, 5}, {1, kSize, 0, size, 5}};
        ASSERT_NE(CeCreateDatabaseWithProps(g, &info, 2, props), 0u);
    }
    // A handle on "Log" in session (none when null), in name order or else record order,
    // reading on by itself; closed when the case ends.
    HANDLE OpenLog(HANDLE session, CEGUID* g, bool byName) {
        CEOID oid = 0;
        SORTORDERSPECEX sort{2, 1, 0, 0, {kName}, {0}};
        HANDLE h = CeOpenDatabaseInSession(session, g, &oid, u"Log", byName ? &sort : nullptr,
                                           CEDB_AUTOINCREMENT, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        open_.push_back(h);
        return h;
    }
    std::string TraceLog() const { return ReadHostFile(tracePath_); }

    std::vector<HANDLE> open_;    // handles to close at the end
    std::vector<CEGUID> mounts_;  // mounts to end at the end
    std::string tracePath_;       // where this case's trace lines go
};

CEOID Add(HANDLE db, LPCWSTR name, DWORD size) {
    CEPROPVAL v[2] = {};
    v[0].propid = kName;
    v[0].val.lpwstr = const_cast<LPWSTR>(name);
    v[1].propid = kSize;
    v[1].val.ulVal = size;
    return CeWriteRecordProps(db, 0, 2, v);
}

bool Remove(HANDLE db, LPCWSTR name) {
    CEPROPVAL key{};
    key.propid = kName;
    key.val.lpwstr = const_cast<LPWSTR>(name);
    CEOID oid = CeSeekDatabaseEx(db, CEDB_SEEK_VALUEFIRSTEQUAL, reinterpret_cast<uintptr_t>(&key),
                                 1, nullptr);
    return oid != 0 && CeDeleteRecord(db, oid);
}

// The name of the current record (the handle then moves on); empty when there is none.
WString ReadName(HANDLE db) {
    WORD count = 1;
    CEPROPID id = kName;
    BYTE* buf = nullptr;
    DWORD size = 0;
    WString name;
    if (CeReadRecordPropsEx(db, CEDB_ALLOWREALLOC, &count, &id, &buf, &size, nullptr) && buf) {
        CEPROPVAL v;
        std::memcpy(&v, buf, sizeof v);
        name = v.val.lpwstr ? v.val.lpwstr : u"";
    }
    LocalFree(buf);
    return name;
}

// The names from the current record on.
Names ReadOn(HANDLE db) {
    Names names;
    for (WString n = ReadName(db); !n.empty(); n = ReadName(db)) names.push_back(n);
    return names;
}

Names ReadAll(HANDLE db) {
    if (!CeSeekDatabaseEx(db, CEDB_SEEK_BEGINNING, 0, 0, nullptr)) return {};
    return ReadOn(db);
}

CEDBASEINFOEX Info(HANDLE db) {
    CEDBASEINFOEX info{};
    EXPECT_TRUE(CeGetDBInformationByHandle(db, &info));
    return info;
}

// What the handle says of its database equals what the catalog says now.
void ExpectInfoAsStored(HANDLE db, CEGUID* g, const char* where) {
    CEDBASEINFOEX known = Info(db);
    CEOID oid = 0;
    HANDLE probe = CeOpenDatabaseInSession(nullptr, g, &oid, u"Log", nullptr, 0, nullptr);
    ASSERT_NE(probe, INVALID_HANDLE_VALUE);
    CloseHandle(probe);
    CEOIDINFOEX stored{};
    ASSERT_TRUE(CeOidGetInfoEx2(g, oid, &stored));
    EXPECT_EQ(known.dwNumRecords, stored.infDatabase.dwNumRecords) << where;
    EXPECT_EQ(known.dwSize, stored.infDatabase.dwSize) << where;
    EXPECT_EQ(FileTimeToU64(known.ftLastModified), FileTimeToU64(stored.infDatabase.ftLastModified))
        << where;
}

// Every pending entry: its type by its path.
std::map<WString, DWORD> PendingEntries(CUploadDb& pending) {
    std::map<WString, DWORD> out;
    DWORD count = pending.GetPendingCount();
    std::vector<PendingRecord> records(count);
    if (count > 0) {
        EXPECT_TRUE(pending.ReadPending(records.data(), count));
    }
    for (const PendingRecord& r : records) out[r.szFilePath] = r.dwType;
    return out;
}

}  // namespace

// --- The property database ---------------------------------------------------------------

TEST_F(StoreBatchTest, ATransactionGroupsTheThreadsWritesThroughEveryMountUntilItEnds) {
    CEGUID g1 = Mount();
    CEGUID g2 = Mount();  // a second mount of the same file
    MakeLog(&g1);
    HANDLE session = CeCreateSession(&g1);
    ASSERT_NE(session, INVALID_HANDLE_VALUE);
    open_.push_back(session);
    HANDLE byName = OpenLog(session, &g1, true);
    HANDLE other = OpenLog(nullptr, &g2, true);
    HANDLE elsewhere = OpenLog(nullptr, &g2, false);  // only another thread uses it
    for (LPCWSTR n : {u"a1", u"a2", u"a3", u"a4", u"a5", u"a6"}) ASSERT_NE(Add(other, n, 10), 0u);

    // Inside: the thread's own adds and deletes through the other mount are seen at once,
    // also by a scan that had read ahead, and the record count follows them.
    ASSERT_TRUE(CeBeginTransaction(session, CEDB_ISOLEVEL_DEFAULT));
    ASSERT_TRUE(CeSeekDatabaseEx(byName, CEDB_SEEK_BEGINNING, 0, 0, nullptr));
    EXPECT_EQ(ReadName(byName), u"a1");
    EXPECT_EQ(ReadName(byName), u"a2");  // and the next few read ahead
    ASSERT_TRUE(Remove(other, u"a3"));
    ASSERT_NE(Add(other, u"a2x", 1000), 0u);
    ASSERT_NE(Add(other, u"a2y", 7), 0u);
    EXPECT_EQ(ReadOn(byName), (Names{u"a2x", u"a2y", u"a4", u"a5", u"a6"}));
    EXPECT_EQ(Info(byName).dwNumRecords, 7u);
    ExpectInfoAsStored(byName, &g1, "inside");
    // Another thread waits for the end rather than seeing any of it.
    auto reader = std::async(std::launch::async, [elsewhere] { return ReadAll(elsewhere); });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);

    // A rollback leaves the volume as it was, for this thread and the waiting one.
    ASSERT_TRUE(CeEndTransaction(session, FALSE));
    ASSERT_EQ(reader.wait_for(kWatchdog), std::future_status::ready);
    const Names before = {u"a1", u"a2", u"a3", u"a4", u"a5", u"a6"};
    EXPECT_EQ(reader.get(), before);
    EXPECT_EQ(ReadAll(byName), before);
    EXPECT_EQ(Info(byName).dwNumRecords, 6u);
    ExpectInfoAsStored(byName, &g1, "after the rollback");

    // A commit writes everything; what the handles knew inside stays right after it.
    ASSERT_TRUE(CeBeginTransaction(session, CEDB_ISOLEVEL_SERIALIZABLE));
    ASSERT_NE(Add(other, u"z1", 5), 0u);
    ASSERT_TRUE(Remove(byName, u"a1"));
    EXPECT_EQ(Info(byName).dwNumRecords, 6u);
    ASSERT_TRUE(CeEndTransaction(session, TRUE));
    ExpectInfoAsStored(byName, &g1, "after the commit");
    ExpectInfoAsStored(other, &g2, "after the commit, other mount");
    UnmountAll();
    CEGUID again = Mount();
    EXPECT_EQ(ReadAll(OpenLog(nullptr, &again, true)),
              (Names{u"a2", u"a3", u"a4", u"a5", u"a6", u"z1"}));
}

TEST_F(StoreBatchTest, MisusedTransactionsAreRefusedAndAClosedSessionTakesItsOwnBack) {
    CEGUID g = Mount();
    MakeLog(&g);
    HANDLE s1 = CeCreateSession(&g);
    HANDLE s2 = CeCreateSession(&g);
    open_.insert(open_.end(), {s1, s2});
    HANDLE db = OpenLog(s1, &g, true);
    HANDLE reader = OpenLog(nullptr, &g, true);
    ASSERT_NE(Add(db, u"kept", 1), 0u);

    EXPECT_FALSE(CeBeginTransaction(s1, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(CeBeginTransaction(db, CEDB_ISOLEVEL_DEFAULT));  // not a session
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CeEndTransaction(s1, TRUE));  // none begun
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(CeBeginTransaction(s1, CEDB_ISOLEVEL_DEFAULT));
    EXPECT_FALSE(CeBeginTransaction(s2, CEDB_ISOLEVEL_DEFAULT));  // one per thread and file
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CeEndTransaction(s2, TRUE));  // ended on its own session only
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_NE(Add(db, u"dropped", 2), 0u);

    // Closing the session rolls its transaction back and lets the other threads in.
    ASSERT_TRUE(CloseHandle(s1));
    EXPECT_NE(TraceLog().find("was rolled back"), std::string::npos);
    auto names = std::async(std::launch::async, [reader] { return ReadAll(reader); });
    ASSERT_EQ(names.wait_for(kWatchdog), std::future_status::ready);
    EXPECT_EQ(names.get(), Names{u"kept"});
    ASSERT_TRUE(CeBeginTransaction(s2, CEDB_ISOLEVEL_DEFAULT));
    EXPECT_TRUE(CeEndTransaction(s2, FALSE));

    ASSERT_TRUE(CeUnmountDBVol(&g));
    EXPECT_FALSE(CeBeginTransaction(s2, CEDB_ISOLEVEL_DEFAULT));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(StoreBatchTest, AFailedCommitWritesNothingAndTheVolumeWorksOn) {
    CEGUID g = Mount();
    MakeLog(&g);
    HANDLE session = CeCreateSession(&g);
    open_.push_back(session);
    HANDLE db = OpenLog(session, &g, true);
    ASSERT_NE(Add(db, u"kept", 1), 0u);
    Faults faults;
    CeDbSetFaultHook(Faults::Inject, &faults);

    struct Case {
        std::atomic<bool>* fault;  // what fails during the commit
        DWORD error;               // the error the commit reports
    };
    for (Case c :
         {Case{&faults.failSyncs, ERROR_WRITE_FAULT}, Case{&faults.failWrites, ERROR_DISK_FULL}}) {
        ASSERT_TRUE(CeBeginTransaction(session, CEDB_ISOLEVEL_DEFAULT));
        ASSERT_NE(Add(db, u"lost", 2), 0u);
        ASSERT_TRUE(Remove(db, u"kept"));
        *c.fault = true;
        EXPECT_FALSE(CeEndTransaction(session, TRUE));
        EXPECT_EQ(GetLastError(), c.error);
        *c.fault = false;
        EXPECT_EQ(ReadAll(db), Names{u"kept"});
        ExpectInfoAsStored(db, &g, "after a failed commit");
    }
    EXPECT_NE(TraceLog().find("[Platform] CeEndTransaction"), std::string::npos);
    // The next transaction commits, also one far larger than a few pages.
    ASSERT_TRUE(CeBeginTransaction(session, CEDB_ISOLEVEL_DEFAULT));
    Names expected = {u"kept"};
    for (int i = 0; i < 3000; ++i) {
        expected.push_back(u"bulk " + FromUtf8(std::to_string(10000 + i)));
        ASSERT_NE(Add(db, expected.back().c_str(), static_cast<DWORD>(i)), 0u);
    }
    ASSERT_TRUE(CeEndTransaction(session, TRUE));
    CeDbSetFaultHook(nullptr, nullptr);
    UnmountAll();
    CEGUID again = Mount();
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(ReadAll(OpenLog(nullptr, &again, true)), expected);
}

// --- The stores -----------------------------------------------------------------------------

TEST_F(StoreBatchTest, BatchesOfAWriterKilledAtAnyMomentAreWhollyThereOrWhollyGone) {
    constexpr int kPerBatch = 20;
    std::mt19937 rng(std::random_device{}());
    std::map<int, int> reported;  // per run, the last batch whose commit returned
    for (int run = 0; run < 3; ++run) {
        ChildProcess writer(
            {BinPath("vantlo-store-batch-child"), std::to_string(run), std::to_string(kPerBatch)});
        const size_t lines = std::uniform_int_distribution<size_t>(2, 12)(rng);
        ASSERT_TRUE(writer.ReadLines(lines)) << "watchdog: the writer stalled";
        writer.Kill();
        writer.Wait();
        reported[run] = static_cast<int>(writer.Lines().size()) - 1;
    }

    std::map<std::pair<int, int>, int> found;  // entries per (run, batch)
    CUploadDb pending;
    ASSERT_TRUE(pending.InitPending());
    for (const auto& [path, type] : PendingEntries(pending)) {
        int run = -1, batch = -1, i = -1;
        ASSERT_EQ(sscanf(ToUtf8(path).c_str(), "\\r%d\\b%d\\%d.jpg", &run, &batch, &i), 3);
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

TEST_F(StoreBatchTest, TheTaskManagerWritesEachBatchAndEachEndedUploadAtOnceAndRetriesAFailure) {
    ASSERT_TRUE(PrepareDeviceImage());
    const Names files = {u"\\Media\\v0.mp4", u"\\Media\\v1.mp4", u"\\Media\\v2.mp4",
                         u"\\Media\\p0.jpg", u"\\Media\\p1.jpg"};
    for (const WString& f : files) WriteHostFile(HostPath(f.c_str()), std::string(4096, 'x'));
    // This thread stands in for the main window: the task manager's messages come here.
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = u"StoreBatchMain";
    ASSERT_NE(RegisterClassW(&wc), 0);
    HWND main = CreateWindowExW(0, u"StoreBatchMain", u"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                                nullptr);
    ASSERT_NE(main, nullptr);
    CUploadTaskMgr mgr;
    mgr.SetMainWindow(main);
    ASSERT_EQ(mgr.Init(), S_OK);
    CUploadDb view;  // kept open: closing a store folds the log into the volume file
    ASSERT_TRUE(view.InitPending());
    auto add = [&mgr](const WString& f) {
        if (f.ends_with(u".jpg")) {
            PhotoTaskRequest r{};
            r.path = f.c_str();
            r.caption = u"";
            r.album = DEFAULT_PHOTO_ALBUM;
            return mgr.AddPhotoTask(r, TRUE);
        }
        VideoTaskRequest r{};
        r.path = f.c_str();
        r.title = DEFAULT_VIDEO_TITLE;
        r.category = DEFAULT_VIDEO_CATEGORY;
        return mgr.AddVideoTask(r, u"token", TRUE);
    };
    Faults faults;
    CeDbSetFaultHook(Faults::Inject, &faults);

    // A batch whose commit fails is written entry by entry; the next one in one write.
    faults.failLogSyncs = 1;
    {
        CUploadTaskMgr::TaskBatch batch(mgr);
        for (const WString& f : {files[0], files[1], files[3]}) ASSERT_EQ(add(f), S_OK);
    }
    EXPECT_NE(TraceLog().find("were not stored together"), std::string::npos);
    EXPECT_EQ(PendingEntries(view).size(), 3u);
    int syncs = faults.logSyncs;
    {
        CUploadTaskMgr::TaskBatch batch(mgr);
        for (const WString& f : {files[2], files[4]}) ASSERT_EQ(add(f), S_OK);
    }
    EXPECT_EQ(faults.logSyncs - syncs, 1);
    EXPECT_EQ(PendingEntries(view), (std::map<WString, DWORD>{{files[0], PENDING_TYPE_VIDEO},
                                                              {files[1], PENDING_TYPE_VIDEO},
                                                              {files[2], PENDING_TYPE_VIDEO},
                                                              {files[3], PENDING_TYPE_PHOTO},
                                                              {files[4], PENDING_TYPE_PHOTO}}));

    // The first video and photo upload. Their done messages settle them; the commit message
    // that follows writes what was settled: the first such write fails and goes entry by
    // entry, a later one is one write.
    ASSERT_EQ(mgr.StartUploading(), S_OK);
    bool videoDone = false, photoDone = false, commitDue = false;
    int commits = 0;
    const auto deadline = std::chrono::steady_clock::now() + kWatchdog;
    while (!videoDone || !photoDone || commitDue) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "watchdog: uploads stuck";
        MSG msg{};
        if (!PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        if (msg.message == MSG_VIDEO_DONE) {
            mgr.CommitVideoDone();
            videoDone = commitDue = true;
        } else if (msg.message == MSG_PHOTO_DONE) {
            mgr.CommitPhotoDone();
            photoDone = commitDue = true;
        } else if (msg.message == MSG_COMMIT_ENDED) {
            if (commits++ == 0) faults.failLogSyncs = 1;
            syncs = faults.logSyncs;
            mgr.CommitEnded();
            if (commits > 1) {
                EXPECT_EQ(faults.logSyncs - syncs, 1);
            }
            commitDue = false;
        }
        ASSERT_NE(msg.message, MSG_VIDEO_FAILED);
        ASSERT_NE(msg.message, MSG_PHOTO_FAILED);
    }
    EXPECT_NE(TraceLog().find("did not go through together"), std::string::npos);
    for (const WString& f : {files[0], files[3]}) {
        EXPECT_EQ(mgr.GetUploadStatusDb(f.c_str(), nullptr), TASK_DONE) << ToUtf8(f);
    }
    // Clearing a service drops its entries in one write as well.
    syncs = faults.logSyncs;
    EXPECT_EQ(mgr.ClearServiceTasks(SERVICE_YOUTUBE), S_OK);
    EXPECT_EQ(faults.logSyncs - syncs, 1);
    EXPECT_EQ(PendingEntries(view), (std::map<WString, DWORD>{{files[4], PENDING_TYPE_PHOTO}}));
    CeDbSetFaultHook(nullptr, nullptr);
    mgr.Shutdown();
    DestroyWindow(main);
}
