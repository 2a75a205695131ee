// The upload history: database "UploadHistory", at most 10000 records.
#include "platform/trace.h"
#include "store/upload_db.h"

namespace {

constexpr DWORD kHistoryProps = 5;
constexpr DWORD kHistoryWritable = 4;  // every property but "Index"

// The schema, in property-number order.
const DbPropDef kHistorySchema[kHistoryProps] = {
    {CEVT_AUTO_I4, u"Index", PROPID_HISTORY_INDEX},
    {CEVT_UI4, u"FileSize", PROPID_HISTORY_FILESIZE},
    {CEVT_LPWSTR, u"FileName", PROPID_HISTORY_FILENAME},
    {CEVT_LPWSTR, u"FolderPath", PROPID_HISTORY_FOLDER},
    {CEVT_FILETIME, u"ModifiedTime", PROPID_HISTORY_MODIFIED},
};

// Sort order 0: newest record first. Sort order 1: the four keys of a file.
const SORTORDERSPECEX kHistorySorts[2] = {
    {2, 1, 0, 0, {PROPID_HISTORY_INDEX}, {CEDB_SORT_DESCENDING}},
    {2,
     4,
     0,
     0,
     {PROPID_HISTORY_FILESIZE, PROPID_HISTORY_MODIFIED, PROPID_HISTORY_FILENAME,
      PROPID_HISTORY_FOLDER},
     {0, 0, 0, 0}},
};

CEPROPVAL Value(CEPROPID id) {
    CEPROPVAL v{};
    v.propid = id;
    return v;
}

// The four match values of a key, in the order of sort order 1.
void KeyMatchValues(const UploadHistoryKey* key, CEPROPVAL match[4]) {
    match[0] = Value(PROPID_HISTORY_FILESIZE);
    match[0].val.ulVal = key->dwFileSize;
    match[1] = Value(PROPID_HISTORY_MODIFIED);
    match[1].val.filetime = key->ftModified;
    // The store only reads the texts.
    match[2] = Value(PROPID_HISTORY_FILENAME);
    match[2].val.lpwstr = const_cast<LPWSTR>(key->szFileName);
    match[3] = Value(PROPID_HISTORY_FOLDER);
    match[3].val.lpwstr = const_cast<LPWSTR>(key->szFolderPath);
}

}  // namespace

BOOL CUploadDb::InitHistory() {
    return Init(UPLOAD_HISTORY_DB, kHistorySchema, kHistoryProps, kHistorySorts);
}

BOOL CUploadDb::IsInHistory(const UploadHistoryKey* key) {
    if (!key || !IsOpen()) return FALSE;
    CEPROPVAL match[4];
    KeyMatchValues(key, match);
    CEPROPID readIds[1] = {PROPID_HISTORY_INDEX};
    m_pSecondary->SetQuery(1, readIds, 4, match);
    IDbRecord* record = m_pSecondary->CreateRecord();
    if (!record) return FALSE;
    BOOL found = m_pSecondary->ReadNext(record);
    if (found) Trace("[Vantlo] GetUploadStatusDb: File found in DB");
    m_pSecondary->Release(record);
    return found;
}

BOOL CUploadDb::AddHistory(const UploadHistoryKey* key) {
    if (!key || !IsOpen()) return FALSE;
    if (IsInHistory(key)) {
        Trace("[Vantlo] Data exist history db: %s", static_cast<LPCWSTR>(key->szFileName));
        return FALSE;
    }

    CEPROPVAL values[kHistoryWritable] = {};
    values[0] = Value(PROPID_HISTORY_FOLDER);
    values[0].val.lpwstr = const_cast<LPWSTR>(key->szFolderPath);
    values[1] = Value(PROPID_HISTORY_FILENAME);
    values[1].val.lpwstr = const_cast<LPWSTR>(key->szFileName);
    values[2] = Value(PROPID_HISTORY_MODIFIED);
    values[2].val.filetime = key->ftModified;
    values[3] = Value(PROPID_HISTORY_FILESIZE);
    values[3].val.ulVal = key->dwFileSize;
    // A database with fewer properties than ours cannot hold a key.
    BOOL added = m_cWritable >= kHistoryWritable && m_pPrimary->AddRecord(kHistoryWritable, values);
    if (!added) Trace("[Vantlo] Fail to add history: %s", static_cast<LPCWSTR>(key->szFileName));

    DWORD count = m_pPrimary->Count(0, nullptr);
    if (count > UPLOAD_HISTORY_MAX) {
        Trace("[Vantlo] Exceed history db size, %d items", static_cast<int>(count));
        CEPROPID readIds[1] = {PROPID_HISTORY_INDEX};
        m_pPrimary->SetQuery(1, readIds, 0, nullptr);
        // Newest first: everything after the first 10000 is older and goes. The scan starts
        // right there rather than reading its way past the 10000 kept.
        m_pPrimary->SetQueryStart(UPLOAD_HISTORY_MAX);
        IDbRecord* record = m_pPrimary->CreateRecord();
        if (!record) return added;
        while (m_pPrimary->ReadNext(record)) record->Delete();
        m_pPrimary->Release(record);
    }
    return added;
}

DWORD CUploadDb::DeleteHistory(const UploadHistoryKey* key) {
    if (!key || !IsOpen()) return 0;
    CEPROPVAL match[4];
    KeyMatchValues(key, match);
    DWORD deleted = m_pSecondary->Delete(4, match);
    Trace("[Vantlo] Delete item pending db , %d items, Filename: %s, Folder:%s",
          static_cast<int>(deleted), static_cast<LPCWSTR>(key->szFileName),
          static_cast<LPCWSTR>(key->szFolderPath));
    return deleted;
}
