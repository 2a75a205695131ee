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

CEPROPVAL Val(CEPROPID id) {
    CEPROPVAL v{};
    v.propid = id;
    return v;
}
CEPROPVAL Text(CEPROPID id, const WString& s) {
    CEPROPVAL v = Val(id);
    v.val.lpwstr = const_cast<LPWSTR>(s.c_str());
    return v;
}
CEPROPVAL U4(CEPROPID id, DWORD n) {
    CEPROPVAL v = Val(id);
    v.val.ulVal = n;
    return v;
}
CEPROPVAL U2(CEPROPID id, WORD n) {
    CEPROPVAL v = Val(id);
    v.val.uiVal = n;
    return v;
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
            CEPROPVAL v[3] = {Text(kName, name), U4(kSize, t.size), U2(kKind, t.kind)};
            ASSERT_TRUE(db->AddRecord(3, v)) << t.name;
        }
    }
    IDatabase* Open(int sortIndex, BOOL autoAdvance) {
        IDatabase* db = volume_->OpenDatabase(kDb, sortIndex, autoAdvance);
        EXPECT_NE(db, nullptr);
        if (db) open_.push_back(db);
        return db;
    }
    // Names of every record ReadNext yields from now on.
    static std::vector<std::string> ReadNames(IDatabase* db) {
        std::vector<std::string> names;
        IDbRecord* rec = db->CreateRecord();
        EXPECT_NE(rec, nullptr);
        while (rec && db->ReadNext(rec) && names.size() < 100) {
            names.push_back(ToUtf8(rec->GetProp(kName).lpwstr));
        }
        db->Release(rec);
        return names;
    }
    static std::vector<std::string> Query(IDatabase* db, DWORD matchCount = 0,
                                          const CEPROPVAL* match = nullptr) {
        db->SetQuery(0, nullptr, matchCount, match);
        return ReadNames(db);
    }

    IDbVolume* volume_ = nullptr;
    std::vector<IDatabase*> open_;
};

using Names = std::vector<std::string>;

// A read text; a null pointer (never expected) shows up as a distinct value.
WString W(LPCWSTR p) {
    return p ? WString(p) : WString(u"(null)");
}

}  // namespace

// --- Mounting ------------------------------------------------------------------------------

TEST_F(VolumeTest, MountCreatesTheFileAndASecondMountIsRefusedLeavingTheFirst) {
    EXPECT_FALSE(HostFileExists(HostPath(kVolume)));
    ASSERT_TRUE(volume_->Mount(kVolume));
    EXPECT_TRUE(HostFileExists(HostPath(kVolume)));
    EXPECT_FALSE(volume_->Mount(kVolume));
    EXPECT_FALSE(volume_->Mount(u"\\Windows\\Other.vol"));
    // The first mount is still in place and usable.
    EXPECT_TRUE(volume_->CreateDatabase(kDb, 5, kSchema, 3, kSorts));
    EXPECT_TRUE(volume_->DatabaseExists(kDb));
}

TEST_F(VolumeTest, NullPathAndUnmountedVolumeFailEveryOperation) {
    EXPECT_FALSE(volume_->Mount(nullptr));
    WCHAR name[64];
    EXPECT_FALSE(volume_->EnumDatabases(TRUE, name, 64));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 5, kSchema, 3, kSorts));
    EXPECT_FALSE(volume_->DatabaseExists(kDb));
    EXPECT_FALSE(volume_->DeleteDatabase(kDb));
    EXPECT_EQ(volume_->OpenDatabase(kDb, 0, TRUE), nullptr);
    // Still mountable afterwards.
    EXPECT_TRUE(volume_->Mount(kVolume));
}

TEST_F(VolumeTest, AFileOfRandomBytesFailsToMountAndIsLeftAsItWas) {
    std::string junk;
    uint32_t x = 0x9E3779B9u;
    for (int i = 0; i < 64 * 1024; i++) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        junk.push_back(static_cast<char>(x & 0xFF));
    }
    WriteHostFile(HostPath(kVolume), junk);
    EXPECT_FALSE(volume_->Mount(kVolume));
    EXPECT_FALSE(volume_->DatabaseExists(kDb));
    EXPECT_EQ(volume_->OpenDatabase(kDb, 0, TRUE), nullptr);
    EXPECT_EQ(ReadHostFile(HostPath(kVolume)), junk);
}

