// The upload stores against plain SQLite. Each operation runs twice: through the store
// (CUploadDb, or CDatabase for the seek) and, as the baseline, as the same lookups and writes
// done with prepared SQLite statements on an equivalent table with the same indexes, in the
// same journal mode (WAL, synchronous=FULL, one transaction per write). The last lines are
// "ratio <op> <store time / baseline time>".
//
// Files go to a fresh folder under $VANTLO_BENCH_DIR, removed at the end. The default is the
// memory file system when there is one: both sides flush every write, and a disk's flush
// time (which varies a hundredfold on a busy host) would drown what is compared here. The store's
// trace lines are dropped unless VANTLO_BENCH_TRACE is set.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "platform/time.h"
#include "platform/wstr.h"
#include "store/db_volume.h"
#include "store/upload_db.h"

namespace {

std::string g_dir;  // this run's folder

// --- Records -----------------------------------------------------------------------------

const uint64_t kBaseTime = 133600000000000000ull;  // 2024-05-11, in FILETIME units

UploadHistoryKey HistoryKey(long n) {
    UploadHistoryKey key{};
    WString name = FromUtf8("IMG_" + std::to_string(n) + ".JPG");
    WStrCopyN(key.szFileName, name.c_str(), MAX_PATH);
    WStrCopyN(key.szFolderPath, u"\\My Documents\\My Pictures\\Camera", MAX_PATH);
    key.dwFileSize = 250000u + static_cast<DWORD>(n) * 7u;
    key.ftModified = U64ToFileTime(kBaseTime + static_cast<uint64_t>(n) * 10000000u);
    return key;
}

PendingRecord PendingEntry(long n) {
    PendingRecord r{};
    WString path = FromUtf8("\\My Documents\\My Videos\\VID_" + std::to_string(n) + ".MP4");
    WStrCopyN(r.szFilePath, path.c_str(), MAX_PATH);
    FILETIME ft = U64ToFileTime(kBaseTime + static_cast<uint64_t>(n) * 10000u);
    FileTimeToSystemTime(&ft, &r.stSubmit);
    r.dwType = static_cast<DWORD>(n % 2);
    return r;
}

uint64_t SubmitTicks(const PendingRecord& r) {
    FILETIME ft{};
    SystemTimeToFileTime(&r.stSubmit, &ft);
    return FileTimeToU64(ft);
}

void Die(const std::string& what) {
    fprintf(stdout, "bench_store: %s\n", what.c_str());
    fflush(stdout);
    exit(1);
}

template <class F>
void Timed(benchmark::State& state, F&& op) {
    auto t0 = std::chrono::steady_clock::now();
    op();
    auto t1 = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
}

// --- The store -----------------------------------------------------------------------------

struct StoreSide {
    CUploadDb history;
    CUploadDb pending;
    long historyBase = 0;   // base keys 0..historyBase-1 were added
    long pendingBase = 0;   // base entries 0..pendingBase-1 were added
    long fresh = 10000000;  // numbers of records made during the measurements

    StoreSide() {
        if (!history.InitHistory() || !pending.InitPending()) Die("cannot open the stores");
    }
    void GrowHistory(long n) {
        for (; historyBase < n; historyBase++) {
            UploadHistoryKey key = HistoryKey(historyBase);
            if (!history.AddHistory(&key)) Die("history fill failed");
        }
    }
    void GrowPending(long n) {
        for (; pendingBase < n; pendingBase++) {
            PendingRecord r = PendingEntry(pendingBase);
            if (!pending.AddPending(&r)) Die("pending fill failed");
        }
    }
};

StoreSide& Store() {
    static StoreSide* side = new StoreSide;
    return *side;
}

// The seek database: the history schema on a volume of its own, filled through AddRecord.
struct SeekStore {
    IDbVolume* volume = nullptr;
    IDatabase* writer = nullptr;  // record order
    IDatabase* finder = nullptr;  // sort order 1, the four keys
    long count = 0;

