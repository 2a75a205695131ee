#include "store/database.h"

#include <cstring>
#include <new>

#include "platform/handle.h"
#include "platform/wstr.h"

// ---------------------------------------------------------------------------------------
// CDbRecord

CDbRecord::CDbRecord(HANDLE hDb)
    : m_pBuffer(nullptr), m_cbBuffer(0), m_oid(0), m_cValues(0), m_hDb(hDb) {}

CDbRecord::~CDbRecord() {
    if (m_pBuffer) LocalFree(m_pBuffer);
}

CEOID CDbRecord::Read(WORD readCount, CEPROPID* readIds) {
    // A failed read leaves the buffer as it was; a successful one may have replaced it (the
    // platform then freed the old block).
    WORD count = readCount;
    CEOID oid =
        CeReadRecordPropsEx(m_hDb, CEDB_ALLOWREALLOC, &count, readCount > 0 ? readIds : nullptr,
                            &m_pBuffer, &m_cbBuffer, nullptr);
    if (oid == 0 || !m_pBuffer) return 0;
    m_cValues = count;
    m_oid = oid;
    return oid;
}

CEVALUNION CDbRecord::GetProp(CEPROPID propId) {
    CEVALUNION none;
    none.raw = 0;
    if (!m_pBuffer) return none;
    const CEPROPVAL* values = reinterpret_cast<const CEPROPVAL*>(m_pBuffer);
    for (WORD i = 0; i < m_cValues; i++) {
        if (values[i].propid != propId) continue;
        // A property the record lacks reads as zero, whatever the buffer holds.
        if (values[i].wFlags & CEDB_PROPNOTFOUND) return none;
        return values[i].val;
    }
    return none;
}

BOOL CDbRecord::Delete() {
    if (m_oid == 0) return FALSE;
    return CeDeleteRecord(m_hDb, m_oid) ? TRUE : FALSE;
}

BOOL CDbRecord::Write(WORD valueCount, const CEPROPVAL* values) {
    // Record identifier 0 would make the platform write a new record.
    if (m_oid == 0 || (valueCount > 0 && !values)) return FALSE;
    // The platform only reads the values.
    return CeWriteRecordProps(m_hDb, m_oid, valueCount, const_cast<CEPROPVAL*>(values)) != 0;
}

// ---------------------------------------------------------------------------------------
// CDatabase

CDatabase::CDatabase(HANDLE hDb, BOOL autoAdvance, HANDLE hSession)
    : m_hDb(hDb),
      m_szName{},
      m_cProps(0),
      m_pPropDefs(nullptr),
      m_pScratch(nullptr),
      m_bAutoAdvance(autoAdvance),
      m_bAllMatches(TRUE),
      m_hSession(hSession),
      m_rgMatch{},
      m_cMatch(0),
      m_pReadIds(nullptr),
      m_cReadIds(0),
      m_bStarted(FALSE),
      m_nStart(0),
      m_nPosition(0) {
    CEDBASEINFOEX info{};
    info.wVersion = 2;
    if (CeGetDBInformationByHandle(hDb, &info)) {
        // The platform's name field need not be terminated; m_szName has room for that.
        memcpy(m_szName, info.szDbaseName, sizeof info.szDbaseName);
    }

    WORD count = 0;
    if (!CeGetDatabaseProps(hDb, &count, nullptr) || count == 0) return;
    DbPropDef* defs = new (std::nothrow) DbPropDef[count]();
    CEPROPSPEC* specs = new (std::nothrow) CEPROPSPEC[count]();
    if (defs && specs) {
        for (WORD i = 0; i < count; i++) {
            specs[i].wVersion = 1;
            specs[i].pwszPropName = defs[i].szName;
            specs[i].cchPropName = CEDB_MAXPROPNAMELEN;
        }
        WORD got = count;
        if (CeGetDatabaseProps(hDb, &got, specs)) {
            if (got > count) got = count;
            for (WORD i = 0; i < got; i++) {
                defs[i].propId = specs[i].propid;
                defs[i].wType = TypeFromPropId(specs[i].propid);
            }
            m_cProps = got;
            m_pPropDefs = defs;
            defs = nullptr;
        }
    }
    delete[] defs;
    delete[] specs;
}

CDatabase::~CDatabase() {
    delete[] m_pPropDefs;
    delete[] m_pScratch;
    delete[] m_pReadIds;
    CloseHandle(m_hDb);
    if (m_hSession) CloseHandle(m_hSession);
}