// --- Databases of a volume -------------------------------------------------------------------

TEST_F(VolumeTest, DatabasesAreCreatedFoundEnumeratedAndDeleted) {
    ASSERT_TRUE(volume_->Mount(kVolume));
    ASSERT_TRUE(volume_->CreateDatabase(u"First", 5, kSchema, 3, kSorts));
    ASSERT_TRUE(volume_->CreateDatabase(u"Second", 2, kSchema, 0, nullptr));
    EXPECT_TRUE(volume_->DatabaseExists(u"First"));
    EXPECT_TRUE(volume_->DatabaseExists(u"Second"));
    EXPECT_FALSE(volume_->DatabaseExists(u"Third"));
    EXPECT_FALSE(volume_->DatabaseExists(nullptr));

    std::set<std::string> seen;
    WCHAR name[CEDB_MAXDBASENAMELEN];
    for (BOOL restart = TRUE; volume_->EnumDatabases(restart, name, CEDB_MAXDBASENAMELEN);
         restart = FALSE) {
        seen.insert(ToUtf8(name));
    }
    EXPECT_EQ(seen, (std::set<std::string>{"First", "Second"}));
    // The end closed the enumeration: the next call starts again.
    ASSERT_TRUE(volume_->EnumDatabases(FALSE, name, CEDB_MAXDBASENAMELEN));
    EXPECT_TRUE(seen.count(ToUtf8(name)));
    // A short buffer gets a cut, terminated name.
    WCHAR small[3] = {1, 1, 1};
    ASSERT_TRUE(volume_->EnumDatabases(TRUE, small, 3));
    EXPECT_EQ(WStrLen(small), 2u);
    EXPECT_FALSE(volume_->EnumDatabases(TRUE, nullptr, 3));

    EXPECT_TRUE(volume_->DeleteDatabase(u"First"));
    EXPECT_FALSE(volume_->DatabaseExists(u"First"));
    EXPECT_FALSE(volume_->DeleteDatabase(u"First"));
    EXPECT_FALSE(volume_->DeleteDatabase(nullptr));
    seen.clear();
    for (BOOL restart = TRUE; volume_->EnumDatabases(restart, name, CEDB_MAXDBASENAMELEN);
         restart = FALSE) {
        seen.insert(ToUtf8(name));
    }
    EXPECT_EQ(seen, (std::set<std::string>{"Second"}));
}

TEST_F(VolumeTest, CreateDatabaseRefusesIncompleteDefinitions) {
    ASSERT_TRUE(volume_->Mount(kVolume));
    EXPECT_FALSE(volume_->CreateDatabase(nullptr, 5, kSchema, 3, kSorts));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 0, kSchema, 3, kSorts));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 5, nullptr, 3, kSorts));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 5, kSchema, 3, nullptr));
    EXPECT_FALSE(volume_->CreateDatabase(kDb, 5, kSchema, CEDB_MAXSORTORDER + 1, kSorts));
    EXPECT_FALSE(volume_->DatabaseExists(kDb));
}

TEST_F(VolumeTest, AnOpenHandleDescribesItsDatabase) {
    MakeThings();
    IDatabase* db = Open(0, TRUE);
    ASSERT_NE(db, nullptr);
    WCHAR name[32];
    ASSERT_TRUE(db->GetName(name, 32));
    EXPECT_EQ(WString(name), u"Things");
    EXPECT_FALSE(db->GetName(nullptr, 32));

    ASSERT_EQ(db->GetPropCount(), 5u);
    for (DWORD i = 0; i < 5; i++) {
        DbPropDef* def = nullptr;
        ASSERT_TRUE(db->GetPropDef(i, &def));
        EXPECT_EQ(def->propId, kSchema[i].propId);
        EXPECT_EQ(def->wType, kSchema[i].wType);
        EXPECT_EQ(W(def->szName), W(kSchema[i].szName));
    }
    DbPropDef* def = nullptr;
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
}