    SeekStore() {
        volume = CreateDbVolume();
        WString path = FromUtf8(g_dir + "/seek.vol");
        if (!volume || !volume->Mount(path.c_str())) Die("cannot mount the seek volume");
        // The history database as InitHistory makes it.
        const DbPropDef props[5] = {
            {CEVT_AUTO_I4, u"Index", PROPID_HISTORY_INDEX},
            {CEVT_UI4, u"FileSize", PROPID_HISTORY_FILESIZE},
            {CEVT_LPWSTR, u"FileName", PROPID_HISTORY_FILENAME},
            {CEVT_LPWSTR, u"FolderPath", PROPID_HISTORY_FOLDER},
            {CEVT_FILETIME, u"ModifiedTime", PROPID_HISTORY_MODIFIED},
        };
        const SORTORDERSPECEX sorts[2] = {
            {2, 1, 0, 0, {PROPID_HISTORY_INDEX}, {CEDB_SORT_DESCENDING}},
            {2,
             4,
             0,
             0,
             {PROPID_HISTORY_FILESIZE, PROPID_HISTORY_MODIFIED, PROPID_HISTORY_FILENAME,
              PROPID_HISTORY_FOLDER},
             {0, 0, 0, 0}},
        };
        if (!volume->CreateDatabase(u"Seek", 5, props, 2, sorts)) Die("cannot create Seek");
        writer = volume->OpenDatabase(u"Seek", -1, TRUE);
        finder = volume->OpenDatabase(u"Seek", 1, TRUE);
        if (!writer || !finder) Die("cannot open Seek");
    }
    void Grow(long n) {
        for (; count < n; count++) {
            UploadHistoryKey key = HistoryKey(count);
            CEPROPVAL v[4] = {};
            v[0].propid = PROPID_HISTORY_FOLDER;
            v[0].val.lpwstr = key.szFolderPath;
            v[1].propid = PROPID_HISTORY_FILENAME;
            v[1].val.lpwstr = key.szFileName;
            v[2].propid = PROPID_HISTORY_MODIFIED;
            v[2].val.filetime = key.ftModified;
            v[3].propid = PROPID_HISTORY_FILESIZE;
            v[3].val.ulVal = key.dwFileSize;
            if (!writer->AddRecord(4, v)) Die("seek fill failed");
        }
    }
};

SeekStore& Seek() {
    static SeekStore* side = new SeekStore;
    return *side;
}

// --- The baseline ------------------------------------------------------------------------

class Stmt {
  public:
    Stmt(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr) !=
            SQLITE_OK) {
            Die(std::string("prepare failed: ") + sqlite3_errmsg(db) + " in " + sql);
        }
    }
    ~Stmt() { sqlite3_finalize(stmt_); }
    sqlite3_stmt* operator*() const { return stmt_; }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

void Exec(sqlite3* db, const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        std::string msg = err ? err : "?";
        sqlite3_free(err);
        Die(msg + " in " + sql);
    }
}

sqlite3* OpenBaseline(const std::string& path) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
        SQLITE_OK) {
        Die("cannot open " + path);
    }
    Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL;");
    Exec(db,
         "CREATE TABLE history(idx INTEGER PRIMARY KEY AUTOINCREMENT, size INTEGER, "
         "name TEXT, folder TEXT, mtime INTEGER);"
         "CREATE INDEX history_keys ON history(size, mtime, name, folder);"
         "CREATE TABLE pending(idx INTEGER PRIMARY KEY AUTOINCREMENT, type INTEGER, "
         "path TEXT, submit INTEGER);"
         "CREATE INDEX pending_type ON pending(type);"
         "CREATE INDEX pending_submit ON pending(submit, path);");
    return db;
}

void BindKey(sqlite3_stmt* s, const UploadHistoryKey& key) {
    sqlite3_bind_int64(s, 1, key.dwFileSize);
    sqlite3_bind_int64(s, 2, static_cast<int64_t>(FileTimeToU64(key.ftModified)));
    sqlite3_bind_text16(s, 3, key.szFileName, -1, SQLITE_STATIC);
    sqlite3_bind_text16(s, 4, key.szFolderPath, -1, SQLITE_STATIC);
}

int64_t StepInt(sqlite3_stmt* s) {
    int64_t v = sqlite3_step(s) == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_reset(s);
    return v;
}

void StepDone(sqlite3_stmt* s) {
    if (sqlite3_step(s) != SQLITE_DONE) Die("baseline write failed");
    sqlite3_reset(s);
}

