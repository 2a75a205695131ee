// The property database through its calls: volumes, databases, records, sort orders and
// seeks on real volume files; several mounts, threads and processes on one file; damaged
// files and injected disk faults; transactions across mounts, threads and failed commits.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/cedb.h"
#include "platform/cedb_faults.h"
#include "platform/devpath.h"
#include "platform/handle.h"
#include "platform/wstr.h"
#include "tests/support/child_process.h"
#include "tests/support/test_env.h"

namespace {

constexpr LPCWSTR kVolume = u"\\Windows\\Test.vol";

constexpr CEPROPID kIndex = MakePropId(0, CEVT_AUTO_I4);
constexpr CEPROPID kSize = MakePropId(1, CEVT_UI4);
constexpr CEPROPID kName = MakePropId(2, CEVT_LPWSTR);
constexpr CEPROPID kTaken = MakePropId(3, CEVT_FILETIME);
constexpr CEPROPID kKind = MakePropId(4, CEVT_UI2);
constexpr CEPROPID kDelta = MakePropId(5, CEVT_I2);
constexpr CEPROPID kOffset = MakePropId(6, CEVT_I4);
// The database "Log" of the cedb writer of tests/writers.cc (sorted by tag, then sequence).
constexpr CEPROPID kSeq = MakePropId(1, CEVT_UI4);
constexpr CEPROPID kTag = MakePropId(2, CEVT_LPWSTR);

using Ids = std::vector<CEOID>;
using Names = std::vector<WString>;
using Nums = std::vector<int64_t>;
using PropIds = std::vector<CEPROPID>;

struct Key {
    CEPROPID id;  // key property
    bool desc;    // descending
};
using SortSpec = std::vector<Key>;

struct PropDecl {
    CEPROPID id;           // identifier
    const char16_t* name;  // declared name
};

// "Shots": every value type; sort order 0 newest first, sort order 1 by size, time, name and
// kind (the shape of the upload history).
const std::vector<PropDecl> kShotProps = {{kIndex, u"Index"},  {kSize, u"Size"}, {kName, u"Name"},
                                          {kTaken, u"Taken"},  {kKind, u"Kind"}, {kDelta, u"Delta"},
                                          {kOffset, u"Offset"}};
const std::vector<SortSpec> kShotSorts = {
    {{kIndex, true}}, {{kSize, false}, {kTaken, false}, {kName, false}, {kKind, false}}};

// The description of a new database.
CEDBASEINFOEX Describe(LPCWSTR name, const std::vector<SortSpec>& sorts, DWORD type) {
    CEDBASEINFOEX info{};
    info.wVersion = 2;
    info.dwFlags = CEDB_VALIDNAME | CEDB_VALIDTYPE | CEDB_VALIDSORTSPEC | CEDB_VALIDDBFLAGS;
    WStrCopyN(info.szDbaseName, name, CEDB_MAXDBASENAMELEN);
    info.dwDbaseType = type;
    info.wNumSortOrder = static_cast<WORD>(sorts.size());
    for (size_t i = 0; i < sorts.size() && i < CEDB_MAXSORTORDER; ++i) {
        info.rgSortSpecs[i].wVersion = 2;
        info.rgSortSpecs[i].wNumProps = static_cast<WORD>(sorts[i].size());
        for (size_t k = 0; k < sorts[i].size(); ++k) {
            info.rgSortSpecs[i].rgPropID[k] = sorts[i][k].id;
            info.rgSortSpecs[i].rgdwFlags[k] = sorts[i][k].desc ? CEDB_SORT_DESCENDING : 0;
        }
    }
    return info;
}

CEOID CreateDb(CEGUID* g, LPCWSTR name, const std::vector<PropDecl>& props,
               const std::vector<SortSpec>& sorts, DWORD type = 0) {
    CEDBASEINFOEX info = Describe(name, sorts, type);
    std::vector<WString> names;
    for (const PropDecl& p : props) names.emplace_back(p.name);
    std::vector<CEPROPSPEC> specs;
    for (size_t i = 0; i < props.size(); ++i) {
        specs.push_back(CEPROPSPEC{1, props[i].id, 0, names[i].data(),
                                   static_cast<DWORD>(names[i].size() + 1)});
    }
    return CeCreateDatabaseWithProps(g, &info, static_cast<DWORD>(specs.size()), specs.data());
}

// Opens a handle the way a client does: learns the sort orders from the database
// information, then opens with sort order sortIndex (-1: none), in session (or none).
HANDLE OpenDb(CEGUID* g, LPCWSTR name, int sortIndex, bool autoIncrement,
              HANDLE session = nullptr) {
    CEOID oid = 0;
    HANDLE probe = CeOpenDatabaseInSession(nullptr, g, &oid, name, nullptr, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return probe;
    CEDBASEINFOEX info{};
    BOOL ok = CeGetDBInformationByHandle(probe, &info);
    CloseHandle(probe);
    if (!ok) return INVALID_HANDLE_VALUE;
    return CeOpenDatabaseInSession(session, g, &oid, nullptr,
                                   sortIndex >= 0 ? &info.rgSortSpecs[sortIndex] : nullptr,
                                   autoIncrement ? CEDB_AUTOINCREMENT : 0, nullptr);
}

// A number in the union member of the property's type (its low bytes, little-endian).
CEPROPVAL Val(CEPROPID id, int64_t n) {
    CEPROPVAL p{};
    p.propid = id;
    p.val.raw = static_cast<uint64_t>(n);
    return p;
}
CEPROPVAL Text(CEPROPID id, LPCWSTR v) {
    CEPROPVAL p{};
    p.propid = id;
    p.val.lpwstr = const_cast<LPWSTR>(v);  // only read
    return p;
}

struct Shot {
    DWORD size;
    WString name;
    uint64_t taken;
    WORD kind;
    int16_t delta = 0;
    int32_t offset = 0;
};

CEOID AddShot(HANDLE db, const Shot& s) {
    CEPROPVAL v[6] = {Val(kSize, s.size), Text(kName, s.name.c_str()), Val(kTaken, s.taken),
                      Val(kKind, s.kind), Val(kDelta, s.delta),        Val(kOffset, s.offset)};
    return CeWriteRecordProps(db, 0, 6, v);
}

// One property as read back.
struct Prop {
    WORD flags = 0;     // wFlags
    uint64_t raw = 0;   // the 8-byte value of a non-text property
    WString text;       // a text property
    bool null = false;  // a text property whose pointer was null
};
struct Record {
    CEOID oid = 0;                   // 0: nothing read
    PropIds order;                   // identifiers in the order returned
    std::map<CEPROPID, Prop> props;  // by identifier
    // The numbers of the properties, each read as its type.
    Nums nums(const PropIds& ids) const {
        Nums out;
        for (CEPROPID id : ids) {
            uint64_t raw = props.count(id) ? props.at(id).raw : ~0ull;
            switch (TypeFromPropId(id)) {
                case CEVT_I2:
                    out.push_back(static_cast<int16_t>(raw));
                    break;
                case CEVT_UI2:
                    out.push_back(static_cast<uint16_t>(raw));
                    break;
                case CEVT_I4:
                    out.push_back(static_cast<int32_t>(raw));
                    break;
                default:  // a file time reads whole, the rest as unsigned 32 bits
                    out.push_back(TypeFromPropId(id) == CEVT_FILETIME ? static_cast<int64_t>(raw)
                                                                      : static_cast<uint32_t>(raw));
            }
        }
        return out;
    }
    int64_t num(CEPROPID id) const { return nums({id})[0]; }
};

// Reads the current record (all properties, or the listed ones) into a block the call
// allocates; checks that every text lies inside that block.
Record ReadCurrent(HANDLE db, PropIds ids = {}) {
    Record r;
    WORD count = static_cast<WORD>(ids.size());
    BYTE* buf = nullptr;
    DWORD size = 0;
    r.oid = CeReadRecordPropsEx(db, CEDB_ALLOWREALLOC, &count, ids.empty() ? nullptr : ids.data(),
                                &buf, &size, nullptr);
    if (r.oid) {
        EXPECT_NE(buf, nullptr);
        EXPECT_GE(size, count * sizeof(CEPROPVAL));
        const CEPROPVAL* vals = reinterpret_cast<const CEPROPVAL*>(buf);
        for (WORD i = 0; i < count; ++i) {
            Prop p;
            p.flags = vals[i].wFlags;
            if (TypeFromPropId(vals[i].propid) == CEVT_LPWSTR && !(p.flags & CEDB_PROPNOTFOUND)) {
                const BYTE* text = reinterpret_cast<const BYTE*>(vals[i].val.lpwstr);
                EXPECT_TRUE(text >= buf + count * sizeof(CEPROPVAL) && text < buf + size);
                p.text = vals[i].val.lpwstr;
            } else {
                p.raw = vals[i].val.raw;
                p.null = TypeFromPropId(vals[i].propid) == CEVT_LPWSTR && !vals[i].val.lpwstr;
            }
            r.order.push_back(vals[i].propid);
            r.props[vals[i].propid] = p;
        }
    }
    LocalFree(buf);
    return r;
}

CEOID SeekTo(HANDLE db, DWORD type, DWORD value, DWORD* index = nullptr) {
    return CeSeekDatabaseEx(db, type, value, 0, index);
}
CEOID Seek(HANDLE db, DWORD type, std::vector<CEPROPVAL> values) {
    return CeSeekDatabaseEx(db, type, reinterpret_cast<uintptr_t>(values.data()),
                            static_cast<WORD>(values.size()), nullptr);
}
// The record oid, sought and read.
Record ReadAt(HANDLE db, CEOID oid, PropIds ids = {}) {
    EXPECT_EQ(SeekTo(db, CEDB_SEEK_CEOID, oid), oid);
    return ReadCurrent(db, std::move(ids));
}

// The next n records by auto-increment reads, 0 for each read that found none.
Ids Next(HANDLE db, int n) {
    Ids out;
    for (int i = 0; i < n; ++i) out.push_back(ReadCurrent(db).oid);
    return out;
}
// Auto-increment reads from the current record until one finds none (ERROR_NO_MORE_ITEMS).
Ids Rest(HANDLE db) {
    Ids out;
    for (CEOID id; (id = ReadCurrent(db).oid) != 0;) out.push_back(id);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    return out;
}
// Every record in the handle's order.
Ids ScanAll(HANDLE db) {
    return SeekTo(db, CEDB_SEEK_BEGINNING, 0) ? Rest(db) : Ids{};
}
// The first record equal to values and every next one, as a client counts matches.
Ids Matches(HANDLE db, std::vector<CEPROPVAL> values) {
    Ids out;
    for (CEOID id = Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, values); id;
         id = Seek(db, CEDB_SEEK_VALUENEXTEQUAL, values)) {
        out.push_back(id);
    }
    return out;
}

CEDBASEINFOEX InfoOf(HANDLE db) {
    CEDBASEINFOEX info{};
    EXPECT_TRUE(CeGetDBInformationByHandle(db, &info));
    return info;
}

// Names of the databases of the type asked for (0: all), in enumeration order.
Names List(CEGUID* g, DWORD type) {
    Names names;
    HANDLE e = CeFindFirstDatabaseEx(g, type);
    EXPECT_NE(e, INVALID_HANDLE_VALUE);
    for (CEOID oid; (oid = CeFindNextDatabaseEx(e, g)) != 0;) {
        CEOIDINFOEX info{};
        EXPECT_TRUE(CeOidGetInfoEx2(g, oid, &info));
        names.emplace_back(info.infDatabase.szDbaseName);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    CloseHandle(e);
    return names;
}

// The names of the records from the current one on, the handle reading on by itself.
Names NamesOn(HANDLE db) {
    Names names;
    for (Record r = ReadCurrent(db); r.oid; r = ReadCurrent(db))
        names.push_back(r.props[kName].text);
    return names;
}
// The names of every record in the handle's order.
Names AllNamesOf(HANDLE db) {
    return SeekTo(db, CEDB_SEEK_BEGINNING, 0) ? NamesOn(db) : Names{};
}

class PropertyDatabase : public TracedTest {
  protected:
    void TearDown() override {
        CeDbSetFaultHook(nullptr, nullptr);
        UnmountAll();
        TracedTest::TearDown();
    }
    // Handle values and mount identifiers are never reused: closing twice is harmless.
    void UnmountAll() {
        for (HANDLE h : open_) CloseHandle(h);
        open_.clear();
        for (CEGUID& g : mounts_) CeUnmountDBVol(&g);
        mounts_.clear();
    }

    CEGUID Mount(LPCWSTR path = kVolume) {
        CEGUID g{};
        EXPECT_TRUE(CeMountDBVolEx(&g, path, nullptr, OPEN_ALWAYS));
        mounts_.push_back(g);
        return g;
    }
    // Creates "Log" (Shots' properties, in name order) in g's volume.
    void MakeLog(CEGUID* g) { ASSERT_NE(CreateDb(g, u"Log", kShotProps, {{{kName, false}}}), 0u); }
    // Mounts the test volume as g_ and creates "Shots" in it.
    void MakeShots() {
        g_ = Mount();
        ASSERT_NE(CreateDb(&g_, u"Shots", kShotProps, kShotSorts), 0u);
    }
    // A handle on a database of g (g_ when null) in session (or none), closed when the case
    // ends.
    HANDLE Open(int sort, bool autoIncrement, LPCWSTR name = u"Shots", CEGUID* g = nullptr,
                HANDLE session = nullptr) {
        HANDLE h = OpenDb(g ? g : &g_, name, sort, autoIncrement, session);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        open_.push_back(h);
        return h;
    }
    // The name of every record of Shots in record order.
    Names AllNames() { return AllNamesOf(Open(-1, true)); }
    std::string VolumeFile() const { return HostPath(kVolume); }

    CEGUID g_{};                  // the main mount of the test volume
    std::vector<HANDLE> open_;    // handles to close at the end
    std::vector<CEGUID> mounts_;  // mounts to end at the end
};

// --- Databases, records and values -----------------------------------------------------------

TEST_F(PropertyDatabase, DatabasesAreDescribedListedByTypeDeletedAndTheirNamesReused) {
    g_ = Mount();
    CEOID alpha = CreateDb(&g_, u"Alpha", kShotProps, {}, 7);
    CEOID beta = CreateDb(&g_, u"Beta", kShotProps, {}, 9);
    ASSERT_TRUE(alpha && beta && CreateDb(&g_, u"Gamma", kShotProps, {}, 7));
    CEOID shots = CreateDb(&g_, u"Shots", kShotProps, kShotSorts, 42);
    ASSERT_NE(shots, 0u);
    CEOIDINFOEX oi{};
    ASSERT_TRUE(CeOidGetInfoEx2(&g_, shots, &oi));
    EXPECT_EQ(oi.wObjType, OBJTYPE_DATABASE);
    EXPECT_EQ(WString(oi.infDatabase.szDbaseName), u"Shots");
    EXPECT_EQ(oi.infDatabase.dwDbaseType, 42u);
    EXPECT_EQ(oi.infDatabase.dwNumRecords, 0u);
    ASSERT_EQ(oi.infDatabase.wNumSortOrder, 2);
    const CEDBASEINFOEX asked = Describe(u"Shots", kShotSorts, 42);
    EXPECT_EQ(memcmp(oi.infDatabase.rgSortSpecs, asked.rgSortSpecs, sizeof asked.rgSortSpecs), 0);

    // Names are found ignoring ASCII case, as on the device; the properties keep their names.
    CEOID found = 0;
    HANDLE db = CeOpenDatabaseInSession(nullptr, &g_, &found, u"SHOTS", nullptr, 0, nullptr);
    open_.push_back(db);
    EXPECT_EQ(found, shots);
    WORD count = 0;
    ASSERT_TRUE(CeGetDatabaseProps(db, &count, nullptr));
    ASSERT_EQ(count, kShotProps.size());
    std::vector<WCHAR> names(count * (CEDB_MAXPROPNAMELEN + 1));
    std::vector<CEPROPSPEC> specs;
    for (WORD i = 0; i < count; ++i) {
        specs.push_back({1, 0, 0, &names[i * (CEDB_MAXPROPNAMELEN + 1)], CEDB_MAXPROPNAMELEN + 1});
    }
    ASSERT_TRUE(CeGetDatabaseProps(db, &count, specs.data()));
    for (WORD i = 0; i < count; ++i) {
        EXPECT_EQ(specs[i].propid, kShotProps[i].id);
        EXPECT_EQ(WString(specs[i].pwszPropName), kShotProps[i].name);
    }
    WORD tooFew = 2;
    EXPECT_EQ(Err(CeGetDatabaseProps(db, &tooFew, specs.data())), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(tooFew, count);
    EXPECT_EQ(Err(CreateDb(&g_, u"shots", kShotProps, kShotSorts)), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(List(&g_, 0), (Names{u"Alpha", u"Beta", u"Gamma", u"Shots"}));
    EXPECT_EQ(List(&g_, 7), (Names{u"Alpha", u"Gamma"}));
    EXPECT_EQ(List(&g_, 5), Names{});

    // Deleted, a database is gone by name and identifier, and a handle left open on it fails
    // cleanly; the name can be used again for a new, empty one; other databases stay.
    HANDLE a = Open(0, false);
    HANDLE other = Open(-1, false, u"Alpha");
    for (int i = 0; i < 5; ++i) ASSERT_NE(AddShot(a, {1, u"x", 1, 1}), 0u);
    ASSERT_NE(AddShot(other, {2, u"kept", 2, 2}), 0u);
    ASSERT_TRUE(CeDeleteDatabaseEx(&g_, shots));
    ASSERT_TRUE(CeDeleteDatabaseEx(&g_, beta));
    EXPECT_EQ(List(&g_, 0), (Names{u"Alpha", u"Gamma"}));
    EXPECT_EQ(Err(AddShot(a, {1, u"y", 1, 1})), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(SeekTo(a, CEDB_SEEK_BEGINNING, 0), 0u);
    EXPECT_EQ(Err(OpenDb(&g_, u"Shots", -1, false)), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(CeOidGetInfoEx2(&g_, shots, &oi));
    EXPECT_FALSE(CeDeleteDatabaseEx(&g_, shots));
    CEOID again = CreateDb(&g_, u"Shots", kShotProps, kShotSorts);
    EXPECT_TRUE(again != 0 && again != shots);
    EXPECT_EQ(InfoOf(Open(0, true)).dwNumRecords, 0u);
    EXPECT_EQ(ScanAll(open_.back()), Ids{});
    ASSERT_NE(SeekTo(other, CEDB_SEEK_BEGINNING, 0), 0u);
    EXPECT_EQ(ReadCurrent(other).props[kName].text, u"kept");
}

TEST_F(PropertyDatabase, EveryValueTypeReadsBackIntoAnAllocatedOrTheCallersBuffer) {
    MakeShots();
    HANDLE db = Open(1, false);
    const WString name = u"Caf\u00e9 \u65e5\u672c \U0001F600 end";
    CEOID high = AddShot(db, {0xFFFFFFFFu, name, 0x7FFFFFFF12345678ull, 0xFFFF, -32768, INT_MIN});
    CEOID low = AddShot(db, {0, u"", 0, 0, 32767, INT_MAX});
    ASSERT_TRUE(high && low);
    const PropIds numbers = {kIndex, kSize, kTaken, kKind, kDelta, kOffset};
    Record r = ReadAt(db, high);
    EXPECT_EQ(r.order, (PropIds{kIndex, kSize, kName, kTaken, kKind, kDelta, kOffset}));
    EXPECT_EQ(r.nums(numbers),
              (Nums{high, 0xFFFFFFFF, 0x7FFFFFFF12345678, 0xFFFF, -32768, INT_MIN}));
    EXPECT_EQ(r.props[kName].text, name);
    r = ReadAt(db, low);
    EXPECT_EQ(r.nums(numbers), (Nums{low, 0, 0, 0, 32767, INT_MAX}));
    EXPECT_EQ(r.props[kName].text, u"");
    EXPECT_EQ(r.props[kName].flags, 0);

    // Chosen properties come back in the order asked for; one the database does not have
    // comes back zero and flagged.
    const CEPROPID unknown = MakePropId(9, CEVT_UI4);
    r = ReadCurrent(db, {kName, kSize, unknown, kIndex});
    EXPECT_EQ(r.oid, low);
    EXPECT_EQ(r.order, (PropIds{kName, kSize, unknown, kIndex}));
    EXPECT_EQ(r.props[unknown].flags, CEDB_PROPNOTFOUND);
    EXPECT_EQ(r.nums({unknown, kIndex}), (Nums{0, low}));

    // A record written with one property has only that and its counter.
    CEPROPVAL only = Val(kSize, 77);
    CEOID sparse = CeWriteRecordProps(db, 0, 1, &only);
    EXPECT_EQ(ReadAt(db, sparse).order, (PropIds{kIndex, kSize}));
    r = ReadCurrent(db, {kName, kTaken});
    EXPECT_EQ(r.props[kName].flags, CEDB_PROPNOTFOUND);
    EXPECT_TRUE(r.props[kName].null);
    EXPECT_EQ(r.props[kTaken].flags, CEDB_PROPNOTFOUND);

    // The caller's own buffer: too small, the call reports the size it needs.
    ASSERT_EQ(SeekTo(db, CEDB_SEEK_CEOID, high), high);
    BYTE small[8];
    BYTE* p = small;
    DWORD size = sizeof small;
    WORD count = 0;
    EXPECT_EQ(Err(CeReadRecordPropsEx(db, 0, &count, nullptr, &p, &size, nullptr)),
              ERROR_INSUFFICIENT_BUFFER);
    EXPECT_GT(size, 7 * sizeof(CEPROPVAL));
    std::vector<BYTE> exact(size);
    p = exact.data();
    EXPECT_EQ(CeReadRecordPropsEx(db, 0, &count, nullptr, &p, &size, nullptr), high);
    EXPECT_EQ(p, exact.data());
    ASSERT_EQ(count, 7);
    const BYTE* text = reinterpret_cast<BYTE*>(reinterpret_cast<CEPROPVAL*>(p)[2].val.lpwstr);
    EXPECT_TRUE(text > exact.data() && text < exact.data() + exact.size());
    EXPECT_EQ(WString(reinterpret_cast<CEPROPVAL*>(p)[2].val.lpwstr), name);
    // With reallocation allowed, a block too small is replaced by one that fits.
    BYTE* block = static_cast<BYTE*>(LocalAlloc(LPTR, 4));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[0] | block[1] | block[2] | block[3], 0);
    DWORD blockSize = 4;
    EXPECT_EQ(
        CeReadRecordPropsEx(db, CEDB_ALLOWREALLOC, &count, nullptr, &block, &blockSize, nullptr),
        high);
    EXPECT_EQ(blockSize, size);
    EXPECT_EQ(reinterpret_cast<CEPROPVAL*>(block)[1].val.ulVal, 0xFFFFFFFFu);
    EXPECT_EQ(LocalFree(block), nullptr);
}

TEST_F(PropertyDatabase, WritesKeepTheInformationMoveRecordsAndNeverReuseTheCounter) {
    MakeShots();
    HANDLE db = Open(1, true);  // by size first
    const CEDBASEINFOEX before = InfoOf(db);
    EXPECT_EQ(before.dwNumRecords, 0u);
    EXPECT_EQ(before.dwSize, 0u);
    EXPECT_NE(FileTimeToU64(before.ftLastModified), 0u);
    CEOID shortName = AddShot(db, {1, u"a", 1, 1});
    const CEDBASEINFOEX one = InfoOf(db);
    EXPECT_EQ(one.dwNumRecords, 1u);
    EXPECT_GT(one.dwSize, 0u);
    EXPECT_GE(FileTimeToU64(one.ftLastModified), FileTimeToU64(before.ftLastModified));
    CEOID longName = AddShot(db, {1, WString(100, u'n'), 1, 1});
    const CEDBASEINFOEX two = InfoOf(db);
    EXPECT_EQ(two.dwNumRecords, 2u);
    EXPECT_GT(two.dwSize - one.dwSize, one.dwSize);  // the long text counts
    ASSERT_TRUE(CeDeleteRecord(db, shortName));
    EXPECT_EQ(InfoOf(db).dwNumRecords, 1u);
    EXPECT_EQ(InfoOf(db).dwSize, two.dwSize - one.dwSize);
    ASSERT_TRUE(CeDeleteRecord(db, longName));

    CEOID a = AddShot(db, {10, u"a", 5, 1});
    CEOID b = AddShot(db, {20, u"b", 5, 1});
    CEOID c = AddShot(db, {30, u"c", 5, 1});
    EXPECT_TRUE(longName < a && a < b && b < c);
    EXPECT_EQ(ReadAt(db, b, {kIndex}).num(kIndex), b);
    // Overwriting a key moves the record in its sort order and leaves the other properties;
    // a property can be removed.
    CEPROPVAL grow = Val(kSize, 40);
    EXPECT_EQ(CeWriteRecordProps(db, a, 1, &grow), a);
    EXPECT_EQ(ScanAll(db), (Ids{b, c, a}));
    Record r = ReadAt(db, a);
    EXPECT_EQ(r.num(kSize), 40);
    EXPECT_EQ(r.props[kName].text, u"a");
    CEPROPVAL drop = Text(kName, nullptr);
    drop.wFlags = CEDB_PROPDELETE;
    EXPECT_EQ(CeWriteRecordProps(db, a, 1, &drop), a);
    EXPECT_EQ(ReadAt(db, a, {kName}).props[kName].flags, CEDB_PROPNOTFOUND);

    // The store assigns the counter; a write of it is refused. A deleted record is gone for
    // writes and deletes, and its counter is not given out again, not even after a remount.
    CEPROPVAL counter = Val(kIndex, 1);
    EXPECT_EQ(Err(CeWriteRecordProps(db, 0, 1, &counter)), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(CeDeleteRecord(db, c));
    EXPECT_EQ(Err(CeWriteRecordProps(db, c, 1, &grow)), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Err(CeDeleteRecord(db, c)), ERROR_FILE_NOT_FOUND);
    CEOID d = AddShot(db, {1, u"d", 1, 0});
    EXPECT_GT(d, c);
    ASSERT_TRUE(CeFlushDBVol(&g_));
    ASSERT_TRUE(CeUnmountDBVol(&g_));
    g_ = Mount();
    HANDLE newest = Open(0, true);
    ASSERT_TRUE(CeDeleteRecord(newest, d));
    CEOID e = AddShot(newest, {1, u"e", 1, 0});
    EXPECT_GT(e, d);
    EXPECT_EQ(ScanAll(newest), (Ids{e, b, a}));
}

// --- Sort orders and seeks ---------------------------------------------------------------

TEST_F(PropertyDatabase, ValueSeeksMatchEveryTypeExactlyInAscendingAndDescendingOrder) {
    g_ = Mount();
    const std::vector<SortSpec> sorts = {{{kDelta, false}}, {{kKind, true}},   {{kOffset, false}},
                                         {{kSize, true}},   {{kTaken, false}}, {{kName, true}},
                                         {{kName, false}}};
    ASSERT_NE(CreateDb(&g_, u"Typed", kShotProps, sorts), 0u);
    HANDLE w = Open(-1, false, u"Typed");
    CEOID r1 = AddShot(w, {0x80000000u, u"photo", 0x7000000000000000ull, 7, -5, -100000});
    CEOID r2 = AddShot(w, {1, u"Photo", 1, 65535, 3, 5});
    CEOID r3 = AddShot(w, {0xFFFFFFFFu, u"photo ", 0x01D0000000000000ull, 0, -32768, INT_MAX});
    CEOID r4 = AddShot(w, {1, u"\u00e9t\u00e9", 1, 7, 3, INT_MIN});
    ASSERT_TRUE(r1 && r2 && r3 && r4);
    const struct {
        int sort;         // sort order index
        Ids order;        // the scan
        CEPROPVAL probe;  // a value seek
        Ids matches;      // what it finds
    } cases[] = {
        {0, {r3, r1, r2, r4}, Val(kDelta, 3), {r2, r4}},
        {1, {r2, r1, r4, r3}, Val(kKind, 7), {r1, r4}},
        {2, {r4, r1, r2, r3}, Val(kOffset, INT_MIN), {r4}},
        {3, {r3, r1, r2, r4}, Val(kSize, 0x80000000u), {r1}},
        {4, {r2, r4, r3, r1}, Val(kTaken, 0x01D0000000000000ull), {r3}},
        // Texts sort and match by exact code points: "Photo" < "photo" < "photo " < "été".
        {5, {r4, r3, r1, r2}, Text(kName, u"photo"), {r1}},
        {6, {r2, r1, r3, r4}, Text(kName, u"\u00e9t\u00e9"), {r4}},
        {6, {r2, r1, r3, r4}, Text(kName, u"PHOTO"), {}},
        {6, {r2, r1, r3, r4}, Text(kName, u"phot"), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("sort order " + std::to_string(c.sort));
        HANDLE db = Open(c.sort, true, u"Typed");
        EXPECT_EQ(ScanAll(db), c.order);
        EXPECT_EQ(Matches(db, {c.probe}), c.matches);
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    }
}

TEST_F(PropertyDatabase, NextEqualWalksEveryDuplicateInSortOrder) {
    MakeShots();
    HANDLE db = Open(1, true);
    const uint64_t t1 = 1000, t2 = 2000;
    CEOID a = AddShot(db, {10, u"a", t1, 1});
    CEOID b = AddShot(db, {10, u"a", t1, 1});
    CEOID c = AddShot(db, {10, u"b", t1, 1});
    CEOID d = AddShot(db, {10, u"a", t2, 1});
    CEOID e = AddShot(db, {20, u"a", t1, 1});
    CEOID f = AddShot(db, {10, u"a", t1, 1});
    CEOID h = AddShot(db, {10, u"a", t1, 2});
    ASSERT_TRUE(a && b && c && d && e && f && h);
    const std::vector<CEPROPVAL> all4 = {Val(kSize, 10), Val(kTaken, t1), Text(kName, u"a"),
                                         Val(kKind, 1)};
    EXPECT_EQ(Matches(db, all4), (Ids{a, b, f}));
    EXPECT_EQ(Matches(db, {Val(kSize, 10)}), (Ids{a, b, f, h, c, d}));
    EXPECT_EQ(Matches(db, {Val(kSize, 10), Val(kTaken, t1), Text(kName, u"a")}), (Ids{a, b, f, h}));
    EXPECT_EQ(Matches(db, {Val(kSize, 10), Val(kTaken, t2), Text(kName, u"b")}), Ids{});

    // After an auto-increment read the next match is still the next record that matches.
    Ids read;
    for (CEOID id = Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, all4); id;
         id = Seek(db, CEDB_SEEK_VALUENEXTEQUAL, all4)) {
        read.push_back(ReadCurrent(db).oid);
    }
    EXPECT_EQ(read, (Ids{a, b, f}));
    // Next-equal with values past the current record goes to their first match; with
    // values before it there is none, and the current record stays.
    ASSERT_EQ(Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, {Val(kSize, 10)}), a);
    EXPECT_EQ(Seek(db, CEDB_SEEK_VALUENEXTEQUAL, {Val(kSize, 20)}), e);
    EXPECT_EQ(Seek(db, CEDB_SEEK_VALUENEXTEQUAL, {Val(kSize, 10)}), 0u);
    EXPECT_EQ(SeekTo(db, CEDB_SEEK_CURRENT, 0), e);
}

TEST_F(PropertyDatabase, PositionSeeksAgreeWithTheScanInEveryOrderAndReadsPickUpNewRecords) {
    MakeShots();
    CEGUID other = Mount();
    HANDLE w = Open(-1, false);
    Ids ids;
    for (int i = 0; i < 25; ++i) {
        ids.push_back(AddShot(w, {DWORD(i * 7 % 11), u"x", uint64_t(i % 3), 1}));
    }
    // Nothing is read before a seek; without a sort order the records come as they were
    // added, and there is nothing to seek values in.
    HANDLE plain = Open(-1, true);
    EXPECT_EQ(Err(ReadCurrent(plain).oid), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(ScanAll(plain), ids);
    EXPECT_EQ(Err(Seek(plain, CEDB_SEEK_VALUEFIRSTEQUAL, {Val(kSize, 1)})),
              ERROR_INVALID_PARAMETER);

    // Another mount deletes some: the seeks go by what is there now.
    HANDLE d = Open(-1, false, u"Shots", &other);
    for (int i : {0, 5, 6, 24}) ASSERT_TRUE(CeDeleteRecord(d, ids[static_cast<size_t>(i)]));
    for (int sort : {-1, 0, 1}) {
        SCOPED_TRACE("sort order " + std::to_string(sort));
        HANDLE db = Open(sort, true);
        const Ids order = ScanAll(db);
        ASSERT_EQ(order.size(), 21u);
        const DWORD last = static_cast<DWORD>(order.size() - 1);
        DWORD index = 999, back = 999;
        for (DWORD i = 0; i <= last; ++i) {
            EXPECT_EQ(SeekTo(db, CEDB_SEEK_BEGINNING, i, &index), order[i]) << i;
            EXPECT_EQ(SeekTo(db, CEDB_SEEK_END, i, &back), order[last - i]) << i;
            EXPECT_TRUE(index == i && back == last - i) << i;
        }
        for (DWORD beyond : {last + 1, last + 2, 100000u}) {
            EXPECT_EQ(Err(SeekTo(db, CEDB_SEEK_BEGINNING, beyond)), ERROR_NO_MORE_ITEMS);
            EXPECT_EQ(Err(SeekTo(db, CEDB_SEEK_END, beyond)), ERROR_NO_MORE_ITEMS);
        }
        // Seeks from the current record; one that runs off either end leaves it in place.
        ASSERT_EQ(SeekTo(db, CEDB_SEEK_BEGINNING, 2), order[2]);
        EXPECT_EQ(SeekTo(db, CEDB_SEEK_CURRENT, static_cast<DWORD>(-1), &index), order[1]);
        EXPECT_EQ(index, 1u);
        EXPECT_EQ(SeekTo(db, CEDB_SEEK_CURRENT, 3), order[4]);
        EXPECT_EQ(SeekTo(db, CEDB_SEEK_CURRENT, static_cast<DWORD>(-4)), order[0]);
        EXPECT_EQ(Err(SeekTo(db, CEDB_SEEK_CURRENT, static_cast<DWORD>(-1))), ERROR_NO_MORE_ITEMS);
        EXPECT_EQ(Err(SeekTo(db, CEDB_SEEK_CURRENT, last + 1)), ERROR_NO_MORE_ITEMS);
        EXPECT_EQ(SeekTo(db, CEDB_SEEK_CURRENT, 0), order[0]);
        EXPECT_EQ(SeekTo(db, CEDB_SEEK_CEOID, order[5], &index), order[5]);
        EXPECT_EQ(index, 5u);
        if (sort == 0) {
            EXPECT_EQ(Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, {Val(kIndex, order[3])}), order[3]);
        }
        // Reading on from a record near either end.
        ASSERT_EQ(SeekTo(db, CEDB_SEEK_BEGINNING, last - 1), order[last - 1]);
        EXPECT_EQ(Next(db, 3), (Ids{order[last - 1], order[last], 0}));
        ASSERT_EQ(SeekTo(db, CEDB_SEEK_END, last - 1), order[1]);
        EXPECT_EQ(Next(db, 2), (Ids{order[1], order[2]}));
    }

    // At the last record reading runs out, until another mount or another handle of this one
    // adds a record after it.
    HANDLE bySize = Open(1, true);
    const CEOID atEnd = SeekTo(bySize, CEDB_SEEK_BEGINNING, 20);
    ASSERT_NE(atEnd, 0u);
    EXPECT_EQ(Next(bySize, 3), (Ids{atEnd, 0, 0}));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    CEOID biggest = AddShot(d, {0xFFFFFFFFu, u"big", 1, 1});
    EXPECT_EQ(Next(bySize, 2), (Ids{biggest, 0}));
    CEOID later = AddShot(w, {0xFFFFFFFFu, u"big", 2, 1});
    EXPECT_EQ(Next(bySize, 2), (Ids{later, 0}));
    EXPECT_EQ(SeekTo(bySize, CEDB_SEEK_BEGINNING, 21), biggest);
}

TEST_F(PropertyDatabase, MissingValuesAndMixedDirectionsKeepEveryRecordInTheScan) {
    g_ = Mount();
    ASSERT_NE(CreateDb(&g_, u"Mixed", kShotProps, {{{kKind, false}, {kName, true}}}), 0u);
    HANDLE w = Open(-1, false, u"Mixed");
    auto add = [&](std::vector<CEPROPVAL> v) {
        return CeWriteRecordProps(w, 0, static_cast<WORD>(v.size()), v.data());
    };
    CEOID r1 = add({Val(kKind, 1), Text(kName, u"b")});
    CEOID r2 = add({Val(kKind, 1)});
    CEOID r3 = add({Text(kName, u"z")});
    CEOID r4 = add({Val(kKind, 1), Text(kName, u"c")});
    CEOID r5 = add({Val(kKind, 2), Text(kName, u"a")});
    CEOID r6 = add({Val(kKind, 1), Text(kName, u"b")});
    CEOID r7 = add({});
    ASSERT_TRUE(r1 && r2 && r3 && r4 && r5 && r6 && r7);

    // A missing value sorts first in an ascending key and last in a descending one.
    const Ids expected = {r3, r7, r4, r1, r6, r2, r5};
    HANDLE db = Open(0, true, u"Mixed");
    EXPECT_EQ(ScanAll(db), expected);
    Ids backward;
    for (CEOID id = SeekTo(db, CEDB_SEEK_END, 0); id;
         id = SeekTo(db, CEDB_SEEK_CURRENT, static_cast<DWORD>(-1))) {
        backward.push_back(id);
    }
    EXPECT_EQ(backward, Ids(expected.rbegin(), expected.rend()));
    for (size_t i = 0; i < expected.size(); ++i) {
        DWORD index = 99;
        EXPECT_EQ(SeekTo(db, CEDB_SEEK_CEOID, expected[i], &index), expected[i]);
        EXPECT_EQ(index, i);
    }
    EXPECT_EQ(Matches(db, {Val(kKind, 1)}), (Ids{r4, r1, r6, r2}));
    EXPECT_EQ(Matches(db, {Val(kKind, 1), Text(kName, u"b")}), (Ids{r1, r6}));
}

// --- Deleting while reading, several mounts, threads and processes --------------------------

TEST_F(PropertyDatabase, RecordsDeletedByAnotherHandleOrMountAreSkippedByTheReader) {
    MakeShots();
    CEGUID g2 = Mount();
    HANDLE same = Open(-1, false);
    HANDLE other = Open(-1, false, u"Shots", &g2);
    Ids r(9, 0);
    for (size_t i = 1; i <= 8; ++i) r[i] = AddShot(same, {1, u"x", 1, 1});
    HANDLE reader = Open(0, true);  // newest first
    ASSERT_EQ(SeekTo(reader, CEDB_SEEK_BEGINNING, 0), r[8]);
    EXPECT_EQ(Next(reader, 1), Ids{r[8]});
    ASSERT_TRUE(CeDeleteRecord(same, r[7]));  // the record the reader moved on to
    ASSERT_TRUE(CeDeleteRecord(other, r[6]));
    EXPECT_EQ(Next(reader, 2), (Ids{r[5], r[4]}));
    ASSERT_TRUE(CeDeleteRecord(other, r[3]));  // one the reader has not reached
    EXPECT_EQ(Next(reader, 1), Ids{r[2]});

    // A record sought explicitly and then deleted is reported; reading goes on after it.
    ASSERT_EQ(SeekTo(reader, CEDB_SEEK_CEOID, r[2]), r[2]);
    ASSERT_TRUE(CeDeleteRecord(same, r[2]));
    EXPECT_EQ(Err(ReadCurrent(reader).oid), ERROR_KEY_DELETED);
    EXPECT_EQ(Rest(reader), Ids{r[1]});
}

TEST_F(PropertyDatabase, AHandleKnowsItsOwnDeletesAndStillSeesEveryOtherWrite) {
    MakeShots();
    CEGUID g2 = Mount();
    HANDLE db = Open(1, true);                      // by size first
    HANDLE other = Open(-1, false, u"Shots", &g2);  // another mount
    HANDLE same = Open(-1, false);                  // another handle on this mount
    CEOID a = AddShot(db, {10, u"a", 1, 1});
    ASSERT_NE(AddShot(db, {20, u"b", 1, 1}), 0u);
    const std::vector<CEPROPVAL> size10 = {Val(kSize, 10)};

    // First match, delete, next match, delete ...: each next match is one another mount or
    // handle added before this handle deleted the last one, or right after.
    ASSERT_EQ(Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, size10), a);
    CEOID c = AddShot(other, {10, u"c", 1, 1});
    ASSERT_TRUE(CeDeleteRecord(db, a));
    EXPECT_EQ(Seek(db, CEDB_SEEK_VALUENEXTEQUAL, size10), c);
    ASSERT_TRUE(CeDeleteRecord(db, c));
    CEOID e = AddShot(other, {10, u"e", 1, 1});
    EXPECT_EQ(Seek(db, CEDB_SEEK_VALUENEXTEQUAL, size10), e);
    ASSERT_TRUE(CeDeleteRecord(db, e));
    CEOID f = AddShot(same, {10, u"f", 1, 1});
    EXPECT_EQ(Seek(db, CEDB_SEEK_VALUENEXTEQUAL, size10), f);
    ASSERT_TRUE(CeDeleteRecord(db, f));
    EXPECT_EQ(Err(Seek(db, CEDB_SEEK_VALUENEXTEQUAL, size10)), ERROR_NO_MORE_ITEMS);

    // A record this handle read and deleted is reported as deleted when read again.
    HANDLE plain = Open(1, false);
    CEOID b = Seek(plain, CEDB_SEEK_VALUEFIRSTEQUAL, {Val(kSize, 20)});
    EXPECT_EQ(ReadCurrent(plain).oid, b);
    ASSERT_TRUE(CeDeleteRecord(plain, b));
    EXPECT_EQ(Err(ReadCurrent(plain).oid), ERROR_KEY_DELETED);

    // A scan that deletes as it goes still meets what another mount puts right after the
    // current record, where the reader may already have read ahead, or further on.
    Ids added;
    for (DWORD i = 0; i < 12; ++i) added.push_back(AddShot(db, {100 + i, u"s", 1, 1}));
    ASSERT_EQ(Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, {Val(kSize, 100)}), added[0]);
    CEOID next = 0, later = 0;
    Ids read;
    for (Record r = ReadCurrent(db); r.oid; r = ReadCurrent(db)) {
        read.push_back(r.oid);
        int64_t size = r.num(kSize);
        if (size == 103 && !next) {
            next = AddShot(other, {103, u"t", 1, 1});   // right after this one
            later = AddShot(other, {106, u"t", 1, 1});  // right after size 106
        }
        if (size % 2 == 0) {
            ASSERT_TRUE(CeDeleteRecord(db, r.oid)) << size;
        }
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    Ids expected(added.begin(), added.begin() + 4);
    expected.push_back(next);
    expected.insert(expected.end(), added.begin() + 4, added.begin() + 7);
    expected.push_back(later);
    expected.insert(expected.end(), added.begin() + 7, added.end());
    EXPECT_EQ(read, expected);
    EXPECT_EQ(ScanAll(db),
              (Ids{added[1], added[3], next, added[5], added[7], added[9], added[11]}));
    // Deleting from the end backwards empties the database.
    for (CEOID id; (id = SeekTo(db, CEDB_SEEK_END, 0)) != 0;) ASSERT_TRUE(CeDeleteRecord(db, id));
    EXPECT_EQ(InfoOf(db).dwNumRecords, 0u);
}

TEST_F(PropertyDatabase, TwoMountsOfOneFileSeeEachOthersWritesAndOutliveEachOther) {
    MakeShots();
    CEGUID g2 = Mount();
    EXPECT_NE(std::memcmp(&g_, &g2, sizeof g2), 0);
    HANDLE h1 = Open(0, false);
    HANDLE h2 = Open(0, false, u"Shots", &g2);  // sees the database the first one made
    CEOID a = AddShot(h1, {1, u"from one", 1, 1});
    EXPECT_EQ(ReadAt(h2, a).props[kName].text, u"from one");
    CEOID b = AddShot(h2, {2, u"from two", 2, 2});
    EXPECT_GT(b, a);
    ASSERT_EQ(SeekTo(h1, CEDB_SEEK_BEGINNING, 0), b);
    EXPECT_EQ(ReadCurrent(h1).props[kName].text, u"from two");
    EXPECT_EQ(InfoOf(h1).dwNumRecords, 2u);
    EXPECT_EQ(InfoOf(h2).dwNumRecords, 2u);

    // The second mount works on when the first is unmounted; the first's handle does not.
    ASSERT_TRUE(CeUnmountDBVol(&g_));
    EXPECT_EQ(Err(AddShot(h1, {3, u"late", 3, 3})), ERROR_INVALID_HANDLE);
    EXPECT_NE(AddShot(h2, {3, u"still", 3, 3}), 0u);
    EXPECT_EQ(InfoOf(h2).dwNumRecords, 3u);

    // A session opens databases of its own volume only.
    CEGUID elsewhere = Mount(u"\\Windows\\Other.vol");
    HANDLE session = CeCreateSession(&g2);
    ASSERT_NE(session, INVALID_HANDLE_VALUE);
    CEOID oid = 0;
    open_.push_back(CeOpenDatabaseInSession(nullptr, &g2, &oid, u"Shots", nullptr, 0, nullptr));
    HANDLE byId = CeOpenDatabaseInSession(session, &g2, &oid, nullptr, nullptr, 0, nullptr);
    open_.push_back(byId);
    EXPECT_NE(AddShot(byId, {4, u"by id", 4, 4}), 0u);
    EXPECT_EQ(Err(CeOpenDatabaseInSession(session, &elsewhere, &oid, nullptr, nullptr, 0, nullptr)),
              ERROR_INVALID_PARAMETER);
    CEOID none = 0;
    EXPECT_EQ(
        Err(CeOpenDatabaseInSession(nullptr, &elsewhere, &none, u"Shots", nullptr, 0, nullptr)),
        ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(CloseHandle(session));
}

TEST_F(PropertyDatabase, SeveralThreadsWriteThroughOneMountAndAnother) {
    MakeShots();
    CEGUID g2 = Mount();
    constexpr DWORD kEach = 100;
    auto writer = [](CEGUID* g, DWORD kind) {
        HANDLE db = OpenDb(g, u"Shots", 1, false);
        bool ok = db != INVALID_HANDLE_VALUE;
        for (DWORD i = 0; i < kEach && ok; ++i) ok = AddShot(db, {kind, u"t", i, 1}) != 0;
        CloseHandle(db);
        return ok;
    };
    std::vector<std::future<bool>> threads;
    for (auto [g, kind] : {std::pair{&g_, 1u}, std::pair{&g_, 2u}, std::pair{&g2, 3u}}) {
        threads.push_back(std::async(std::launch::async, writer, g, kind));
    }
    for (auto& t : threads) {
        if (t.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
            ADD_FAILURE() << "watchdog: a writer thread is stuck";
            std::abort();  // the threads cannot be cancelled
        }
        EXPECT_TRUE(t.get());
    }
    // Every thread's records, in the order it wrote them.
    HANDLE db = Open(1, true, u"Shots", &g2);
    EXPECT_EQ(InfoOf(db).dwNumRecords, 3 * kEach);
    for (DWORD kind = 1; kind <= 3; ++kind) {
        Nums taken;
        for (CEOID id : Matches(db, {Val(kSize, kind)}))
            taken.push_back(ReadAt(db, id).num(kTaken));
        EXPECT_EQ(taken.size(), kEach);
        for (size_t i = 0; i < taken.size(); ++i) EXPECT_EQ(taken[i], static_cast<int64_t>(i));
    }
}

TEST_F(PropertyDatabase, SeveralWriterProcessesShareOneFreshVolume) {
    // The writers race to create the volume file, its catalog and the database "Log"; each
    // reports every record as "<record> <sequence>" once its write returned.
    const std::vector<std::string> tags = {"north", "east", "south", "west"};
    constexpr size_t kEach = 75;
    std::deque<ChildProcess> writers;
    for (const std::string& tag : tags) {
        writers.emplace_back(std::vector<std::string>{BinPath("vantlo-test-writer"), "cedb",
                                                      ToUtf8(kVolume), tag, std::to_string(kEach)});
    }
    std::map<std::string, Ids> reported;
    for (size_t i = 0; i < tags.size(); ++i) {
        EXPECT_EQ(writers[i].Wait(), 0);
        for (const std::string& line : writers[i].Lines()) {
            unsigned id = 0;
            unsigned long seq = 0;
            if (sscanf(line.c_str(), "%u %lu", &id, &seq) == 2) reported[tags[i]].push_back(id);
        }
    }

    // Each writer's records are there, by tag and sequence, with counters growing in the
    // order it wrote them.
    g_ = Mount();
    HANDLE db = Open(0, true, u"Log");
    EXPECT_EQ(InfoOf(db).dwNumRecords, tags.size() * kEach);
    std::set<CEOID> all;
    for (const std::string& tag : tags) {
        WString wtag = FromUtf8(tag);
        Ids ids = Matches(db, {Text(kTag, wtag.c_str())});
        EXPECT_EQ(ids, reported[tag]) << tag;
        EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end())) << tag;
        for (size_t seq = 0; seq < ids.size(); ++seq) {
            EXPECT_EQ(ReadAt(db, ids[seq]).num(kSeq), static_cast<int64_t>(seq)) << tag;
        }
        all.insert(ids.begin(), ids.end());
    }
    EXPECT_EQ(all.size(), tags.size() * kEach);
}

// --- Bad files and faults ------------------------------------------------------------------

TEST_F(PropertyDatabase, FilesThatAreNotVolumesFailTheMountAndStayUntouched) {
    std::mt19937 rng(7);
    std::string noise(64 * 1024, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    for (const std::string& bytes : {noise, std::string("hello, this is not a volume\n")}) {
        WriteHostFile(VolumeFile(), bytes);
        CEGUID g{};
        EXPECT_EQ(Err(CeMountDBVolEx(&g, kVolume, nullptr, OPEN_ALWAYS)), ERROR_BAD_FORMAT);
        EXPECT_EQ(ReadHostFile(VolumeFile()), bytes);
    }
    std::string log = trace_.Text();
    EXPECT_THAT(
        log, HasSubstr("[Platform] CeMountDBVolEx: " + VolumeFile() + " is not a database volume"));

    // An SQLite file of another program is not taken over either.
    std::string foreign = root_ + "/Windows/Foreign.vol";
    std::string cmd = "sqlite3 '" + foreign + "' 'CREATE TABLE t(x); INSERT INTO t VALUES(1);'";
    if (std::system(cmd.c_str()) == 0) {
        std::string before = ReadHostFile(foreign);
        CEGUID g{};
        EXPECT_EQ(Err(CeMountDBVolEx(&g, u"\\Windows\\Foreign.vol", nullptr, OPEN_ALWAYS)),
                  ERROR_BAD_FORMAT);
        EXPECT_EQ(ReadHostFile(foreign), before);
    }

    // An empty file, or none at all, becomes an empty volume.
    WriteHostFile(VolumeFile(), "");
    MakeShots();
    Mount(u"\\Windows\\New\\Deeper\\Fresh.vol");
    EXPECT_TRUE(HostFileExists(HostPath(u"\\Windows\\New\\Deeper\\Fresh.vol")));
    CEGUID g2{};
    EXPECT_EQ(Err(CeMountDBVolEx(&g2, u"\\Windows\\Missing.vol", nullptr, OPEN_EXISTING)),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Err(CeMountDBVolEx(&g2, kVolume, nullptr, CREATE_NEW)), ERROR_ALREADY_EXISTS);
}

TEST_F(PropertyDatabase, DamagedPagesFailCallsWithATraceInsteadOfACrash) {
    MakeShots();
    HANDLE db = Open(-1, false);
    for (DWORD i = 0; i < 400; ++i) {
        ASSERT_NE(AddShot(db, {i, WString(150, u'a' + i % 26), i, 1}), 0u);
    }
    CloseHandle(db);
    ASSERT_TRUE(CeUnmountDBVol(&g_));
    // Overwrite the last 40 % of the file: record and index pages.
    std::string bytes = ReadHostFile(VolumeFile());
    ASSERT_GT(bytes.size(), 100u * 1024);
    std::fill(bytes.begin() + static_cast<long>(bytes.size() * 6 / 10), bytes.end(), '\xA5');
    WriteHostFile(VolumeFile(), bytes);

    // Either the mount fails or reading does, as a bad format; writing fails or not, cleanly.
    bool failed = !CeMountDBVolEx(&g_, kVolume, nullptr, OPEN_ALWAYS);
    if (failed) {
        EXPECT_EQ(GetLastError(), ERROR_BAD_FORMAT);
    } else {
        mounts_.push_back(g_);
        for (int sort : {0, 1}) {
            HANDLE h = Open(sort, true);
            size_t read = 0;
            if (SeekTo(h, CEDB_SEEK_BEGINNING, 0)) {
                while (ReadCurrent(h).oid) ++read;
            }
            failed = failed || GetLastError() == ERROR_BAD_FORMAT;
            EXPECT_LT(read, 400u);
        }
        AddShot(open_.back(), {1, u"after the damage", 1, 1});
    }
    EXPECT_TRUE(failed);
    EXPECT_THAT(trace_.Text(), HasSubstr("[Platform] "));
}

struct Faults {
    std::atomic<bool> failWrites{false};  // writes fail as on a full disk
    std::atomic<bool> failSyncs{false};   // syncs fail
    std::atomic<int> hits{0};             // calls failed
};

DWORD InjectFault(CeDbFileOp op, const char*, void* context) {
    Faults* f = static_cast<Faults*>(context);
    if (op == CeDbFileOp::kWrite && f->failWrites) {
        ++f->hits;
        return ERROR_DISK_FULL;
    }
    if (op == CeDbFileOp::kSync && f->failSyncs) {
        ++f->hits;
        return ERROR_WRITE_FAULT;
    }
    return ERROR_SUCCESS;
}

TEST_F(PropertyDatabase, AFullDiskOrAFailedSyncFailsTheWriteAndLosesNothing) {
    MakeShots();
    HANDLE db = Open(0, false);
    Names expected;
    for (int i = 0; i < 20; ++i) {
        expected.push_back(u"shot " + FromUtf8(std::to_string(i)));
        ASSERT_NE(AddShot(db, {DWORD(i), expected.back(), 1, 1}), 0u);
    }
    Faults faults;
    CeDbSetFaultHook(InjectFault, &faults);
    faults.failWrites = true;
    EXPECT_EQ(Err(AddShot(db, {99, u"lost", 1, 1})), ERROR_DISK_FULL);
    EXPECT_FALSE(CeDeleteRecord(db, SeekTo(db, CEDB_SEEK_BEGINNING, 0)));
    const int writeHits = faults.hits.load();
    EXPECT_GT(writeHits, 0);
    EXPECT_THAT(trace_.Text(), HasSubstr("[Platform] CeWriteRecordProps"));
    EXPECT_EQ(AllNames(), expected);  // reading goes on while the disk is full
    faults.failWrites = false;
    faults.failSyncs = true;
    EXPECT_EQ(Err(AddShot(db, {50, u"unsure", 1, 1})), ERROR_WRITE_FAULT);
    EXPECT_GT(faults.hits.load(), writeHits);
    faults.failSyncs = false;
    expected.push_back(u"after");
    EXPECT_NE(AddShot(db, {100, u"after", 1, 1}), 0u);
    CeDbSetFaultHook(nullptr, nullptr);
    for (HANDLE h : open_) CloseHandle(h);
    ASSERT_TRUE(CeUnmountDBVol(&g_));

    // The write whose sync failed may or may not have reached the disk; the others have.
    g_ = Mount();
    Names names = AllNames();
    names.erase(std::remove(names.begin(), names.end(), u"unsure"), names.end());
    EXPECT_EQ(names, expected);
}

// --- Refusals --------------------------------------------------------------------------------

TEST_F(PropertyDatabase, UnknownClosedAndMismatchedHandlesAreRefused) {
    MakeShots();
    HANDLE session = CeCreateSession(&g_);
    HANDLE closed = OpenDb(&g_, u"Shots", 0, false);
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE db = Open(0, false);
    HANDLE e = CeFindFirstDatabaseEx(&g_, 0);
    open_.insert(open_.end(), {session, e});
    for (HANDLE h : {HANDLE(nullptr), INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x12345),
                     closed, session, e}) {
        SCOPED_TRACE(testing::Message() << "handle " << h);
        CEPROPVAL v = Val(kSize, 1);
        WORD count = 0;
        BYTE* buf = nullptr;
        DWORD size = 0;
        CEDBASEINFOEX info{};
        EXPECT_EQ(Err(SeekTo(h, CEDB_SEEK_BEGINNING, 0)), ERROR_INVALID_HANDLE);
        EXPECT_EQ(
            Err(CeReadRecordPropsEx(h, CEDB_ALLOWREALLOC, &count, nullptr, &buf, &size, nullptr)),
            ERROR_INVALID_HANDLE);
        EXPECT_EQ(buf, nullptr);
        EXPECT_EQ(Err(CeWriteRecordProps(h, 0, 1, &v)), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(CeDeleteRecord(h, 1));
        EXPECT_FALSE(CeGetDBInformationByHandle(h, &info));
        EXPECT_EQ(Err(CeGetDatabaseProps(h, &count, nullptr)), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(Err(CeFindNextDatabaseEx(db, &g_)), ERROR_INVALID_HANDLE);  // not an enumeration
    CEOID oid = 0;
    EXPECT_EQ(Err(CeOpenDatabaseInSession(db, &g_, &oid, u"Shots", nullptr, 0, nullptr)),
              ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(closed));

    // A volume that is not mounted.
    CEGUID unknown{1, 2, 3, 4};
    EXPECT_EQ(Err(CeCreateSession(&unknown)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CeFindFirstDatabaseEx(&unknown, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateDb(&unknown, u"X", kShotProps, {}), 0u);
    EXPECT_FALSE(CeFlushDBVol(&unknown));
    EXPECT_FALSE(CeUnmountDBVol(&unknown));
    EXPECT_FALSE(CeUnmountDBVol(nullptr));

    // The handle that is a database still works.
    EXPECT_NE(AddShot(db, {1, u"fine", 1, 1}), 0u);
    EXPECT_THAT(trace_.Text(), HasSubstr("is not a database handle"));
}

TEST_F(PropertyDatabase, BadDefinitionsWritesAndSeeksAreRefusedWithATrace) {
    g_ = Mount();
    // Definitions: an unsupported type, a key that is not declared, too many sort orders,
    // a property declared twice, no name, a key flag not supported, no description.
    EXPECT_EQ(Err(CreateDb(&g_, u"Bad", {{MakePropId(1, 11), u"Bool"}}, {})),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Err(CreateDb(&g_, u"Bad", kShotProps, {{{MakePropId(9, CEVT_UI4), false}}})),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateDb(&g_, u"Bad", kShotProps, std::vector<SortSpec>(17, {{kSize, false}})), 0u);
    EXPECT_EQ(CreateDb(&g_, u"Bad", {{kSize, u"A"}, {kSize, u"B"}}, {}), 0u);
    EXPECT_EQ(Err(CreateDb(&g_, u"", kShotProps, {})), ERROR_INVALID_PARAMETER);
    CEDBASEINFOEX flagged = Describe(u"Flagged", {{{kSize, false}}}, 0);
    flagged.rgSortSpecs[0].rgdwFlags[0] = 0x2;  // case-insensitive: texts compare exactly here
    WCHAR sizeName[] = u"Size";
    CEPROPSPEC sizeSpec{1, kSize, 0, sizeName, 5};
    EXPECT_EQ(CeCreateDatabaseWithProps(&g_, &flagged, 1, &sizeSpec), 0u);
    EXPECT_EQ(CeCreateDatabaseWithProps(&g_, nullptr, 1, &sizeSpec), 0u);

    ASSERT_NE(CreateDb(&g_, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE db = Open(1, false);
    AddShot(db, {1, u"a", 1, 1});
    // Writes: an undeclared property, a property of the right number but another type.
    CEPROPVAL undeclared = Val(MakePropId(9, CEVT_UI4), 1);
    EXPECT_EQ(Err(CeWriteRecordProps(db, 0, 1, &undeclared)), ERROR_INVALID_PARAMETER);
    CEPROPVAL retyped = Val(MakePropId(1, CEVT_UI2), 1);
    EXPECT_EQ(CeWriteRecordProps(db, 0, 1, &retyped), 0u);
    EXPECT_EQ(CeWriteRecordProps(db, 0, 1, nullptr), 0u);
    // Seeks: values not in the sort order's key order, too many values, no values, an
    // unknown seek type; a read with nowhere to put the record.
    EXPECT_EQ(Err(Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, {Val(kTaken, 1)})), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(
        Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL,
             {Val(kSize, 1), Val(kTaken, 1), Text(kName, u"a"), Val(kKind, 1), Val(kSize, 1)}),
        0u);
    EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_VALUEFIRSTEQUAL, 0, 1, nullptr), 0u);
    EXPECT_EQ(Err(CeSeekDatabaseEx(db, 0x4000, 0, 0, nullptr)), ERROR_INVALID_PARAMETER);
    WORD count = 0;
    EXPECT_EQ(
        Err(CeReadRecordPropsEx(db, CEDB_ALLOWREALLOC, &count, nullptr, nullptr, nullptr, nullptr)),
        ERROR_INVALID_PARAMETER);
    // A sort order the database does not have.
    SORTORDERSPECEX foreign = Describe(u"", {{{kName, false}}}, 0).rgSortSpecs[0];
    CEOID oid = 0;
    EXPECT_EQ(Err(CeOpenDatabaseInSession(nullptr, &g_, &oid, u"Shots", &foreign, 0, nullptr)),
              ERROR_INVALID_PARAMETER);

    std::string log = trace_.Text();
    EXPECT_THAT(log, HasSubstr("[Platform] CeCreateDatabaseWithProps"));
    EXPECT_THAT(log,
                HasSubstr("[Platform] CeWriteRecordProps: property 0x00090013 is not declared"));
    EXPECT_THAT(log, HasSubstr("[Platform] CeSeekDatabaseEx"));
}

// --- Transactions ----------------------------------------------------------------------------

// The name of the current record; the handle reads on by itself.
WString ReadName(HANDLE db) {
    return ReadCurrent(db).props[kName].text;
}

// Deletes the first record named name, through a handle in name order.
bool Remove(HANDLE db, LPCWSTR name) {
    CEOID oid = Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, {Text(kName, name)});
    return oid != 0 && CeDeleteRecord(db, oid);
}

// What the handle says of "Log" equals what the catalog says now.
void ExpectInfoAsStored(HANDLE db, CEGUID* g, const char* where) {
    CEDBASEINFOEX known = InfoOf(db);
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

TEST_F(PropertyDatabase, ATransactionGroupsTheThreadsWritesThroughEveryMountUntilItEnds) {
    CEGUID g1 = Mount();
    CEGUID g2 = Mount();  // a second mount of the same file
    MakeLog(&g1);
    HANDLE session = CeCreateSession(&g1);
    ASSERT_NE(session, INVALID_HANDLE_VALUE);
    open_.push_back(session);
    HANDLE byName = Open(0, true, u"Log", &g1, session);
    HANDLE other = Open(0, true, u"Log", &g2);
    HANDLE elsewhere = Open(-1, true, u"Log", &g2);  // only another thread uses it
    for (LPCWSTR n : {u"a1", u"a2", u"a3", u"a4", u"a5", u"a6"})
        ASSERT_NE(AddShot(other, {10, n, 1, 1}), 0u);

    // Inside: the thread's own adds and deletes through the other mount are seen at once,
    // also by a scan that had read ahead, and the record count follows them.
    ASSERT_TRUE(CeBeginTransaction(session, CEDB_ISOLEVEL_DEFAULT));
    ASSERT_TRUE(CeSeekDatabaseEx(byName, CEDB_SEEK_BEGINNING, 0, 0, nullptr));
    EXPECT_EQ(ReadName(byName), u"a1");
    EXPECT_EQ(ReadName(byName), u"a2");  // and the next few read ahead
    ASSERT_TRUE(Remove(other, u"a3"));
    ASSERT_NE(AddShot(other, {1000, u"a2x", 1, 1}), 0u);
    ASSERT_NE(AddShot(other, {7, u"a2y", 1, 1}), 0u);
    EXPECT_EQ(NamesOn(byName), (Names{u"a2x", u"a2y", u"a4", u"a5", u"a6"}));
    EXPECT_EQ(InfoOf(byName).dwNumRecords, 7u);
    ExpectInfoAsStored(byName, &g1, "inside");
    // Another thread waits for the end rather than seeing any of it.
    auto reader = std::async(std::launch::async, [elsewhere] { return AllNamesOf(elsewhere); });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);

    // A rollback leaves the volume as it was, for this thread and the waiting one.
    ASSERT_TRUE(CeEndTransaction(session, FALSE));
    ASSERT_EQ(reader.wait_for(kWatchdog), std::future_status::ready);
    const Names before = {u"a1", u"a2", u"a3", u"a4", u"a5", u"a6"};
    EXPECT_EQ(reader.get(), before);
    EXPECT_EQ(AllNamesOf(byName), before);
    EXPECT_EQ(InfoOf(byName).dwNumRecords, 6u);
    ExpectInfoAsStored(byName, &g1, "after the rollback");

    // A commit writes everything; what the handles knew inside stays right after it.
    ASSERT_TRUE(CeBeginTransaction(session, CEDB_ISOLEVEL_SERIALIZABLE));
    ASSERT_NE(AddShot(other, {5, u"z1", 1, 1}), 0u);
    ASSERT_TRUE(Remove(byName, u"a1"));
    EXPECT_EQ(InfoOf(byName).dwNumRecords, 6u);
    ASSERT_TRUE(CeEndTransaction(session, TRUE));
    ExpectInfoAsStored(byName, &g1, "after the commit");
    ExpectInfoAsStored(other, &g2, "after the commit, other mount");
    UnmountAll();
    CEGUID again = Mount();
    EXPECT_EQ(AllNamesOf(Open(0, true, u"Log", &again)),
              (Names{u"a2", u"a3", u"a4", u"a5", u"a6", u"z1"}));
}

TEST_F(PropertyDatabase, MisusedTransactionsAreRefusedAndAClosedSessionTakesItsOwnBack) {
    CEGUID g = Mount();
    MakeLog(&g);
    HANDLE s1 = CeCreateSession(&g);
    HANDLE s2 = CeCreateSession(&g);
    open_.insert(open_.end(), {s1, s2});
    HANDLE db = Open(0, true, u"Log", &g, s1);
    HANDLE reader = Open(0, true, u"Log", &g);
    ASSERT_NE(AddShot(db, {1, u"kept", 1, 1}), 0u);

    EXPECT_EQ(Err(CeBeginTransaction(s1, 0)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Err(CeBeginTransaction(db, CEDB_ISOLEVEL_DEFAULT)),
              ERROR_INVALID_HANDLE);                                      // not a session
    EXPECT_EQ(Err(CeEndTransaction(s1, TRUE)), ERROR_INVALID_PARAMETER);  // none begun
    ASSERT_TRUE(CeBeginTransaction(s1, CEDB_ISOLEVEL_DEFAULT));
    EXPECT_EQ(Err(CeBeginTransaction(s2, CEDB_ISOLEVEL_DEFAULT)),
              ERROR_ALREADY_EXISTS);  // one per thread and file
    EXPECT_EQ(Err(CeEndTransaction(s2, TRUE)),
              ERROR_INVALID_PARAMETER);  // ended on its own session only
    ASSERT_NE(AddShot(db, {2, u"dropped", 1, 1}), 0u);

    // Closing the session rolls its transaction back and lets the other threads in.
    ASSERT_TRUE(CloseHandle(s1));
    EXPECT_THAT(trace_.Text(), HasSubstr("was rolled back"));
    auto names = std::async(std::launch::async, [reader] { return AllNamesOf(reader); });
    ASSERT_EQ(names.wait_for(kWatchdog), std::future_status::ready);
    EXPECT_EQ(names.get(), Names{u"kept"});
    ASSERT_TRUE(CeBeginTransaction(s2, CEDB_ISOLEVEL_DEFAULT));
    EXPECT_TRUE(CeEndTransaction(s2, FALSE));

    ASSERT_TRUE(CeUnmountDBVol(&g));
    EXPECT_EQ(Err(CeBeginTransaction(s2, CEDB_ISOLEVEL_DEFAULT)), ERROR_INVALID_HANDLE);
}

TEST_F(PropertyDatabase, AFailedCommitWritesNothingAndTheVolumeWorksOn) {
    CEGUID g = Mount();
    MakeLog(&g);
    HANDLE session = CeCreateSession(&g);
    open_.push_back(session);
    HANDLE db = Open(0, true, u"Log", &g, session);
    ASSERT_NE(AddShot(db, {1, u"kept", 1, 1}), 0u);
    Faults faults;
    CeDbSetFaultHook(InjectFault, &faults);

    struct Case {
        std::atomic<bool>* fault;  // what fails during the commit
        DWORD error;               // the error the commit reports
    };
    for (Case c :
         {Case{&faults.failSyncs, ERROR_WRITE_FAULT}, Case{&faults.failWrites, ERROR_DISK_FULL}}) {
        ASSERT_TRUE(CeBeginTransaction(session, CEDB_ISOLEVEL_DEFAULT));
        ASSERT_NE(AddShot(db, {2, u"lost", 1, 1}), 0u);
        ASSERT_TRUE(Remove(db, u"kept"));
        *c.fault = true;
        EXPECT_FALSE(CeEndTransaction(session, TRUE));
        EXPECT_EQ(GetLastError(), c.error);
        *c.fault = false;
        EXPECT_EQ(AllNamesOf(db), Names{u"kept"});
        ExpectInfoAsStored(db, &g, "after a failed commit");
    }
    EXPECT_THAT(trace_.Text(), HasSubstr("[Platform] CeEndTransaction"));
    // The next transaction commits, also one far larger than a few pages.
    ASSERT_TRUE(CeBeginTransaction(session, CEDB_ISOLEVEL_DEFAULT));
    Names expected = {u"kept"};
    for (int i = 0; i < 3000; ++i) {
        expected.push_back(u"bulk " + FromUtf8(std::to_string(10000 + i)));
        ASSERT_NE(AddShot(db, {static_cast<DWORD>(i), expected.back(), 1, 1}), 0u);
    }
    ASSERT_TRUE(CeEndTransaction(session, TRUE));
    CeDbSetFaultHook(nullptr, nullptr);
    UnmountAll();
    CEGUID again = Mount();
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(AllNamesOf(Open(0, true, u"Log", &again)), expected);
}

}  // namespace
