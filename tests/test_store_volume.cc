// The volume wrapper: mounting, databases in a volume, handles in their sort orders, queries
// and records, through IDbVolume, IDatabase and IDbRecord.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "platform/devpath.h"
#include "platform/wstr.h"
#include "store/db_volume.h"
#include "tests/support/test_env.h"

namespace {

constexpr WCHAR kVolume[] = u"\\Windows\\Test.vol";
constexpr WCHAR kDb[] = u"Things";

constexpr CEPROPID kIndex = MakePropId(0, CEVT_AUTO_I4);
constexpr CEPROPID kName = MakePropId(1, CEVT_LPWSTR);
constexpr CEPROPID kSize = MakePropId(2, CEVT_UI4);
constexpr CEPROPID kKind = MakePropId(3, CEVT_UI2);
constexpr CEPROPID kWhen = MakePropId(4, CEVT_FILETIME);

const DbPropDef kSchema[5] = {
    {CEVT_AUTO_I4, u"Index", kIndex}, {CEVT_LPWSTR, u"Name", kName},   {CEVT_UI4, u"Size", kSize},
    {CEVT_UI2, u"Kind", kKind},       {CEVT_FILETIME, u"When", kWhen},
};

// 0: by name. 1: by kind, then size descending. 2: newest first.
const SORTORDERSPECEX kSorts[3] = {
    {2, 1, 0, 0, {kName}, {0}},
    {2, 2, 0, 0, {kKind, kSize}, {0, CEDB_SORT_DESCENDING}},
    {2, 1, 0, 0, {kIndex}, {CEDB_SORT_DESCENDING}},
};

struct Thing {
    const char* name;
    DWORD size;
    WORD kind;
};

// Added in this order; names, kinds and sizes give different orders in every sort order.
const Thing kThings[] = {
    {"delta", 40, 2}, {"alpha", 10, 1}, {"echo", 50, 2}, {"charlie", 30, 1}, {"bravo", 20, 2},
};

using Names = std::vector<std::string>;
const Names kAdded = {"delta", "alpha", "echo", "charlie", "bravo"};
const Names kByName = {"alpha", "bravo", "charlie", "delta", "echo"};
const Names kByKindThenSize = {"charlie", "alpha", "echo", "delta", "bravo"};

CEPROPVAL Val(CEPROPID id, uint64_t raw = 0) {
    CEPROPVAL v{};
    v.propid = id;
    v.val.raw = raw;  // the low bytes are the member of any number type
    return v;
}
CEPROPVAL Text(CEPROPID id, const WString& s) {
    CEPROPVAL v = Val(id);
    v.val.lpwstr = const_cast<LPWSTR>(s.c_str());
    return v;
}

// A read text; a null pointer (never expected) shows up as a distinct value.
std::string S(LPCWSTR p) {
    return p ? ToUtf8(p) : "(null)";
}

class VolumeTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        volume_ = CreateDbVolume();
        ASSERT_NE(volume_, nullptr);
    }
    void TearDown() override {
        for (IDatabase* db : open_) volume_->Release(db);
        delete volume_;
        DeviceTest::TearDown();
    }

    // Mounts the test volume and creates the test database with kThings in it.
    void MakeThings() {
        ASSERT_TRUE(volume_->Mount(kVolume));
        ASSERT_TRUE(volume_->CreateDatabase(kDb, 5, kSchema, 3, kSorts));
        IDatabase* db = Open(-1, TRUE);
        for (const Thing& t : kThings) {
            WString name = FromUtf8(t.name);
            CEPROPVAL v[3] = {Text(kName, name), Val(kSize, t.size), Val(kKind, t.kind)};
            ASSERT_TRUE(db->AddRecord(3, v)) << t.name;
        }
    }
    IDatabase* Open(int sortIndex, BOOL autoAdvance) {
        IDatabase* db = volume_->OpenDatabase(kDb, sortIndex, autoAdvance);
        EXPECT_NE(db, nullptr);
        if (db) open_.push_back(db);
        return db;
    }
    // Names of every database, from the start of an enumeration to its end.
    std::set<std::string> Databases() {
        std::set<std::string> seen;
        WCHAR name[CEDB_MAXDBASENAMELEN];
        for (BOOL restart = TRUE; volume_->EnumDatabases(restart, name, CEDB_MAXDBASENAMELEN);
             restart = FALSE) {
            seen.insert(ToUtf8(name));
        }
        return seen;
    }
    // Names of every record ReadNext yields from now on.
    static Names ReadNames(IDatabase* db) {
        Names names;
        IDbRecord* rec = db->CreateRecord();
        EXPECT_NE(rec, nullptr);
        while (rec && db->ReadNext(rec) && names.size() < 100) {
            names.push_back(S(rec->GetProp(kName).lpwstr));
        }
        db->Release(rec);
        return names;
    }
    static Names Query(IDatabase* db, DWORD matchCount = 0, const CEPROPVAL* match = nullptr) {
        db->SetQuery(0, nullptr, matchCount, match);
        return ReadNames(db);
    }

    IDbVolume* volume_ = nullptr;   // the volume under test
    std::vector<IDatabase*> open_;  // handles to release at the end
};

}  // namespace