BOOL CDatabase::GetName(LPWSTR buf, DWORD chars) {
    if (!buf || chars == 0 || m_szName[0] == 0) return FALSE;
    WStrCopyN(buf, m_szName, chars);
    return TRUE;
}

DWORD CDatabase::GetPropCount() {
    return m_cProps;
}

BOOL CDatabase::GetPropDef(DWORD index, DbPropDef** out) {
    if (!out || index >= m_cProps) return FALSE;
    *out = &m_pPropDefs[index];
    return TRUE;
}

BOOL CDatabase::FindPropByName(DbPropDef* def) {
    if (!def) return FALSE;
    for (DWORD i = 0; i < m_cProps; i++) {
        if (WStrCmp(m_pPropDefs[i].szName, def->szName) == 0) {
            def->propId = m_pPropDefs[i].propId;
            def->wType = m_pPropDefs[i].wType;
            return TRUE;
        }
    }
    return FALSE;
}

BOOL CDatabase::AddRecord(DWORD valueCount, const CEPROPVAL* values) {
    if (valueCount > m_cProps || (valueCount > 0 && !values)) return FALSE;
    if (!m_pScratch) {
        m_pScratch = new (std::nothrow) CEPROPVAL[m_cProps > 0 ? m_cProps : 1]();
        if (!m_pScratch) return FALSE;
    }
    for (DWORD i = 0; i < valueCount; i++) {
        m_pScratch[i].propid = values[i].propid;
        m_pScratch[i].wLenData = 0;
        m_pScratch[i].wFlags = 0;
        m_pScratch[i].val = values[i].val;
    }
    return CeWriteRecordProps(m_hDb, 0, static_cast<WORD>(valueCount), m_pScratch) != 0;
}

BOOL CDatabase::SetQuery(int readCount, const CEPROPID* readIds, DWORD matchCount,
                         const CEPROPVAL* matchValues) {
    delete[] m_pReadIds;
    m_pReadIds = nullptr;
    m_cReadIds = 0;
    if (readCount > 0 && readIds) {
        DWORD n = readCount > 0xFFFF ? 0xFFFF : static_cast<DWORD>(readCount);
        m_pReadIds = new (std::nothrow) CEPROPID[n];
        if (m_pReadIds) {  // without memory the query reads every property
            memcpy(m_pReadIds, readIds, n * sizeof(CEPROPID));
            m_cReadIds = n;
        }
    }

    m_cMatch =
        matchValues ? (matchCount > DB_MAX_MATCH_VALUES ? DB_MAX_MATCH_VALUES : matchCount) : 0;
    for (DWORD i = 0; i < DB_MAX_MATCH_VALUES; i++) {
        m_rgMatch[i] = CEPROPVAL{};
        if (i < m_cMatch) {
            m_rgMatch[i].propid = matchValues[i].propid;
            m_rgMatch[i].val = matchValues[i].val;
        }
    }
    m_bStarted = FALSE;
    m_nStart = 0;
    return TRUE;
}

BOOL CDatabase::SetQueryStart(DWORD offset) {
    if (m_cMatch > 0) return FALSE;
    m_nStart = offset;
    m_bStarted = FALSE;
    return TRUE;
}

CEOID CDatabase::SeekFirstEqual(DWORD matchCount, const CEPROPVAL* matchValues) {
    if (matchCount > DB_MAX_MATCH_VALUES) return 0;
    // No index wanted: working it out would cost a count of the records before the match.
    CEOID oid =
        CeSeekDatabaseEx(m_hDb, CEDB_SEEK_VALUEFIRSTEQUAL, reinterpret_cast<uintptr_t>(matchValues),
                         static_cast<WORD>(matchCount), nullptr);
    if (oid == 0) (void)GetLastError();  // no match is the usual reason; nothing to report
    return oid;
}

CEOID CDatabase::SeekNextEqual(DWORD matchCount, const CEPROPVAL* matchValues) {
    if (matchCount > DB_MAX_MATCH_VALUES) return 0;
    CEOID oid =
        CeSeekDatabaseEx(m_hDb, CEDB_SEEK_VALUENEXTEQUAL, reinterpret_cast<uintptr_t>(matchValues),
                         static_cast<WORD>(matchCount), nullptr);
    if (oid == 0) (void)GetLastError();
    return oid;
}

CEOID CDatabase::SeekFromBeginning(DWORD offset) {
    return CeSeekDatabaseEx(m_hDb, CEDB_SEEK_BEGINNING, offset, 0, nullptr);
}

