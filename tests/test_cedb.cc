// The property database through its calls: volumes, databases, records, sort orders and
// seeks on real volume files; several mounts and several processes on one file; killed
// writers, damaged files and injected disk faults.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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
#include "tests/support/test_env.h"

extern char** environ;

namespace {

constexpr LPCWSTR kVolume = u"\\Windows\\Test.vol";

constexpr CEPROPID kIndex = MakePropId(0, CEVT_AUTO_I4);
constexpr CEPROPID kSize = MakePropId(1, CEVT_UI4);
constexpr CEPROPID kName = MakePropId(2, CEVT_LPWSTR);
constexpr CEPROPID kTaken = MakePropId(3, CEVT_FILETIME);
constexpr CEPROPID kKind = MakePropId(4, CEVT_UI2);
constexpr CEPROPID kDelta = MakePropId(5, CEVT_I2);
constexpr CEPROPID kOffset = MakePropId(6, CEVT_I4);

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

CEOID CreateDb(CEGUID* g, LPCWSTR name, const std::vector<PropDecl>& props,
               const std::vector<SortSpec>& sorts, DWORD type = 0) {
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
// information, then opens with sort order sortIndex (-1: none).
HANDLE OpenDb(CEGUID* g, LPCWSTR name, int sortIndex, bool autoIncrement) {
    CEOID oid = 0;
    HANDLE probe = CeOpenDatabaseInSession(nullptr, g, &oid, name, nullptr, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return probe;
    CEDBASEINFOEX info{};
    BOOL ok = CeGetDBInformationByHandle(probe, &info);
    CloseHandle(probe);
    if (!ok) return INVALID_HANDLE_VALUE;
    return CeOpenDatabaseInSession(nullptr, g, &oid, nullptr,
                                   sortIndex >= 0 ? &info.rgSortSpecs[sortIndex] : nullptr,
                                   autoIncrement ? CEDB_AUTOINCREMENT : 0, nullptr);
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
    WString name = s.name;
    CEPROPVAL v[6] = {};
    v[0].propid = kSize;
    v[0].val.ulVal = s.size;
    v[1].propid = kName;
    v[1].val.lpwstr = name.data();
    v[2].propid = kTaken;
    v[2].val.filetime = U64ToFileTime(s.taken);
    v[3].propid = kKind;
    v[3].val.uiVal = s.kind;
    v[4].propid = kDelta;
    v[4].val.iVal = s.delta;
    v[5].propid = kOffset;
    v[5].val.lVal = s.offset;
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
    std::vector<CEPROPID> order;     // identifiers in the order returned
    std::map<CEPROPID, Prop> props;  // by identifier
    DWORD value(CEPROPID id) const { return static_cast<DWORD>(props.at(id).raw); }
};

// Reads the current record (all properties, or the listed ones) into a block the call
// allocates; checks that every text lies inside that block.
Record ReadCurrent(HANDLE db, std::vector<CEPROPID> ids = {}) {
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

CEPROPVAL U4(CEPROPID id, DWORD v) {
    CEPROPVAL p{};
    p.propid = id;
    p.val.ulVal = v;
    return p;
}
CEPROPVAL U2(CEPROPID id, WORD v) {
    CEPROPVAL p{};
    p.propid = id;
    p.val.uiVal = v;
    return p;
}
CEPROPVAL I2(CEPROPID id, int16_t v) {
    CEPROPVAL p{};
    p.propid = id;
    p.val.iVal = v;
    return p;
}
CEPROPVAL I4(CEPROPID id, int32_t v) {
    CEPROPVAL p{};
    p.propid = id;
    p.val.lVal = v;
    return p;
}
CEPROPVAL Time(CEPROPID id, uint64_t v) {
    CEPROPVAL p{};
    p.propid = id;
    p.val.filetime = U64ToFileTime(v);
    return p;
}
CEPROPVAL Text(CEPROPID id, LPCWSTR v) {
    CEPROPVAL p{};
    p.propid = id;
    p.val.lpwstr = const_cast<LPWSTR>(v);  // only read
    return p;
}

CEOID Seek(HANDLE db, DWORD type, std::vector<CEPROPVAL> values) {
    return CeSeekDatabaseEx(db, type, reinterpret_cast<uintptr_t>(values.data()),
                            static_cast<WORD>(values.size()), nullptr);
}

// Every record in the handle's order: from the beginning, by auto-increment reads.
std::vector<CEOID> ScanAll(HANDLE db) {
    std::vector<CEOID> out;
    if (!CeSeekDatabaseEx(db, CEDB_SEEK_BEGINNING, 0, 0, nullptr)) return out;
    for (;;) {
        Record r = ReadCurrent(db);
        if (!r.oid) break;
        out.push_back(r.oid);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    return out;
}

// The first record equal to values and every next one, as a client counts matches.
std::vector<CEOID> Matches(HANDLE db, std::vector<CEPROPVAL> values) {
    std::vector<CEOID> out;
    for (CEOID id = Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, values); id;
         id = Seek(db, CEDB_SEEK_VALUENEXTEQUAL, values)) {
        out.push_back(id);
    }
    return out;
}

DWORD RecordCount(HANDLE db) {
    CEDBASEINFOEX info{};
    EXPECT_TRUE(CeGetDBInformationByHandle(db, &info));
    return info.dwNumRecords;
}

class PropertyDatabase : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        tracePath_ = root_ + "/../trace.log";
        setenv("VANTLO_TRACE_FILE", tracePath_.c_str(), 1);
    }
    void TearDown() override {
        CeDbSetFaultHook(nullptr, nullptr);
        unsetenv("VANTLO_TRACE_FILE");
        DeviceTest::TearDown();
    }

    CEGUID Mount(LPCWSTR path = kVolume) {
        CEGUID g{};
        EXPECT_TRUE(CeMountDBVolEx(&g, path, nullptr, OPEN_ALWAYS));
        return g;
    }
    std::string TraceLog() const { return ReadHostFile(tracePath_); }
    std::string VolumeFile() const { return HostPath(kVolume); }

    std::string tracePath_;  // where this case's trace lines go
};

// --- Databases and their description -------------------------------------------------------

TEST_F(PropertyDatabase, CreatedDatabaseDescribesItsPropertiesAndSortOrders) {
    CEGUID g = Mount();
    CEOID oid = CreateDb(&g, u"Shots", kShotProps, kShotSorts, 42);
    ASSERT_NE(oid, 0u);

    CEOIDINFOEX oi{};
    ASSERT_TRUE(CeOidGetInfoEx2(&g, oid, &oi));
    EXPECT_EQ(oi.wObjType, OBJTYPE_DATABASE);
    const CEDBASEINFOEX& info = oi.infDatabase;
    EXPECT_EQ(WString(info.szDbaseName), u"Shots");
    EXPECT_EQ(info.dwDbaseType, 42u);
    EXPECT_EQ(info.dwNumRecords, 0u);
    ASSERT_EQ(info.wNumSortOrder, 2);
    EXPECT_EQ(info.rgSortSpecs[0].wNumProps, 1);
    EXPECT_EQ(info.rgSortSpecs[0].rgPropID[0], kIndex);
    EXPECT_EQ(info.rgSortSpecs[0].rgdwFlags[0], CEDB_SORT_DESCENDING);
    ASSERT_EQ(info.rgSortSpecs[1].wNumProps, 4);
    const CEPROPID keys[4] = {kSize, kTaken, kName, kKind};
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(info.rgSortSpecs[1].rgPropID[k], keys[k]);
        EXPECT_EQ(info.rgSortSpecs[1].rgdwFlags[k], 0u);
    }

    // Names are found ignoring ASCII case, as on the device.
    CEOID found = 0;
    HANDLE db = CeOpenDatabaseInSession(nullptr, &g, &found, u"SHOTS", nullptr, 0, nullptr);
    ASSERT_NE(db, INVALID_HANDLE_VALUE);
    EXPECT_EQ(found, oid);
    WORD count = 0;
    ASSERT_TRUE(CeGetDatabaseProps(db, &count, nullptr));
    ASSERT_EQ(count, kShotProps.size());
    std::vector<std::vector<WCHAR>> names(count, std::vector<WCHAR>(CEDB_MAXPROPNAMELEN + 1));
    std::vector<CEPROPSPEC> specs(count);
    for (WORD i = 0; i < count; ++i) {
        specs[i].wVersion = 1;
        specs[i].pwszPropName = names[i].data();
        specs[i].cchPropName = CEDB_MAXPROPNAMELEN + 1;
    }
    ASSERT_TRUE(CeGetDatabaseProps(db, &count, specs.data()));
    for (WORD i = 0; i < count; ++i) {
        EXPECT_EQ(specs[i].propid, kShotProps[i].id);
        EXPECT_EQ(WString(names[i].data()), kShotProps[i].name);
    }
    WORD tooFew = 2;
    EXPECT_FALSE(CeGetDatabaseProps(db, &tooFew, specs.data()));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(tooFew, count);
    CloseHandle(db);

    EXPECT_EQ(CreateDb(&g, u"shots", kShotProps, kShotSorts), 0u);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_TRUE(CeUnmountDBVol(&g));
}

TEST_F(PropertyDatabase, EnumerationListsDatabasesOfTheTypeAskedFor) {
    CEGUID g = Mount();
    CEOID alpha = CreateDb(&g, u"Alpha", kShotProps, {}, 7);
    CEOID beta = CreateDb(&g, u"Beta", kShotProps, {}, 9);
    CEOID gamma = CreateDb(&g, u"Gamma", kShotProps, {}, 7);
    ASSERT_TRUE(alpha && beta && gamma);

    auto list = [&](DWORD type) {
        std::vector<WString> names;
        HANDLE e = CeFindFirstDatabaseEx(&g, type);
        EXPECT_NE(e, INVALID_HANDLE_VALUE);
        for (CEOID oid; (oid = CeFindNextDatabaseEx(e, &g)) != 0;) {
            CEOIDINFOEX info{};
            EXPECT_TRUE(CeOidGetInfoEx2(&g, oid, &info));
            names.emplace_back(info.infDatabase.szDbaseName);
        }
        EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
        CloseHandle(e);
        return names;
    };
    EXPECT_EQ(list(0), (std::vector<WString>{u"Alpha", u"Beta", u"Gamma"}));
    EXPECT_EQ(list(7), (std::vector<WString>{u"Alpha", u"Gamma"}));
    EXPECT_EQ(list(5), std::vector<WString>{});

    ASSERT_TRUE(CeDeleteDatabaseEx(&g, beta));
    EXPECT_EQ(list(0), (std::vector<WString>{u"Alpha", u"Gamma"}));
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, DeletingADatabaseRemovesItsRecordsAndItsName) {
    CEGUID g = Mount();
    CEOID shots = CreateDb(&g, u"Shots", kShotProps, kShotSorts);
    CEOID other = CreateDb(&g, u"Other", kShotProps, kShotSorts);
    ASSERT_TRUE(shots && other);
    HANDLE a = OpenDb(&g, u"Shots", 0, false);
    HANDLE b = OpenDb(&g, u"Other", 0, false);
    for (int i = 0; i < 5; ++i) ASSERT_NE(AddShot(a, {1, u"x", 1, 1}), 0u);
    ASSERT_NE(AddShot(b, {2, u"kept", 2, 2}), 0u);

    ASSERT_TRUE(CeDeleteDatabaseEx(&g, shots));
    // A handle left open on it fails cleanly.
    EXPECT_EQ(AddShot(a, {1, u"y", 1, 1}), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CeSeekDatabaseEx(a, CEDB_SEEK_BEGINNING, 0, 0, nullptr), 0u);
    CloseHandle(a);
    EXPECT_EQ(OpenDb(&g, u"Shots", -1, false), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    CEOIDINFOEX info{};
    EXPECT_FALSE(CeOidGetInfoEx2(&g, shots, &info));
    EXPECT_FALSE(CeDeleteDatabaseEx(&g, shots));

    // The name can be used again, for a new, empty database with a new identifier.
    CEOID again = CreateDb(&g, u"Shots", kShotProps, kShotSorts);
    ASSERT_NE(again, 0u);
    EXPECT_NE(again, shots);
    HANDLE c = OpenDb(&g, u"Shots", 0, true);
    EXPECT_EQ(RecordCount(c), 0u);
    EXPECT_EQ(ScanAll(c), std::vector<CEOID>{});
    CloseHandle(c);

    // The other database keeps its record.
    ASSERT_NE(CeSeekDatabaseEx(b, CEDB_SEEK_BEGINNING, 0, 0, nullptr), 0u);
    EXPECT_EQ(ReadCurrent(b).props[kName].text, u"kept");
    CloseHandle(b);
    CeUnmountDBVol(&g);
}

// --- Records and values ----------------------------------------------------------------

TEST_F(PropertyDatabase, EveryValueTypeReadsBackAsWritten) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE db = OpenDb(&g, u"Shots", 1, false);
    ASSERT_NE(db, INVALID_HANDLE_VALUE);

    const WString name = u"Caf\u00e9 \u65e5\u672c \U0001F600 end";
    CEOID high = AddShot(db, {0xFFFFFFFFu, name, 0x7FFFFFFF12345678ull, 0xFFFF, -32768, INT_MIN});
    CEOID low = AddShot(db, {0, u"", 0, 0, 32767, INT_MAX});
    ASSERT_TRUE(high && low);

    ASSERT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_CEOID, high, 0, nullptr), high);
    Record r = ReadCurrent(db);
    ASSERT_EQ(r.oid, high);
    EXPECT_EQ(r.order,
              (std::vector<CEPROPID>{kIndex, kSize, kName, kTaken, kKind, kDelta, kOffset}));
    EXPECT_EQ(r.value(kIndex), high);
    EXPECT_EQ(r.value(kSize), 0xFFFFFFFFu);
    EXPECT_EQ(r.props[kName].text, name);
    EXPECT_EQ(r.props[kTaken].raw, 0x7FFFFFFF12345678ull);
    EXPECT_EQ(static_cast<WORD>(r.props[kKind].raw), 0xFFFF);
    EXPECT_EQ(static_cast<int16_t>(r.props[kDelta].raw), -32768);
    EXPECT_EQ(static_cast<int32_t>(r.props[kOffset].raw), INT_MIN);

    ASSERT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_CEOID, low, 0, nullptr), low);
    r = ReadCurrent(db);
    EXPECT_EQ(r.value(kSize), 0u);
    EXPECT_EQ(r.props[kName].text, u"");
    EXPECT_EQ(r.props[kName].flags, 0);
    EXPECT_EQ(r.props[kTaken].raw, 0u);
    EXPECT_EQ(static_cast<int16_t>(r.props[kDelta].raw), 32767);
    EXPECT_EQ(static_cast<int32_t>(r.props[kOffset].raw), INT_MAX);

    // Chosen properties come back in the order asked for; one the database does not have
    // comes back zero and flagged.
    const CEPROPID unknown = MakePropId(9, CEVT_UI4);
    r = ReadCurrent(db, {kName, kSize, unknown, kIndex});
    ASSERT_EQ(r.oid, low);
    EXPECT_EQ(r.order, (std::vector<CEPROPID>{kName, kSize, unknown, kIndex}));
    EXPECT_EQ(r.props[unknown].flags, CEDB_PROPNOTFOUND);
    EXPECT_EQ(r.props[unknown].raw, 0u);
    EXPECT_EQ(r.value(kIndex), low);

    // A record written with one property has only that and its counter.
    CEPROPVAL only = U4(kSize, 77);
    CEOID sparse = CeWriteRecordProps(db, 0, 1, &only);
    ASSERT_NE(sparse, 0u);
    ASSERT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_CEOID, sparse, 0, nullptr), sparse);
    r = ReadCurrent(db);
    EXPECT_EQ(r.order, (std::vector<CEPROPID>{kIndex, kSize}));
    r = ReadCurrent(db, {kName, kTaken});
    EXPECT_EQ(r.props[kName].flags, CEDB_PROPNOTFOUND);
    EXPECT_TRUE(r.props[kName].null);
    EXPECT_EQ(r.props[kTaken].flags, CEDB_PROPNOTFOUND);
    CloseHandle(db);
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, ReadIntoTheCallersBufferReportsTheSizeItNeeds) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE db = OpenDb(&g, u"Shots", 1, false);
    CEOID oid = AddShot(db, {5, u"a rather long file name.jpg", 9, 1});
    ASSERT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_CEOID, oid, 0, nullptr), oid);

    BYTE small[8];
    BYTE* p = small;
    DWORD size = sizeof small;
    WORD count = 0;
    EXPECT_EQ(CeReadRecordPropsEx(db, 0, &count, nullptr, &p, &size, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_GT(size, 7 * sizeof(CEPROPVAL));

    std::vector<BYTE> exact(size);
    p = exact.data();
    EXPECT_EQ(CeReadRecordPropsEx(db, 0, &count, nullptr, &p, &size, nullptr), oid);
    EXPECT_EQ(p, exact.data());
    ASSERT_EQ(count, 7);
    const CEPROPVAL* vals = reinterpret_cast<const CEPROPVAL*>(p);
    EXPECT_EQ(WString(vals[2].val.lpwstr), u"a rather long file name.jpg");
    EXPECT_TRUE(reinterpret_cast<BYTE*>(vals[2].val.lpwstr) > exact.data() &&
                reinterpret_cast<BYTE*>(vals[2].val.lpwstr) < exact.data() + exact.size());

    // With reallocation allowed, a block too small is replaced by one that fits.
    BYTE* block = static_cast<BYTE*>(LocalAlloc(LPTR, 4));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(block[0] | block[1] | block[2] | block[3], 0);
    DWORD blockSize = 4;
    count = 0;
    EXPECT_EQ(
        CeReadRecordPropsEx(db, CEDB_ALLOWREALLOC, &count, nullptr, &block, &blockSize, nullptr),
        oid);
    EXPECT_EQ(blockSize, size);
    EXPECT_EQ(reinterpret_cast<CEPROPVAL*>(block)[1].val.ulVal, 5u);
    EXPECT_EQ(LocalFree(block), nullptr);
    CloseHandle(db);
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, CounterGrowsWithEveryRecordAndIsNeverReused) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE db = OpenDb(&g, u"Shots", 0, false);
    CEOID a = AddShot(db, {1, u"a", 1, 0});
    CEOID b = AddShot(db, {1, u"b", 1, 0});
    CEOID c = AddShot(db, {1, u"c", 1, 0});
    ASSERT_TRUE(a && b && c);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    CeSeekDatabaseEx(db, CEDB_SEEK_CEOID, b, 0, nullptr);
    EXPECT_EQ(ReadCurrent(db, {kIndex}).value(kIndex), b);

    ASSERT_TRUE(CeDeleteRecord(db, c));
    CEOID d = AddShot(db, {1, u"d", 1, 0});
    EXPECT_GT(d, c);

    // The store assigns the counter; a write of it is refused.
    CEPROPVAL counter = U4(kIndex, 1);
    EXPECT_EQ(CeWriteRecordProps(db, 0, 1, &counter), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(db);

    // The counter keeps growing across a remount, even after the newest record went.
    ASSERT_TRUE(CeFlushDBVol(&g));
    ASSERT_TRUE(CeUnmountDBVol(&g));
    g = Mount();
    db = OpenDb(&g, u"Shots", 0, true);
    ASSERT_TRUE(CeDeleteRecord(db, d));
    CEOID e = AddShot(db, {1, u"e", 1, 0});
    EXPECT_GT(e, d);
    EXPECT_EQ(ScanAll(db), (std::vector<CEOID>{e, b, a}));
    CloseHandle(db);
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, OverwritingPropertiesMovesTheRecordInItsSortOrder) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE db = OpenDb(&g, u"Shots", 1, true);
    CEOID small = AddShot(db, {10, u"small", 5, 1});
    CEOID big = AddShot(db, {20, u"big", 5, 1});
    ASSERT_EQ(ScanAll(db), (std::vector<CEOID>{small, big}));

    CEPROPVAL grow = U4(kSize, 30);
    EXPECT_EQ(CeWriteRecordProps(db, small, 1, &grow), small);
    EXPECT_EQ(ScanAll(db), (std::vector<CEOID>{big, small}));
    CeSeekDatabaseEx(db, CEDB_SEEK_CEOID, small, 0, nullptr);
    Record r = ReadCurrent(db);
    EXPECT_EQ(r.value(kSize), 30u);
    EXPECT_EQ(r.props[kName].text, u"small");  // untouched

    // A property can be removed from a record.
    CEPROPVAL drop = Text(kName, nullptr);
    drop.wFlags = CEDB_PROPDELETE;
    EXPECT_EQ(CeWriteRecordProps(db, small, 1, &drop), small);
    CeSeekDatabaseEx(db, CEDB_SEEK_CEOID, small, 0, nullptr);
    EXPECT_EQ(ReadCurrent(db, {kName}).props[kName].flags, CEDB_PROPNOTFOUND);

    ASSERT_TRUE(CeDeleteRecord(db, big));
    EXPECT_EQ(CeWriteRecordProps(db, big, 1, &grow), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(CeDeleteRecord(db, big));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    CloseHandle(db);
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, InformationCountsRecordsTheirSizeAndLastChange) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE db = OpenDb(&g, u"Shots", 0, false);
    CEDBASEINFOEX before{};
    ASSERT_TRUE(CeGetDBInformationByHandle(db, &before));
    EXPECT_EQ(before.dwNumRecords, 0u);
    EXPECT_EQ(before.dwSize, 0u);
    EXPECT_NE(FileTimeToU64(before.ftLastModified), 0u);

    CEOID shortName = AddShot(db, {1, u"a", 1, 1});
    CEDBASEINFOEX one{};
    ASSERT_TRUE(CeGetDBInformationByHandle(db, &one));
    EXPECT_EQ(one.dwNumRecords, 1u);
    EXPECT_GT(one.dwSize, 0u);
    EXPECT_GE(FileTimeToU64(one.ftLastModified), FileTimeToU64(before.ftLastModified));

    AddShot(db, {1, WString(100, u'n'), 1, 1});
    CEDBASEINFOEX two{};
    ASSERT_TRUE(CeGetDBInformationByHandle(db, &two));
    EXPECT_EQ(two.dwNumRecords, 2u);
    EXPECT_GT(two.dwSize - one.dwSize, one.dwSize);  // the long text counts

    ASSERT_TRUE(CeDeleteRecord(db, shortName));
    CEDBASEINFOEX after{};
    ASSERT_TRUE(CeGetDBInformationByHandle(db, &after));
    EXPECT_EQ(after.dwNumRecords, 1u);
    EXPECT_EQ(after.dwSize, two.dwSize - one.dwSize);
    CloseHandle(db);
    CeUnmountDBVol(&g);
}