TEST_F(VolumeTest, AVolumeMountsOnceAndCreatesListsAndDeletesItsDatabases) {
    // Unmounted, every operation fails; a null path does not mount.
    EXPECT_FALSE(volume_->Mount(nullptr));
    WCHAR name[CEDB_MAXDBASENAMELEN];
    EXPECT_FALSE(volume_->EnumDatabases(TRUE, name, CEDB_MAXDBASENAMELEN));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 5, kSchema, 3, kSorts));
    EXPECT_FALSE(volume_->DatabaseExists(kDb));
    EXPECT_FALSE(volume_->DeleteDatabase(kDb));
    EXPECT_EQ(volume_->OpenDatabase(kDb, 0, TRUE), nullptr);

    // The mount creates the file; a second mount is refused and leaves the first in place.
    EXPECT_FALSE(HostFileExists(HostPath(kVolume)));
    ASSERT_TRUE(volume_->Mount(kVolume));
    EXPECT_TRUE(HostFileExists(HostPath(kVolume)));
    EXPECT_FALSE(volume_->Mount(kVolume));
    EXPECT_FALSE(volume_->Mount(u"\\Windows\\Other.vol"));

    // Incomplete definitions are refused.
    EXPECT_FALSE(volume_->CreateDatabase(nullptr, 5, kSchema, 3, kSorts));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 0, kSchema, 3, kSorts));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 5, nullptr, 3, kSorts));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 5, kSchema, 3, nullptr));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 5, kSchema, CEDB_MAXSORTORDER + 1, kSorts));
    EXPECT_FALSE(volume_->DatabaseExists(kDb));

    ASSERT_TRUE(volume_->CreateDatabase(u"First", 5, kSchema, 3, kSorts));
    ASSERT_TRUE(volume_->CreateDatabase(u"Second", 2, kSchema, 0, nullptr));
    EXPECT_TRUE(volume_->DatabaseExists(u"First"));
    EXPECT_TRUE(volume_->DatabaseExists(u"Second"));
    EXPECT_FALSE(volume_->DatabaseExists(u"Third"));
    EXPECT_FALSE(volume_->DatabaseExists(nullptr));
    EXPECT_EQ(Databases(), (std::set<std::string>{"First", "Second"}));
    // The end closed the enumeration: the next call starts again.
    ASSERT_TRUE(volume_->EnumDatabases(FALSE, name, CEDB_MAXDBASENAMELEN));
    EXPECT_TRUE(ToUtf8(name) == "First" || ToUtf8(name) == "Second") << ToUtf8(name);
    // A short buffer gets a cut, terminated name.
    WCHAR small[3] = {1, 1, 1};
    ASSERT_TRUE(volume_->EnumDatabases(TRUE, small, 3));
    EXPECT_EQ(WStrLen(small), 2u);
    EXPECT_FALSE(volume_->EnumDatabases(TRUE, nullptr, 3));

    EXPECT_TRUE(volume_->DeleteDatabase(u"First"));
    EXPECT_FALSE(volume_->DatabaseExists(u"First"));
    EXPECT_FALSE(volume_->DeleteDatabase(u"First"));
    EXPECT_FALSE(volume_->DeleteDatabase(nullptr));
    EXPECT_EQ(Databases(), (std::set<std::string>{"Second"}));
}

