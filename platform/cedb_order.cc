#include "platform/cedb_order.h"

namespace cedb {
namespace {

// The parameter of a search's row limit; the key values take ?1 up to ?17.
constexpr int kLimitParam = CEDB_MAXSORTPROP + 4;

}  // namespace

Ordering::Ordering(Volume* vol, CEOID dbOid, std::string table, std::vector<OrderKey> keys,
                   std::vector<std::string> rowColumns, const char* call)
    : vol_(vol), dbOid_(dbOid), table_(std::move(table)), cols_(std::move(keys)), call_(call) {
    declared_ = cols_.size();
    if (cols_.empty() || cols_.back().column != kIdColumn) {
        cols_.push_back(OrderKey{kIdColumn, false});
    }
    if (rowColumns.empty() || rowColumns.front() != kIdColumn) {
        rowColumns.insert(rowColumns.begin(), kIdColumn);
    }
    // Every key is a declared property, so a row holds it; a key that is not is selected
    // after the row's own columns.
    for (const OrderKey& key : cols_) {
        size_t at = 0;
        while (at < rowColumns.size() && rowColumns[at] != key.column) ++at;
        if (at == rowColumns.size()) rowColumns.push_back(key.column);
        posIndex_.push_back(at);
    }
    rowWidth_ = rowColumns.size();
    select_ = "SELECT ";
    for (size_t i = 0; i < rowColumns.size(); ++i) {
        if (i) select_ += ", ";
        select_ += rowColumns[i];
    }
    select_ += " FROM " + table_;
    first_.assign(declared_ + 1, nullptr);
}

Tuple Ordering::PositionOf(const Tuple& row) const {
    Tuple pos;
    SetPosition(row, &pos);
    return pos;
}

void Ordering::SetPosition(const Tuple& row, Tuple* pos) const {
    pos->resize(cols_.size());
    for (size_t i = 0; i < cols_.size(); ++i) {
        (*pos)[i] = posIndex_[i] < row.size() ? row[posIndex_[i]] : Value{};
    }
}

std::string Ordering::OrderBy(size_t from, bool forward) const {
    std::string sql = " ORDER BY ";
    for (size_t i = from; i < cols_.size(); ++i) {
        if (i > from) sql += ", ";
        sql += cols_[i].column + (cols_[i].desc == forward ? " DESC" : " ASC");
    }
    return sql;
}

std::vector<Ordering::Test> Ordering::TestsAfter(size_t level, bool forward, const Value& v) const {
    // SQLite puts NULL first in ascending order, so last in descending order. The record
    // identifier is never NULL.
    bool desc = cols_[level].desc == forward;
    if (!desc) return {v.kind == Value::kNull ? kNotNull : kGreater};
    if (v.kind == Value::kNull) return {};
    if (cols_[level].column == kIdColumn) return {kLess};
    return {kLess, kIsNull};
}

Stmt* Ordering::LevelQuery(size_t level, Test test, bool forward, bool count) {
    uint32_t key = static_cast<uint32_t>(level) << 4 | static_cast<uint32_t>(test) << 2 |
                   (forward ? 2u : 0u) | (count ? 1u : 0u);
    auto it = levels_.find(key);
    if (it != levels_.end()) return it->second;
    std::string sql = count ? "SELECT count(*) FROM " + table_ : select_;
    sql += " WHERE ";
    for (size_t i = 0; i < level; ++i) {
        sql += cols_[i].column + " IS ?" + std::to_string(i + 1) + " AND ";
    }
    sql += cols_[level].column;
    switch (test) {
        case kGreater:
            sql += " > ?" + std::to_string(level + 1);
            break;
        case kLess:
            sql += " < ?" + std::to_string(level + 1);
            break;
        case kNotNull:
            sql += " IS NOT NULL";
            break;
        case kIsNull:
            sql += " IS NULL";
            break;
    }
    if (!count) sql += OrderBy(level, forward) + " LIMIT ?" + std::to_string(kLimitParam);
    Stmt* s = vol_->Prepare(sql, call_);
    if (s) levels_.emplace(key, s);
    return s;
}

int Ordering::FetchRows(Stmt* s, size_t limit, std::vector<Tuple>* rows) {
    StmtScope scope(s);
    int got = 0;
    for (; static_cast<size_t>(got) < limit; ++got) {
        int rc = s->Step();
        if (rc == SQLITE_DONE) break;
        if (rc != SQLITE_ROW) {
            // Rows already found are good; the next search meets the failure again.
            if (got > 0) break;
            FailSql(call_, "searching the records", vol_->db, rc);
            return -1;
        }
        Tuple& row = rows->emplace_back(rowWidth_);
        for (size_t i = 0; i < rowWidth_; ++i) row[i] = s->Column(static_cast<int>(i));
    }
    return got;
}

int Ordering::FetchRow(Stmt* s, Tuple* row, int64_t* extra) {
    StmtScope scope(s);
    int rc = s->Step();
    if (rc == SQLITE_DONE) return 0;
    if (rc != SQLITE_ROW) {
        FailSql(call_, "searching the records", vol_->db, rc);
        return -1;
    }
    row->resize(rowWidth_);
    for (size_t i = 0; i < rowWidth_; ++i) (*row)[i] = s->Column(static_cast<int>(i));
    if (extra) *extra = s->ColumnInt(static_cast<int>(rowWidth_));
    return 1;
}

int Ordering::First(const Tuple& prefix, size_t limit, Found* out) {
    out->rows.clear();
    out->tailFixed = kUnknownTail;
    size_t m = prefix.size() < first_.size() ? prefix.size() : first_.size() - 1;
    Stmt*& s = first_[m];
    if (!s) {
        std::string sql = select_;
        for (size_t i = 0; i < m; ++i) {
            sql += (i ? " AND " : " WHERE ") + cols_[i].column + " IS ?" + std::to_string(i + 1);
        }
        sql += OrderBy(0, true) + " LIMIT ?" + std::to_string(kLimitParam);
        s = vol_->Prepare(sql, call_);
        if (!s) return -1;
    }
    for (size_t i = 0; i < m; ++i) s->Bind(static_cast<int>(i + 1), prefix[i]);
    s->BindInt(kLimitParam, static_cast<int64_t>(limit));
    int r = FetchRows(s, limit, &out->rows);
    // The records that match are together in the order: fewer than asked were all of them.
    if (r > 0 && static_cast<size_t>(r) < limit) out->tailFixed = m;
    return r;
}

int Ordering::Search(const Tuple& from, size_t fixed, bool forward, size_t limit, Found* out) {
    out->rows.clear();
    out->tailFixed = kUnknownTail;
    if (from.size() != cols_.size() || limit == 0) return 0;
    for (size_t level = cols_.size(); level-- > fixed;) {
        std::vector<Test> tests = TestsAfter(level, forward, from[level]);
        for (size_t t = 0; t < tests.size(); ++t) {
            Stmt* s = LevelQuery(level, tests[t], forward, false);
            if (!s) return -1;
            size_t bound = (tests[t] == kGreater || tests[t] == kLess) ? level + 1 : level;
            for (size_t i = 0; i < bound; ++i) s->Bind(static_cast<int>(i + 1), from[i]);
            s->BindInt(kLimitParam, static_cast<int64_t>(limit));
            // The records of the first level that has any directly follow from in the order.
            int r = FetchRows(s, limit, &out->rows);
            if (r == 0) continue;
            // Fewer than asked, from the level's last query: no later record shares the
            // level's fixed keys.
            if (r > 0 && static_cast<size_t>(r) < limit && t + 1 == tests.size()) {
                out->tailFixed = level;
            }
            return r;
        }
    }
    out->tailFixed = fixed;
    return 0;
}

int Ordering::Next(const Tuple& from, size_t fixed, bool forward, Tuple* row) {
    Found found;
    int r = Search(from, fixed, forward, 1, &found);
    if (r == 1) *row = std::move(found.rows.front());
    return r;
}

int Ordering::After(const Tuple& from, size_t fixed, size_t limit, Found* out) {
    return Search(from, fixed, true, limit, out);
}

bool Ordering::SharesKeys(const Tuple& row, const Tuple& pos, size_t n) const {
    for (size_t i = 0; i < n && i < cols_.size() && i < pos.size(); ++i) {
        if (posIndex_[i] >= row.size() || CompareValues(row[posIndex_[i]], pos[i]) != 0) {
            return false;
        }
    }
    return true;
}

int Ordering::AtOffset(bool fromEnd, int64_t offset, Tuple* row, bool* last) {
    *last = false;
    Stmt*& s = offset_[fromEnd ? 1 : 0];
    if (!s) {
        // SQLite steps over every record an offset skips, so the query walks from the nearer
        // end. The catalog's record count is read in the same query, so the two agree; it
        // comes back after the row's columns.
        std::string count =
            "(SELECT records FROM cedb_databases WHERE oid = " + std::to_string(dbOid_) + ")";
        std::string sql = "SELECT *, " + count + " FROM (SELECT * FROM (" + select_ +
                          OrderBy(0, !fromEnd) + " LIMIT (CASE WHEN 2 * ?1 < " + count +
                          " THEN 1 ELSE 0 END) OFFSET ?1) UNION ALL SELECT * FROM (" + select_ +
                          OrderBy(0, fromEnd) + " LIMIT (CASE WHEN 2 * ?1 >= " + count +
                          " AND ?1 < " + count + " THEN 1 ELSE 0 END) OFFSET " + count +
                          " - 1 - ?1))";
        s = vol_->Prepare(sql, call_);
        if (!s) return -1;
    }
    s->BindInt(1, offset);
    int64_t records = 0;
    int r = FetchRow(s, row, &records);
    if (r == 1) *last = fromEnd ? offset == 0 : offset == records - 1;
    return r;
}

int Ordering::ById(int64_t id, Tuple* row) {
    if (!byId_) {
        byId_ = vol_->Prepare(select_ + " WHERE " + kIdColumn + " = ?1", call_);
        if (!byId_) return -1;
    }
    byId_->BindInt(1, id);
    return FetchRow(byId_, row);
}

int Ordering::CountBefore(const Tuple& at, int64_t* out) {
    *out = 0;
    if (at.size() != cols_.size()) return 0;
    for (size_t level = cols_.size(); level-- > 0;) {
        for (Test test : TestsAfter(level, false, at[level])) {
            Stmt* s = LevelQuery(level, test, false, true);
            if (!s) return -1;
            StmtScope scope(s);
            size_t bound = (test == kGreater || test == kLess) ? level + 1 : level;
            for (size_t i = 0; i < bound; ++i) s->Bind(static_cast<int>(i + 1), at[i]);
            int rc = s->Step();
            if (rc != SQLITE_ROW) {
                FailSql(call_, "counting the records", vol_->db, rc);
                return -1;
            }
            *out += s->ColumnInt(0);
        }
    }
    return 1;
}

int Ordering::ComparePrefix(const Tuple& prefix, const Tuple& pos) const {
    for (size_t i = 0; i < prefix.size() && i < pos.size() && i < cols_.size(); ++i) {
        int c = CompareValues(prefix[i], pos[i]);
        if (cols_[i].desc) c = -c;
        if (c != 0) return c;
    }
    return 0;
}

}  // namespace cedb
