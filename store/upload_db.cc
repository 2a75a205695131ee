#include "store/upload_db.h"

CUploadDb::CUploadDb()
    : m_pVolume(nullptr), m_pPrimary(nullptr), m_pSecondary(nullptr), m_cWritable(0) {}

CUploadDb::~CUploadDb() {
    Close();
}

BOOL CUploadDb::Init(LPCWSTR name, const DbPropDef* props, DWORD propCount,
                     const SORTORDERSPECEX* sortOrders) {
    Close();  // a second initialisation starts afresh rather than leaking the first
    m_pVolume = CreateDbVolume();
    if (!m_pVolume) return FALSE;
    if (!m_pVolume->Mount(UPLOAD_DB_VOLUME)) return FALSE;
    if (!m_pVolume->DatabaseExists(name) &&
        !m_pVolume->CreateDatabase(name, propCount, props, 2, sortOrders)) {
        return FALSE;
    }
    m_pPrimary = m_pVolume->OpenDatabase(name, 0, TRUE);
    if (!m_pPrimary) return FALSE;
    m_pSecondary = m_pVolume->OpenDatabase(name, 1, TRUE);
    if (!m_pSecondary) return FALSE;
    DWORD count = m_pPrimary->GetPropCount();
    m_cWritable = count > 0 ? count - 1 : 0;
    return TRUE;
}

void CUploadDb::Close() {
    if (!m_pVolume) return;
    m_pVolume->Release(m_pPrimary);
    m_pPrimary = nullptr;
    m_pVolume->Release(m_pSecondary);
    m_pSecondary = nullptr;
    delete m_pVolume;
    m_pVolume = nullptr;
    m_cWritable = 0;
}

BOOL CUploadDb::BeginTransaction() {
    return IsOpen() && m_pPrimary->BeginTransaction();
}

BOOL CUploadDb::EndTransaction(BOOL commit) {
    return IsOpen() && m_pPrimary->EndTransaction(commit);
}