TEST_F(VolumeTest, AHandleDescribesItsDatabaseAndReadsInItsSortOrder) {
    MakeThings();
    IDatabase* db = Open(0, TRUE);
    WCHAR name[32];
    ASSERT_TRUE(db->GetName(name, 32));
    EXPECT_EQ(WString(name), u"Things");
    EXPECT_FALSE(db->GetName(nullptr, 32));
    ASSERT_EQ(db->GetPropCount(), 5u);
    DbPropDef* def = nullptr;
    for (DWORD i = 0; i < 5; i++) {
        ASSERT_TRUE(db->GetPropDef(i, &def));
        EXPECT_EQ(def->propId, kSchema[i].propId);
        EXPECT_EQ(def->wType, kSchema[i].wType);
        EXPECT_EQ(S(def->szName), S(kSchema[i].szName));
    }
    EXPECT_FALSE(db->GetPropDef(5, &def));
    EXPECT_FALSE(db->GetPropDef(0, nullptr));
    DbPropDef find{};
    WStrCopyN(find.szName, u"Size", CEDB_MAXPROPNAMELEN);
    ASSERT_TRUE(db->FindPropByName(&find));
    EXPECT_EQ(find.propId, kSize);
    EXPECT_EQ(find.wType, CEVT_UI4);
    WStrCopyN(find.szName, u"size", CEDB_MAXPROPNAMELEN);  // names are case-sensitive
    EXPECT_FALSE(db->FindPropByName(&find));
    EXPECT_FALSE(db->FindPropByName(nullptr));

    // A sort order beyond the database's opens in record order.
    EXPECT_EQ(volume_->OpenDatabase(u"Missing", 0, TRUE), nullptr);
    EXPECT_EQ(volume_->OpenDatabase(nullptr, 0, TRUE), nullptr);
    EXPECT_EQ(Query(Open(3, TRUE)), kAdded);
    EXPECT_EQ(Query(Open(16, FALSE)), kAdded);
    EXPECT_EQ(Query(Open(-1, TRUE)), kAdded);
    EXPECT_EQ(Query(db), kByName);
    EXPECT_EQ(Query(Open(2, TRUE)), (Names{"bravo", "charlie", "echo", "alpha", "delta"}));

    // Every SetQuery starts from the first record again, also after a scan broken off.
    for (BOOL autoAdvance : {TRUE, FALSE}) {
        IDatabase* bySize = Open(1, autoAdvance);
        EXPECT_EQ(Query(bySize), kByKindThenSize) << autoAdvance;
        bySize->SetQuery(0, nullptr, 0, nullptr);
        IDbRecord* rec = bySize->CreateRecord();
        ASSERT_TRUE(bySize->ReadNext(rec));
        ASSERT_TRUE(bySize->ReadNext(rec));
        EXPECT_EQ(S(rec->GetProp(kName).lpwstr), "alpha");
        bySize->Release(rec);
        EXPECT_EQ(Query(bySize), kByKindThenSize) << autoAdvance;
    }

    // A read list chooses the properties: the others read as zero. alpha..echo were added
    // as the 2nd, 5th, 4th, 1st and 3rd record.
    CEPROPID ids[2] = {kSize, kIndex};
    db->SetQuery(2, ids, 0, nullptr);
    IDbRecord* rec = db->CreateRecord();
    std::vector<DWORD> indexes;
    while (db->ReadNext(rec)) {
        EXPECT_EQ(rec->GetProp(kName).raw, 0u);
        EXPECT_NE(rec->GetProp(kSize).ulVal, 0u);
        indexes.push_back(rec->GetProp(kIndex).ulVal);
    }
    db->Release(rec);
    ASSERT_EQ(indexes.size(), 5u);
    EXPECT_LT(indexes[3], indexes[0]);
    EXPECT_LT(indexes[0], indexes[4]);
    EXPECT_LT(indexes[4], indexes[2]);
    EXPECT_LT(indexes[2], indexes[1]);
}

