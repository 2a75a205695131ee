// Volumes of the property database: one SQLite connection per volume file and process, the
// table of mounts, transactions, and the catalog of the databases a volume holds. Internal to the
// property database; see docs/property-database.md for the file layout.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/cedb.h"
#include "platform/cedb_sqlite.h"
#include "platform/wstr.h"

namespace cedb {

// FILETIME now, in SQL: 100 ns units since 1601-01-01 (Julian day 2305813.5). Within one
// statement, triggers included, it gives the same value every time.
constexpr const char* kNowSql = "CAST((julianday('now') - 2305813.5) * 864000000000.0 AS INTEGER)";

// When a cache of what the volume holds was filled: the file's stamp and the number of writes
// this process had made through the connection. While both are unchanged nothing was written,
// also inside a transaction, where the stamp stands still until the commit.
struct CacheMark {
    ChangeStamp stamp;    // the volume file's stamp
    uint64_t writes = 0;  // Volume::writes
};

// The volume as it was right before and right after one write of this connection.
struct OwnWrite {
    CacheMark before;  // a cache right then is right after the write once its effect is added
    CacheMark after;   // what such a cache is marked with then
};

// What the catalog said about one database, and when.
struct KnownInfo {
    CEDBASEINFOEX info;  // as CeGetDBInformationByHandle returns it
    CacheMark mark;      // right while this holds
};

// This process's connection to one volume file, shared by every mount of the file, so that a
// transaction covers the writes made through any of them.
class Volume {
  public:
    Volume() = default;
    ~Volume();
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    // The cached statement for sql, prepared on first use; null after a traced failure.
    // Call with mu held.
    Stmt* Prepare(const std::string& sql, const char* call);
    // Runs SQL that returns no rows; false after a traced failure. Call with mu held.
    bool Exec(const std::string& sql, const char* call);

    // The stamp of the volume file now; see ChangeStamp. Call with mu held.
    ChangeStamp Stamp() const { return TakeStamp(mainFile); }
    // What a cache filled now is marked with. Call with mu held.
    CacheMark Mark() const { return CacheMark{Stamp(), writes}; }
    // True when nothing was written since mark was taken. Call with mu held.
    bool Holds(const CacheMark& mark) const {
        return mark.writes == writes && mark.stamp.Same(Stamp());
    }
    // Counts a write of this connection that just ended, whether or not it changed anything,
    // and tells what the volume was right before and after it. Call with mu held.
    OwnWrite Wrote();
    // Moves a cache that was right just before w over to right after it (the caller adds the
    // write's effect); false when it was not right then and must be filled again.
    static bool CarryOver(CacheMark* mark, const OwnWrite& w);

    bool InTransaction() const { return txnOwner != std::thread::id(); }
    bool OwnsTransaction() const { return txnOwner == std::this_thread::get_id(); }
    // Ends the open transaction's bookkeeping (not the SQL) and wakes the threads waiting for
    // it. Call with mu held.
    void TransactionEnded();

    std::mutex mu;          // held by every call that uses the connection or a handle on it
    sqlite3* db = nullptr;  // the file's connection in this process, owned
    sqlite3_file* mainFile = nullptr;  // the connection's volume file, for its stamp
    std::string hostPath;              // the volume file
    uint64_t writes = 0;               // writes and transaction ends of this connection so far
    std::thread::id txnOwner;          // the thread whose transaction is open; none: no thread
    const void* txnSession = nullptr;  // the session it was begun on
    DWORD txnError = ERROR_SUCCESS;    // set once a failed write made SQLite roll it back
    std::condition_variable txnEnded;  // notified when a transaction ends
    std::unordered_map<CEOID, KnownInfo> infos;  // by database, what the catalog said last

  private:
    std::unordered_map<std::string, std::unique_ptr<Stmt>> stmts_;  // by SQL text
};

// One mount: its identifier and whether it is still mounted.
struct Mount {
    std::shared_ptr<Volume> vol;  // the file's connection
    CEGUID guid{};                // the identifier the mount returned
    bool mounted = true;          // cleared by the unmount, with vol->mu held; handles then fail
};

// Holds a volume for one call: its mutex, once no other thread's transaction is open on it.
// A transaction kept open for longer than a busy writer may hold the file fails the call
// with ERROR_TIMEOUT (traced).
class VolumeHold {
  public:
    VolumeHold(Volume& vol, const char* call);
    bool ok() const { return ok_; }

  private:
    std::unique_lock<std::mutex> lock_;  // vol.mu
    bool ok_ = false;                    // the volume is held
};

// The connection to the host file, following disposition (OPEN_ALWAYS and the others of
// CreateFile): the one this process has open on that file already, or a new one. Null,
// traced and with the last error set, when the file is not a volume or cannot be opened; a
// missing or empty file becomes an empty volume.
std::shared_ptr<Volume> OpenVolume(const std::string& hostPath, DWORD disposition);

// Enters a mount of vol into the table of mounts with a new identifier.
std::shared_ptr<Mount> AddMount(const std::shared_ptr<Volume>& vol);
// The mount of guid; null (traced, ERROR_INVALID_PARAMETER) when there is none.
std::shared_ptr<Mount> FindMount(const CEGUID* guid, const char* call);
// Takes the mount of guid out of the table; null when it is not mounted.
std::shared_ptr<Mount> RemoveMount(const CEGUID* guid);
bool SameGuid(const CEGUID& a, const CEGUID& b);

struct PropInfo {
    CEPROPID id;         // number << 16 | type
    WString name;        // as declared
    std::string column;  // its column in the records table
};

// What the catalog says about one database.
struct DbSchema {
    CEOID oid = 0;                       // the database's object identifier
    WString name;                        // its name
    DWORD type = 0;                      // its database type
    std::string table;                   // its records table
    std::vector<PropInfo> props;         // declared properties, in declaration order
    std::vector<SORTORDERSPECEX> sorts;  // declared sort orders, in order

    int FindProp(CEPROPID id) const;  // index into props, or -1
};

// The records table's column for a property; "ceoid" (the record identifier, which grows
// with every record added) for the store-assigned counter.
std::string ColumnOf(CEPROPID id);
constexpr const char* kIdColumn = "ceoid";

// Catalog operations, all called with vol.mu held. Failures are traced and set the last
// error; a database that does not exist gives ERROR_FILE_NOT_FOUND.
CEOID FindDatabaseByName(Volume& vol, LPCWSTR name, const char* call);  // 0: none
bool LoadSchema(Volume& vol, CEOID oid, DbSchema* out, const char* call);
CEOID CreateDatabase(Volume& vol, const CEDBASEINFOEX& info, DWORD propCount,
                     const CEPROPSPEC* props);
bool DeleteDatabase(Volume& vol, CEOID oid);
// The first database after `after` (0: from the start) of type `type` (0: any); 0 when none.
CEOID NextDatabase(Volume& vol, CEOID after, DWORD type, const char* call);
// Fills info from the catalog; sorts, when given, spare reading the sort orders again.
bool ReadDatabaseInfo(Volume& vol, CEOID oid, const std::vector<SORTORDERSPECEX>* sorts,
                      CEDBASEINFOEX* info, const char* call);

}  // namespace cedb
