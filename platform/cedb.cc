// The property database calls on SQLite: handles, seeks, record reads and writes.
#include "platform/cedb.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/cedb_order.h"
#include "platform/cedb_sqlite.h"
#include "platform/cedb_volume.h"
#include "platform/devpath.h"
#include "platform/handle.h"
#include "platform/trace.h"

using cedb::CacheMark;
using cedb::Ordering;
using cedb::OrderKey;
using cedb::OwnWrite;
using cedb::Stmt;
using cedb::StmtScope;
using cedb::Tuple;
using cedb::Value;
using cedb::Volume;
using cedb::VolumeHold;

namespace {

class SessionObject : public KernelObject {
  public:
    ~SessionObject() override;

    std::shared_ptr<cedb::Mount> mount;  // the mount the session was created on
    std::shared_ptr<Volume> vol;         // its connection
};

class EnumObject : public KernelObject {
  public:
    std::shared_ptr<cedb::Mount> mount;  // the mount being enumerated
    std::shared_ptr<Volume> vol;         // its connection
    DWORD type = 0;                      // database type asked for, 0 for all
    CEOID last = 0;                      // the database returned last
};

constexpr size_t kFirstReadAhead = 4;   // records a scan reads ahead at first
constexpr size_t kMostReadAhead = 256;  // and at most, growing while it is used up
constexpr size_t kSeekReadAhead = 2;    // a value seek also learns whether a match follows

// A row read ahead of the position.
struct AheadRow {
    Tuple row;             // the record's row
    bool deleted = false;  // deleted through this handle since it was read
};

// What a handle knows of its records from its last queries. It holds while the volume's
// stamp stays the same, that is while nothing was written by any connection, and across
// the handle's own deletes, whose effect is known. No query keeps a snapshot open for it.
struct RecordCache {
    CacheMark mark;                         // the volume when the cache was last right
    bool haveRow = false;                   // row holds the current record
    Tuple row;                              // the current record's row
    std::vector<AheadRow> ahead;            // rows of the records right after the position
    size_t next = 0;                        // the first of ahead not passed yet
    size_t tailFixed = cedb::kUnknownTail;  // as in Found, for the last of ahead (the
                                            // position itself when ahead is empty)
    size_t batch = kFirstReadAhead;         // rows the next read-ahead asks for