// --- Sort orders and seeks ---------------------------------------------------------------

TEST_F(PropertyDatabase, ValueSeeksMatchEveryTypeExactlyInAscendingAndDescendingOrder) {
    CEGUID g = Mount();
    const std::vector<SortSpec> sorts = {{{kDelta, false}}, {{kKind, true}},   {{kOffset, false}},
                                         {{kSize, true}},   {{kTaken, false}}, {{kName, true}},
                                         {{kName, false}}};
    ASSERT_NE(CreateDb(&g, u"Typed", kShotProps, sorts), 0u);
    HANDLE w = OpenDb(&g, u"Typed", -1, false);
    CEOID r1 = AddShot(w, {0x80000000u, u"photo", 0x7000000000000000ull, 7, -5, -100000});
    CEOID r2 = AddShot(w, {1, u"Photo", 1, 65535, 3, 5});
    CEOID r3 = AddShot(w, {0xFFFFFFFFu, u"photo ", 0x01D0000000000000ull, 0, -32768, INT_MAX});
    CEOID r4 = AddShot(w, {1, u"\u00e9t\u00e9", 1, 7, 3, INT_MIN});
    ASSERT_TRUE(r1 && r2 && r3 && r4);
    CloseHandle(w);

    struct Case {
        int sort;                    // sort order index
        std::vector<CEOID> order;    // the scan
        CEPROPVAL probe;             // a value seek
        std::vector<CEOID> matches;  // what it finds
    };
    const Case cases[] = {
        {0, {r3, r1, r2, r4}, I2(kDelta, 3), {r2, r4}},
        {1, {r2, r1, r4, r3}, U2(kKind, 7), {r1, r4}},
        {2, {r4, r1, r2, r3}, I4(kOffset, INT_MIN), {r4}},
        {3, {r3, r1, r2, r4}, U4(kSize, 0x80000000u), {r1}},
        {4, {r2, r4, r3, r1}, Time(kTaken, 0x01D0000000000000ull), {r3}},
        // Texts sort and match by exact code points: "Photo" < "photo" < "photo " < "été".
        {5, {r4, r3, r1, r2}, Text(kName, u"photo"), {r1}},
        {6, {r2, r1, r3, r4}, Text(kName, u"\u00e9t\u00e9"), {r4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("sort order " + std::to_string(c.sort));
        HANDLE db = OpenDb(&g, u"Typed", c.sort, true);
        ASSERT_NE(db, INVALID_HANDLE_VALUE);
        EXPECT_EQ(ScanAll(db), c.order);
        EXPECT_EQ(Matches(db, {c.probe}), c.matches);
        CloseHandle(db);
    }

    HANDLE byName = OpenDb(&g, u"Typed", 6, false);
    EXPECT_EQ(Seek(byName, CEDB_SEEK_VALUEFIRSTEQUAL, {Text(kName, u"PHOTO")}), 0u);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(Seek(byName, CEDB_SEEK_VALUEFIRSTEQUAL, {Text(kName, u"phot")}), 0u);
    CloseHandle(byName);
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, NextEqualWalksEveryDuplicateInSortOrder) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE db = OpenDb(&g, u"Shots", 1, true);
    const uint64_t t1 = 1000, t2 = 2000;
    CEOID a = AddShot(db, {10, u"a", t1, 1});
    CEOID b = AddShot(db, {10, u"a", t1, 1});
    CEOID c = AddShot(db, {10, u"b", t1, 1});
    CEOID d = AddShot(db, {10, u"a", t2, 1});
    CEOID e = AddShot(db, {20, u"a", t1, 1});
    CEOID f = AddShot(db, {10, u"a", t1, 1});
    CEOID h = AddShot(db, {10, u"a", t1, 2});
    ASSERT_TRUE(a && b && c && d && e && f && h);

    const std::vector<CEPROPVAL> all4 = {U4(kSize, 10), Time(kTaken, t1), Text(kName, u"a"),
                                         U2(kKind, 1)};
    EXPECT_EQ(Matches(db, all4), (std::vector<CEOID>{a, b, f}));
    EXPECT_EQ(Matches(db, {U4(kSize, 10)}), (std::vector<CEOID>{a, b, f, h, c, d}));
    EXPECT_EQ(Matches(db, {U4(kSize, 10), Time(kTaken, t1), Text(kName, u"a")}),
              (std::vector<CEOID>{a, b, f, h}));
    EXPECT_EQ(Matches(db, {U4(kSize, 10), Time(kTaken, t2), Text(kName, u"b")}),
              std::vector<CEOID>{});

    // After an auto-increment read the next match is still the next record that matches.
    std::vector<CEOID> read;
    for (CEOID id = Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, all4); id;
         id = Seek(db, CEDB_SEEK_VALUENEXTEQUAL, all4)) {
        read.push_back(ReadCurrent(db).oid);
    }
    EXPECT_EQ(read, (std::vector<CEOID>{a, b, f}));

    // Next-equal with values past the current record goes to their first match; with
    // values before it there is none.
    ASSERT_EQ(Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, {U4(kSize, 10)}), a);
    EXPECT_EQ(Seek(db, CEDB_SEEK_VALUENEXTEQUAL, {U4(kSize, 20)}), e);
    EXPECT_EQ(Seek(db, CEDB_SEEK_VALUENEXTEQUAL, {U4(kSize, 10)}), 0u);
    EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_CURRENT, 0, 0, nullptr), e);  // unchanged
    CloseHandle(db);
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, DescendingCounterOrderSeeksFromBeginningEndAndCurrent) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE db = OpenDb(&g, u"Shots", 0, false);
    std::vector<CEOID> r;
    for (int i = 0; i < 5; ++i) r.push_back(AddShot(db, {1, u"x", 1, 1}));

    DWORD index = 99;
    EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_BEGINNING, 0, 0, &index), r[4]);
    EXPECT_EQ(index, 0u);
    EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_BEGINNING, 2, 0, &index), r[2]);
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_END, 0, 0, &index), r[0]);
    EXPECT_EQ(index, 4u);
    EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_END, 1, 0, &index), r[1]);
    EXPECT_EQ(index, 3u);
    EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_CURRENT, static_cast<DWORD>(-1), 0, &index), r[2]);
    EXPECT_EQ(index, 2u);
    EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_CURRENT, 2, 0, nullptr), r[0]);
    EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_CURRENT, static_cast<DWORD>(-3), 0, nullptr), r[3]);
    EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_CURRENT, 5, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_CURRENT, 0, 0, nullptr), r[3]);
    EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_BEGINNING, 5, 0, nullptr), 0u);
    EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_CEOID, r[3], 0, &index), r[3]);
    EXPECT_EQ(index, 1u);
    EXPECT_EQ(ReadCurrent(db).oid, r[3]);
    EXPECT_EQ(Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, {U4(kIndex, r[1])}), r[1]);
    CloseHandle(db);

    // Without a sort order the records come in the order they were added.
    HANDLE plain = OpenDb(&g, u"Shots", -1, true);
    EXPECT_EQ(ScanAll(plain), r);
    EXPECT_EQ(Seek(plain, CEDB_SEEK_VALUEFIRSTEQUAL, {U4(kSize, 1)}), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(plain);
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, OffsetSeeksFromEitherEndAgreeWithTheScan) {
    CEGUID g = Mount();
    CEGUID other = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE w = OpenDb(&g, u"Shots", -1, false);
    std::vector<CEOID> ids;
    for (int i = 0; i < 25; ++i) {
        ids.push_back(AddShot(w, {DWORD(i * 7 % 11), u"x", uint64_t(i % 3), 1}));
    }
    CloseHandle(w);
    // Another mount deletes some: the seeks go by what is there now.
    HANDLE d = OpenDb(&other, u"Shots", -1, false);
    for (int i : {0, 5, 6, 24}) ASSERT_TRUE(CeDeleteRecord(d, ids[static_cast<size_t>(i)]));

    for (int sort : {-1, 0, 1}) {
        SCOPED_TRACE("sort order " + std::to_string(sort));
        HANDLE db = OpenDb(&g, u"Shots", sort, true);
        const std::vector<CEOID> order = ScanAll(db);
        ASSERT_EQ(order.size(), 21u);
        const DWORD last = static_cast<DWORD>(order.size() - 1);
        for (DWORD i = 0; i <= last; ++i) {
            DWORD index = 999;
            EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_BEGINNING, i, 0, &index), order[i]) << i;
            EXPECT_EQ(index, i);
            EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_END, i, 0, &index), order[last - i]) << i;
            EXPECT_EQ(index, last - i);
        }
        for (DWORD beyond : {last + 1, last + 2, 100000u}) {
            EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_BEGINNING, beyond, 0, nullptr), 0u);
            EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
            EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_END, beyond, 0, nullptr), 0u);
            EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
        }
        // Reading on from a record near either end.
        ASSERT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_BEGINNING, last - 1, 0, nullptr), order[last - 1]);
        EXPECT_EQ(ReadCurrent(db).oid, order[last - 1]);
        EXPECT_EQ(ReadCurrent(db).oid, order[last]);
        EXPECT_EQ(ReadCurrent(db).oid, 0u);
        ASSERT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_END, last - 1, 0, nullptr), order[1]);
        EXPECT_EQ(ReadCurrent(db).oid, order[1]);
        EXPECT_EQ(ReadCurrent(db).oid, order[2]);
        CloseHandle(db);
    }

    // At the last record reading runs out, until another mount adds one after it.
    HANDLE bySize = OpenDb(&g, u"Shots", 1, true);
    ASSERT_NE(CeSeekDatabaseEx(bySize, CEDB_SEEK_BEGINNING, 20, 0, nullptr), 0u);
    EXPECT_NE(ReadCurrent(bySize).oid, 0u);
    EXPECT_EQ(ReadCurrent(bySize).oid, 0u);
    EXPECT_EQ(ReadCurrent(bySize).oid, 0u);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    CEOID biggest = AddShot(d, {0xFFFFFFFFu, u"big", 1, 1});
    EXPECT_EQ(ReadCurrent(bySize).oid, biggest);
    EXPECT_EQ(CeSeekDatabaseEx(bySize, CEDB_SEEK_BEGINNING, 21, 0, nullptr), biggest);
    CloseHandle(bySize);
    CloseHandle(d);
    CeUnmountDBVol(&other);
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, MissingValuesAndMixedDirectionsKeepEveryRecordInTheScan) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Mixed", kShotProps, {{{kKind, false}, {kName, true}}}), 0u);
    HANDLE w = OpenDb(&g, u"Mixed", -1, false);
    auto add = [&](std::vector<CEPROPVAL> v) {
        return CeWriteRecordProps(w, 0, static_cast<WORD>(v.size()), v.data());
    };
    CEOID r1 = add({U2(kKind, 1), Text(kName, u"b")});
    CEOID r2 = add({U2(kKind, 1)});
    CEOID r3 = add({Text(kName, u"z")});
    CEOID r4 = add({U2(kKind, 1), Text(kName, u"c")});
    CEOID r5 = add({U2(kKind, 2), Text(kName, u"a")});
    CEOID r6 = add({U2(kKind, 1), Text(kName, u"b")});
    CEOID r7 = add({});
    ASSERT_TRUE(r1 && r2 && r3 && r4 && r5 && r6 && r7);
    CloseHandle(w);

    // A missing value sorts first in an ascending key and last in a descending one.
    const std::vector<CEOID> expected = {r3, r7, r4, r1, r6, r2, r5};
    HANDLE db = OpenDb(&g, u"Mixed", 0, true);
    EXPECT_EQ(ScanAll(db), expected);

    std::vector<CEOID> backward;
    for (CEOID id = CeSeekDatabaseEx(db, CEDB_SEEK_END, 0, 0, nullptr); id;
         id = CeSeekDatabaseEx(db, CEDB_SEEK_CURRENT, static_cast<DWORD>(-1), 0, nullptr)) {
        backward.push_back(id);
    }
    EXPECT_EQ(backward, std::vector<CEOID>(expected.rbegin(), expected.rend()));

    for (size_t i = 0; i < expected.size(); ++i) {
        DWORD index = 99;
        EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_CEOID, expected[i], 0, &index), expected[i]);
        EXPECT_EQ(index, i);
    }
    EXPECT_EQ(Matches(db, {U2(kKind, 1)}), (std::vector<CEOID>{r4, r1, r6, r2}));
    EXPECT_EQ(Matches(db, {U2(kKind, 1), Text(kName, u"b")}), (std::vector<CEOID>{r1, r6}));
    CloseHandle(db);
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, AutoIncrementReadsWalkTheOrderAndPickUpLaterRecords) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE writer = OpenDb(&g, u"Shots", -1, false);
    CEOID a = AddShot(writer, {1, u"a", 1, 1});
    CEOID b = AddShot(writer, {1, u"b", 1, 1});
    HANDLE db = OpenDb(&g, u"Shots", -1, true);

    EXPECT_EQ(ReadCurrent(db).oid, 0u);  // nothing sought yet
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    ASSERT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_BEGINNING, 0, 0, nullptr), a);
    EXPECT_EQ(ReadCurrent(db).oid, a);
    EXPECT_EQ(ReadCurrent(db).oid, b);
    EXPECT_EQ(ReadCurrent(db).oid, 0u);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

    CEOID c = AddShot(writer, {1, u"c", 1, 1});
    EXPECT_EQ(ReadCurrent(db).oid, c);
    EXPECT_EQ(ReadCurrent(db).oid, 0u);
    CloseHandle(db);
    CloseHandle(writer);
    CeUnmountDBVol(&g);
}

