// SQLite helpers of the property database: statements, column values, the mapping of SQLite
// results to Win32 errors and the file layer the volumes are opened through. Internal to
// the property database.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/types.h"

namespace cedb {

// The SQLite file layer every volume is opened with: the default one, with each write and
// sync offered to the fault hook of cedb_faults.h first.
const char* VfsName();

// One column value as SQLite keeps it.
struct Value {
    enum Kind : uint8_t { kNull, kInt, kText };
    Kind kind = kNull;  // which member below holds the value
    int64_t i = 0;      // kInt
    std::string text;   // kText, UTF-8
};
using Tuple = std::vector<Value>;

// Orders values as SQLite's BINARY collation does: NULL, then integers, then texts bytewise.
int CompareValues(const Value& a, const Value& b);

// What a connection can tell, without a lock or a system call, about whether its volume
// file changed: a copy of the header of the write-ahead log's shared index. Every commit,
// by any connection in any process, rewrites that header before the write returns, so a
// stamp equal to one taken earlier means nothing was written in between.
struct ChangeStamp {
    uint32_t words[12] = {};  // the header's first copy, as found
    bool valid = false;       // false: the file has no shared index, so nothing can be told

    // True only when both stamps are valid and equal.
    bool Same(const ChangeStamp& other) const {
        return valid && other.valid && std::memcmp(words, other.words, sizeof words) == 0;
    }
};

// The stamp of a volume file opened through our file layer (file: its main file);
// invalid before the connection first used the log or when the file is not in WAL mode.
ChangeStamp TakeStamp(sqlite3_file* file);
// The stamps of the file when this connection last took and last released the write
// lock. Nobody else commits in between, so after a write of this connection they show
// exactly what that write changed: the volume went from *before to *after by it alone.
void LastWriteStamps(sqlite3_file* file, ChangeStamp* before, ChangeStamp* after);
// The main file of a connection when it was opened through our file layer, else null.
sqlite3_file* MainFileOf(sqlite3* db);

DWORD Win32ErrorOfSqlite(int rc);
// Traces "[Platform] <call>: <what>: <SQLite message>" and sets the matching last error.
void FailSql(const char* call, const char* what, sqlite3* db, int rc);

// A prepared statement of one connection. Callers reset it after every use (StmtScope), so
// no read snapshot outlives a call and other connections' writes are seen at once.
class Stmt {
  public:
    explicit Stmt(sqlite3_stmt* s) : s_(s) {}
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;

    void BindInt(int i, int64_t v) { sqlite3_bind_int64(s_, i, v); }
    void BindNull(int i) { sqlite3_bind_null(s_, i); }
    void BindText(int i, const std::string& utf8);
    void Bind(int i, const Value& v);
    int Step() { return sqlite3_step(s_); }  // SQLITE_ROW, SQLITE_DONE or an error
    Value Column(int i) const;
    int64_t ColumnInt(int i) const { return sqlite3_column_int64(s_, i); }
    void Reset() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }

  private:
    sqlite3_stmt* s_;  // owned
};

// Resets a statement when the scope that used it ends.
class StmtScope {
  public:
    explicit StmtScope(Stmt* s) : s_(s) {}
    ~StmtScope() {
        if (s_) s_->Reset();
    }
    StmtScope(const StmtScope&) = delete;
    StmtScope& operator=(const StmtScope&) = delete;

  private:
    Stmt* s_;  // not owned
};

}  // namespace cedb