    // Forgets everything read; now is the mark taken before the queries that fill it again.
    void Clear(const CacheMark& now) {
        haveRow = false;
        ahead.clear();
        next = 0;
        tailFixed = cedb::kUnknownTail;
        mark = now;
        batch = now.stamp.valid ? kFirstReadAhead : 1;  // without a stamp rows read ahead go unused
    }
    // Clears the cache unless nothing was written since it was filled.
    void Refresh(const Volume& vol) {
        if (!vol.Holds(mark)) Clear(vol.Mark());
    }
    // Takes the rows a search from the position found, from the first one on.
    void TakeAhead(cedb::Found* found, size_t first) {
        ahead.clear();
        next = 0;
        for (size_t i = first; i < found->rows.size(); ++i) {
            ahead.push_back(AheadRow{std::move(found->rows[i]), false});
        }
        tailFixed = found->tailFixed;
    }
    // The index in ahead of the first record not deleted from next on; ahead.size() if none.
    size_t NextLive() const {
        size_t i = next;
        while (i < ahead.size() && ahead[i].deleted) ++i;
        return i;
    }
};

// A read's result for one property before it is copied into the caller's buffer.
struct OutProp {
    CEPROPID id;               // as asked for
    WORD flags;                // CEDB_PROPNOTFOUND when the record lacks it
    CEVALUNION val;            // integer values
    const std::string* ascii;  // a text of ASCII only, in the record row
    WString text;              // any other text, decoded
    size_t units;              // UTF-16 units of the text, without terminator
    bool isText;               // val.lpwstr will point at the text
};

// An open database: its schema, its sort order and the current position in it.
class DatabaseObject : public KernelObject {
  public:
    std::shared_ptr<cedb::Mount> mount;         // the mount it was opened through
    std::shared_ptr<Volume> vol;                // the mount's connection
    cedb::DbSchema schema;                      // as read from the catalog when opened
    bool autoIncrement = false;                 // reads move on to the next record
    std::unique_ptr<Ordering> order;            // the sort order chosen at open, or record order
    std::vector<CEPROPID> keyProps;             // the properties of that sort order's keys
    std::vector<std::string> rowColumns;        // a record row: the identifier, then properties
    std::vector<int> rowColumn;                 // per property: its column in a record row
    Stmt* insert = nullptr;                     // adds a record with every column
    std::map<std::vector<int>, Stmt*> updates;  // overwrites, by the properties written
    Stmt* remove = nullptr;                     // deletes one record by identifier
    bool positioned = false;                    // pos names a record (or where a deleted one was)
    Tuple pos;                    // the current record's keys ending with its identifier
    bool advancePending = false;  // a read moved on: current is the record after pos
    RecordCache cache;            // records as last read, while nothing changed
    std::vector<OutProp> out;     // a read's results, kept to spare allocations
};

constexpr size_t kPropValSize = sizeof(CEPROPVAL);

void Fail(const char* call, DWORD error, const std::string& why) {
    Trace("[Platform] %s: %s", call, why.c_str());
    SetLastError(error);
}

// The object behind h when it is a T; null, traced and ERROR_INVALID_HANDLE otherwise.
template <class T>
std::shared_ptr<T> Lookup(HANDLE h, const char* call, const char* kind) {
    std::shared_ptr<T> obj = HandleAs<T>(h);
    if (!obj) {
        Trace("[Platform] %s: %p is not a %s handle", call, h, kind);
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return obj;
}

// Call with the mount's volume held.
bool Mounted(const cedb::Mount& mount, const char* call) {
    if (mount.mounted) return true;
    Trace("[Platform] %s: the volume %s of this handle was unmounted", call,
          mount.vol->hostPath.c_str());
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
}

std::string Hex(DWORD v) {
    char buf[16];
    snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

// The stored form of a property value.
Value ToValue(const CEPROPVAL& v) {
    Value out;
    out.kind = Value::kInt;
    switch (TypeFromPropId(v.propid)) {
        case CEVT_I2:
            out.i = v.val.iVal;
            break;
        case CEVT_UI2:
            out.i = v.val.uiVal;
            break;
        case CEVT_I4:
            out.i = v.val.lVal;
            break;
        case CEVT_UI4:
        case CEVT_AUTO_I4:
            out.i = v.val.ulVal;
            break;
        case CEVT_FILETIME:
            out.i = static_cast<int64_t>(FileTimeToU64(v.val.filetime));
            break;
        case CEVT_LPWSTR:
            if (v.val.lpwstr) {
                out.kind = Value::kText;
                out.text = ToUtf8(v.val.lpwstr);
            } else {
                out.kind = Value::kNull;
            }
            break;
        default:
            out.kind = Value::kNull;
            break;
    }
    return out;
}

// Sets an integer property value from its stored form; false if the stored kind is wrong.
bool FromStored(WORD type, const Value& v, CEVALUNION* out) {
    out->raw = 0;
    if (v.kind != Value::kInt) return false;
    switch (type) {
        case CEVT_I2:
            out->iVal = static_cast<int16_t>(v.i);
            return true;
        case CEVT_UI2:
            out->uiVal = static_cast<uint16_t>(v.i);
            return true;
        case CEVT_I4:
            out->lVal = static_cast<int32_t>(v.i);
            return true;
        case CEVT_UI4:
        case CEVT_AUTO_I4:
            out->ulVal = static_cast<uint32_t>(v.i);
            return true;
        case CEVT_FILETIME:
            out->filetime = U64ToFileTime(static_cast<uint64_t>(v.i));
            return true;
        default:
            return false;
    }
}

// Lays out a record row and prepares the per-handle write statements.
bool PrepareRecordAccess(DatabaseObject& db, const char* call) {
    const cedb::DbSchema& s = db.schema;
    std::string columns, params;
    int param = 0;
    db.rowColumns.assign(1, cedb::kIdColumn);
    db.rowColumn.assign(s.props.size(), 0);
    for (size_t i = 0; i < s.props.size(); ++i) {
        if (s.props[i].column == cedb::kIdColumn) continue;  // counters are the identifier
        db.rowColumn[i] = static_cast<int>(db.rowColumns.size());
        db.rowColumns.push_back(s.props[i].column);
        columns += (param ? ", " : "") + s.props[i].column;
        params += (param ? ", ?" : "?") + std::to_string(param + 1);
        ++param;
    }
    // Adds and deletes also return what the catalog's triggers add to or take from the
    // database's row, so that a known description stays right without reading it again.
    const std::string counted =
        std::string(" RETURNING ") + cedb::kIdColumn + ", cedb_size, " + cedb::kNowSql;
    std::string insert =
        param ? "INSERT INTO " + s.table + "(" + columns + ") VALUES(" + params + ")" + counted
              : "INSERT INTO " + s.table + " DEFAULT VALUES" + counted;
    db.insert = db.vol->Prepare(insert, call);
    db.remove = db.vol->Prepare(
        "DELETE FROM " + s.table + " WHERE " + cedb::kIdColumn + " = ?1" + counted, call);
    return db.insert && db.remove;
}

// What a write of one record did.
struct WriteResult {
    int64_t id = 0;        // the record written; 0: there was no such record; -1: it failed
    int64_t size = 0;      // an add or delete: the record's size as the catalog counts it
    int64_t modified = 0;  // an add or delete: the modification time the catalog took
    OwnWrite change;       // the volume right before and after
};

// Runs a write that returns the identifier of the record written (and, when counted, its
// size and the time). Outside a transaction the write is durable once this returns; inside
// one, once the transaction commits. A failure is traced.
WriteResult RunWrite(Volume& vol, Stmt* s, bool counted, const char* call) {
    StmtScope scope(s);
    WriteResult out;
    if (vol.OwnsTransaction() && vol.txnError != ERROR_SUCCESS) {
        Fail(call, vol.txnError,
             "an earlier write failed and rolled this thread's transaction back; end it first");
        out.id = -1;
        return out;
    }
    int rc = s->Step();
    if (rc == SQLITE_ROW) {
        out.id = s->ColumnInt(0);
        if (counted) {
            out.size = s->ColumnInt(1);
            out.modified = s->ColumnInt(2);
        }
        rc = s->Step();  // outside a transaction the commit happens as the statement ends
    }
    out.change = vol.Wrote();
    if (rc != SQLITE_DONE) {
        cedb::FailSql(call, "writing", vol.db, rc);
        if (vol.OwnsTransaction() && sqlite3_get_autocommit(vol.db)) {
            // SQLite gave the whole transaction up; its earlier writes are gone.
            vol.txnError = GetLastError();
            Trace("[Platform] %s: the transaction on %s was rolled back", call,
                  vol.hostPath.c_str());
        }
        out.id = -1;
    }
    return out;
}

// Brings what the connection knows of the catalog over one of its writes: the written
// database's row gains (delta 1) or loses (delta -1) the record; 0: a change whose effect on
// the row is not known. Every other database's row is as it was.
void NoteWrite(Volume& vol, CEOID oid, const WriteResult& w, int delta) {
    // A failed write may have taken a whole transaction back: nothing known is carried.
    if (w.id < 0) return;
    for (auto it = vol.infos.begin(); it != vol.infos.end();) {
        CEDBASEINFOEX& info = it->second.info;
        bool keep = Volume::CarryOver(&it->second.mark, w.change);
        if (keep && it->first == oid) {
            // A value at the limit may have been cut to fit; then the sum is not known.
            int64_t records = static_cast<int64_t>(info.dwNumRecords) + delta;
            int64_t bytes = static_cast<int64_t>(info.dwSize) + delta * w.size;
            keep = delta != 0 && info.dwNumRecords != 0xFFFFFFFFu && info.dwSize != 0xFFFFFFFFu &&
                   records >= 0 && records < 0xFFFFFFFFll && bytes >= 0 && bytes < 0xFFFFFFFFll;
            if (keep) {
                info.dwNumRecords = static_cast<DWORD>(records);
                info.dwSize = static_cast<DWORD>(bytes);
                info.ftLastModified = U64ToFileTime(static_cast<uint64_t>(w.modified));
            }
        }
        it = keep ? std::next(it) : vol.infos.erase(it);
    }
}

// Fills one property of the output from a record row, which must outlive o.
void MakeOut(const DatabaseObject& db, const Tuple& row, CEPROPID id, OutProp* o) {
    o->id = id;
    o->flags = CEDB_PROPNOTFOUND;
    o->val.raw = 0;
    o->ascii = nullptr;
    o->text.clear();
    o->units = 0;
    o->isText = false;
    int i = db.schema.FindProp(id);
    if (i < 0) return;
    const Value& v = row[static_cast<size_t>(db.rowColumn[static_cast<size_t>(i)])];
    WORD type = TypeFromPropId(id);
    if (type == CEVT_LPWSTR) {
        if (v.kind != Value::kText) return;
        // Plain ASCII, the usual text, widens byte by byte; anything else is decoded.
        bool ascii = true;
        for (char c : v.text) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
        if (ascii) {
            o->ascii = &v.text;
            o->units = v.text.size();
        } else {
            o->text = FromUtf8(v.text);
            o->units = o->text.size();
        }
        o->isText = true;
        o->flags = 0;
    } else if (FromStored(type, v, &o->val)) {
        o->flags = 0;
    }
}

// Copies a text of the output, with its terminator, to dst (a caller's buffer may leave it
// unaligned).
void CopyOutText(const OutProp& o, BYTE* dst) {
    if (o.ascii) {
        for (size_t k = 0; k < o.units; ++k) {
            WCHAR c = static_cast<unsigned char>((*o.ascii)[k]);
            std::memcpy(dst + k * sizeof(WCHAR), &c, sizeof c);
        }
    } else {
        std::memcpy(dst, o.text.data(), o.units * sizeof(WCHAR));
    }
    WCHAR end = 0;
    std::memcpy(dst + o.units * sizeof(WCHAR), &end, sizeof end);
}

}  // namespace

// --- Volumes -------------------------------------------------------------------------------

BOOL CeMountDBVolEx(CEGUID* guid, LPCWSTR path, void* /*options*/, DWORD disposition) {
    const char* call = "CeMountDBVolEx";
    if (!guid || !path || !*path) {
        Fail(call, ERROR_INVALID_PARAMETER, "a volume identifier and a path are needed");
        return FALSE;
    }
    std::shared_ptr<Volume> vol = cedb::OpenVolume(HostPath(path), disposition);
    if (!vol) return FALSE;
    *guid = cedb::AddMount(vol)->guid;
    return TRUE;
}

BOOL CeFlushDBVol(CEGUID* guid) {
    const char* call = "CeFlushDBVol";
    std::shared_ptr<cedb::Mount> mount = cedb::FindMount(guid, call);
    if (!mount) return FALSE;
    VolumeHold hold(*mount->vol, call);
    if (!hold.ok()) return FALSE;
    // Every commit is already on disk; this folds the log into the volume file.
    return mount->vol->Exec("PRAGMA wal_checkpoint(PASSIVE)", call) ? TRUE : FALSE;
}

BOOL CeUnmountDBVol(CEGUID* guid) {
    std::shared_ptr<cedb::Mount> mount = cedb::RemoveMount(guid);
    if (!mount) {
        Fail("CeUnmountDBVol", ERROR_INVALID_PARAMETER, "the volume is not mounted");
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> g(mount->vol->mu);
        mount->mounted = false;
    }
    return TRUE;  // the connection closes with the last mount and handle on the file
}

// --- Databases -----------------------------------------------------------------------------

HANDLE CeFindFirstDatabaseEx(CEGUID* guid, DWORD dbType) {
    std::shared_ptr<cedb::Mount> mount = cedb::FindMount(guid, "CeFindFirstDatabaseEx");
    if (!mount) return INVALID_HANDLE_VALUE;
    auto e = std::make_shared<EnumObject>();
    e->mount = mount;
    e->vol = mount->vol;
    e->type = dbType;
    return NewHandle(e);
}

CEOID CeFindNextDatabaseEx(HANDLE enumHandle, CEGUID* guid) {
    const char* call = "CeFindNextDatabaseEx";
    auto e = Lookup<EnumObject>(enumHandle, call, "database enumeration");
    if (!e) return 0;
    if (guid && !cedb::SameGuid(*guid, e->mount->guid)) {
        Fail(call, ERROR_INVALID_PARAMETER, "the enumeration belongs to another volume");
        return 0;
    }
    VolumeHold hold(*e->vol, call);
    if (!hold.ok() || !Mounted(*e->mount, call)) return 0;
    CEOID oid = cedb::NextDatabase(*e->vol, e->last, e->type, call);
    if (oid) e->last = oid;
    return oid;
}

BOOL CeOidGetInfoEx2(CEGUID* guid, CEOID oid, CEOIDINFOEX* info) {
    const char* call = "CeOidGetInfoEx2";
    if (!info) {
        Fail(call, ERROR_INVALID_PARAMETER, "no information record");
        return FALSE;
    }
    std::shared_ptr<cedb::Mount> mount = cedb::FindMount(guid, call);
    if (!mount) return FALSE;
    VolumeHold hold(*mount->vol, call);
    if (!hold.ok()) return FALSE;
    if (!cedb::ReadDatabaseInfo(*mount->vol, oid, nullptr, &info->infDatabase, call)) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            Fail(call, ERROR_FILE_NOT_FOUND, "there is no database " + std::to_string(oid));
        }
        return FALSE;
    }
    info->wVersion = 2;
    info->wObjType = OBJTYPE_DATABASE;
    return TRUE;
}