// --- Deleting while reading ----------------------------------------------------------------

TEST_F(PropertyDatabase, RecordsDeletedByAnotherHandleAreSkippedByTheReader) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE other = OpenDb(&g, u"Shots", -1, false);
    std::vector<CEOID> r(9, 0);
    for (int i = 1; i <= 8; ++i) r[static_cast<size_t>(i)] = AddShot(other, {1, u"x", 1, 1});
    HANDLE reader = OpenDb(&g, u"Shots", 0, true);  // newest first

    ASSERT_EQ(CeSeekDatabaseEx(reader, CEDB_SEEK_BEGINNING, 0, 0, nullptr), r[8]);
    EXPECT_EQ(ReadCurrent(reader).oid, r[8]);
    ASSERT_TRUE(CeDeleteRecord(other, r[7]));  // the record the reader moved on to
    ASSERT_TRUE(CeDeleteRecord(other, r[6]));
    EXPECT_EQ(ReadCurrent(reader).oid, r[5]);
    EXPECT_EQ(ReadCurrent(reader).oid, r[4]);

    // A record sought explicitly and then deleted is reported; reading goes on after it.
    ASSERT_EQ(CeSeekDatabaseEx(reader, CEDB_SEEK_CEOID, r[3], 0, nullptr), r[3]);
    ASSERT_TRUE(CeDeleteRecord(other, r[3]));
    EXPECT_EQ(ReadCurrent(reader).oid, 0u);
    EXPECT_EQ(GetLastError(), ERROR_KEY_DELETED);
    EXPECT_EQ(ReadCurrent(reader).oid, r[2]);
    EXPECT_EQ(ReadCurrent(reader).oid, r[1]);
    EXPECT_EQ(ReadCurrent(reader).oid, 0u);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    CloseHandle(reader);
    CloseHandle(other);
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, DeletingWhileIteratingKeepsExactlyTheRecordsWanted) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE db = OpenDb(&g, u"Shots", 0, true);
    std::vector<CEOID> r;
    for (int i = 0; i < 12; ++i) r.push_back(AddShot(db, {DWORD(i % 3), u"x", 1, 1}));

    // Keep the newest five: read newest first and delete every record after the fifth.
    ASSERT_NE(CeSeekDatabaseEx(db, CEDB_SEEK_BEGINNING, 0, 0, nullptr), 0u);
    int n = 0;
    for (Record rec = ReadCurrent(db); rec.oid; rec = ReadCurrent(db)) {
        if (++n > 5) {
            EXPECT_TRUE(CeDeleteRecord(db, rec.oid));
        }
    }
    EXPECT_EQ(n, 12);
    EXPECT_EQ(RecordCount(db), 5u);
    EXPECT_EQ(ScanAll(db), (std::vector<CEOID>{r[11], r[10], r[9], r[8], r[7]}));

    // Delete every match: first match, delete, next match, delete ...
    HANDLE bySize = OpenDb(&g, u"Shots", 1, true);
    const std::vector<CEPROPVAL> size1 = {U4(kSize, 1)};
    int deleted = 0;
    for (CEOID id = Seek(bySize, CEDB_SEEK_VALUEFIRSTEQUAL, size1); id;
         id = Seek(bySize, CEDB_SEEK_VALUENEXTEQUAL, size1)) {
        deleted += CeDeleteRecord(bySize, id) ? 1 : 0;
    }
    EXPECT_EQ(deleted, 2);  // r[7] and r[10]
    EXPECT_EQ(ScanAll(db), (std::vector<CEOID>{r[11], r[9], r[8]}));

    // Delete all from the end backwards.
    int all = 0;
    for (CEOID id; (id = CeSeekDatabaseEx(db, CEDB_SEEK_END, 0, 0, nullptr)) != 0;) {
        ASSERT_TRUE(CeDeleteRecord(db, id));
        ++all;
    }
    EXPECT_EQ(all, 3);
    EXPECT_EQ(RecordCount(db), 0u);
    CloseHandle(bySize);
    CloseHandle(db);
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, AHandleKnowsItsOwnDeletesAndStillSeesEveryOtherWrite) {
    CEGUID g = Mount();
    CEGUID g2 = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE db = OpenDb(&g, u"Shots", 1, true);        // by size first
    HANDLE other = OpenDb(&g2, u"Shots", -1, false);  // another mount
    HANDLE same = OpenDb(&g, u"Shots", -1, false);    // another handle on this mount
    CEOID a = AddShot(db, {10, u"a", 1, 1});
    ASSERT_NE(AddShot(db, {20, u"b", 1, 1}), 0u);
    const std::vector<CEPROPVAL> size10 = {U4(kSize, 10)};

    // The only match is found; then another mount adds a second one before this handle
    // deletes the first, or right after.
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
    EXPECT_EQ(Seek(db, CEDB_SEEK_VALUENEXTEQUAL, size10), 0u);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

    // A record this handle read and deleted is reported as deleted when read again.
    HANDLE plain = OpenDb(&g, u"Shots", 1, false);
    CEOID b = Seek(plain, CEDB_SEEK_VALUEFIRSTEQUAL, {U4(kSize, 20)});
    ASSERT_NE(b, 0u);
    EXPECT_EQ(ReadCurrent(plain).oid, b);
    ASSERT_TRUE(CeDeleteRecord(plain, b));
    EXPECT_EQ(ReadCurrent(plain).oid, 0u);
    EXPECT_EQ(GetLastError(), ERROR_KEY_DELETED);
    CloseHandle(plain);

    // A scan that deletes as it goes still meets a record another mount puts further on.
    std::vector<CEOID> added;
    for (DWORD i = 0; i < 12; ++i) added.push_back(AddShot(db, {100 + i, u"s", 1, 1}));
    ASSERT_EQ(Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, {U4(kSize, 100)}), added[0]);
    CEOID late = 0;
    std::vector<CEOID> read;
    for (Record r = ReadCurrent(db); r.oid; r = ReadCurrent(db)) {
        read.push_back(r.oid);
        DWORD size = r.value(kSize);
        if (size == 103) late = AddShot(other, {106, u"t", 1, 1});  // right after size 106
        if (size % 2 == 0) {
            ASSERT_TRUE(CeDeleteRecord(db, r.oid)) << size;
        }
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    std::vector<CEOID> expected(added.begin(), added.begin() + 7);
    expected.push_back(late);
    expected.insert(expected.end(), added.begin() + 7, added.end());
    EXPECT_EQ(read, expected);
    EXPECT_EQ(ScanAll(db),
              (std::vector<CEOID>{added[1], added[3], added[5], added[7], added[9], added[11]}));
    CloseHandle(same);
    CloseHandle(other);
    CloseHandle(db);
    CeUnmountDBVol(&g2);
    CeUnmountDBVol(&g);
}