TEST_F(VolumeTest, OpenDatabaseBeyondTheSortOrdersOpensInRecordOrder) {
    MakeThings();
    EXPECT_EQ(volume_->OpenDatabase(u"Missing", 0, TRUE), nullptr);
    EXPECT_EQ(volume_->OpenDatabase(nullptr, 0, TRUE), nullptr);
    const Names added = {"delta", "alpha", "echo", "charlie", "bravo"};
    EXPECT_EQ(Query(Open(3, TRUE)), added);
    EXPECT_EQ(Query(Open(16, FALSE)), added);
    EXPECT_EQ(Query(Open(-1, TRUE)), added);
    EXPECT_EQ(Query(Open(0, TRUE)), (Names{"alpha", "bravo", "charlie", "delta", "echo"}));
    EXPECT_EQ(Query(Open(2, TRUE)), (Names{"bravo", "charlie", "echo", "alpha", "delta"}));
}

// --- Queries -----------------------------------------------------------------------------------

TEST_F(VolumeTest, ReadNextFollowsTheSortOrderAndRestartsAfterEverySetQuery) {
    MakeThings();
    const Names bySize = {"charlie", "alpha", "echo", "delta", "bravo"};  // kind, size desc
    for (BOOL autoAdvance : {TRUE, FALSE}) {
        IDatabase* db = Open(1, autoAdvance);
        EXPECT_EQ(Query(db), bySize) << autoAdvance;
        // A scan broken off after two records starts from the first again.
        db->SetQuery(0, nullptr, 0, nullptr);
        IDbRecord* rec = db->CreateRecord();
        ASSERT_TRUE(db->ReadNext(rec));
        ASSERT_TRUE(db->ReadNext(rec));
        EXPECT_EQ(ToUtf8(rec->GetProp(kName).lpwstr), "alpha");
        db->Release(rec);
        EXPECT_EQ(Query(db), bySize) << autoAdvance;
    }
}

TEST_F(VolumeTest, AQueryCanStartAtAnOffsetOfTheSortOrder) {
    MakeThings();
    const Names bySize = {"charlie", "alpha", "echo", "delta", "bravo"};  // kind, size desc
    for (BOOL autoAdvance : {TRUE, FALSE}) {
        IDatabase* db = Open(1, autoAdvance);
        for (DWORD start = 0; start <= bySize.size(); ++start) {
            db->SetQuery(0, nullptr, 0, nullptr);
            ASSERT_TRUE(db->SetQueryStart(start));
            EXPECT_EQ(ReadNames(db), Names(bySize.begin() + start, bySize.end()))
                << autoAdvance << " from " << start;
        }
        // The start holds for one query: the next SetQuery reads from the first again.
        db->SetQuery(0, nullptr, 0, nullptr);
        ASSERT_TRUE(db->SetQueryStart(3));
        EXPECT_EQ(Query(db), bySize);
    }

    // Deleting every record read from the start on keeps exactly the ones before it.
    IDatabase* db = Open(1, TRUE);
    db->SetQuery(0, nullptr, 0, nullptr);
    ASSERT_TRUE(db->SetQueryStart(2));
    IDbRecord* rec = db->CreateRecord();
    ASSERT_NE(rec, nullptr);
    Names deleted;
    while (db->ReadNext(rec) && deleted.size() < 10) {
        deleted.push_back(ToUtf8(rec->GetProp(kName).lpwstr));
        EXPECT_TRUE(rec->Delete());
    }
    db->Release(rec);
    EXPECT_EQ(deleted, (Names{"echo", "delta", "bravo"}));
    EXPECT_EQ(Query(db), (Names{"charlie", "alpha"}));
    EXPECT_EQ(db->Count(0, nullptr), 2u);

    // A query with match values has no offset.
    CEPROPVAL kind1[1] = {U2(kKind, 1)};
    db->SetQuery(0, nullptr, 1, kind1);
    EXPECT_FALSE(db->SetQueryStart(1));
    EXPECT_EQ(ReadNames(db), (Names{"charlie", "alpha"}));
}