BOOL CDatabase::ReadNext(IDbRecord* record) {
    CDbRecord* rec = dynamic_cast<CDbRecord*>(record);
    // Only a record of this handle can take the read: its Delete and Write use the handle.
    if (!rec || rec->DbHandle() != m_hDb) return FALSE;

    if (!m_bStarted) {
        m_bStarted = TRUE;
        if (m_cMatch > 0) {
            if (!SeekFirstEqual(m_cMatch, m_rgMatch)) return FALSE;
        } else {
            m_nPosition = m_nStart;
            CEOID oid = SeekFromBeginning(m_nPosition);
            m_nPosition++;
            if (!oid) return FALSE;
        }
    } else if (m_cMatch > 0) {
        if (!SeekNextEqual(m_cMatch, m_rgMatch)) return FALSE;
    } else if (!m_bAutoAdvance) {
        CEOID oid = SeekFromBeginning(m_nPosition);
        m_nPosition++;
        if (!oid) return FALSE;
    }  // else the previous read already moved the handle on

    return rec->Read(static_cast<WORD>(m_cReadIds), m_pReadIds) != 0;
}

DWORD CDatabase::Count(DWORD matchCount, const CEPROPVAL* matchValues) {
    if (matchCount == 0) {
        CEDBASEINFOEX info{};
        info.wVersion = 2;
        if (!CeGetDBInformationByHandle(m_hDb, &info)) return 0;
        return info.dwNumRecords;
    }
    if (!matchValues || !SeekFirstEqual(matchCount, matchValues)) return 0;
    DWORD n = 1;
    while (m_bAllMatches && SeekNextEqual(matchCount, matchValues)) n++;
    return n;
}

DWORD CDatabase::Delete(DWORD matchCount, const CEPROPVAL* matchValues) {
    DWORD n = 0;
    if (matchCount == 0) {
        // From the last record backwards until none is left or a delete fails.
        for (;;) {
            CEOID oid = CeSeekDatabaseEx(m_hDb, CEDB_SEEK_END, 0, 0, nullptr);
            if (oid == 0 || !CeDeleteRecord(m_hDb, oid)) break;
            n++;
        }
        return n;
    }
    if (!matchValues) return 0;  // never taken as "no match values": that would delete all
    CEOID oid = SeekFirstEqual(matchCount, matchValues);
    if (oid == 0) return 0;
    if (CeDeleteRecord(m_hDb, oid)) n++;
    while (m_bAllMatches && (oid = SeekNextEqual(matchCount, matchValues)) != 0) {
        if (CeDeleteRecord(m_hDb, oid)) n++;
    }
    return n;
}

DWORD CDatabase::Update(DWORD valueCount, const CEPROPVAL* values, DWORD matchCount,
                        const CEPROPVAL* matchValues) {
    if (valueCount < 1 || valueCount > 0xFFFF || !values) return 0;
    // The platform only reads the values.
    CEPROPVAL* vals = const_cast<CEPROPVAL*>(values);
    WORD cVals = static_cast<WORD>(valueCount);
    DWORD n = 0;
    if (matchCount == 0) {
        for (DWORD offset = 0;; offset++) {
            CEOID oid = SeekFromBeginning(offset);
            if (oid == 0 || !CeWriteRecordProps(m_hDb, oid, cVals, vals)) break;
            n++;
        }
        return n;
    }
    if (!matchValues) return 0;
    CEOID oid = SeekFirstEqual(matchCount, matchValues);
    if (oid == 0) return 0;
    if (CeWriteRecordProps(m_hDb, oid, cVals, vals)) n++;
    while (m_bAllMatches && (oid = SeekNextEqual(matchCount, matchValues)) != 0) {
        if (!CeWriteRecordProps(m_hDb, oid, cVals, vals)) break;
        n++;
    }
    return n;
}

BOOL CDatabase::SetAllMatches(BOOL flag) {
    BOOL previous = m_bAllMatches;
    m_bAllMatches = flag;
    return previous;
}

IDbRecord* CDatabase::CreateRecord() {
    return new (std::nothrow) CDbRecord(m_hDb);
}

void CDatabase::Release(IDbRecord* record) {
    delete record;
}

BOOL CDatabase::BeginTransaction() {
    if (!m_hSession) return FALSE;
    return CeBeginTransaction(m_hSession, CEDB_ISOLEVEL_DEFAULT) ? TRUE : FALSE;
}

BOOL CDatabase::EndTransaction(BOOL commit) {
    if (!m_hSession) return FALSE;
    return CeEndTransaction(m_hSession, commit) ? TRUE : FALSE;
}
