// An open database handle and the records read through it.
#pragma once

#include "store/db_volume.h"

constexpr DWORD DB_MAX_MATCH_VALUES = 16;  // a sort order has at most 16 keys

class CDbRecord : public IDbRecord {
  public:
    explicit CDbRecord(HANDLE hDb);
    ~CDbRecord() override;
    CDbRecord(const CDbRecord&) = delete;
    CDbRecord& operator=(const CDbRecord&) = delete;

    CEVALUNION GetProp(CEPROPID propId) override;
    BOOL Delete() override;
    BOOL Write(WORD valueCount, const CEPROPVAL* values) override;

    // Reads the current record of the handle (see CeReadRecordPropsEx) into the record's own
    // buffer, which the platform enlarges when needed; the record keeps its previous values
    // when the read fails.
    CEOID Read(WORD readCount, CEPROPID* readIds);
    HANDLE DbHandle() const { return m_hDb; }

  private:
    BYTE* m_pBuffer;   // property values of the last read, LocalAlloc'ed by the platform
    DWORD m_cbBuffer;  // bytes in m_pBuffer
    CEOID m_oid;       // record last read, 0 before the first read
    WORD m_cValues;    // values in m_pBuffer
    HANDLE m_hDb;      // database handle of the CDatabase that created the record
};

class CDatabase : public IDatabase {
  public:
    // Takes ownership of the database and session handles.
    CDatabase(HANDLE hDb, BOOL autoAdvance, HANDLE hSession);
    ~CDatabase() override;
    CDatabase(const CDatabase&) = delete;
    CDatabase& operator=(const CDatabase&) = delete;

    BOOL GetName(LPWSTR buf, DWORD chars) override;
    DWORD GetPropCount() override;
    BOOL GetPropDef(DWORD index, DbPropDef** out) override;
    BOOL FindPropByName(DbPropDef* def) override;
    BOOL AddRecord(DWORD valueCount, const CEPROPVAL* values) override;
    BOOL SetQuery(int readCount, const CEPROPID* readIds, DWORD matchCount,
                  const CEPROPVAL* matchValues) override;
    // The start is found with one seek from the beginning, which the platform answers
    // without reading the records before it one by one.
    BOOL SetQueryStart(DWORD offset) override;
    BOOL ReadNext(IDbRecord* record) override;
    DWORD Count(DWORD matchCount, const CEPROPVAL* matchValues) override;
    DWORD Delete(DWORD matchCount, const CEPROPVAL* matchValues) override;
    DWORD Update(DWORD valueCount, const CEPROPVAL* values, DWORD matchCount,
                 const CEPROPVAL* matchValues) override;
    BOOL SetAllMatches(BOOL flag) override;
    IDbRecord* CreateRecord() override;
    void Release(IDbRecord* record) override;
    BOOL BeginTransaction() override;
    BOOL EndTransaction(BOOL commit) override;

  private:
    CEOID SeekFirstEqual(DWORD matchCount, const CEPROPVAL* matchValues);
    CEOID SeekNextEqual(DWORD matchCount, const CEPROPVAL* matchValues);
    CEOID SeekFromBeginning(DWORD offset);

    HANDLE m_hDb;                              // database handle from the open call
    WCHAR m_szName[CEDB_MAXDBASENAMELEN + 1];  // database name, empty when unknown
    DWORD m_cProps;                            // entries in m_pPropDefs
    DbPropDef* m_pPropDefs;                    // one definition per property
    CEPROPVAL* m_pScratch;                     // AddRecord's values, made on first use
    BOOL m_bAutoAdvance;                       // handle opened with CEDB_AUTOINCREMENT
    BOOL m_bAllMatches;                        // Count/Delete/Update go past the first
    HANDLE m_hSession;                         // session of the handle, null when none
    CEPROPVAL m_rgMatch[DB_MAX_MATCH_VALUES];  // match values of SetQuery
    DWORD m_cMatch;                            // entries used in m_rgMatch
    CEPROPID* m_pReadIds;                      // read list of SetQuery, null: read all
    DWORD m_cReadIds;                          // entries in m_pReadIds
    BOOL m_bStarted;                           // a ReadNext ran since SetQuery
    DWORD m_nStart;                            // offset of the query's first record
    DWORD m_nPosition;                         // next offset when not auto-advancing
};