CEOID CeCreateDatabaseWithProps(CEGUID* guid, CEDBASEINFOEX* info, DWORD propCount,
                                CEPROPSPEC* props) {
    const char* call = "CeCreateDatabaseWithProps";
    if (!info) {
        Fail(call, ERROR_INVALID_PARAMETER, "no database information");
        return 0;
    }
    std::shared_ptr<cedb::Mount> mount = cedb::FindMount(guid, call);
    if (!mount) return 0;
    VolumeHold hold(*mount->vol, call);
    if (!hold.ok()) return 0;
    return cedb::CreateDatabase(*mount->vol, *info, propCount, props);
}

BOOL CeDeleteDatabaseEx(CEGUID* guid, CEOID oid) {
    const char* call = "CeDeleteDatabaseEx";
    std::shared_ptr<cedb::Mount> mount = cedb::FindMount(guid, call);
    if (!mount) return FALSE;
    VolumeHold hold(*mount->vol, call);
    if (!hold.ok()) return FALSE;
    return cedb::DeleteDatabase(*mount->vol, oid) ? TRUE : FALSE;
}

HANDLE CeCreateSession(CEGUID* guid) {
    std::shared_ptr<cedb::Mount> mount = cedb::FindMount(guid, "CeCreateSession");
    if (!mount) return INVALID_HANDLE_VALUE;
    auto s = std::make_shared<SessionObject>();
    s->mount = mount;
    s->vol = mount->vol;
    return NewHandle(s);
}

