// The small object layer over the device's property database: a volume, the databases
// opened in it and the records read from them, each behind an abstract interface. Nothing
// else in the system calls the platform's database functions.
#pragma once

#include "platform/cedb.h"
#include "platform/sync.h"
#include "platform/types.h"

// One property of a database: used to create a database and to describe an open one.
struct DbPropDef {
    WORD wType;                             // value type, the low half of propId
    WCHAR szName[CEDB_MAXPROPNAMELEN + 1];  // NUL-terminated property name
    CEPROPID propId;                        // number << 16 | type
};
static_assert(sizeof(DbPropDef) == 264);

// A record read from an open database. Destroyed through IDatabase::Release.
class IDbRecord {
  public:
    virtual ~IDbRecord() = default;
    // The 8-byte value of the first read value with that identifier; all zero when absent.
    virtual CEVALUNION GetProp(CEPROPID propId) = 0;
    // Deletes the record last read from its database.
    virtual BOOL Delete() = 0;
    // Overwrites those properties of the record last read.
    virtual BOOL Write(WORD valueCount, const CEPROPVAL* values) = 0;
};

// An open handle on one database, in one of its sort orders. Destroyed through
// IDbVolume::Release. Used by one thread at a time.
class IDatabase {
  public:
    virtual ~IDatabase() = default;
    // Copies the name into buf (at most chars characters); false for a null buf or no name.
    virtual BOOL GetName(LPWSTR buf, DWORD chars) = 0;
    virtual DWORD GetPropCount() = 0;
    // Stores a pointer to the index-th definition, which lives as long as the handle.
    virtual BOOL GetPropDef(DWORD index, DbPropDef** out) = 0;
    // Finds the definition named like def (case-sensitive) and copies its identifier and type.
    virtual BOOL FindPropByName(DbPropDef* def) = 0;
    // Writes a new record with the given values; fails when there are more values than
    // the database has properties.
    virtual BOOL AddRecord(DWORD valueCount, const CEPROPVAL* values) = 0;
    // Chooses what ReadNext reads (readCount <= 0: every property) and which leading sort
    // keys it matches (at most 16); the next ReadNext starts again from the beginning.
    virtual BOOL SetQuery(int readCount, const CEPROPID* readIds, DWORD matchCount,
                          const CEPROPVAL* matchValues) = 0;
    // Makes the next ReadNext of a query without match values start at the offset-th
    // record of the sort order (0: the first) rather than at the first; set after SetQuery.
    // False, changing nothing, when the query has match values.
    virtual BOOL SetQueryStart(DWORD offset) = 0;
    // Reads the next (matching) record into record, which must come from CreateRecord.
    virtual BOOL ReadNext(IDbRecord* record) = 0;
    // Every record without match values; otherwise the records whose leading sort keys
    // equal the values (only the first unless all-matches is set).
    virtual DWORD Count(DWORD matchCount, const CEPROPVAL* matchValues) = 0;
    // Deletes as Count counts; returns the number deleted.
    virtual DWORD Delete(DWORD matchCount, const CEPROPVAL* matchValues) = 0;
    // Writes the values into the records Count would count; returns the number written.
    virtual DWORD Update(DWORD valueCount, const CEPROPVAL* values, DWORD matchCount,
                         const CEPROPVAL* matchValues) = 0;
    // Returns the previous flag.
    virtual BOOL SetAllMatches(BOOL flag) = 0;
    virtual IDbRecord* CreateRecord() = 0;  // null when it cannot be allocated
    virtual void Release(IDbRecord* record) = 0;
    // Begins a transaction on the handle's session: the calling thread's writes to the
    // volume file, through any handle of any store on it, are kept back until EndTransaction
    // and then written together (see CeBeginTransaction). False (traced) when none can begin.
    virtual BOOL BeginTransaction() = 0;
    // Commits the transaction, or rolls it back; false (traced) when a commit failed and
    // nothing of the transaction was written.
    virtual BOOL EndTransaction(BOOL commit) = 0;
};

// A mounted volume file holding named databases. Owned by its creator, destroyed through
// its virtual destructor, which flushes and unmounts it.
class IDbVolume {
  public:
    virtual ~IDbVolume() = default;
    // Mounts the volume file, creating it when missing; fails when already mounted.
    virtual BOOL Mount(LPCWSTR path) = 0;
    // The next database name (restart: the first), at most nameChars characters.
    virtual BOOL EnumDatabases(BOOL restart, LPWSTR nameOut, DWORD nameChars) = 0;
    virtual BOOL CreateDatabase(LPCWSTR name, DWORD propCount, const DbPropDef* propDefs,
                                DWORD sortCount, const SORTORDERSPECEX* sortOrders) = 0;
    virtual BOOL DatabaseExists(LPCWSTR name) = 0;
    virtual BOOL DeleteDatabase(LPCWSTR name) = 0;
    // Opens a handle in the database's sort order sortIndex (none when it is negative or
    // beyond the database's sort orders); null on failure.
    virtual IDatabase* OpenDatabase(LPCWSTR name, int sortIndex, BOOL autoAdvance) = 0;
    virtual void Release(IDatabase* database) = 0;
};

class CDbVolume : public IDbVolume {
  public:
    CDbVolume();
    ~CDbVolume() override;
    CDbVolume(const CDbVolume&) = delete;
    CDbVolume& operator=(const CDbVolume&) = delete;

    BOOL Mount(LPCWSTR path) override;
    BOOL EnumDatabases(BOOL restart, LPWSTR nameOut, DWORD nameChars) override;
    BOOL CreateDatabase(LPCWSTR name, DWORD propCount, const DbPropDef* propDefs, DWORD sortCount,
                        const SORTORDERSPECEX* sortOrders) override;
    BOOL DatabaseExists(LPCWSTR name) override;
    BOOL DeleteDatabase(LPCWSTR name) override;
    IDatabase* OpenDatabase(LPCWSTR name, int sortIndex, BOOL autoAdvance) override;
    void Release(IDatabase* database) override;

  private:
    IDatabase* OpenDatabaseLocked(LPCWSTR name, int sortIndex, BOOL autoAdvance);

    CEGUID m_guid;          // volume identifier returned by the mount
    BOOL m_bMounted;        // TRUE between a successful Mount and the destructor
    HANDLE m_hEnum;         // enumeration of EnumDatabases, null when none
    CRITICAL_SECTION m_cs;  // serialises OpenDatabase
};

// A new, unmounted volume object, or null when it cannot be allocated.
IDbVolume* CreateDbVolume();