TEST_F(VolumeTest, ReadNextWithMatchValuesVisitsEveryMatchInSortOrder) {
    MakeThings();
    IDatabase* db = Open(1, FALSE);
    CEPROPVAL kind2[1] = {U2(kKind, 2)};
    EXPECT_EQ(Query(db, 1, kind2), (Names{"echo", "delta", "bravo"}));
    EXPECT_EQ(Query(db, 1, kind2), (Names{"echo", "delta", "bravo"}));
    CEPROPVAL both[2] = {U2(kKind, 1), U4(kSize, 10)};
    EXPECT_EQ(Query(db, 2, both), (Names{"alpha"}));
    CEPROPVAL none[1] = {U2(kKind, 7)};
    EXPECT_EQ(Query(db, 1, none), Names{});
    // On an auto-advancing handle the first match comes first as well.
    IDatabase* adv = Open(1, TRUE);
    adv->SetQuery(0, nullptr, 1, kind2);
    IDbRecord* rec = adv->CreateRecord();
    ASSERT_TRUE(adv->ReadNext(rec));
    EXPECT_EQ(ToUtf8(rec->GetProp(kName).lpwstr), "echo");
    adv->Release(rec);
}

TEST_F(VolumeTest, ReadListChoosesTheProperties) {
    MakeThings();
    IDatabase* db = Open(0, TRUE);
    CEPROPID ids[2] = {kSize, kIndex};
    db->SetQuery(2, ids, 0, nullptr);
    IDbRecord* rec = db->CreateRecord();
    std::vector<DWORD> indexes;
    while (db->ReadNext(rec)) {
        EXPECT_EQ(rec->GetProp(kName).raw, 0u);  // not in the read list
        EXPECT_NE(rec->GetProp(kSize).ulVal, 0u);
        indexes.push_back(rec->GetProp(kIndex).ulVal);
    }
    db->Release(rec);
    // alpha..echo were added as the 2nd, 5th, 4th, 1st and 3rd record.
    ASSERT_EQ(indexes.size(), 5u);
    EXPECT_LT(indexes[3], indexes[0]);
    EXPECT_LT(indexes[0], indexes[4]);
    EXPECT_LT(indexes[4], indexes[2]);
    EXPECT_LT(indexes[2], indexes[1]);
}

TEST_F(VolumeTest, CountGivesTheRecordCountOrTheMatches) {
    MakeThings();
    IDatabase* db = Open(1, TRUE);
    EXPECT_EQ(db->Count(0, nullptr), 5u);
    CEPROPVAL kind2[1] = {U2(kKind, 2)};
    EXPECT_EQ(db->Count(1, kind2), 3u);
    CEPROPVAL none[1] = {U2(kKind, 9)};
    EXPECT_EQ(db->Count(1, none), 0u);
    EXPECT_EQ(db->Count(1, nullptr), 0u);
    EXPECT_TRUE(db->SetAllMatches(FALSE));
    EXPECT_EQ(db->Count(1, kind2), 1u);
    EXPECT_FALSE(db->SetAllMatches(TRUE));
    EXPECT_EQ(db->Count(1, kind2), 3u);
}

TEST_F(VolumeTest, DeleteWithoutMatchValuesEmptiesTheDatabase) {
    MakeThings();
    IDatabase* db = Open(0, TRUE);
    EXPECT_EQ(db->Delete(0, nullptr), 5u);
    EXPECT_EQ(db->Count(0, nullptr), 0u);
    EXPECT_EQ(db->Delete(0, nullptr), 0u);
    EXPECT_EQ(Query(Open(1, TRUE)), Names{});
}