struct BaselineSide {
    sqlite3* db;
    Stmt find, insertHistory, countHistory, oldestFirst, deleteById, deleteKey;
    Stmt countPending, insertPending, deletePending, readPending;
    long historyBase = 0;
    long pendingBase = 0;
    long fresh = 10000000;

    BaselineSide()
        : db(OpenBaseline(g_dir + "/baseline.db")),
          find(db,
               "SELECT idx FROM history WHERE size=?1 AND mtime=?2 AND name=?3 AND folder=?4 "
               "LIMIT 1"),
          insertHistory(db,
                        "INSERT INTO history(size, mtime, name, folder) VALUES(?1, ?2, ?3, ?4)"),
          countHistory(db, "SELECT COUNT(*) FROM history"),
          oldestFirst(db, "SELECT idx FROM history ORDER BY idx LIMIT ?1"),
          deleteById(db, "DELETE FROM history WHERE idx=?1"),
          deleteKey(db, "DELETE FROM history WHERE size=?1 AND mtime=?2 AND name=?3 AND folder=?4"),
          countPending(db, "SELECT COUNT(*) FROM pending"),
          insertPending(db, "INSERT INTO pending(type, path, submit) VALUES(?1, ?2, ?3)"),
          deletePending(db, "DELETE FROM pending WHERE submit=?1 AND path=?2"),
          readPending(db, "SELECT type, path, submit FROM pending ORDER BY type, idx") {}