// A session closed with its transaction open takes the transaction back.
SessionObject::~SessionObject() {
    if (!vol) return;
    std::lock_guard<std::mutex> g(vol->mu);
    if (vol->txnSession != this) return;
    sqlite3_exec(vol->db, "ROLLBACK", nullptr, nullptr, nullptr);
    vol->TransactionEnded();
    vol->Wrote();
    Trace("[Platform] CloseHandle: the transaction open on a closed session of %s was rolled back",
          vol->hostPath.c_str());
}

BOOL CeBeginTransaction(HANDLE session, CEDBISOLATIONLEVEL level) {
    const char* call = "CeBeginTransaction";
    auto s = Lookup<SessionObject>(session, call, "session");
    if (!s) return FALSE;
    if (level < CEDB_ISOLEVEL_DEFAULT || level > CEDB_ISOLEVEL_SERIALIZABLE) {
        Fail(call, ERROR_INVALID_PARAMETER, "unknown isolation level " + Hex(level));
        return FALSE;
    }
    Volume& vol = *s->vol;
    VolumeHold hold(vol, call);
    if (!hold.ok() || !Mounted(*s->mount, call)) return FALSE;
    if (vol.OwnsTransaction()) {
        Fail(call, ERROR_ALREADY_EXISTS,
             "this thread has a transaction open on " + vol.hostPath + " already");
        return FALSE;
    }
    // The write lock is taken now, waiting for writers of other processes as a write would.
    if (!vol.Exec("BEGIN IMMEDIATE", call)) return FALSE;
    vol.txnOwner = std::this_thread::get_id();
    vol.txnSession = s.get();
    vol.txnError = ERROR_SUCCESS;
    return TRUE;
}

BOOL CeEndTransaction(HANDLE session, BOOL commit) {
    const char* call = "CeEndTransaction";
    auto s = Lookup<SessionObject>(session, call, "session");
    if (!s) return FALSE;
    Volume& vol = *s->vol;
    VolumeHold hold(vol, call);
    if (!hold.ok()) return FALSE;
    if (!vol.OwnsTransaction() || vol.txnSession != s.get()) {
        Fail(call, ERROR_INVALID_PARAMETER,
             "this thread began no transaction on this session of " + vol.hostPath);
        return FALSE;
    }
    const DWORD earlier = vol.txnError;
    bool committed = false;
    if (commit && earlier == ERROR_SUCCESS) {
        committed = vol.Exec("COMMIT", call);  // traced when it fails
    } else if (commit) {
        Fail(call, earlier, "an earlier write failed and rolled the transaction back");
    }
    // A failed commit leaves nothing of the transaction, whether SQLite gave it up already
    // or it is given up here.
    if (!committed && !sqlite3_get_autocommit(vol.db)) {
        DWORD error = GetLastError();
        sqlite3_exec(vol.db, "ROLLBACK", nullptr, nullptr, nullptr);
        SetLastError(error);
    }
    const DWORD error = GetLastError();
    vol.TransactionEnded();
    OwnWrite w = vol.Wrote();
    if (committed) {
        // The commit changed nothing a description read inside the transaction holds.
        for (auto it = vol.infos.begin(); it != vol.infos.end();) {
            it = Volume::CarryOver(&it->second.mark, w) ? std::next(it) : vol.infos.erase(it);
        }
        return TRUE;
    }
    if (commit) {
        Trace("[Platform] %s: the transaction on %s was rolled back", call, vol.hostPath.c_str());
    }
    SetLastError(error);
    return commit ? FALSE : TRUE;
}