TEST_F(VolumeTest, DeleteWithMatchValuesRemovesTheMatches) {
    MakeThings();
    IDatabase* db = Open(1, TRUE);
    CEPROPVAL kind1[1] = {U2(kKind, 1)};
    CEPROPVAL kind2[1] = {U2(kKind, 2)};
    db->SetAllMatches(FALSE);
    EXPECT_EQ(db->Delete(1, kind2), 1u);  // the first in sort order: echo
    db->SetAllMatches(TRUE);
    EXPECT_EQ(Query(Open(0, TRUE)), (Names{"alpha", "bravo", "charlie", "delta"}));
    EXPECT_EQ(db->Delete(1, kind1), 2u);
    EXPECT_EQ(db->Delete(1, kind1), 0u);
    EXPECT_EQ(db->Delete(1, nullptr), 0u);  // never "everything"
    EXPECT_EQ(Query(Open(0, TRUE)), (Names{"bravo", "delta"}));
}

TEST_F(VolumeTest, UpdateWritesTheMatchesOrEveryRecord) {
    MakeThings();
    IDatabase* db = Open(1, FALSE);
    CEPROPVAL kind1[1] = {U2(kKind, 1)};
    CEPROPVAL when[1] = {Val(kWhen)};
    when[0].val.filetime = U64ToFileTime(0x01DC000012345678ull);
    EXPECT_EQ(db->Update(1, when, 1, kind1), 2u);
    EXPECT_EQ(db->Update(0, when, 1, kind1), 0u);
    CEPROPVAL kind9[1] = {U2(kKind, 9)};
    EXPECT_EQ(db->Update(1, when, 1, kind9), 0u);

    IDatabase* byName = Open(0, TRUE);
    byName->SetQuery(0, nullptr, 0, nullptr);
    IDbRecord* rec = byName->CreateRecord();
    std::set<std::string> stamped;
    while (byName->ReadNext(rec)) {
        if (rec->GetProp(kWhen).raw == 0x01DC000012345678ull) {
            stamped.insert(ToUtf8(rec->GetProp(kName).lpwstr));
        }
    }
    EXPECT_EQ(stamped, (std::set<std::string>{"alpha", "charlie"}));

    // Without match values every record in the handle's order is written (the handle's own
    // sort keys are left alone: writing them would move records under the walk).
    CEPROPVAL size[1] = {U4(kSize, 7)};
    EXPECT_EQ(byName->Update(1, size, 0, nullptr), 5u);
    byName->SetQuery(0, nullptr, 0, nullptr);
    int n = 0;
    while (byName->ReadNext(rec)) {
        EXPECT_EQ(rec->GetProp(kSize).ulVal, 7u);
        n++;
    }
    EXPECT_EQ(n, 5);
    byName->Release(rec);
}

TEST_F(VolumeTest, AddRecordWithMoreValuesThanPropertiesWritesNothing) {
    MakeThings();
    IDatabase* db = Open(0, TRUE);
    WString name = u"foxtrot";
    CEPROPVAL v[6] = {Text(kName, name), U4(kSize, 1), U2(kKind, 1),
                      Val(kWhen),        U4(kSize, 2), U4(kSize, 3)};
    EXPECT_FALSE(db->AddRecord(6, v));
    EXPECT_FALSE(db->AddRecord(2, nullptr));
    EXPECT_EQ(db->Count(0, nullptr), 5u);
    EXPECT_TRUE(db->AddRecord(5, v));
    EXPECT_EQ(db->Count(0, nullptr), 6u);
}

