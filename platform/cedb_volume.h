// Volumes of the property database: one SQLite connection per mount, the table of mounted
// volumes, and the catalog of the databases a volume holds. Internal to the property
// database; see docs/property-database.md for the file layout.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/cedb.h"
#include "platform/cedb_sqlite.h"
#include "platform/wstr.h"

namespace cedb {

// One mount of a volume file.
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

    std::mutex mu;          // held by every call that uses the connection or a handle on it
    sqlite3* db = nullptr;  // this mount's connection, owned
    sqlite3_file* mainFile = nullptr;  // the connection's volume file, for its stamp
    CEGUID guid{};                     // the identifier the mount returned
    std::string hostPath;              // the volume file
    bool mounted = true;               // cleared by the unmount; handles still open then fail

  private:
    std::unordered_map<std::string, std::unique_ptr<Stmt>> stmts_;  // by SQL text
};

// Opens the host file as a volume following disposition (OPEN_ALWAYS and the others of
// CreateFile). Null, traced and with the last error set, when the file is not a volume or
// cannot be opened; a missing or empty file becomes an empty volume.
std::shared_ptr<Volume> OpenVolume(const std::string& hostPath, DWORD disposition);

// Enters a volume into the table of mounts and gives it a new identifier.
void RegisterVolume(const std::shared_ptr<Volume>& vol);
// The mounted volume of guid; null (traced, ERROR_INVALID_PARAMETER) when there is none.
std::shared_ptr<Volume> FindVolume(const CEGUID* guid, const char* call);
// Takes the volume of guid out of the table; null when it is not mounted.
std::shared_ptr<Volume> RemoveVolume(const CEGUID* guid);
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
