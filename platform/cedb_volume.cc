#include "platform/cedb_volume.h"

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <set>

#include "platform/devpath.h"
#include "platform/trace.h"

namespace cedb {
namespace {

constexpr int64_t kApplicationId = 0x56544C4F;  // marks our volumes in the SQLite header
constexpr int64_t kFormatVersion = 1;           // layout of the catalog and records tables
constexpr int kBusyTimeoutMs = 10000;           // how long a write waits for another writer
constexpr DWORD kMaxProps = 1000;               // declared properties per database

constexpr const char* kCatalogSql =
    "CREATE TABLE cedb_databases("
    " oid INTEGER PRIMARY KEY AUTOINCREMENT,"
    " name TEXT NOT NULL COLLATE NOCASE UNIQUE,"
    " type INTEGER NOT NULL,"
    " records INTEGER NOT NULL DEFAULT 0,"
    " bytes INTEGER NOT NULL DEFAULT 0,"
    " modified INTEGER NOT NULL) STRICT;"
    "CREATE TABLE cedb_properties("
    " db INTEGER NOT NULL, seq INTEGER NOT NULL, propid INTEGER NOT NULL, name TEXT NOT NULL,"
    " PRIMARY KEY(db, seq)) STRICT;"
    "CREATE TABLE cedb_sortkeys("
    " db INTEGER NOT NULL, sortorder INTEGER NOT NULL, seq INTEGER NOT NULL,"
    " propid INTEGER NOT NULL, flags INTEGER NOT NULL,"
    " PRIMARY KEY(db, sortorder, seq)) STRICT;";

bool SupportedType(WORD type) {
    switch (type) {
        case CEVT_I2:
        case CEVT_UI2:
        case CEVT_I4:
        case CEVT_UI4:
        case CEVT_LPWSTR:
        case CEVT_FILETIME:
        case CEVT_AUTO_I4:
            return true;
        default:
            return false;
    }
}

std::string TableOf(CEOID oid) {
    return "cedb_r" + std::to_string(oid);
}

// Runs a query of one integer on a connection not yet in the table. False with *rc set
// when it fails.
bool QueryInt(sqlite3* db, const char* sql, int64_t* out, int* rc) {
    sqlite3_stmt* s = nullptr;
    *rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    if (*rc != SQLITE_OK) return false;
    *rc = sqlite3_step(s);
    if (*rc == SQLITE_ROW) {
        *out = sqlite3_column_int64(s, 0);
        *rc = SQLITE_OK;
    } else if (*rc == SQLITE_DONE) {
        *out = 0;
        *rc = SQLITE_OK;
    }
    sqlite3_finalize(s);
    return *rc == SQLITE_OK;
}

bool QueryText(sqlite3* db, const char* sql, std::string* out, int* rc) {
    sqlite3_stmt* s = nullptr;
    *rc = sqlite3_prepare_v2(db, sql, -1, &s, nullptr);
    if (*rc != SQLITE_OK) return false;
    *rc = sqlite3_step(s);
    if (*rc == SQLITE_ROW) {
        const unsigned char* t = sqlite3_column_text(s, 0);
        *out = t ? reinterpret_cast<const char*>(t) : "";
        *rc = SQLITE_OK;
    } else if (*rc == SQLITE_DONE) {
        out->clear();
        *rc = SQLITE_OK;
    }
    sqlite3_finalize(s);
    return *rc == SQLITE_OK;
}

// Rejects a file that is not one of our volumes.
void NotAVolume(const std::string& path, const char* why) {
    Trace("[Platform] CeMountDBVolEx: %s is not a database volume: %s", path.c_str(), why);
    SetLastError(ERROR_BAD_FORMAT);
}

// Checks an opened file. *fresh tells that it holds nothing yet.
bool CheckFile(sqlite3* db, const std::string& path, bool* fresh) {
    int rc = SQLITE_OK;
    int64_t appId = 0, objects = 0, version = 0, catalog = 0;
    if (!QueryInt(db, "PRAGMA application_id", &appId, &rc) ||
        !QueryInt(db, "SELECT count(*) FROM sqlite_schema", &objects, &rc)) {
        if ((rc & 0xFF) == SQLITE_NOTADB || (rc & 0xFF) == SQLITE_CORRUPT) {
            NotAVolume(path, sqlite3_errmsg(db));
        } else {
            Trace("[Platform] CeMountDBVolEx: cannot read %s: %s", path.c_str(),
                  sqlite3_errmsg(db));
            SetLastError(Win32ErrorOfSqlite(rc));
        }
        return false;
    }
    *fresh = objects == 0;
    if (*fresh) return true;
    if (appId != kApplicationId) {
        NotAVolume(path, "an SQLite file of another kind");
        return false;
    }
    if (!QueryInt(db, "PRAGMA user_version", &version, &rc) ||
        !QueryInt(db,
                  "SELECT count(*) FROM sqlite_schema WHERE type = 'table' AND name IN "
                  "('cedb_databases', 'cedb_properties', 'cedb_sortkeys')",
                  &catalog, &rc)) {
        NotAVolume(path, sqlite3_errmsg(db));
        return false;
    }
    if (version > kFormatVersion) {
        Trace("[Platform] CeMountDBVolEx: %s has layout %d, newer than this build reads (%d)",
              path.c_str(), static_cast<int>(version), static_cast<int>(kFormatVersion));
        SetLastError(ERROR_BAD_FORMAT);
        return false;
    }
    if (catalog != 3) {
        NotAVolume(path, "its catalog is incomplete");
        return false;
    }
    return true;
}

// CheckFile in one read transaction, so that another opener writing the catalog of a fresh
// file meanwhile is seen either not at all or complete.
bool CheckVolume(sqlite3* db, const std::string& path, bool* fresh) {
    int rc = sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        FailSql("CeMountDBVolEx", "reading the volume", db, rc);
        return false;
    }
    bool ok = CheckFile(db, path, fresh);
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);  // it only read
    return ok;
}