HANDLE CeOpenDatabaseInSession(HANDLE session, CEGUID* guid, CEOID* oid, LPCWSTR name,
                               SORTORDERSPECEX* sort, DWORD flags, void* /*notify*/) {
    const char* call = "CeOpenDatabaseInSession";
    std::shared_ptr<cedb::Mount> mount;
    if (session) {
        auto s = Lookup<SessionObject>(session, call, "session");
        if (!s) return INVALID_HANDLE_VALUE;
        if (guid && !cedb::SameGuid(*guid, s->mount->guid)) {
            Fail(call, ERROR_INVALID_PARAMETER, "the session belongs to another volume");
            return INVALID_HANDLE_VALUE;
        }
        mount = s->mount;
    } else {
        mount = cedb::FindMount(guid, call);
        if (!mount) return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<Volume> vol = mount->vol;
    VolumeHold hold(*vol, call);
    if (!hold.ok() || !Mounted(*mount, call)) return INVALID_HANDLE_VALUE;

    CEOID id = oid ? *oid : 0;
    if (id == 0) {
        if (!name || !*name) {
            Fail(call, ERROR_INVALID_PARAMETER, "neither an identifier nor a name");
            return INVALID_HANDLE_VALUE;
        }
        id = cedb::FindDatabaseByName(*vol, name, call);
        if (id == 0) return INVALID_HANDLE_VALUE;  // ERROR_FILE_NOT_FOUND: an ordinary answer
    }
    auto db = std::make_shared<DatabaseObject>();
    db->mount = mount;
    db->vol = vol;
    if (!cedb::LoadSchema(*vol, id, &db->schema, call)) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) {
            Fail(call, ERROR_FILE_NOT_FOUND, "there is no database " + std::to_string(id));
        }
        return INVALID_HANDLE_VALUE;
    }

    std::vector<OrderKey> keys;
    if (sort) {
        const SORTORDERSPECEX* chosen = nullptr;
        for (const SORTORDERSPECEX& spec : db->schema.sorts) {
            if (spec.wNumProps != sort->wNumProps || sort->wNumProps > CEDB_MAXSORTPROP) continue;
            bool same = true;
            for (WORD k = 0; k < spec.wNumProps; ++k) {
                same = same && spec.rgPropID[k] == sort->rgPropID[k] &&
                       spec.rgdwFlags[k] == sort->rgdwFlags[k];
            }
            if (same) {
                chosen = &spec;
                break;
            }
        }
        if (!chosen) {
            Fail(call, ERROR_INVALID_PARAMETER,
                 "the sort order asked for is not one of database " + ToUtf8(db->schema.name));
            return INVALID_HANDLE_VALUE;
        }
        for (WORD k = 0; k < chosen->wNumProps; ++k) {
            keys.push_back(OrderKey{cedb::ColumnOf(chosen->rgPropID[k]),
                                    (chosen->rgdwFlags[k] & CEDB_SORT_DESCENDING) != 0});
            db->keyProps.push_back(chosen->rgPropID[k]);
        }
    }
    db->autoIncrement = (flags & CEDB_AUTOINCREMENT) != 0;
    if (!PrepareRecordAccess(*db, call)) return INVALID_HANDLE_VALUE;
    db->order = std::make_unique<Ordering>(vol.get(), id, db->schema.table, std::move(keys),
                                           db->rowColumns, call);
    if (oid) *oid = id;
    return NewHandle(db);
}

BOOL CeGetDBInformationByHandle(HANDLE h, CEDBASEINFOEX* info) {
    const char* call = "CeGetDBInformationByHandle";
    auto db = Lookup<DatabaseObject>(h, call, "database");
    if (!db) return FALSE;
    if (!info) {
        Fail(call, ERROR_INVALID_PARAMETER, "no information record");
        return FALSE;
    }
    VolumeHold hold(*db->vol, call);
    if (!hold.ok() || !Mounted(*db->mount, call)) return FALSE;
    // What the volume knows of the catalog row holds while nothing was written, and across
    // this process's own adds and deletes, whose effect on the row is known.
    Volume& vol = *db->vol;
    const CEOID oid = db->schema.oid;
    auto known = vol.infos.find(oid);
    if (known == vol.infos.end() || !vol.Holds(known->second.mark)) {
        vol.infos.erase(oid);
        cedb::KnownInfo fresh;
        fresh.mark = vol.Mark();  // before the query: what it finds is as new
        if (!cedb::ReadDatabaseInfo(vol, oid, &db->schema.sorts, &fresh.info, call)) {
            if (GetLastError() == ERROR_FILE_NOT_FOUND) {
                Fail(call, ERROR_FILE_NOT_FOUND, "the database was deleted");
            }
            return FALSE;
        }
        known = vol.infos.emplace(oid, fresh).first;
    }
    *info = known->second.info;
    return TRUE;
}