// --- Several openers -------------------------------------------------------------------------

TEST_F(PropertyDatabase, TwoMountsOfOneFileSeeEachOthersWrites) {
    CEGUID g1 = Mount();
    CEGUID g2 = Mount();
    EXPECT_NE(std::memcmp(&g1, &g2, sizeof g1), 0);
    ASSERT_NE(CreateDb(&g1, u"Shots", kShotProps, kShotSorts), 0u);

    HANDLE h1 = OpenDb(&g1, u"Shots", 0, false);
    HANDLE h2 = OpenDb(&g2, u"Shots", 0, false);  // sees the database the first one made
    ASSERT_NE(h2, INVALID_HANDLE_VALUE);
    CEOID a = AddShot(h1, {1, u"from one", 1, 1});
    ASSERT_EQ(CeSeekDatabaseEx(h2, CEDB_SEEK_CEOID, a, 0, nullptr), a);
    EXPECT_EQ(ReadCurrent(h2).props[kName].text, u"from one");
    CEOID b = AddShot(h2, {2, u"from two", 2, 2});
    EXPECT_GT(b, a);
    ASSERT_EQ(CeSeekDatabaseEx(h1, CEDB_SEEK_BEGINNING, 0, 0, nullptr), b);
    EXPECT_EQ(ReadCurrent(h1).props[kName].text, u"from two");
    EXPECT_EQ(RecordCount(h1), 2u);
    EXPECT_EQ(RecordCount(h2), 2u);

    // The second mount works on when the first is unmounted; the first's handle does not.
    ASSERT_TRUE(CeUnmountDBVol(&g1));
    EXPECT_EQ(AddShot(h1, {3, u"late", 3, 3}), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CloseHandle(h1);
    EXPECT_NE(AddShot(h2, {3, u"still", 3, 3}), 0u);
    EXPECT_EQ(RecordCount(h2), 3u);
    CloseHandle(h2);
    CeUnmountDBVol(&g2);
}

TEST_F(PropertyDatabase, SeveralThreadsWriteThroughOneMountAndAnother) {
    CEGUID g1 = Mount();
    CEGUID g2 = Mount();
    ASSERT_NE(CreateDb(&g1, u"Shots", kShotProps, kShotSorts), 0u);
    constexpr DWORD kEach = 100;
    auto writer = [](CEGUID* g, DWORD kind) {
        HANDLE db = OpenDb(g, u"Shots", 1, false);
        if (db == INVALID_HANDLE_VALUE) return false;
        bool ok = true;
        for (DWORD i = 0; i < kEach && ok; ++i) ok = AddShot(db, {kind, u"t", i, 1}) != 0;
        CloseHandle(db);
        return ok;
    };
    std::vector<std::future<bool>> threads;
    threads.push_back(std::async(std::launch::async, writer, &g1, 1));
    threads.push_back(std::async(std::launch::async, writer, &g1, 2));
    threads.push_back(std::async(std::launch::async, writer, &g2, 3));
    for (auto& t : threads) {
        if (t.wait_for(std::chrono::seconds(120)) != std::future_status::ready) {
            ADD_FAILURE() << "watchdog: a writer thread is stuck";
            std::abort();  // the threads cannot be cancelled
        }
        EXPECT_TRUE(t.get());
    }

    // Every thread's records, in the order it wrote them.
    HANDLE db = OpenDb(&g2, u"Shots", 1, true);
    EXPECT_EQ(RecordCount(db), 3 * kEach);
    for (DWORD kind = 1; kind <= 3; ++kind) {
        const std::vector<CEPROPVAL> match = {U4(kSize, kind)};
        uint64_t expectTaken = 0;
        for (CEOID id = Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, match); id;
             id = Seek(db, CEDB_SEEK_VALUENEXTEQUAL, match)) {
            EXPECT_EQ(ReadCurrent(db).props[kTaken].raw, expectTaken++);
        }
        EXPECT_EQ(expectTaken, kEach);
    }
    CloseHandle(db);
    CeUnmountDBVol(&g1);
    CeUnmountDBVol(&g2);
}

