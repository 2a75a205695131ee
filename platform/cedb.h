// The device's property database: volumes holding named databases of property-value
// records, each database with up to 16 sort orders. Every volume file is one SQLite file;
// see docs/property-database.md for how records, counters and sort orders are kept.
#pragma once

#include "platform/types.h"

// Property value types (low 16 bits of a property identifier).
constexpr WORD CEVT_I2 = 2;
constexpr WORD CEVT_I4 = 3;
constexpr WORD CEVT_UI2 = 18;       // 0x0012
constexpr WORD CEVT_UI4 = 19;       // 0x0013
constexpr WORD CEVT_LPWSTR = 31;    // 0x001F
constexpr WORD CEVT_FILETIME = 64;  // 0x0040
constexpr WORD CEVT_AUTO_I4 = 102;  // 0x0066, store-assigned growing counter

constexpr CEPROPID MakePropId(WORD number, WORD type) {
    return (static_cast<CEPROPID>(number) << 16) | type;
}
constexpr WORD TypeFromPropId(CEPROPID id) {
    return static_cast<WORD>(id & 0xFFFF);
}

constexpr int CEDB_MAXDBASENAMELEN = 128;
constexpr int CEDB_MAXSORTORDER = 16;
constexpr int CEDB_MAXSORTPROP = 16;
constexpr int CEDB_MAXPROPNAMELEN = 128;

struct CEGUID {
    DWORD Data1;
    DWORD Data2;
    DWORD Data3;
    DWORD Data4;
};
static_assert(sizeof(CEGUID) == 16);

union CEVALUNION {
    int16_t iVal;
    uint16_t uiVal;
    int32_t lVal;
    uint32_t ulVal;
    FILETIME filetime;
    LPWSTR lpwstr;
    uint64_t raw;  // the whole 8-byte value
};
static_assert(sizeof(CEVALUNION) == 8);

struct CEPROPVAL {
    CEPROPID propid;  // number << 16 | type
    WORD wLenData;    // unused, 0
    WORD wFlags;      // CEDB_PROPNOTFOUND on read when the record lacks the property
    CEVALUNION val;   // the value; texts point into the read buffer
};
static_assert(sizeof(CEPROPVAL) == 16);

constexpr WORD CEDB_PROPNOTFOUND = 0x0100;
constexpr WORD CEDB_PROPDELETE = 0x0200;  // on write: remove the property from the record
constexpr DWORD CEDB_SORT_DESCENDING = 0x00000001;

struct SORTORDERSPECEX {
    WORD wVersion;                        // 2
    WORD wNumProps;                       // keys in use
    WORD wKeyFlags;                       // 0
    WORD wReserved;                       // 0
    CEPROPID rgPropID[CEDB_MAXSORTPROP];  // key properties, most significant first
    DWORD rgdwFlags[CEDB_MAXSORTPROP];    // CEDB_SORT_DESCENDING per key
};
static_assert(sizeof(SORTORDERSPECEX) == 136);

// Valid-field flags of CEDBASEINFOEX.
constexpr DWORD CEDB_VALIDNAME = 0x0001;
constexpr DWORD CEDB_VALIDTYPE = 0x0002;
constexpr DWORD CEDB_VALIDSORTSPEC = 0x0004;
constexpr DWORD CEDB_VALIDMODTIME = 0x0008;
constexpr DWORD CEDB_VALIDDBFLAGS = 0x0010;

struct CEDBASEINFOEX {
    WORD wVersion;                            // 2
    WORD wNumSortOrder;                       // sort orders in rgSortSpecs
    DWORD dwFlags;                            // CEDB_VALID* flags
    WCHAR szDbaseName[CEDB_MAXDBASENAMELEN];  // NUL-terminated name
    DWORD dwDbaseType;                        // database type
    DWORD dwNumRecords;                       // filled on read
    DWORD dwSize;                             // filled on read: bytes of record data
    FILETIME ftLastModified;                  // filled on read
    SORTORDERSPECEX rgSortSpecs[CEDB_MAXSORTORDER];
};

struct CEPROPSPEC {
    WORD wVersion;        // 1
    CEPROPID propid;      // identifier
    DWORD dwFlags;        // 0
    LPWSTR pwszPropName;  // name in, or buffer for the name out
    DWORD cchPropName;    // characters in the name (+1) or in the buffer
};

constexpr WORD OBJTYPE_DATABASE = 2;

struct CEOIDINFOEX {
    WORD wVersion;  // 2
    WORD wObjType;  // OBJTYPE_DATABASE for a database
    CEDBASEINFOEX infDatabase;
};

// Open flags (dispositions such as OPEN_ALWAYS are in types.h).
constexpr DWORD CEDB_AUTOINCREMENT = 0x00000001;

// Seek types.
constexpr DWORD CEDB_SEEK_CEOID = 0x00000001;
constexpr DWORD CEDB_SEEK_BEGINNING = 0x00000002;
constexpr DWORD CEDB_SEEK_END = 0x00000004;
constexpr DWORD CEDB_SEEK_CURRENT = 0x00000008;
constexpr DWORD CEDB_SEEK_VALUEFIRSTEQUAL = 0x00000020;
constexpr DWORD CEDB_SEEK_VALUENEXTEQUAL = 0x00000080;

constexpr DWORD CEDB_ALLOWREALLOC = 0x00000001;