// Writes the catalog into a fresh file, unless another opener got there first.
bool CreateCatalog(sqlite3* db, const std::string& path) {
    int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        FailSql("CeMountDBVolEx", "starting the volume", db, rc);
        return false;
    }
    int64_t objects = 0, appId = 0;
    bool ok = QueryInt(db, "SELECT count(*) FROM sqlite_schema", &objects, &rc);
    if (ok && objects == 0) {
        std::string sql = std::string(kCatalogSql) +
                          "PRAGMA application_id = " + std::to_string(kApplicationId) +
                          "; PRAGMA user_version = " + std::to_string(kFormatVersion) + ";";
        rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
        ok = rc == SQLITE_OK;
    } else if (ok) {
        ok = QueryInt(db, "PRAGMA application_id", &appId, &rc) && appId == kApplicationId;
        if (!ok && rc == SQLITE_OK) {
            sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
            NotAVolume(path, "an SQLite file of another kind");
            return false;
        }
    }
    if (ok) rc = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    if (!ok || rc != SQLITE_OK) {
        FailSql("CeMountDBVolEx", "writing the catalog", db, rc);
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return true;
}

// Puts the file into WAL mode unless it is already. Switching needs the file to itself for a
// moment and SQLite does not wait for that, so a switch that finds it busy is retried.
bool UseWriteAheadLog(sqlite3* db, const std::string& path) {
    const char* call = "CeMountDBVolEx";
    std::string mode;
    int rc = SQLITE_OK;
    if (!QueryText(db, "PRAGMA journal_mode", &mode, &rc)) {
        FailSql(call, "reading the journal mode", db, rc);
        return false;
    }
    for (int waited = 0; mode != "wal"; waited += 10) {
        if (QueryText(db, "PRAGMA journal_mode = WAL", &mode, &rc)) {
            if (mode != "wal") {
                Trace("[Platform] %s: %s keeps journal mode %s; openers will wait for each other",
                      call, path.c_str(), mode.c_str());
            }
            break;
        }
        int code = rc & 0xFF;
        if ((code != SQLITE_BUSY && code != SQLITE_LOCKED) || waited >= kBusyTimeoutMs) {
            FailSql(call, "choosing the journal", db, rc);
            return false;
        }
        sqlite3_sleep(10);
    }
    return true;
}

struct VolumeTable {
    std::mutex mu;
    std::map<std::array<DWORD, 4>, std::shared_ptr<Mount>> mounts;  // by identifier
    DWORD next = 1;                                                 // mount counter
    DWORD salt = 0;                                                 // differs per process
    // Opening a file is serialised, so that one file never gets two connections.
    std::mutex openMu;
    std::map<std::pair<dev_t, ino_t>, std::weak_ptr<Volume>> files;  // by the file's identity
};

VolumeTable& Table() {
    static VolumeTable* table = new VolumeTable;  // outlives every static destructor
    return *table;
}

std::array<DWORD, 4> Key(const CEGUID& g) {
    return {g.Data1, g.Data2, g.Data3, g.Data4};
}