TEST_F(PropertyDatabase, SessionsOpenHandlesOnlyOnTheirOwnVolume) {
    CEGUID g = Mount();
    CEGUID other = Mount(u"\\Windows\\Other.vol");
    CEOID oid = CreateDb(&g, u"Shots", kShotProps, kShotSorts);
    ASSERT_NE(oid, 0u);
    HANDLE session = CeCreateSession(&g);
    ASSERT_NE(session, INVALID_HANDLE_VALUE);
    CEOID byId = oid;
    HANDLE db = CeOpenDatabaseInSession(session, &g, &byId, nullptr, nullptr, 0, nullptr);
    ASSERT_NE(db, INVALID_HANDLE_VALUE);
    EXPECT_NE(AddShot(db, {1, u"a", 1, 1}), 0u);
    CloseHandle(db);
    EXPECT_EQ(CeOpenDatabaseInSession(session, &other, &byId, nullptr, nullptr, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CEOID none = 0;
    EXPECT_EQ(CeOpenDatabaseInSession(nullptr, &other, &none, u"Shots", nullptr, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(CloseHandle(session));
    CeUnmountDBVol(&other);
    CeUnmountDBVol(&g);
}

// Runs tests/cedb_writer against the test volume; its stdout is a pipe.
struct Writer {
    pid_t pid = -1;
    int out = -1;                                  // read end of its stdout
    std::string pending;                           // a line not yet complete
    std::vector<std::pair<CEOID, DWORD>> reports;  // (record, sequence) acknowledged
    bool ended = false;                            // its output closed
};

void StartWriter(Writer* w, const std::string& tag, int count) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, fds[0]);
    posix_spawn_file_actions_addclose(&fa, fds[1]);
    std::string bin = BinPath("cedb_writer");
    std::string vol = "\\Windows\\Test.vol";
    std::string tagArg = tag, countArg = std::to_string(count);
    char* argv[] = {bin.data(), vol.data(), tagArg.data(), countArg.data(), nullptr};
    ASSERT_EQ(posix_spawn(&w->pid, bin.c_str(), &fa, nullptr, argv, environ), 0) << bin;
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    w->out = fds[0];
}

// Collects the writers' reports until each has `want` (0: until its output ends), failing
// the test when the watchdog of 120 s runs out.
void Collect(std::vector<Writer*> writers, size_t want) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    auto done = [&] {
        for (Writer* w : writers) {
            if (want ? w->reports.size() < want : !w->ended) return false;
        }
        return true;
    };
    while (!done()) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            ADD_FAILURE() << "watchdog: the writers did not report in time";
            return;
        }
        std::vector<pollfd> fds;
        for (Writer* w : writers) fds.push_back(pollfd{w->ended ? -1 : w->out, POLLIN, 0});
        if (poll(fds.data(), fds.size(), static_cast<int>(left)) < 0) continue;
        for (size_t i = 0; i < writers.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
            Writer* w = writers[i];
            char buf[4096];
            ssize_t n = read(w->out, buf, sizeof buf);
            if (n <= 0) {
                w->ended = true;
                continue;
            }
            w->pending.append(buf, static_cast<size_t>(n));
            for (size_t nl; (nl = w->pending.find('\n')) != std::string::npos;) {
                unsigned id = 0;
                unsigned long seq = 0;
                if (sscanf(w->pending.substr(0, nl).c_str(), "%u %lu", &id, &seq) == 2) {
                    w->reports.emplace_back(id, static_cast<DWORD>(seq));
                }
                w->pending.erase(0, nl + 1);
            }
        }
    }
}