// Mounts (creating with OPEN_ALWAYS) a volume file given as a device path. The same file
// may be mounted by several openers in one or several processes. False (with a trace)
// when the file is not a volume.
BOOL CeMountDBVolEx(CEGUID* guid, LPCWSTR path, void* options, DWORD disposition);
BOOL CeFlushDBVol(CEGUID* guid);
BOOL CeUnmountDBVol(CEGUID* guid);

// Enumeration of the databases of a volume; CloseHandle ends it.
HANDLE CeFindFirstDatabaseEx(CEGUID* guid, DWORD dbType);     // INVALID_HANDLE_VALUE on failure
CEOID CeFindNextDatabaseEx(HANDLE enumHandle, CEGUID* guid);  // 0 when none is left
BOOL CeOidGetInfoEx2(CEGUID* guid, CEOID oid, CEOIDINFOEX* info);

CEOID CeCreateDatabaseWithProps(CEGUID* guid, CEDBASEINFOEX* info, DWORD propCount,
                                CEPROPSPEC* props);
BOOL CeDeleteDatabaseEx(CEGUID* guid, CEOID oid);

HANDLE CeCreateSession(CEGUID* guid);  // INVALID_HANDLE_VALUE on failure

// Isolation levels of a transaction; every transaction is serializable, whatever is asked.
using CEDBISOLATIONLEVEL = DWORD;
constexpr CEDBISOLATIONLEVEL CEDB_ISOLEVEL_DEFAULT = 1;
constexpr CEDBISOLATIONLEVEL CEDB_ISOLEVEL_READCOMMITTED = 2;
constexpr CEDBISOLATIONLEVEL CEDB_ISOLEVEL_REPEATABLEREAD = 3;
constexpr CEDBISOLATIONLEVEL CEDB_ISOLEVEL_SERIALIZABLE = 4;

// Begins a transaction on the session's volume file: until CeEndTransaction, every write the
// calling thread makes to that file, through any handle of any mount of it in this process,
// belongs to it, is seen by this thread's reads, and reaches the file (durably, at once)
// only with the commit. Other threads of this process wait for its end before they use the
// file (ERROR_TIMEOUT after 10 s); other processes see the file as before until the commit.
// Takes the file's write lock, waiting for a writer of another process as a write would.
// ERROR_ALREADY_EXISTS when this thread has a transaction open on the file already.
BOOL CeBeginTransaction(HANDLE session, CEDBISOLATIONLEVEL level);
// Commits (commit TRUE) or rolls back the calling thread's transaction begun on session. A
// commit that fails, or follows a write that made the transaction roll back, is traced, rolls
// everything back and returns FALSE with the error. Closing the session rolls back a
// transaction still open on it.
BOOL CeEndTransaction(HANDLE session, BOOL commit);

// Opens by *oid when it is non-zero, else by name (and stores the object identifier into
// *oid). sort chooses one of the database's own sort orders (null: none, record order).
HANDLE CeOpenDatabaseInSession(HANDLE session, CEGUID* guid, CEOID* oid, LPCWSTR name,
                               SORTORDERSPECEX* sort, DWORD flags, void* notify);
BOOL CeGetDBInformationByHandle(HANDLE db, CEDBASEINFOEX* info);
// With props null, stores the property count only.
BOOL CeGetDatabaseProps(HANDLE db, WORD* propCount, CEPROPSPEC* props);

// value: an offset for BEGINNING / END / CURRENT, a CEPROPVAL* for the value seeks,
// a record identifier for CEDB_SEEK_CEOID. Returns the record now current, or 0 (with
// ERROR_NO_MORE_ITEMS when no record is there; the current record then stays as it was).
// The value seeks take the leading keys of the handle's sort order, in order; texts match
// exactly. VALUENEXTEQUAL finds the next matching record after the last one sought or read,
// so it also works after an auto-increment read. index (may be null) receives the record's
// position in sort order; for anything but SEEK_BEGINNING that costs a count, so pass null
// unless the position is wanted.
CEOID CeSeekDatabaseEx(HANDLE db, DWORD seekType, uintptr_t value, WORD valueCount, DWORD* index);
// Reads the current record's properties (all it has when propIds is null; requested ones it
// lacks come back zero with CEDB_PROPNOTFOUND). With CEDB_ALLOWREALLOC and *buffer null
// or too small the buffer is allocated with LocalAlloc; free it with LocalFree. With
// CEDB_AUTOINCREMENT on the handle the read moves on to the next record, skipping records
// deleted meanwhile; ERROR_KEY_DELETED when a record reached by a seek was deleted.
CEOID CeReadRecordPropsEx(HANDLE db, DWORD flags, WORD* propCount, CEPROPID* propIds, BYTE** buffer,
                          DWORD* bufferSize, HANDLE heap);
// oid 0 writes a new record; otherwise overwrites those properties of that record. Only
// declared properties can be written; the store-assigned counter cannot. Every write is
// durable once it returns, or inside a transaction once the transaction commits.
CEOID CeWriteRecordProps(HANDLE db, CEOID oid, WORD propCount, CEPROPVAL* values);
BOOL CeDeleteRecord(HANDLE db, CEOID oid);

void* LocalAlloc(UINT flags, size_t bytes);
void* LocalFree(void* mem);  // returns null on success
constexpr UINT LMEM_FIXED = 0;
constexpr UINT LPTR = 0x40;  // zero-initialised