TEST_F(VolumeTest, QueriesStartAtAnOffsetOrVisitEveryMatchInSortOrder) {
    MakeThings();
    for (BOOL autoAdvance : {TRUE, FALSE}) {
        IDatabase* db = Open(1, autoAdvance);
        for (DWORD start = 0; start <= kByKindThenSize.size(); ++start) {
            db->SetQuery(0, nullptr, 0, nullptr);
            ASSERT_TRUE(db->SetQueryStart(start));
            EXPECT_EQ(ReadNames(db), Names(kByKindThenSize.begin() + start, kByKindThenSize.end()))
                << autoAdvance << " from " << start;
        }
        // The start holds for one query: the next SetQuery reads from the first again.
        db->SetQuery(0, nullptr, 0, nullptr);
        ASSERT_TRUE(db->SetQueryStart(3));
        EXPECT_EQ(Query(db), kByKindThenSize);

        // Match values: every match in sort order, as often as asked; the first match comes
        // first on either kind of handle.
        CEPROPVAL kind2[1] = {Val(kKind, 2)};
        EXPECT_EQ(Query(db, 1, kind2), (Names{"echo", "delta", "bravo"}));
        EXPECT_EQ(Query(db, 1, kind2), (Names{"echo", "delta", "bravo"}));
        CEPROPVAL both[2] = {Val(kKind, 1), Val(kSize, 10)};
        EXPECT_EQ(Query(db, 2, both), (Names{"alpha"}));
        CEPROPVAL none[1] = {Val(kKind, 7)};
        EXPECT_EQ(Query(db, 1, none), Names{});
        // A query with match values has no offset.
        db->SetQuery(0, nullptr, 1, kind2);
        EXPECT_FALSE(db->SetQueryStart(1));
        EXPECT_EQ(ReadNames(db), (Names{"echo", "delta", "bravo"}));
    }

    // Deleting every record read from the start on keeps exactly the ones before it.
    IDatabase* db = Open(1, TRUE);
    db->SetQuery(0, nullptr, 0, nullptr);
    ASSERT_TRUE(db->SetQueryStart(2));
    IDbRecord* rec = db->CreateRecord();
    ASSERT_NE(rec, nullptr);
    Names deleted;
    while (db->ReadNext(rec) && deleted.size() < 10) {
        deleted.push_back(S(rec->GetProp(kName).lpwstr));
        EXPECT_TRUE(rec->Delete());
    }
    db->Release(rec);
    EXPECT_EQ(deleted, (Names{"echo", "delta", "bravo"}));
    EXPECT_EQ(Query(db), (Names{"charlie", "alpha"}));
}

TEST_F(VolumeTest, CountDeleteAndUpdateTakeTheFirstMatchEveryMatchOrEveryRecord) {
    MakeThings();
    IDatabase* db = Open(1, FALSE);
    IDatabase* byName = Open(0, TRUE);
    CEPROPVAL kind1[1] = {Val(kKind, 1)}, kind2[1] = {Val(kKind, 2)}, kind9[1] = {Val(kKind, 9)};
    EXPECT_EQ(db->Count(0, nullptr), 5u);
    EXPECT_EQ(db->Count(1, kind2), 3u);
    EXPECT_EQ(db->Count(1, kind9), 0u);
    EXPECT_EQ(db->Count(1, nullptr), 0u);

    // Without all-matches only the first match in sort order counts: echo.
    EXPECT_TRUE(db->SetAllMatches(FALSE));
    EXPECT_EQ(db->Count(1, kind2), 1u);
    EXPECT_EQ(db->Delete(1, kind2), 1u);
    EXPECT_FALSE(db->SetAllMatches(TRUE));
    EXPECT_EQ(db->Count(1, kind2), 2u);
    EXPECT_EQ(Query(byName), (Names{"alpha", "bravo", "charlie", "delta"}));

    // Update writes the matches; nothing without values or without matches.
    CEPROPVAL when[1] = {Val(kWhen, 0x01DC000012345678ull)};
    EXPECT_EQ(db->Update(1, when, 1, kind1), 2u);
    EXPECT_EQ(db->Update(0, when, 1, kind1), 0u);
    EXPECT_EQ(db->Update(1, when, 1, kind9), 0u);
    byName->SetQuery(0, nullptr, 0, nullptr);
    IDbRecord* rec = byName->CreateRecord();
    std::set<std::string> stamped;
    while (byName->ReadNext(rec)) {
        if (rec->GetProp(kWhen).raw == 0x01DC000012345678ull) {
            stamped.insert(S(rec->GetProp(kName).lpwstr));
        }
    }
    EXPECT_EQ(stamped, (std::set<std::string>{"alpha", "charlie"}));
    // Without match values every record in the handle's order is written (the handle's own
    // sort keys are left alone: writing them would move records under the walk).
    CEPROPVAL size[1] = {Val(kSize, 7)};
    EXPECT_EQ(byName->Update(1, size, 0, nullptr), 4u);
    byName->SetQuery(0, nullptr, 0, nullptr);
    int n = 0;
    for (; byName->ReadNext(rec); n++) EXPECT_EQ(rec->GetProp(kSize).ulVal, 7u);
    EXPECT_EQ(n, 4);
    byName->Release(rec);

    EXPECT_EQ(db->Delete(1, kind1), 2u);
    EXPECT_EQ(db->Delete(1, kind1), 0u);
    EXPECT_EQ(db->Delete(1, nullptr), 0u);  // never "everything"
    EXPECT_EQ(Query(byName), (Names{"bravo", "delta"}));
    EXPECT_EQ(db->Delete(0, nullptr), 2u);
    EXPECT_EQ(db->Count(0, nullptr), 0u);
    EXPECT_EQ(db->Delete(0, nullptr), 0u);
    EXPECT_EQ(Query(byName), Names{});
}