int Reap(Writer* w) {
    int status = 0;
    if (w->out >= 0) close(w->out);
    w->out = -1;
    if (w->pid > 0 && waitpid(w->pid, &status, 0) != w->pid) return -1;
    w->pid = -1;
    return status;
}

constexpr CEPROPID kSeq = MakePropId(1, CEVT_UI4);
constexpr CEPROPID kTag = MakePropId(2, CEVT_LPWSTR);

TEST_F(PropertyDatabase, AWriteThatReturnedSurvivesAKillOfTheWriter) {
    Writer w;
    StartWriter(&w, "killed", 0);
    Collect({&w}, 300);
    ASSERT_GE(w.reports.size(), 300u);
    kill(w.pid, SIGKILL);
    int status = Reap(&w);
    EXPECT_TRUE(WIFSIGNALED(status));

    CEGUID g = Mount();
    CEOID oid = 0;
    HANDLE db = CeOpenDatabaseInSession(nullptr, &g, &oid, u"Log", nullptr, 0, nullptr);
    ASSERT_NE(db, INVALID_HANDLE_VALUE);
    EXPECT_GE(RecordCount(db), w.reports.size());
    for (const auto& [id, seq] : w.reports) {
        ASSERT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_CEOID, id, 0, nullptr), id);
        Record r = ReadCurrent(db);
        ASSERT_EQ(r.value(kSeq), seq);
        ASSERT_EQ(r.props[kTag].text, u"killed");
    }
    // The volume takes writes again.
    CEPROPVAL v = U4(kSeq, 99999);
    EXPECT_NE(CeWriteRecordProps(db, 0, 1, &v), 0u);
    CloseHandle(db);
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, SeveralWriterProcessesShareOneFreshVolume) {
    // The writers race to create the volume file, its catalog and the database.
    const std::vector<std::string> tags = {"north", "east", "south", "west"};
    constexpr size_t kEach = 75;
    std::vector<Writer> writers(tags.size());
    std::vector<Writer*> all;
    for (size_t i = 0; i < tags.size(); ++i) {
        StartWriter(&writers[i], tags[i], kEach);
        all.push_back(&writers[i]);
    }
    Collect(all, 0);
    for (Writer& w : writers) {
        EXPECT_EQ(Reap(&w), 0);
        EXPECT_EQ(w.reports.size(), kEach);
    }

    CEGUID g = Mount();
    HANDLE db = OpenDb(&g, u"Log", 0, true);  // by tag, then sequence
    ASSERT_NE(db, INVALID_HANDLE_VALUE);
    EXPECT_EQ(RecordCount(db), tags.size() * kEach);
    std::set<CEOID> ids;
    for (const std::string& tag : tags) {
        WString wtag = FromUtf8(tag);
        const std::vector<CEPROPVAL> match = {Text(kTag, wtag.c_str())};
        DWORD expectSeq = 0;
        CEOID lastId = 0;
        for (CEOID id = Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, match); id;
             id = Seek(db, CEDB_SEEK_VALUENEXTEQUAL, match)) {
            Record r = ReadCurrent(db);
            EXPECT_EQ(r.value(kSeq), expectSeq++);
            EXPECT_GT(r.oid, lastId);  // each writer's counters grow in its own order
            lastId = r.oid;
            ids.insert(r.oid);
        }
        EXPECT_EQ(expectSeq, kEach) << tag;
    }
    EXPECT_EQ(ids.size(), tags.size() * kEach);
    CloseHandle(db);
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, AReaderMidScanSeesWhatOtherProcessesAndMountsWroteMeanwhile) {
    Writer first;
    StartWriter(&first, "a", 10);
    Collect({&first}, 0);
    ASSERT_EQ(Reap(&first), 0);
    ASSERT_EQ(first.reports.size(), 10u);
    auto oldId = [&](size_t seq) { return first.reports[seq].first; };

    CEGUID g = Mount();
    HANDLE db = OpenDb(&g, u"Log", 0, true);  // by tag, then sequence
    ASSERT_NE(db, INVALID_HANDLE_VALUE);
    ASSERT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_BEGINNING, 0, 0, nullptr), oldId(0));
    EXPECT_EQ(ReadCurrent(db).oid, oldId(0));
    EXPECT_EQ(ReadCurrent(db).oid, oldId(1));

    // Another process writes every sequence number again; each new record comes right after
    // the old one of its number, also where the reader may already have read ahead.
    Writer second;
    StartWriter(&second, "a", 10);
    Collect({&second}, 0);
    ASSERT_EQ(Reap(&second), 0);
    ASSERT_EQ(second.reports.size(), 10u);
    auto newId = [&](size_t seq) { return second.reports[seq].first; };
    std::vector<CEOID> read;
    for (int i = 0; i < 3; ++i) read.push_back(ReadCurrent(db).oid);
    EXPECT_EQ(read, (std::vector<CEOID>{newId(1), oldId(2), newId(2)}));

    // A second mount in this process deletes two records the reader has not reached.
    CEGUID g2 = Mount();
    HANDLE d = OpenDb(&g2, u"Log", -1, false);
    ASSERT_TRUE(CeDeleteRecord(d, oldId(3)));
    ASSERT_TRUE(CeDeleteRecord(d, newId(4)));
    CloseHandle(d);
    CeUnmountDBVol(&g2);
    read.clear();
    for (Record r = ReadCurrent(db); r.oid; r = ReadCurrent(db)) read.push_back(r.oid);
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    std::vector<CEOID> expected = {newId(3), oldId(4)};
    for (size_t seq = 5; seq < 10; ++seq) {
        expected.push_back(oldId(seq));
        expected.push_back(newId(seq));
    }
    EXPECT_EQ(read, expected);

    // At the end, a record another process adds is found by the next read.
    Writer third;
    StartWriter(&third, "b", 1);
    Collect({&third}, 0);
    ASSERT_EQ(Reap(&third), 0);
    ASSERT_EQ(third.reports.size(), 1u);
    EXPECT_EQ(ReadCurrent(db).oid, third.reports[0].first);
    CloseHandle(db);
    CeUnmountDBVol(&g);
}