    bool IsInHistory(const UploadHistoryKey& key) {
        BindKey(*find, key);
        return StepInt(*find) >= 0;
    }
    // The same steps as AddHistory: look, insert, count, trim the oldest beyond 10000. As the
    // store does, the trim reads only the records it deletes, from the older end.
    bool AddHistory(const UploadHistoryKey& key) {
        if (IsInHistory(key)) return false;
        BindKey(*insertHistory, key);
        StepDone(*insertHistory);
        int64_t count = StepInt(*countHistory);
        if (count > static_cast<int64_t>(UPLOAD_HISTORY_MAX)) {
            std::vector<int64_t> old;
            sqlite3_bind_int64(*oldestFirst, 1, count - static_cast<int64_t>(UPLOAD_HISTORY_MAX));
            while (sqlite3_step(*oldestFirst) == SQLITE_ROW) {
                old.push_back(sqlite3_column_int64(*oldestFirst, 0));
            }
            sqlite3_reset(*oldestFirst);
            for (int64_t id : old) {
                sqlite3_bind_int64(*deleteById, 1, id);
                StepDone(*deleteById);
            }
        }
        return true;
    }
    int DeleteHistory(const UploadHistoryKey& key) {
        BindKey(*deleteKey, key);
        StepDone(*deleteKey);
        return sqlite3_changes(db);
    }
    bool AddPending(const PendingRecord& r) {
        if (StepInt(*countPending) > static_cast<int64_t>(UPLOAD_PENDING_MAX)) return false;
        sqlite3_bind_int(*insertPending, 1, static_cast<int>(r.dwType & 0xFFFF));
        sqlite3_bind_text16(*insertPending, 2, r.szFilePath, -1, SQLITE_STATIC);
        sqlite3_bind_int64(*insertPending, 3, static_cast<int64_t>(SubmitTicks(r)));
        StepDone(*insertPending);
        return true;
    }
    int DeletePending(const PendingRecord& r) {
        sqlite3_bind_int64(*deletePending, 1, static_cast<int64_t>(SubmitTicks(r)));
        sqlite3_bind_text16(*deletePending, 2, r.szFilePath, -1, SQLITE_STATIC);
        StepDone(*deletePending);
        return sqlite3_changes(db);
    }
    DWORD ReadPending(PendingRecord* out, DWORD max) {
        DWORD n = 0;
        sqlite3_stmt* s = *readPending;
        while (n < max && sqlite3_step(s) == SQLITE_ROW) {
            PendingRecord& r = out[n++];
            r.dwType = static_cast<DWORD>(sqlite3_column_int(s, 0));
            WStrCopyN(r.szFilePath, static_cast<LPCWSTR>(sqlite3_column_text16(s, 1)), MAX_PATH);
            FILETIME ft = U64ToFileTime(static_cast<uint64_t>(sqlite3_column_int64(s, 2)));
            FileTimeToSystemTime(&ft, &r.stSubmit);
        }
        sqlite3_reset(s);
        return n;
    }
    void GrowHistory(long n) {
        Exec(db, "BEGIN");
        for (; historyBase < n; historyBase++) {
            BindKey(*insertHistory, HistoryKey(historyBase));
            StepDone(*insertHistory);
        }
        Exec(db, "COMMIT");
    }
    void GrowPending(long n) {
        Exec(db, "BEGIN");
        for (; pendingBase < n; pendingBase++) {
            PendingRecord r = PendingEntry(pendingBase);
            sqlite3_bind_int(*insertPending, 1, static_cast<int>(r.dwType));
            sqlite3_bind_text16(*insertPending, 2, r.szFilePath, -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(*insertPending, 3, static_cast<int64_t>(SubmitTicks(r)));
            StepDone(*insertPending);
        }
        Exec(db, "COMMIT");
    }
};

BaselineSide& Baseline() {
    static BaselineSide* side = new BaselineSide;
    return *side;
}

struct BaselineSeek {
    sqlite3* db;
    Stmt insert, find;
    long count = 0;
    BaselineSeek()
        : db(OpenBaseline(g_dir + "/baseline-seek.db")),
          insert(db, "INSERT INTO history(size, mtime, name, folder) VALUES(?1, ?2, ?3, ?4)"),
          find(db,
               "SELECT idx FROM history WHERE size=?1 AND mtime=?2 AND name=?3 AND folder=?4 "
               "LIMIT 1") {}
    void Grow(long n) {
        Exec(db, "BEGIN");
        for (; count < n; count++) {
            UploadHistoryKey key = HistoryKey(count);
            BindKey(*insert, key);
            StepDone(*insert);
        }
        Exec(db, "COMMIT");
    }
};

BaselineSeek& BaseSeek() {
    static BaselineSeek* side = new BaselineSeek;
    return *side;
}

// --- Measurements ------------------------------------------------------------------------

// Lookups pick among the base records at random.
std::mt19937& Rng() {
    static std::mt19937 rng(20260314);
    return rng;
}

void StoreIsInHistory(benchmark::State& state) {
    long n = state.range(0);
    StoreSide& s = Store();
    s.GrowHistory(n);
    for (auto _ : state) {
        UploadHistoryKey key = HistoryKey(static_cast<long>(Rng()() % static_cast<unsigned>(n)));
        BOOL found = FALSE;
        Timed(state, [&] { found = s.history.IsInHistory(&key); });
        if (!found) Die("IsInHistory missed a record");
    }
}

void BaselineIsInHistory(benchmark::State& state) {
    long n = state.range(0);
    BaselineSide& b = Baseline();
    b.GrowHistory(n);
    for (auto _ : state) {
        UploadHistoryKey key = HistoryKey(static_cast<long>(Rng()() % static_cast<unsigned>(n)));
        bool found = false;
        Timed(state, [&] { found = b.IsInHistory(key); });
        if (!found) Die("baseline missed a record");
    }
}

// At the limit the addition trims the oldest record, so the size stays; below it the added
// record is deleted again, unmeasured.
void StoreAddHistory(benchmark::State& state) {
    long n = state.range(0);
    StoreSide& s = Store();
    s.GrowHistory(n);
    for (auto _ : state) {
        UploadHistoryKey key = HistoryKey(s.fresh++);
        BOOL added = FALSE;
        Timed(state, [&] { added = s.history.AddHistory(&key); });
        if (!added) Die("AddHistory failed");
        if (n < static_cast<long>(UPLOAD_HISTORY_MAX)) s.history.DeleteHistory(&key);
    }
}

void BaselineAddHistory(benchmark::State& state) {
    long n = state.range(0);
    BaselineSide& b = Baseline();
    b.GrowHistory(n);
    for (auto _ : state) {
        UploadHistoryKey key = HistoryKey(b.fresh++);
        bool added = false;
        Timed(state, [&] { added = b.AddHistory(key); });
        if (!added) Die("baseline add failed");
        if (n < static_cast<long>(UPLOAD_HISTORY_MAX)) b.DeleteHistory(key);
    }
}

void StoreDeleteHistory(benchmark::State& state) {
    long n = state.range(0);
    StoreSide& s = Store();
    s.GrowHistory(n);
    for (auto _ : state) {
        UploadHistoryKey key = HistoryKey(s.fresh++);
        if (!s.history.AddHistory(&key)) Die("AddHistory failed");
        DWORD deleted = 0;
        Timed(state, [&] { deleted = s.history.DeleteHistory(&key); });
        if (deleted != 1) Die("DeleteHistory failed");
    }
}

void BaselineDeleteHistory(benchmark::State& state) {
    long n = state.range(0);
    BaselineSide& b = Baseline();
    b.GrowHistory(n);
    for (auto _ : state) {
        UploadHistoryKey key = HistoryKey(b.fresh++);
        if (!b.AddHistory(key)) Die("baseline add failed");
        int deleted = 0;
        Timed(state, [&] { deleted = b.DeleteHistory(key); });
        if (deleted != 1) Die("baseline delete failed");
    }
}

void StoreAddPending(benchmark::State& state) {
    long n = state.range(0);
    StoreSide& s = Store();
    s.GrowPending(n);
    for (auto _ : state) {
        PendingRecord r = PendingEntry(s.fresh++);
        BOOL added = FALSE;
        Timed(state, [&] { added = s.pending.AddPending(&r); });
        if (!added) Die("AddPending failed");
        s.pending.DeletePending(&r);
    }
}

void BaselineAddPending(benchmark::State& state) {
    long n = state.range(0);
    BaselineSide& b = Baseline();
    b.GrowPending(n);
    for (auto _ : state) {
        PendingRecord r = PendingEntry(b.fresh++);
        bool added = false;
        Timed(state, [&] { added = b.AddPending(r); });
        if (!added) Die("baseline pending add failed");
        b.DeletePending(r);
    }
}

void StoreReadPending(benchmark::State& state) {
    long n = state.range(0);
    StoreSide& s = Store();
    s.GrowPending(n);
    std::vector<PendingRecord> out(static_cast<size_t>(n));
    for (auto _ : state) {
        BOOL ok = FALSE;
        Timed(state, [&] { ok = s.pending.ReadPending(out.data(), static_cast<DWORD>(n)); });
        if (!ok || out.back().szFilePath[0] == 0) Die("ReadPending failed");
        out.back().szFilePath[0] = 0;
    }
}

void BaselineReadPending(benchmark::State& state) {
    long n = state.range(0);
    BaselineSide& b = Baseline();
    b.GrowPending(n);
    std::vector<PendingRecord> out(static_cast<size_t>(n));
    for (auto _ : state) {
        DWORD got = 0;
        Timed(state, [&] { got = b.ReadPending(out.data(), static_cast<DWORD>(n)); });
        if (got != static_cast<DWORD>(n)) Die("baseline read failed");
    }
}

void StoreSeek4(benchmark::State& state) {
    long n = state.range(0);
    SeekStore& s = Seek();
    s.Grow(n);
    IDbRecord* rec = s.finder->CreateRecord();
    CEPROPID readIds[1] = {PROPID_HISTORY_INDEX};
    for (auto _ : state) {
        UploadHistoryKey key = HistoryKey(static_cast<long>(Rng()() % static_cast<unsigned>(n)));
        CEPROPVAL match[4] = {};
        match[0].propid = PROPID_HISTORY_FILESIZE;
        match[0].val.ulVal = key.dwFileSize;
        match[1].propid = PROPID_HISTORY_MODIFIED;
        match[1].val.filetime = key.ftModified;
        match[2].propid = PROPID_HISTORY_FILENAME;
        match[2].val.lpwstr = key.szFileName;
        match[3].propid = PROPID_HISTORY_FOLDER;
        match[3].val.lpwstr = key.szFolderPath;
        BOOL found = FALSE;
        Timed(state, [&] {
            s.finder->SetQuery(1, readIds, 4, match);
            found = s.finder->ReadNext(rec);
        });
        if (!found) Die("seek missed a record");
    }
    s.finder->Release(rec);
}

void BaselineSeek4(benchmark::State& state) {
    long n = state.range(0);
    BaselineSeek& b = BaseSeek();
    b.Grow(n);
    for (auto _ : state) {
        UploadHistoryKey key = HistoryKey(static_cast<long>(Rng()() % static_cast<unsigned>(n)));
        int64_t idx = -1;
        Timed(state, [&] {
            BindKey(*b.find, key);
            idx = StepInt(*b.find);
        });
        if (idx < 0) Die("baseline seek missed a record");
    }
}

// Keeps the per-iteration time of every run by name, and reports as the console does.
class Collector : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            times_[run.run_name.function_name + "/" + run.run_name.args] =
                run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double Time(const std::string& name) const {
        auto it = times_.find(name);
        return it == times_.end() ? 0.0 : it->second;
    }