TEST_F(VolumeTest, RecordsReadBackEveryTypeAndWriteOrDeleteWhatTheyRead) {
    MakeThings();
    IDatabase* db = Open(2, FALSE);  // newest first
    const WString first = u"\u65e5\u672c \U0001F600 caf\u00e9", second = u"";
    CEPROPVAL a[4] = {Text(kName, first), Val(kSize, 0xFFFFFFFFu), Val(kKind, 0xFFFF),
                      Val(kWhen, 0x0123456789ABCDEFull)};
    CEPROPVAL b[1] = {Text(kName, second)};
    ASSERT_TRUE(db->AddRecord(4, a));
    ASSERT_TRUE(db->AddRecord(1, b));

    IDbRecord* rec = db->CreateRecord();
    ASSERT_NE(rec, nullptr);
    // Nothing read yet: no values, nothing to write or delete.
    EXPECT_EQ(rec->GetProp(kName).raw, 0u);
    CEPROPVAL size99[1] = {Val(kSize, 99)};
    EXPECT_FALSE(rec->Write(1, size99));
    EXPECT_FALSE(rec->Delete());
    EXPECT_FALSE(db->ReadNext(nullptr));
    IDatabase* other = Open(1, TRUE);
    IDbRecord* foreign = other->CreateRecord();
    db->SetQuery(0, nullptr, 0, nullptr);
    EXPECT_FALSE(db->ReadNext(foreign));
    other->Release(foreign);

    ASSERT_TRUE(db->ReadNext(rec));  // the newest record
    EXPECT_EQ(S(rec->GetProp(kName).lpwstr), "");
    EXPECT_EQ(rec->GetProp(kSize).raw, 0u);  // never written
    DWORD newer = rec->GetProp(kIndex).ulVal;
    ASSERT_TRUE(db->ReadNext(rec));
    EXPECT_EQ(S(rec->GetProp(kName).lpwstr), ToUtf8(first));
    EXPECT_EQ(rec->GetProp(kSize).ulVal, 0xFFFFFFFFu);
    EXPECT_EQ(rec->GetProp(kKind).uiVal, 0xFFFF);
    EXPECT_EQ(FileTimeToU64(rec->GetProp(kWhen).filetime), 0x0123456789ABCDEFull);
    EXPECT_GT(newer, rec->GetProp(kIndex).ulVal);
    EXPECT_EQ(rec->GetProp(MakePropId(9, CEVT_UI4)).raw, 0u);  // no such property

    // What a record read, it writes and deletes.
    WString key = u"charlie";
    CEPROPVAL match[1] = {Text(kName, key)};
    IDatabase* byName = Open(0, FALSE);
    IDbRecord* found = byName->CreateRecord();
    byName->SetQuery(0, nullptr, 1, match);
    ASSERT_TRUE(byName->ReadNext(found));
    EXPECT_TRUE(found->Write(1, size99));
    byName->SetQuery(0, nullptr, 1, match);
    ASSERT_TRUE(byName->ReadNext(found));
    EXPECT_EQ(found->GetProp(kSize).ulVal, 99u);
    EXPECT_TRUE(found->Delete());
    EXPECT_FALSE(found->Delete());
    byName->Release(found);
    db->Release(rec);
    db->Release(nullptr);
    volume_->Release(nullptr);
    EXPECT_EQ(Query(byName), (Names{"", "alpha", "bravo", "delta", "echo", ToUtf8(first)}));

    // More values than the database has properties write nothing, nor do no values.
    CEPROPVAL six[6] = {Text(kName, first), Val(kSize, 1), Val(kKind, 1),
                        Val(kWhen),         Val(kSize, 2), Val(kSize, 3)};
    EXPECT_FALSE(db->AddRecord(6, six));
    EXPECT_FALSE(db->AddRecord(2, nullptr));
    EXPECT_EQ(db->Count(0, nullptr), 6u);
    EXPECT_TRUE(db->AddRecord(5, six));
    EXPECT_EQ(db->Count(0, nullptr), 7u);
}