TEST_F(VolumeTest, ValuesOfEveryTypeReadBackAndTheCounterGrows) {
    ASSERT_TRUE(volume_->Mount(kVolume));
    ASSERT_TRUE(volume_->CreateDatabase(kDb, 5, kSchema, 3, kSorts));
    IDatabase* db = Open(2, TRUE);  // newest first
    WString first = u"\u65e5\u672c \U0001F600 caf\u00e9";
    WString second = u"";
    CEPROPVAL a[4] = {Text(kName, first), U4(kSize, 0xFFFFFFFFu), U2(kKind, 0xFFFF), Val(kWhen)};
    a[3].val.filetime = U64ToFileTime(0x0123456789ABCDEFull);
    CEPROPVAL b[1] = {Text(kName, second)};
    ASSERT_TRUE(db->AddRecord(4, a));
    ASSERT_TRUE(db->AddRecord(1, b));

    db->SetQuery(0, nullptr, 0, nullptr);
    IDbRecord* rec = db->CreateRecord();
    ASSERT_TRUE(db->ReadNext(rec));  // the second record
    EXPECT_EQ(W(rec->GetProp(kName).lpwstr), second);
    EXPECT_EQ(rec->GetProp(kSize).raw, 0u);  // never written
    DWORD newer = rec->GetProp(kIndex).ulVal;
    ASSERT_TRUE(db->ReadNext(rec));
    EXPECT_EQ(W(rec->GetProp(kName).lpwstr), first);
    EXPECT_EQ(rec->GetProp(kSize).ulVal, 0xFFFFFFFFu);
    EXPECT_EQ(rec->GetProp(kKind).uiVal, 0xFFFF);
    EXPECT_EQ(FileTimeToU64(rec->GetProp(kWhen).filetime), 0x0123456789ABCDEFull);
    EXPECT_GT(newer, rec->GetProp(kIndex).ulVal);
    EXPECT_EQ(rec->GetProp(MakePropId(9, CEVT_UI4)).raw, 0u);  // no such property
    EXPECT_FALSE(db->ReadNext(rec));
    db->Release(rec);
}

// --- Records -----------------------------------------------------------------------------------

TEST_F(VolumeTest, ARecordWritesAndDeletesWhatItRead) {
    MakeThings();
    IDatabase* db = Open(0, FALSE);
    IDbRecord* rec = db->CreateRecord();
    ASSERT_NE(rec, nullptr);
    // Nothing read yet: no values, nothing to write or delete.
    EXPECT_EQ(rec->GetProp(kName).raw, 0u);
    CEPROPVAL size[1] = {U4(kSize, 99)};
    EXPECT_FALSE(rec->Write(1, size));
    EXPECT_FALSE(rec->Delete());

    WString key = u"charlie";
    CEPROPVAL match[1] = {Text(kName, key)};
    db->SetQuery(0, nullptr, 1, match);
    ASSERT_TRUE(db->ReadNext(rec));
    EXPECT_TRUE(rec->Write(1, size));
    db->SetQuery(0, nullptr, 1, match);
    ASSERT_TRUE(db->ReadNext(rec));
    EXPECT_EQ(rec->GetProp(kSize).ulVal, 99u);
    EXPECT_TRUE(rec->Delete());
    EXPECT_FALSE(rec->Delete());
    db->Release(rec);
    EXPECT_EQ(Query(db), (Names{"alpha", "bravo", "delta", "echo"}));
}

TEST_F(VolumeTest, ReadNextRefusesNullAndForeignRecords) {
    MakeThings();
    IDatabase* a = Open(0, TRUE);
    IDatabase* b = Open(1, TRUE);
    a->SetQuery(0, nullptr, 0, nullptr);
    EXPECT_FALSE(a->ReadNext(nullptr));
    IDbRecord* fromB = b->CreateRecord();
    EXPECT_FALSE(a->ReadNext(fromB));
    b->Release(fromB);
    IDbRecord* fromA = a->CreateRecord();
    EXPECT_TRUE(a->ReadNext(fromA));
    a->Release(fromA);
    a->Release(nullptr);
    volume_->Release(nullptr);
}

TEST_F(VolumeTest, TwoVolumeObjectsOnOneFileSeeEachOthersRecords) {
    MakeThings();
    IDbVolume* other = CreateDbVolume();
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(other->Mount(kVolume));
    IDatabase* db = other->OpenDatabase(kDb, 0, TRUE);
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(db->Count(0, nullptr), 5u);
    WString name = u"golf";
    CEPROPVAL v[1] = {Text(kName, name)};
    ASSERT_TRUE(db->AddRecord(1, v));
    other->Release(db);
    delete other;
    EXPECT_EQ(Open(0, TRUE)->Count(0, nullptr), 6u);
}