// A write transaction for catalog changes; rolled back unless committed. Inside a caller's
// transaction it is a savepoint of it.
class Transaction {
  public:
    Transaction(Volume& vol, const char* call) : vol_(vol), call_(call) {
        nested_ = vol_.OwnsTransaction();
        active_ = vol_.Exec(nested_ ? "SAVEPOINT cedb_catalog" : "BEGIN IMMEDIATE", call_);
    }
    ~Transaction() {
        if (!active_) return;
        const DWORD error = GetLastError();
        const char* undo = nested_ ? "ROLLBACK TO cedb_catalog; RELEASE cedb_catalog" : "ROLLBACK";
        sqlite3_exec(vol_.db, undo, nullptr, nullptr, nullptr);
        if (nested_ && sqlite3_get_autocommit(vol_.db)) {
            // The failure took the caller's whole transaction with it.
            vol_.txnError = error != ERROR_SUCCESS ? error : ERROR_WRITE_FAULT;
            Trace("[Platform] %s: the transaction on %s was rolled back", call_,
                  vol_.hostPath.c_str());
        }
        vol_.Wrote();
        SetLastError(error);
    }
    bool active() const { return active_; }
    bool Commit() {
        bool ok = vol_.Exec(nested_ ? "RELEASE cedb_catalog" : "COMMIT", call_);
        if (ok) {
            active_ = false;
            vol_.Wrote();
        }
        return ok;
    }

  private:
    Volume& vol_;
    const char* call_;
    bool nested_ = false;  // a savepoint in the caller's transaction
    bool active_ = false;
};

// Runs a prepared statement to its end; false after a traced failure.
bool RunToEnd(Volume& vol, Stmt* s, const char* call, const char* what) {
    StmtScope scope(s);
    int rc;
    while ((rc = s->Step()) == SQLITE_ROW) {
    }
    if (rc != SQLITE_DONE) {
        FailSql(call, what, vol.db, rc);
        return false;
    }
    return true;
}

bool LoadSorts(Volume& vol, CEOID oid, std::vector<SORTORDERSPECEX>* sorts, const char* call) {
    Stmt* s = vol.Prepare(
        "SELECT sortorder, seq, propid, flags FROM cedb_sortkeys WHERE db = ?1 "
        "ORDER BY sortorder, seq",
        call);
    if (!s) return false;
    StmtScope scope(s);
    s->BindInt(1, oid);
    sorts->clear();
    int rc;
    while ((rc = s->Step()) == SQLITE_ROW) {
        int64_t order = s->ColumnInt(0), seq = s->ColumnInt(1);
        // Sort orders and their keys are stored densely from 0.
        if (order < 0 || order >= CEDB_MAXSORTORDER || seq < 0 || seq >= CEDB_MAXSORTPROP ||
            order > static_cast<int64_t>(sorts->size())) {
            Trace("[Platform] %s: the catalog of database %u is damaged (sort order %d key %d)",
                  call, oid, static_cast<int>(order), static_cast<int>(seq));
            SetLastError(ERROR_BAD_FORMAT);
            return false;
        }
        if (order == static_cast<int64_t>(sorts->size())) {
            SORTORDERSPECEX spec{};
            spec.wVersion = 2;
            sorts->push_back(spec);
        }
        SORTORDERSPECEX& spec = sorts->back();
        if (seq != spec.wNumProps) {
            Trace("[Platform] %s: the catalog of database %u is damaged (sort order %d)", call, oid,
                  static_cast<int>(order));
            SetLastError(ERROR_BAD_FORMAT);
            return false;
        }
        spec.rgPropID[seq] = static_cast<CEPROPID>(s->ColumnInt(2));
        spec.rgdwFlags[seq] = static_cast<DWORD>(s->ColumnInt(3));
        spec.wNumProps++;
    }
    if (rc != SQLITE_DONE) {
        FailSql(call, "reading the sort orders", vol.db, rc);
        return false;
    }
    return true;
}

