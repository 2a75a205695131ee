// Positions and searches in one sort order of a database. Internal to the property database.
//
// The records of a sort order are ordered by its keys, then by record identifier (ascending)
// so that equal keys keep the order the records were added in. A position is the tuple of a
// record's key values ending with its identifier; it stays usable when its record is deleted.
// A missing property is NULL and sorts first in an ascending key, last in a descending one.
// Every search is a single query that the sort order's index answers; finding the next
// record tries the deepest key level first (same keys, later identifier), then one key up.
// Searches return whole record rows (the identifier, then the property columns), so a
// record found needs no second query to be read.
#pragma once

#include <string>
#include <unordered_map>
#include <vector>

#include "platform/cedb_sqlite.h"
#include "platform/cedb_volume.h"

namespace cedb {

struct OrderKey {
    std::string column;  // the key's column
    bool desc;           // descending
};

constexpr size_t kUnknownTail = static_cast<size_t>(-1);

// Records found by one search, and what the search learnt about the records after them.
struct Found {
    std::vector<Tuple> rows;          // record rows, in order, directly following each other
    size_t tailFixed = kUnknownTail;  // no record after the last row (or after the search's
                                      // start when there is none) shares that row's first
                                      // tailFixed keys; 0: no record follows at all
};

class Ordering {
  public:
    // keys: the sort order's keys, most significant first (none: record order). rowColumns:
    // the columns of a record row, the identifier first. dbOid names the database in the
    // catalog, whose record count makes offsets near the far end cheap.
    Ordering(Volume* vol, CEOID dbOid, std::string table, std::vector<OrderKey> keys,
             std::vector<std::string> rowColumns, const char* call);

    void SetCall(const char* call) { call_ = call; }  // names the API call in traces
    size_t KeyCount() const { return declared_; }     // keys of the sort order
    size_t Width() const { return cols_.size(); }     // values in a position
    static int64_t IdOf(const Tuple& pos) { return pos.back().i; }
    // The position of a record row found by one of the searches.
    Tuple PositionOf(const Tuple& row) const;
    // Stores it into *pos, reusing its storage.
    void SetPosition(const Tuple& row, Tuple* pos) const;

    // The searches return 1 (or the number of rows found) with the result set, 0 when there
    // is no such record, and -1 after a traced failure.
    // Up to `limit` of the first records whose leading keys equal prefix (all records for an
    // empty prefix), with one query.
    int First(const Tuple& prefix, size_t limit, Found* out);
    // The record after (or before) from, among those sharing from's first `fixed` keys.
    int Next(const Tuple& from, size_t fixed, bool forward, Tuple* row);
    // Up to `limit` of the records that follow from, among those sharing from's first
    // `fixed` keys, with one query per key level until one finds any.
    int After(const Tuple& from, size_t fixed, size_t limit, Found* out);
    // The record offset places from the start (or from the end), with one query that walks
    // from whichever end of the order is nearer. *last tells that no record follows it.
    int AtOffset(bool fromEnd, int64_t offset, Tuple* row, bool* last);
    int ById(int64_t id, Tuple* row);
    // True when row's first n keys equal those of position pos.
    bool SharesKeys(const Tuple& row, const Tuple& pos, size_t n) const;
    // How many records come before position at.
    int CountBefore(const Tuple& at, int64_t* out);
    // <0, 0, >0 as prefix sorts before, level with or after the leading keys of pos.
    int ComparePrefix(const Tuple& prefix, const Tuple& pos) const;

  private:
    enum Test { kGreater, kLess, kNotNull, kIsNull };
    // The tests of level `level` that select the records after value v, in search order.
    std::vector<Test> TestsAfter(size_t level, bool forward, const Value& v) const;
    std::string OrderBy(size_t from, bool forward) const;
    Stmt* LevelQuery(size_t level, Test test, bool forward, bool count);
    // Runs one level's queries after from, deepest first, until one finds records.
    int Search(const Tuple& from, size_t fixed, bool forward, size_t limit, Found* out);
    // Steps s for up to limit rows; the count, or -1 after a traced failure.
    int FetchRows(Stmt* s, size_t limit, std::vector<Tuple>* rows);
    // One row; extra, when given, receives the integer in the column after the row's.
    int FetchRow(Stmt* s, Tuple* row, int64_t* extra = nullptr);

    Volume* vol_;                   // owns the statements; outlives this object
    CEOID dbOid_;                   // the database in the catalog
    std::string table_;             // the records table
    std::vector<OrderKey> cols_;    // the keys, then the identifier unless it is the last key
    size_t declared_;               // keys of the sort order
    size_t rowWidth_;               // columns a search selects
    std::vector<size_t> posIndex_;  // per position value: its column in a row
    std::string select_;            // selects a record row from the table
    const char* call_;              // the API call being served, for traces
    std::vector<Stmt*> first_;      // by prefix length
    std::unordered_map<uint32_t, Stmt*> levels_;  // by level, test, direction and count
    Stmt* offset_[2] = {nullptr, nullptr};        // from the start, from the end
    Stmt* byId_ = nullptr;                        // one record by identifier
};

}  // namespace cedb