BOOL CeGetDatabaseProps(HANDLE h, WORD* propCount, CEPROPSPEC* props) {
    const char* call = "CeGetDatabaseProps";
    auto db = Lookup<DatabaseObject>(h, call, "database");
    if (!db) return FALSE;
    if (!propCount) {
        Fail(call, ERROR_INVALID_PARAMETER, "no count");
        return FALSE;
    }
    const std::vector<cedb::PropInfo>& declared = db->schema.props;
    WORD count = static_cast<WORD>(declared.size());
    if (!props) {
        *propCount = count;
        return TRUE;
    }
    if (*propCount < count) {
        *propCount = count;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    for (WORD i = 0; i < count; ++i) {
        CEPROPSPEC& out = props[i];
        out.wVersion = 1;
        out.propid = declared[i].id;
        out.dwFlags = 0;
        if (out.pwszPropName && out.cchPropName > 0) {
            WStrCopyN(out.pwszPropName, declared[i].name.c_str(), out.cchPropName);
        }
        out.cchPropName = static_cast<DWORD>(declared[i].name.size() + 1);
    }
    *propCount = count;
    return TRUE;
}

// --- Records -------------------------------------------------------------------------------

namespace {

// Tells from the cache whether a record after the position shares the position's first n
// keys: 1 with *at the index in ahead of the first that does, 0 when none does, -1 when the
// cache cannot tell. Records in the order that share leading keys come together.
int NextSharing(const DatabaseObject& db, size_t n, size_t* at) {
    const RecordCache& cache = db.cache;
    size_t i = cache.NextLive();
    if (i < cache.ahead.size()) {
        if (!db.order->SharesKeys(cache.ahead[i].row, db.pos, n)) return 0;
        *at = i;
        return 1;
    }
    // The facts are about the last row of ahead; once every row is passed that is the
    // position, and only deleted rows can still lie beyond it.
    if (cache.next < cache.ahead.size() &&
        !db.order->SharesKeys(cache.ahead.back().row, db.pos, n)) {
        return 0;
    }
    return cache.tailFixed <= n ? 0 : -1;
}

}  // namespace

CEOID CeSeekDatabaseEx(HANDLE h, DWORD seekType, uintptr_t value, WORD valueCount, DWORD* index) {
    const char* call = "CeSeekDatabaseEx";
    auto db = Lookup<DatabaseObject>(h, call, "database");
    if (!db) return 0;
    VolumeHold hold(*db->vol, call);
    if (!hold.ok() || !Mounted(*db->mount, call)) return 0;
    Ordering& order = *db->order;
    order.SetCall(call);
    RecordCache& cache = db->cache;
    cache.Refresh(*db->vol);           // before the queries: what they find is as new
    Tuple found;                       // the row of the record found
    cedb::Found rows;                  // or the rows of a value seek, the record first
    bool useRows = false;              // the result is in rows
    bool fromCache = false;            // the result is the next record of the cache
    size_t tail = cedb::kUnknownTail;  // what follows the record found, as in Found
    int r = 0;
    switch (seekType) {
        case CEDB_SEEK_CEOID:
            r = order.ById(static_cast<CEOID>(value), &found);
            break;
        case CEDB_SEEK_BEGINNING:
        case CEDB_SEEK_END: {
            bool fromEnd = seekType == CEDB_SEEK_END;
            int64_t offset = static_cast<DWORD>(value);
            if (fromEnd) {  // value counts back from the last record
                int64_t back = static_cast<int32_t>(static_cast<uint32_t>(value));
                offset = back < 0 ? -back : back;
            }
            bool last = false;
            r = order.AtOffset(fromEnd, offset, &found, &last);
            if (last) tail = 0;
            break;
        }
        case CEDB_SEEK_CURRENT: {
            if (!db->positioned) break;
            Tuple at = db->pos;
            if (db->advancePending) {
                r = order.Next(at, 0, true, &found);
                if (r != 1) break;
                at = order.PositionOf(found);
            }
            int64_t steps = static_cast<int32_t>(static_cast<uint32_t>(value));
            bool forward = steps > 0;
            if (steps == 0) {
                r = order.ById(Ordering::IdOf(at), &found);
                if (r == 0) {
                    SetLastError(ERROR_KEY_DELETED);
                    return 0;
                }
            }
            for (int64_t n = forward ? steps : -steps; n > 0; --n) {
                r = order.Next(at, 0, forward, &found);
                if (r != 1) break;
                at = order.PositionOf(found);
            }
            break;
        }
        case CEDB_SEEK_VALUEFIRSTEQUAL:
        case CEDB_SEEK_VALUENEXTEQUAL: {
            const CEPROPVAL* values = reinterpret_cast<const CEPROPVAL*>(value);
            size_t keys = order.KeyCount();
            if (!values || valueCount == 0 || valueCount > keys) {
                Fail(call, ERROR_INVALID_PARAMETER,
                     "a value seek needs 1 to " + std::to_string(keys) +
                         " values of the handle's sort order");
                return 0;
            }
            Tuple prefix;
            for (WORD i = 0; i < valueCount; ++i) {
                if (values[i].propid != db->keyProps[i]) {
                    Fail(call, ERROR_INVALID_PARAMETER,
                         "value " + std::to_string(i) + " is " + Hex(values[i].propid) +
                             ", but that key of the sort order is " + Hex(db->keyProps[i]));
                    return 0;
                }
                prefix.push_back(ToValue(values[i]));
            }
            // A value seek reads one record more, so the next one needs no query when no
            // other record matches.
            int c = seekType == CEDB_SEEK_VALUEFIRSTEQUAL || !db->positioned
                        ? 1
                        : order.ComparePrefix(prefix, db->pos);
            if (c > 0) {
                r = order.First(prefix, kSeekReadAhead, &rows);
                useRows = true;
            } else if (c == 0) {
                size_t at = 0;
                r = NextSharing(*db, valueCount, &at);
                if (r == 1) {
                    found = std::move(cache.ahead[at].row);
                    cache.next = at + 1;
                    fromCache = true;
                } else if (r < 0) {
                    r = order.After(db->pos, valueCount, kSeekReadAhead, &rows);
                    if (r == 0) cache.TakeAhead(&rows, 0);  // keeps that none follows
                    useRows = true;
                }
            }
            break;
        }
        default:
            Fail(call, ERROR_INVALID_PARAMETER, "unknown seek type " + Hex(seekType));
            return 0;
    }
    if (r < 0) return 0;
    if (r == 0) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return 0;
    }
    if (useRows) found = std::move(rows.rows.front());
    db->pos = order.PositionOf(found);
    db->positioned = true;
    db->advancePending = false;
    // A read of the record found, or of the ones after it, needs no query while nothing
    // else is written.
    if (!fromCache) {
        cache.ahead.clear();
        cache.next = 0;
        cache.tailFixed = tail;
        if (useRows) cache.TakeAhead(&rows, 1);
        cache.batch = cache.mark.stamp.valid ? kFirstReadAhead : 1;
    }
    cache.row = std::move(found);
    cache.haveRow = true;
    if (index) {
        if (seekType == CEDB_SEEK_BEGINNING) {
            *index = static_cast<DWORD>(value);
        } else {
            int64_t before = 0;
            if (order.CountBefore(db->pos, &before) == 1) *index = static_cast<DWORD>(before);
        }
    }
    return static_cast<CEOID>(Ordering::IdOf(db->pos));
}