// SQL of the records table, its sort order indexes and the triggers that keep the
// catalog's record count, size and modification time.
std::string RecordsTableSql(CEOID oid, const std::vector<PropInfo>& props,
                            const std::vector<SORTORDERSPECEX>& sorts) {
    std::string t = TableOf(oid);
    std::string sql = "CREATE TABLE " + t + "(" + kIdColumn + " INTEGER PRIMARY KEY AUTOINCREMENT";
    // A record's size: 16 bytes per property it has, plus its texts as UTF-16 with NUL.
    std::string size = "0";
    for (const PropInfo& p : props) {
        WORD type = TypeFromPropId(p.id);
        if (type == CEVT_AUTO_I4) {
            size += " + 16";
            continue;
        }
        bool text = type == CEVT_LPWSTR;
        sql += ", " + p.column + (text ? " TEXT" : " INTEGER");
        size += " + CASE WHEN " + p.column + " IS NULL THEN 0 ELSE " +
                (text ? "18 + 2 * length(" + p.column + ")" : std::string("16")) + " END";
    }
    sql += ", cedb_size INTEGER GENERATED ALWAYS AS (" + size + ") VIRTUAL) STRICT;\n";

    std::set<std::string> made;
    for (size_t i = 0; i < sorts.size(); ++i) {
        const SORTORDERSPECEX& spec = sorts[i];
        if (ColumnOf(spec.rgPropID[0]) == kIdColumn) continue;  // record order already
        std::string keys;
        for (WORD k = 0; k < spec.wNumProps; ++k) {
            if (k) keys += ", ";
            keys += ColumnOf(spec.rgPropID[k]) +
                    ((spec.rgdwFlags[k] & CEDB_SORT_DESCENDING) ? " DESC" : " ASC");
        }
        if (!made.insert(keys).second) continue;  // the same keys as an earlier order
        sql += "CREATE INDEX " + t + "_s" + std::to_string(i) + " ON " + t + "(" + keys + ");\n";
    }

    std::string where = " WHERE oid = " + std::to_string(oid) + "; END;\n";
    sql += "CREATE TRIGGER " + t + "_ai AFTER INSERT ON " + t +
           " BEGIN UPDATE cedb_databases SET records = records + 1,"
           " bytes = bytes + NEW.cedb_size, modified = " +
           kNowSql + where;
    sql += "CREATE TRIGGER " + t + "_ad AFTER DELETE ON " + t +
           " BEGIN UPDATE cedb_databases SET records = records - 1,"
           " bytes = bytes - OLD.cedb_size, modified = " +
           kNowSql + where;
    sql += "CREATE TRIGGER " + t + "_au AFTER UPDATE ON " + t +
           " BEGIN UPDATE cedb_databases SET bytes = bytes + NEW.cedb_size - OLD.cedb_size,"
           " modified = " +
           kNowSql + where;
    return sql;
}

void BadArgument(const char* call, const std::string& why) {
    Trace("[Platform] %s: %s", call, why.c_str());
    SetLastError(ERROR_INVALID_PARAMETER);
}

std::string Hex(DWORD v) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

}  // namespace

Volume::~Volume() {
    stmts_.clear();
    if (db && sqlite3_close(db) != SQLITE_OK) {
        Trace("[Platform] CeUnmountDBVol: closing %s: %s", hostPath.c_str(), sqlite3_errmsg(db));
        sqlite3_close_v2(db);
    }
}

Stmt* Volume::Prepare(const std::string& sql, const char* call) {
    auto it = stmts_.find(sql);
    if (it != stmts_.end()) return it->second.get();
    sqlite3_stmt* s = nullptr;
    int rc = sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()),
                                SQLITE_PREPARE_PERSISTENT, &s, nullptr);
    if (rc != SQLITE_OK || !s) {
        FailSql(call, "preparing a query", db, rc == SQLITE_OK ? SQLITE_ERROR : rc);
        sqlite3_finalize(s);
        return nullptr;
    }
    Stmt* out = new Stmt(s);
    stmts_.emplace(sql, std::unique_ptr<Stmt>(out));
    return out;
}

bool Volume::Exec(const std::string& sql, const char* call) {
    int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK) {
        FailSql(call, "updating the volume", db, rc);
        return false;
    }
    return true;
}

OwnWrite Volume::Wrote() {
    OwnWrite w;
    w.before.writes = writes++;
    w.after.writes = writes;
    if (InTransaction()) {
        // Nothing is committed before the transaction ends, so the stamp stays as it was.
        w.before.stamp = w.after.stamp = Stamp();
    } else {
        LastWriteStamps(mainFile, &w.before.stamp, &w.after.stamp);
    }
    return w;
}

bool Volume::CarryOver(CacheMark* mark, const OwnWrite& w) {
    if (mark->writes != w.before.writes || !mark->stamp.Same(w.before.stamp) ||
        !w.after.stamp.valid) {
        return false;
    }
    *mark = w.after;
    return true;
}

void Volume::TransactionEnded() {
    txnOwner = std::thread::id();
    txnSession = nullptr;
    txnError = ERROR_SUCCESS;
    txnEnded.notify_all();
}

VolumeHold::VolumeHold(Volume& vol, const char* call) : lock_(vol.mu) {
    auto free = [&vol] { return !vol.InTransaction() || vol.OwnsTransaction(); };
    if (!vol.txnEnded.wait_for(lock_, std::chrono::milliseconds(kBusyTimeoutMs), free)) {
        Trace("[Platform] %s: another thread's transaction kept %s for over %d ms", call,
              vol.hostPath.c_str(), kBusyTimeoutMs);
        SetLastError(ERROR_TIMEOUT);
        return;
    }
    ok_ = true;
}