// --- Bad files and faults ------------------------------------------------------------------

TEST_F(PropertyDatabase, FilesThatAreNotVolumesFailTheMountAndStayUntouched) {
    std::mt19937 rng(7);
    std::string noise(64 * 1024, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    const std::string text = "hello, this is not a volume\n";
    for (const std::string& bytes : {noise, text}) {
        WriteHostFile(VolumeFile(), bytes);
        CEGUID g{};
        EXPECT_FALSE(CeMountDBVolEx(&g, kVolume, nullptr, OPEN_ALWAYS));
        EXPECT_EQ(GetLastError(), ERROR_BAD_FORMAT);
        EXPECT_EQ(ReadHostFile(VolumeFile()), bytes);
    }
    std::string log = TraceLog();
    EXPECT_NE(log.find("[Platform] CeMountDBVolEx: " + VolumeFile() + " is not a database volume"),
              std::string::npos)
        << log;

    // An SQLite file of another program is not taken over either.
    std::string foreign = root_ + "/Windows/Foreign.vol";
    std::string cmd = "sqlite3 '" + foreign + "' 'CREATE TABLE t(x); INSERT INTO t VALUES(1);'";
    if (std::system(cmd.c_str()) == 0) {
        std::string before = ReadHostFile(foreign);
        CEGUID g{};
        EXPECT_FALSE(CeMountDBVolEx(&g, u"\\Windows\\Foreign.vol", nullptr, OPEN_ALWAYS));
        EXPECT_EQ(GetLastError(), ERROR_BAD_FORMAT);
        EXPECT_EQ(ReadHostFile(foreign), before);
    }

    // An empty file, or none at all, becomes an empty volume.
    WriteHostFile(VolumeFile(), "");
    CEGUID g = Mount();
    EXPECT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    CeUnmountDBVol(&g);
    CEGUID fresh = Mount(u"\\Windows\\New\\Deeper\\Fresh.vol");
    EXPECT_TRUE(HostFileExists(HostPath(u"\\Windows\\New\\Deeper\\Fresh.vol")));
    CeUnmountDBVol(&fresh);

    CEGUID g2{};
    EXPECT_FALSE(CeMountDBVolEx(&g2, u"\\Windows\\Missing.vol", nullptr, OPEN_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(CeMountDBVolEx(&g2, kVolume, nullptr, CREATE_NEW));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
}

TEST_F(PropertyDatabase, DamagedPagesFailCallsWithATraceInsteadOfACrash) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE db = OpenDb(&g, u"Shots", -1, false);
    for (DWORD i = 0; i < 400; ++i) {
        ASSERT_NE(AddShot(db, {i, WString(150, u'a' + i % 26), i, 1}), 0u);
    }
    CloseHandle(db);
    ASSERT_TRUE(CeUnmountDBVol(&g));

    // Overwrite the last 40 % of the file: record and index pages.
    std::string bytes = ReadHostFile(VolumeFile());
    ASSERT_GT(bytes.size(), 100u * 1024);
    for (size_t i = bytes.size() * 6 / 10; i < bytes.size(); ++i) bytes[i] = '\xA5';
    WriteHostFile(VolumeFile(), bytes);

    bool failed = false;
    g = CEGUID{};
    if (!CeMountDBVolEx(&g, kVolume, nullptr, OPEN_ALWAYS)) {
        EXPECT_EQ(GetLastError(), ERROR_BAD_FORMAT);
        failed = true;
    } else {
        HANDLE byNewest = OpenDb(&g, u"Shots", 0, true);
        HANDLE bySize = OpenDb(&g, u"Shots", 1, true);
        ASSERT_NE(byNewest, INVALID_HANDLE_VALUE);
        ASSERT_NE(bySize, INVALID_HANDLE_VALUE);
        for (HANDLE h : {byNewest, bySize}) {
            size_t read = 0;
            if (CeSeekDatabaseEx(h, CEDB_SEEK_BEGINNING, 0, 0, nullptr)) {
                while (ReadCurrent(h).oid) ++read;
            }
            if (GetLastError() == ERROR_BAD_FORMAT) failed = true;
            EXPECT_LT(read, 400u);
        }
        AddShot(bySize, {1, u"after the damage", 1, 1});  // fails or not, but cleanly
        CloseHandle(byNewest);
        CloseHandle(bySize);
        CeUnmountDBVol(&g);
    }
    EXPECT_TRUE(failed);
    EXPECT_NE(TraceLog().find("[Platform] "), std::string::npos);
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

// Every record of Shots in record order, with its name.
std::vector<WString> AllNames(CEGUID* g) {
    std::vector<WString> names;
    HANDLE db = OpenDb(g, u"Shots", -1, true);
    if (db == INVALID_HANDLE_VALUE) return names;
    if (CeSeekDatabaseEx(db, CEDB_SEEK_BEGINNING, 0, 0, nullptr)) {
        for (Record r = ReadCurrent(db); r.oid; r = ReadCurrent(db)) {
            names.push_back(r.props[kName].text);
        }
    }
    CloseHandle(db);
    return names;
}

TEST_F(PropertyDatabase, AFullDiskFailsTheWriteAndLosesNothing) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE db = OpenDb(&g, u"Shots", 0, false);
    std::vector<WString> expected;
    for (int i = 0; i < 20; ++i) {
        expected.push_back(u"shot " + FromUtf8(std::to_string(i)));
        ASSERT_NE(AddShot(db, {DWORD(i), expected.back(), 1, 1}), 0u);
    }

    Faults faults;
    CeDbSetFaultHook(InjectFault, &faults);
    faults.failWrites = true;
    EXPECT_EQ(AddShot(db, {99, u"lost", 1, 1}), 0u);
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_FALSE(CeDeleteRecord(db, CeSeekDatabaseEx(db, CEDB_SEEK_BEGINNING, 0, 0, nullptr)));
    EXPECT_GT(faults.hits.load(), 0);
    EXPECT_NE(TraceLog().find("[Platform] CeWriteRecordProps"), std::string::npos);
    EXPECT_EQ(AllNames(&g), expected);  // reading goes on while the disk is full

    faults.failWrites = false;
    expected.push_back(u"after");
    EXPECT_NE(AddShot(db, {100, u"after", 1, 1}), 0u);
    CeDbSetFaultHook(nullptr, nullptr);
    CloseHandle(db);
    ASSERT_TRUE(CeUnmountDBVol(&g));

    g = Mount();
    EXPECT_EQ(AllNames(&g), expected);
    CeUnmountDBVol(&g);
}

TEST_F(PropertyDatabase, AFailedSyncFailsTheWriteAndKeepsEarlierRecords) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE db = OpenDb(&g, u"Shots", 0, false);
    for (int i = 0; i < 10; ++i) ASSERT_NE(AddShot(db, {DWORD(i), u"kept", 1, 1}), 0u);

    Faults faults;
    CeDbSetFaultHook(InjectFault, &faults);
    faults.failSyncs = true;
    EXPECT_EQ(AddShot(db, {50, u"unsure", 1, 1}), 0u);
    EXPECT_EQ(GetLastError(), ERROR_WRITE_FAULT);
    EXPECT_GT(faults.hits.load(), 0);
    faults.failSyncs = false;
    EXPECT_NE(AddShot(db, {51, u"later", 1, 1}), 0u);
    CeDbSetFaultHook(nullptr, nullptr);
    CloseHandle(db);
    ASSERT_TRUE(CeUnmountDBVol(&g));

    // The write whose sync failed may or may not have reached the disk; the others have.
    g = Mount();
    std::vector<WString> names = AllNames(&g);
    EXPECT_EQ(std::count(names.begin(), names.end(), u"kept"), 10);
    EXPECT_EQ(std::count(names.begin(), names.end(), u"later"), 1);
    CeUnmountDBVol(&g);
}

// --- Refusals --------------------------------------------------------------------------------

TEST_F(PropertyDatabase, UnknownClosedAndMismatchedHandlesAreRefused) {
    CEGUID g = Mount();
    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE session = CeCreateSession(&g);
    HANDLE closed = OpenDb(&g, u"Shots", 0, false);
    ASSERT_TRUE(CloseHandle(closed));
    HANDLE db = OpenDb(&g, u"Shots", 0, false);
    HANDLE e = CeFindFirstDatabaseEx(&g, 0);

    const HANDLE notDatabases[] = {
        nullptr, INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x12345), closed, session, e};
    for (HANDLE h : notDatabases) {
        SCOPED_TRACE(testing::Message() << "handle " << h);
        CEPROPVAL v = U4(kSize, 1);
        WORD count = 0;
        BYTE* buf = nullptr;
        DWORD size = 0;
        CEDBASEINFOEX info{};
        EXPECT_EQ(CeSeekDatabaseEx(h, CEDB_SEEK_BEGINNING, 0, 0, nullptr), 0u);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(CeReadRecordPropsEx(h, CEDB_ALLOWREALLOC, &count, nullptr, &buf, &size, nullptr),
                  0u);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_EQ(buf, nullptr);
        EXPECT_EQ(CeWriteRecordProps(h, 0, 1, &v), 0u);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(CeDeleteRecord(h, 1));
        EXPECT_FALSE(CeGetDBInformationByHandle(h, &info));
        EXPECT_FALSE(CeGetDatabaseProps(h, &count, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(CeFindNextDatabaseEx(db, &g), 0u);  // a database is not an enumeration
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    CEOID oid = 0;
    EXPECT_EQ(CeOpenDatabaseInSession(db, &g, &oid, u"Shots", nullptr, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(CloseHandle(closed));

    // A volume that is not mounted.
    CEGUID unknown{1, 2, 3, 4};
    EXPECT_EQ(CeCreateSession(&unknown), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CeFindFirstDatabaseEx(&unknown, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateDb(&unknown, u"X", kShotProps, {}), 0u);
    EXPECT_FALSE(CeFlushDBVol(&unknown));
    EXPECT_FALSE(CeUnmountDBVol(&unknown));
    EXPECT_FALSE(CeUnmountDBVol(nullptr));

    // The handle that is a database still works.
    EXPECT_NE(AddShot(db, {1, u"fine", 1, 1}), 0u);
    CloseHandle(e);
    CloseHandle(db);
    CloseHandle(session);
    CeUnmountDBVol(&g);
    EXPECT_NE(TraceLog().find("is not a database handle"), std::string::npos);
}

TEST_F(PropertyDatabase, BadDefinitionsWritesAndSeeksAreRefusedWithATrace) {
    CEGUID g = Mount();
    // Definitions: an unsupported type, a key that is not declared, a flag not supported,
    // too many sort orders, a property declared twice, no name.
    EXPECT_EQ(CreateDb(&g, u"Bad", {{MakePropId(1, 11), u"Bool"}}, {}), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(CreateDb(&g, u"Bad", kShotProps, {{{MakePropId(9, CEVT_UI4), false}}}), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    std::vector<SortSpec> seventeen(17, SortSpec{{kSize, false}});
    EXPECT_EQ(CreateDb(&g, u"Bad", kShotProps, seventeen), 0u);
    EXPECT_EQ(CreateDb(&g, u"Bad", {{kSize, u"A"}, {kSize, u"B"}}, {}), 0u);
    EXPECT_EQ(CreateDb(&g, u"", kShotProps, {}), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CEDBASEINFOEX flagged{};
    flagged.dwFlags = CEDB_VALIDNAME | CEDB_VALIDSORTSPEC;
    WStrCopyN(flagged.szDbaseName, u"Flagged", CEDB_MAXDBASENAMELEN);
    flagged.wNumSortOrder = 1;
    flagged.rgSortSpecs[0].wNumProps = 1;
    flagged.rgSortSpecs[0].rgPropID[0] = kSize;
    flagged.rgSortSpecs[0].rgdwFlags[0] = 0x2;  // case-insensitive: texts compare exactly here
    WCHAR sizeName[] = u"Size";
    CEPROPSPEC sizeSpec{1, kSize, 0, sizeName, 5};
    EXPECT_EQ(CeCreateDatabaseWithProps(&g, &flagged, 1, &sizeSpec), 0u);
    EXPECT_EQ(CeCreateDatabaseWithProps(&g, nullptr, 1, &sizeSpec), 0u);

    ASSERT_NE(CreateDb(&g, u"Shots", kShotProps, kShotSorts), 0u);
    HANDLE db = OpenDb(&g, u"Shots", 1, false);
    AddShot(db, {1, u"a", 1, 1});
    // Writes: an undeclared property, a property of the right number but another type.
    CEPROPVAL undeclared = U4(MakePropId(9, CEVT_UI4), 1);
    EXPECT_EQ(CeWriteRecordProps(db, 0, 1, &undeclared), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CEPROPVAL retyped = U2(MakePropId(1, CEVT_UI2), 1);
    EXPECT_EQ(CeWriteRecordProps(db, 0, 1, &retyped), 0u);
    EXPECT_EQ(CeWriteRecordProps(db, 0, 1, nullptr), 0u);
    // Seeks: values not in the sort order's key order, too many values, an unknown type.
    EXPECT_EQ(Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, {Time(kTaken, 1)}), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    std::vector<CEPROPVAL> five = {U4(kSize, 1), Time(kTaken, 1), Text(kName, u"a"), U2(kKind, 1),
                                   U4(kSize, 1)};
    EXPECT_EQ(Seek(db, CEDB_SEEK_VALUEFIRSTEQUAL, five), 0u);
    EXPECT_EQ(CeSeekDatabaseEx(db, CEDB_SEEK_VALUEFIRSTEQUAL, 0, 1, nullptr), 0u);
    EXPECT_EQ(CeSeekDatabaseEx(db, 0x4000, 0, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    WORD count = 0;
    EXPECT_EQ(
        CeReadRecordPropsEx(db, CEDB_ALLOWREALLOC, &count, nullptr, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(db);

    // A sort order the database does not have.
    SORTORDERSPECEX foreign{};
    foreign.wVersion = 2;
    foreign.wNumProps = 1;
    foreign.rgPropID[0] = kName;
    CEOID oid = 0;
    EXPECT_EQ(CeOpenDatabaseInSession(nullptr, &g, &oid, u"Shots", &foreign, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CeUnmountDBVol(&g);

    std::string log = TraceLog();
    EXPECT_NE(log.find("[Platform] CeCreateDatabaseWithProps"), std::string::npos);
    EXPECT_NE(log.find("[Platform] CeWriteRecordProps: property 0x00090013 is not declared"),
              std::string::npos);
    EXPECT_NE(log.find("[Platform] CeSeekDatabaseEx"), std::string::npos);
}

}  // namespace