CEOID CeReadRecordPropsEx(HANDLE h, DWORD flags, WORD* propCount, CEPROPID* propIds, BYTE** buffer,
                          DWORD* bufferSize, HANDLE /*heap*/) {
    const char* call = "CeReadRecordPropsEx";
    auto db = Lookup<DatabaseObject>(h, call, "database");
    if (!db) return 0;
    if (!propCount || !buffer || (propIds && *propCount == 0)) {
        Fail(call, ERROR_INVALID_PARAMETER, "a count, a buffer and property identifiers needed");
        return 0;
    }
    VolumeHold hold(*db->vol, call);
    if (!hold.ok() || !Mounted(*db->mount, call)) return 0;
    Ordering& order = *db->order;
    order.SetCall(call);
    if (!db->positioned) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return 0;
    }

    // Find the record: the current one, or after an auto-increment read the next that
    // exists now. Both come from the cache while it holds.
    RecordCache& cache = db->cache;
    cache.Refresh(*db->vol);
    if (!db->advancePending) {
        if (!cache.haveRow) {
            int r = order.ById(Ordering::IdOf(db->pos), &cache.row);
            if (r < 0) return 0;
            if (r == 0) {  // a record sought explicitly was deleted meanwhile
                db->advancePending = db->autoIncrement;
                SetLastError(ERROR_KEY_DELETED);
                return 0;
            }
            cache.haveRow = true;
        }
    } else {
        size_t at = 0;
        int known = NextSharing(*db, 0, &at);
        if (known < 0) {
            // Sequential reads ask for more rows at a time while they use up what they got.
            if (!cache.ahead.empty()) cache.batch = std::min(cache.batch * 4, kMostReadAhead);
            cedb::Found rows;
            int r = order.After(db->pos, 0, cache.batch, &rows);
            if (r < 0) return 0;
            cache.TakeAhead(&rows, 0);
            known = r > 0 ? 1 : 0;
            at = 0;
        }
        if (known == 0) {
            SetLastError(ERROR_NO_MORE_ITEMS);
            return 0;
        }
        cache.row = std::move(cache.ahead[at].row);
        cache.next = at + 1;
        cache.haveRow = true;
        db->advancePending = false;
    }
    const Tuple& row = cache.row;
    CEOID id = static_cast<CEOID>(row[0].i);
    order.SetPosition(row, &db->pos);  // the keys as they are now

    std::vector<OutProp>& out = db->out;
    size_t count = 0;
    auto add = [&](CEPROPID id) -> OutProp& {
        if (out.size() <= count) out.emplace_back();
        OutProp& o = out[count++];
        MakeOut(*db, row, id, &o);
        return o;
    };
    if (propIds) {
        for (WORD i = 0; i < *propCount; ++i) add(propIds[i]);
    } else {
        for (const cedb::PropInfo& p : db->schema.props) {
            if (add(p.id).flags & CEDB_PROPNOTFOUND) --count;  // only what the record has
        }
    }
    size_t need = count * kPropValSize;
    for (size_t i = 0; i < count; ++i) {
        if (out[i].isText) need += (out[i].units + 1) * sizeof(WCHAR);
    }
    if (need > 0xFFFFFFFFu || count > 0xFFFF) {
        Fail(call, ERROR_NOT_ENOUGH_MEMORY, "the record is too large to read at once");
        return 0;
    }
    DWORD have = bufferSize ? *bufferSize : 0;
    if (!*buffer || have < need) {
        if (!(flags & CEDB_ALLOWREALLOC)) {
            if (bufferSize) *bufferSize = static_cast<DWORD>(need);
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        BYTE* fresh = static_cast<BYTE*>(LocalAlloc(LMEM_FIXED, need));
        if (!fresh) {
            Fail(call, ERROR_NOT_ENOUGH_MEMORY, "no memory for the record");
            return 0;
        }
        if (*buffer) LocalFree(*buffer);  // the caller's block, allocated with LocalAlloc
        *buffer = fresh;
        if (bufferSize) *bufferSize = static_cast<DWORD>(need);
    }
    BYTE* base = *buffer;
    BYTE* texts = base + count * kPropValSize;
    for (size_t i = 0; i < count; ++i) {
        CEPROPVAL v{};
        v.propid = out[i].id;
        v.wFlags = out[i].flags;
        v.val = out[i].val;
        if (out[i].isText) {
            CopyOutText(out[i], texts);
            v.val.lpwstr = reinterpret_cast<LPWSTR>(texts);
            texts += (out[i].units + 1) * sizeof(WCHAR);
        }
        std::memcpy(base + i * kPropValSize, &v, kPropValSize);
    }
    *propCount = static_cast<WORD>(count);
    db->advancePending = db->autoIncrement;
    return id;
}