namespace {

// The connection this process has open on the file, if any.
std::shared_ptr<Volume> ExistingConnection(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return nullptr;
    VolumeTable& t = Table();
    auto it = t.files.find({st.st_dev, st.st_ino});
    if (it == t.files.end()) return nullptr;
    std::shared_ptr<Volume> vol = it->second.lock();
    if (!vol) t.files.erase(it);
    return vol;
}

// Opens a new connection to the file.
std::shared_ptr<Volume> NewConnection(const std::string& path, bool exists) {
    const char* call = "CeMountDBVolEx";
    if (!exists && !EnsureParentFolder(path)) {
        Trace("[Platform] %s: cannot create the folder of %s", call, path.c_str());
        SetLastError(ERROR_PATH_NOT_FOUND);
        return nullptr;
    }

    auto vol = std::make_shared<Volume>();
    vol->hostPath = path;
    int rc = sqlite3_open_v2(path.c_str(), &vol->db,
                             SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                             VfsName());
    if (rc != SQLITE_OK) {
        Trace("[Platform] %s: cannot open %s: %s", call, path.c_str(),
              vol->db ? sqlite3_errmsg(vol->db) : sqlite3_errstr(rc));
        SetLastError(Win32ErrorOfSqlite(rc));
        return nullptr;  // the destructor closes the connection
    }
    vol->mainFile = MainFileOf(vol->db);
    sqlite3_extended_result_codes(vol->db, 1);
    sqlite3_busy_timeout(vol->db, kBusyTimeoutMs);
    sqlite3_db_config(vol->db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    if (sqlite3_db_readonly(vol->db, "main") == 1) {
        Trace("[Platform] %s: %s cannot be written", call, path.c_str());
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }

    bool fresh = false;
    if (!CheckVolume(vol->db, path, &fresh)) return nullptr;
    // A write-ahead log lets several openers read while one writes; a full sync at every
    // commit makes a record durable once its write returns.
    if (!UseWriteAheadLog(vol->db, path)) return nullptr;
    if (!vol->Exec("PRAGMA synchronous = FULL", call)) return nullptr;
    if (fresh && !CreateCatalog(vol->db, path)) return nullptr;
    return vol;
}

}  // namespace

std::shared_ptr<Volume> OpenVolume(const std::string& path, DWORD disposition) {
    const char* call = "CeMountDBVolEx";
    VolumeTable& t = Table();
    std::lock_guard<std::mutex> opening(t.openMu);
    struct stat st {};
    bool exists = stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
        Trace("[Platform] %s: %s is not a file", call, path.c_str());
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    switch (disposition) {
        case OPEN_EXISTING:
            if (!exists) {
                Trace("[Platform] %s: %s does not exist", call, path.c_str());
                SetLastError(ERROR_FILE_NOT_FOUND);
                return nullptr;
            }
            break;
        case CREATE_NEW:
            if (exists) {
                Trace("[Platform] %s: %s exists already", call, path.c_str());
                SetLastError(ERROR_ALREADY_EXISTS);
                return nullptr;
            }
            break;
        case CREATE_ALWAYS:  // a new, empty volume in place of the old one
            if (exists) {
                for (const char* suffix : {"", "-wal", "-shm"}) unlink((path + suffix).c_str());
                exists = false;
            }
            break;
        case OPEN_ALWAYS:
            break;
        default:
            Trace("[Platform] %s: unknown disposition %u", call, disposition);
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
    }
    if (exists) {
        if (std::shared_ptr<Volume> open = ExistingConnection(path)) return open;
    }
    std::shared_ptr<Volume> vol = NewConnection(path, exists);
    if (vol && stat(path.c_str(), &st) == 0) {
        std::erase_if(t.files, [](const auto& file) { return file.second.expired(); });
        t.files[{st.st_dev, st.st_ino}] = vol;
    }
    return vol;
}

bool SameGuid(const CEGUID& a, const CEGUID& b) {
    return Key(a) == Key(b);
}

std::shared_ptr<Mount> AddMount(const std::shared_ptr<Volume>& vol) {
    auto mount = std::make_shared<Mount>();
    mount->vol = vol;
    VolumeTable& t = Table();
    std::lock_guard<std::mutex> g(t.mu);
    if (t.salt == 0) t.salt = std::random_device{}() | 1u;
    mount->guid = CEGUID{t.next++, static_cast<DWORD>(getpid()), t.salt, 0x43454442u};
    t.mounts[Key(mount->guid)] = mount;
    return mount;
}

std::shared_ptr<Mount> FindMount(const CEGUID* guid, const char* call) {
    if (!guid) {
        Trace("[Platform] %s: no volume identifier", call);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    VolumeTable& t = Table();
    std::lock_guard<std::mutex> g(t.mu);
    auto it = t.mounts.find(Key(*guid));
    if (it == t.mounts.end()) {
        Trace("[Platform] %s: volume {%08X-%08X-%08X-%08X} is not mounted", call, guid->Data1,
              guid->Data2, guid->Data3, guid->Data4);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<Mount> RemoveMount(const CEGUID* guid) {
    if (!guid) return nullptr;
    VolumeTable& t = Table();
    std::lock_guard<std::mutex> g(t.mu);
    auto it = t.mounts.find(Key(*guid));
    if (it == t.mounts.end()) return nullptr;
    std::shared_ptr<Mount> mount = std::move(it->second);
    t.mounts.erase(it);
    return mount;
}

int DbSchema::FindProp(CEPROPID id) const {
    for (size_t i = 0; i < props.size(); ++i) {
        if (props[i].id == id) return static_cast<int>(i);
    }
    return -1;
}

std::string ColumnOf(CEPROPID id) {
    if (TypeFromPropId(id) == CEVT_AUTO_I4) return kIdColumn;
    char buf[16];
    snprintf(buf, sizeof buf, "p_%08X", id);
    return buf;
}

CEOID FindDatabaseByName(Volume& vol, LPCWSTR name, const char* call) {
    Stmt* s = vol.Prepare("SELECT oid FROM cedb_databases WHERE name = ?1", call);
    if (!s) return 0;
    StmtScope scope(s);
    s->BindText(1, ToUtf8(name));
    int rc = s->Step();
    if (rc == SQLITE_ROW) return static_cast<CEOID>(s->ColumnInt(0));
    if (rc == SQLITE_DONE) {
        SetLastError(ERROR_FILE_NOT_FOUND);
    } else {
        FailSql(call, "looking up a database", vol.db, rc);
    }
    return 0;
}

bool LoadSchema(Volume& vol, CEOID oid, DbSchema* out, const char* call) {
    Stmt* s = vol.Prepare("SELECT name, type FROM cedb_databases WHERE oid = ?1", call);
    if (!s) return false;
    {
        StmtScope scope(s);
        s->BindInt(1, oid);
        int rc = s->Step();
        if (rc == SQLITE_DONE) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return false;
        }
        if (rc != SQLITE_ROW) {
            FailSql(call, "reading the catalog", vol.db, rc);
            return false;
        }
        out->oid = oid;
        out->name = FromUtf8(s->Column(0).text);
        out->type = static_cast<DWORD>(s->ColumnInt(1));
        out->table = TableOf(oid);
    }
    s = vol.Prepare("SELECT propid, name FROM cedb_properties WHERE db = ?1 ORDER BY seq", call);
    if (!s) return false;
    {
        StmtScope scope(s);
        s->BindInt(1, oid);
        out->props.clear();
        int rc;
        while ((rc = s->Step()) == SQLITE_ROW) {
            PropInfo p;
            p.id = static_cast<CEPROPID>(s->ColumnInt(0));
            p.name = FromUtf8(s->Column(1).text);
            p.column = ColumnOf(p.id);
            if (!SupportedType(TypeFromPropId(p.id))) {
                Trace("[Platform] %s: database %u declares property %s of an unknown type", call,
                      oid, Hex(p.id).c_str());
                SetLastError(ERROR_BAD_FORMAT);
                return false;
            }
            out->props.push_back(std::move(p));
        }
        if (rc != SQLITE_DONE) {
            FailSql(call, "reading the properties", vol.db, rc);
            return false;
        }
    }
    if (!LoadSorts(vol, oid, &out->sorts, call)) return false;
    for (const SORTORDERSPECEX& spec : out->sorts) {
        for (WORD k = 0; k < spec.wNumProps; ++k) {
            if (TypeFromPropId(spec.rgPropID[k]) != CEVT_AUTO_I4 &&
                out->FindProp(spec.rgPropID[k]) < 0) {
                Trace("[Platform] %s: database %u sorts on undeclared property %s", call, oid,
                      Hex(spec.rgPropID[k]).c_str());
                SetLastError(ERROR_BAD_FORMAT);
                return false;
            }
        }
    }
    return true;
}

CEOID CreateDatabase(Volume& vol, const CEDBASEINFOEX& info, DWORD propCount,
                     const CEPROPSPEC* props) {
    const char* call = "CeCreateDatabaseWithProps";
    size_t nameLen = 0;
    while (nameLen < CEDB_MAXDBASENAMELEN && info.szDbaseName[nameLen]) ++nameLen;
    if (!(info.dwFlags & CEDB_VALIDNAME) || nameLen == 0 || nameLen == CEDB_MAXDBASENAMELEN) {
        BadArgument(call, "the database needs a name of 1 to 127 characters");
        return 0;
    }
    WString name(info.szDbaseName, nameLen);
    if (propCount > kMaxProps || (propCount > 0 && !props)) {
        BadArgument(call, "bad property list for " + ToUtf8(name));
        return 0;
    }

    std::vector<PropInfo> declared;
    for (DWORD i = 0; i < propCount; ++i) {
        const CEPROPSPEC& p = props[i];
        if (!SupportedType(TypeFromPropId(p.propid))) {
            BadArgument(call, "property " + Hex(p.propid) + " of " + ToUtf8(name) +
                                  " has an unsupported type");
            return 0;
        }
        for (const PropInfo& d : declared) {
            if (d.id == p.propid) {
                BadArgument(call, "property " + Hex(p.propid) + " of " + ToUtf8(name) +
                                      " is declared twice");
                return 0;
            }
        }
        WString propName = p.pwszPropName ? WString(p.pwszPropName) : WString();
        if (propName.size() > CEDB_MAXPROPNAMELEN) {
            BadArgument(call, "the name of property " + Hex(p.propid) + " is too long");
            return 0;
        }
        declared.push_back(PropInfo{p.propid, std::move(propName), ColumnOf(p.propid)});
    }

    std::vector<SORTORDERSPECEX> sorts;
    if (info.dwFlags & CEDB_VALIDSORTSPEC) {
        if (info.wNumSortOrder > CEDB_MAXSORTORDER) {
            BadArgument(call, ToUtf8(name) + " asks for more than 16 sort orders");
            return 0;
        }
        for (WORD i = 0; i < info.wNumSortOrder; ++i) {
            const SORTORDERSPECEX& in = info.rgSortSpecs[i];
            if (in.wNumProps == 0 || in.wNumProps > CEDB_MAXSORTPROP) {
                BadArgument(call, "sort order " + std::to_string(i) + " of " + ToUtf8(name) +
                                      " needs 1 to 16 keys");
                return 0;
            }
            SORTORDERSPECEX spec{};
            spec.wVersion = 2;
            spec.wNumProps = in.wNumProps;
            for (WORD k = 0; k < in.wNumProps; ++k) {
                bool known = false;
                for (const PropInfo& d : declared) known = known || d.id == in.rgPropID[k];
                if (!known) {
                    BadArgument(call, "sort order " + std::to_string(i) + " of " + ToUtf8(name) +
                                          " uses undeclared property " + Hex(in.rgPropID[k]));
                    return 0;
                }
                if (in.rgdwFlags[k] & ~CEDB_SORT_DESCENDING) {
                    BadArgument(call, "sort order " + std::to_string(i) + " of " + ToUtf8(name) +
                                          ": sort flags " + Hex(in.rgdwFlags[k]) +
                                          " are not supported");
                    return 0;
                }
                spec.rgPropID[k] = in.rgPropID[k];
                spec.rgdwFlags[k] = in.rgdwFlags[k];
            }
            sorts.push_back(spec);
        }
    }
    DWORD type = (info.dwFlags & CEDB_VALIDTYPE) ? info.dwDbaseType : 0;

    Transaction tx(vol, call);
    if (!tx.active()) return 0;
    if (FindDatabaseByName(vol, name.c_str(), call) != 0) {
        Trace("[Platform] %s: a database named %s exists already", call, name);
        SetLastError(ERROR_ALREADY_EXISTS);
        return 0;
    }
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return 0;  // the lookup failed

    Stmt* s = vol.Prepare(std::string("INSERT INTO cedb_databases(name, type, modified) "
                                      "VALUES(?1, ?2, ") +
                              kNowSql + ") RETURNING oid",
                          call);
    if (!s) return 0;
    CEOID oid = 0;
    {
        StmtScope scope(s);
        s->BindText(1, ToUtf8(name));
        s->BindInt(2, type);
        int rc = s->Step();
        if (rc == SQLITE_ROW) {
            int64_t id = s->ColumnInt(0);
            if (id > 0 && id <= 0xFFFFFFFFll) oid = static_cast<CEOID>(id);
            rc = s->Step();
        }
        if (rc != SQLITE_DONE || oid == 0) {
            FailSql(call, "adding to the catalog", vol.db, rc == SQLITE_DONE ? SQLITE_FULL : rc);
            return 0;
        }
    }
    Stmt* sp = vol.Prepare(
        "INSERT INTO cedb_properties(db, seq, propid, name) VALUES(?1, ?2, ?3, ?4)", call);
    if (!sp) return 0;
    for (size_t i = 0; i < declared.size(); ++i) {
        sp->BindInt(1, oid);
        sp->BindInt(2, static_cast<int64_t>(i));
        sp->BindInt(3, declared[i].id);
        sp->BindText(4, ToUtf8(declared[i].name));
        if (!RunToEnd(vol, sp, call, "adding the properties")) return 0;
    }
    Stmt* sk = vol.Prepare(
        "INSERT INTO cedb_sortkeys(db, sortorder, seq, propid, flags) "
        "VALUES(?1, ?2, ?3, ?4, ?5)",
        call);
    if (!sk) return 0;
    for (size_t i = 0; i < sorts.size(); ++i) {
        for (WORD k = 0; k < sorts[i].wNumProps; ++k) {
            sk->BindInt(1, oid);
            sk->BindInt(2, static_cast<int64_t>(i));
            sk->BindInt(3, k);
            sk->BindInt(4, sorts[i].rgPropID[k]);
            sk->BindInt(5, sorts[i].rgdwFlags[k]);
            if (!RunToEnd(vol, sk, call, "adding the sort orders")) return 0;
        }
    }
    if (!vol.Exec(RecordsTableSql(oid, declared, sorts), call)) return 0;
    if (!tx.Commit()) return 0;
    return oid;
}

bool DeleteDatabase(Volume& vol, CEOID oid) {
    const char* call = "CeDeleteDatabaseEx";
    Transaction tx(vol, call);
    if (!tx.active()) return false;
    DbSchema schema;
    if (!LoadSchema(vol, oid, &schema, call)) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            Trace("[Platform] %s: there is no database %u", call, oid);
        }
        return false;
    }
    std::string id = std::to_string(oid);
    if (!vol.Exec("DROP TABLE IF EXISTS " + schema.table + ";" +
                      "DELETE FROM cedb_sortkeys WHERE db = " + id + ";" +
                      "DELETE FROM cedb_properties WHERE db = " + id + ";" +
                      "DELETE FROM cedb_databases WHERE oid = " + id + ";",
                  call)) {
        return false;
    }
    return tx.Commit();
}

CEOID NextDatabase(Volume& vol, CEOID after, DWORD type, const char* call) {
    Stmt* s = vol.Prepare(
        "SELECT oid FROM cedb_databases WHERE oid > ?1 AND (?2 = 0 OR type = ?2) "
        "ORDER BY oid LIMIT 1",
        call);
    if (!s) return 0;
    StmtScope scope(s);
    s->BindInt(1, after);
    s->BindInt(2, type);
    int rc = s->Step();
    if (rc == SQLITE_ROW) return static_cast<CEOID>(s->ColumnInt(0));
    if (rc == SQLITE_DONE) {
        SetLastError(ERROR_NO_MORE_ITEMS);
    } else {
        FailSql(call, "listing the databases", vol.db, rc);
    }
    return 0;
}

bool ReadDatabaseInfo(Volume& vol, CEOID oid, const std::vector<SORTORDERSPECEX>* sorts,
                      CEDBASEINFOEX* info, const char* call) {
    std::vector<SORTORDERSPECEX> loaded;
    if (!sorts) {
        if (!LoadSorts(vol, oid, &loaded, call)) return false;
        sorts = &loaded;
    }
    Stmt* s = vol.Prepare(
        "SELECT name, type, records, bytes, modified FROM cedb_databases WHERE oid = ?1", call);
    if (!s) return false;
    StmtScope scope(s);
    s->BindInt(1, oid);
    int rc = s->Step();
    if (rc == SQLITE_DONE) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (rc != SQLITE_ROW) {
        FailSql(call, "reading the catalog", vol.db, rc);
        return false;
    }
    auto clamp = [](int64_t v) {
        return static_cast<DWORD>(v < 0 ? 0 : (v > 0xFFFFFFFFll ? 0xFFFFFFFFll : v));
    };
    *info = CEDBASEINFOEX{};
    info->wVersion = 2;
    info->dwFlags = CEDB_VALIDNAME | CEDB_VALIDTYPE | CEDB_VALIDSORTSPEC | CEDB_VALIDMODTIME;
    WString name = FromUtf8(s->Column(0).text);
    WStrCopyN(info->szDbaseName, name.c_str(), CEDB_MAXDBASENAMELEN);
    info->dwDbaseType = static_cast<DWORD>(s->ColumnInt(1));
    info->dwNumRecords = clamp(s->ColumnInt(2));
    info->dwSize = clamp(s->ColumnInt(3));
    info->ftLastModified = U64ToFileTime(static_cast<uint64_t>(s->ColumnInt(4)));
    info->wNumSortOrder = static_cast<WORD>(sorts->size());
    for (size_t i = 0; i < sorts->size() && i < CEDB_MAXSORTORDER; ++i) {
        info->rgSortSpecs[i] = (*sorts)[i];
    }
    return true;
}

}  // namespace cedb