  private:
    std::map<std::string, double> times_;
};

struct Op {
    std::string name;  // "AddHistory/1000"
    void (*store)(benchmark::State&);
    void (*baseline)(benchmark::State&);
    long n;
};

}  // namespace

int main(int argc, char** argv) {
    const char* base = getenv("VANTLO_BENCH_DIR");
    std::error_code ec;
    std::filesystem::path parent = base && *base ? std::filesystem::path(base)
                                   : std::filesystem::is_directory("/dev/shm", ec)
                                       ? std::filesystem::path("/dev/shm")
                                       : std::filesystem::temp_directory_path();
    g_dir = (parent / ("vantlo-bench-store-" + std::to_string(std::random_device{}()))).string();
    std::filesystem::create_directories(g_dir + "/device");
    setenv("VANTLO_ROOT", (g_dir + "/device").c_str(), 1);
    if (!getenv("VANTLO_BENCH_TRACE")) {
        if (!freopen("/dev/null", "w", stderr)) Die("cannot silence the trace");
    }

    std::vector<Op> ops;
    for (long n : {1000L, 10000L}) {
        std::string s = "/" + std::to_string(n);
        ops.push_back({"IsInHistory" + s, StoreIsInHistory, BaselineIsInHistory, n});
        ops.push_back({"AddHistory" + s, StoreAddHistory, BaselineAddHistory, n});
        ops.push_back({"DeleteHistory" + s, StoreDeleteHistory, BaselineDeleteHistory, n});
        ops.push_back({"AddPending" + s, StoreAddPending, BaselineAddPending, n});
        ops.push_back({"ReadPending" + s, StoreReadPending, BaselineReadPending, n});
    }
    for (long n : {1000L, 10000L, 100000L}) {
        ops.push_back({"Seek4/" + std::to_string(n), StoreSeek4, BaselineSeek4, n});
    }
    for (const Op& op : ops) {
        const std::string opName = op.name.substr(0, op.name.find('/'));
        benchmark::RegisterBenchmark(("store/" + opName).c_str(), op.store)
            ->Arg(op.n)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond)
            ->MinTime(0.2);
        benchmark::RegisterBenchmark(("sqlite/" + opName).c_str(), op.baseline)
            ->Arg(op.n)
            ->UseManualTime()
            ->Unit(benchmark::kMicrosecond)
            ->MinTime(0.2);
    }

    benchmark::Initialize(&argc, argv);
    Collector collector;
    auto t0 = std::chrono::steady_clock::now();
    benchmark::RunSpecifiedBenchmarks(&collector);
    double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    printf("\ntotal %.1f s (store fills go through AddHistory, AddPending and AddRecord)\n", total);
    double seek1k = collector.Time("store/Seek4/1000");
    double seek100k = collector.Time("store/Seek4/100000");
    if (seek1k > 0) printf("growth Seek4 100000/1000 %.2f\n", seek100k / seek1k);
    for (const Op& op : ops) {
        const std::string opName = op.name.substr(0, op.name.find('/'));
        const std::string suffix = "/" + std::to_string(op.n);
        double store = collector.Time("store/" + opName + suffix);
        double baseline = collector.Time("sqlite/" + opName + suffix);
        if (store > 0 && baseline > 0) printf("ratio %s %.2f\n", op.name.c_str(), store / baseline);
    }
    fflush(stdout);

    std::filesystem::remove_all(g_dir, ec);
    benchmark::Shutdown();
    return 0;
}