CEOID CeWriteRecordProps(HANDLE h, CEOID oid, WORD propCount, CEPROPVAL* values) {
    const char* call = "CeWriteRecordProps";
    auto db = Lookup<DatabaseObject>(h, call, "database");
    if (!db) return 0;
    if (propCount > 0 && !values) {
        Fail(call, ERROR_INVALID_PARAMETER, "no values");
        return 0;
    }
    const cedb::DbSchema& schema = db->schema;
    std::vector<Value> given(schema.props.size());
    std::vector<bool> present(schema.props.size(), false);
    for (WORD i = 0; i < propCount; ++i) {
        int p = schema.FindProp(values[i].propid);
        if (p < 0) {
            Fail(call, ERROR_INVALID_PARAMETER,
                 "property " + Hex(values[i].propid) + " is not declared in database " +
                     ToUtf8(schema.name));
            return 0;
        }
        if (TypeFromPropId(values[i].propid) == CEVT_AUTO_I4) {
            Fail(call, ERROR_INVALID_PARAMETER,
                 "property " + Hex(values[i].propid) + " is assigned by the store");
            return 0;
        }
        present[static_cast<size_t>(p)] = true;
        given[static_cast<size_t>(p)] =
            (values[i].wFlags & CEDB_PROPDELETE) ? Value{} : ToValue(values[i]);
    }

    VolumeHold hold(*db->vol, call);
    if (!hold.ok() || !Mounted(*db->mount, call)) return 0;
    Stmt* s = nullptr;
    if (oid == 0) {
        s = db->insert;
        int param = 1;
        for (size_t p = 0; p < schema.props.size(); ++p) {
            if (schema.props[p].column == cedb::kIdColumn) continue;
            s->Bind(param++, given[p]);
        }
    } else {
        std::vector<int> written;
        for (size_t p = 0; p < schema.props.size(); ++p) {
            if (present[p]) written.push_back(static_cast<int>(p));
        }
        if (written.empty()) {  // nothing to change: only check that the record is there
            Tuple row;
            db->order->SetCall(call);
            int r = db->order->ById(oid, &row);
            if (r == 1) return oid;
            if (r == 0) Fail(call, ERROR_FILE_NOT_FOUND, "there is no record " + Hex(oid));
            return 0;
        }
        Stmt*& cached = db->updates[written];
        if (!cached) {
            std::string sql = "UPDATE " + schema.table + " SET ";
            for (size_t i = 0; i < written.size(); ++i) {
                sql += (i ? ", " : "") + schema.props[static_cast<size_t>(written[i])].column +
                       " = ?" + std::to_string(i + 1);
            }
            sql += " WHERE " + std::string(cedb::kIdColumn) + " = ?" +
                   std::to_string(written.size() + 1) + " RETURNING " + cedb::kIdColumn;
            cached = db->vol->Prepare(sql, call);
            if (!cached) return 0;
        }
        s = cached;
        for (size_t i = 0; i < written.size(); ++i) {
            s->Bind(static_cast<int>(i + 1), given[static_cast<size_t>(written[i])]);
        }
        s->BindInt(static_cast<int>(written.size() + 1), oid);
    }
    const bool adding = oid == 0;
    WriteResult w = RunWrite(*db->vol, s, adding, call);
    NoteWrite(*db->vol, schema.oid, w, adding && w.id > 0 ? 1 : 0);
    const int64_t id = w.id;
    if (id < 0) return 0;
    if (id == 0) {
        Fail(call, ERROR_FILE_NOT_FOUND, "there is no record " + Hex(oid));
        return 0;
    }
    if (id > 0xFFFFFFFFll) {
        Fail(call, ERROR_DISK_FULL,
             "record identifiers of database " + ToUtf8(schema.name) + " are used up");
        return 0;
    }
    return static_cast<CEOID>(id);
}

BOOL CeDeleteRecord(HANDLE h, CEOID oid) {
    const char* call = "CeDeleteRecord";
    auto db = Lookup<DatabaseObject>(h, call, "database");
    if (!db) return FALSE;
    VolumeHold hold(*db->vol, call);
    if (!hold.ok() || !Mounted(*db->mount, call)) return FALSE;
    db->remove->BindInt(1, oid);
    WriteResult w = RunWrite(*db->vol, db->remove, true, call);
    NoteWrite(*db->vol, db->schema.oid, w, w.id > 0 ? -1 : 0);
    const int64_t id = w.id;
    if (id < 0) return FALSE;
    if (id == 0) {
        Fail(call, ERROR_FILE_NOT_FOUND, "there is no record " + Hex(oid));
        return FALSE;
    }
    // When the cache was right as the write began, this delete is all that changed.
    RecordCache& cache = db->cache;
    if (Volume::CarryOver(&cache.mark, w.change)) {
        for (size_t i = cache.next; i < cache.ahead.size(); ++i) {
            if (cache.ahead[i].row[0].i == id) cache.ahead[i].deleted = true;
        }
        if (cache.haveRow && cache.row[0].i == id) cache.haveRow = false;
    }
    return TRUE;  // the position stays, so the next step finds the record after it
}

// --- Memory --------------------------------------------------------------------------------

void* LocalAlloc(UINT flags, size_t bytes) {
    if (bytes == 0) bytes = 1;
    void* p = (flags & LPTR) ? std::calloc(1, bytes) : std::malloc(bytes);
    if (!p) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return p;
}

void* LocalFree(void* mem) {
    std::free(mem);
    return nullptr;
}
