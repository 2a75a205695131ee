// The pending queue: database "UploadPending", refusing additions past 10000 entries.
#include <cstring>

#include "platform/time.h"
#include "platform/trace.h"
#include "platform/wstr.h"
#include "store/upload_db.h"

namespace {

constexpr DWORD kPendingProps = 4;
constexpr DWORD kPendingWritable = 3;  // every property but "Index"

// The schema, in property-number order.
const DbPropDef kPendingSchema[kPendingProps] = {
    {CEVT_AUTO_I4, u"Index", PROPID_PENDING_INDEX},
    {CEVT_UI2, u"Type", PROPID_PENDING_TYPE},
    {CEVT_LPWSTR, u"FilePath", PROPID_PENDING_FILEPATH},
    {CEVT_FILETIME, u"SubmitTime", PROPID_PENDING_SUBMIT},
};

// Sort order 0: by kind. Sort order 1: submission time, then path (an entry's identity).
const SORTORDERSPECEX kPendingSorts[2] = {
    {2, 1, 0, 0, {PROPID_PENDING_TYPE}, {0}},
    {2, 2, 0, 0, {PROPID_PENDING_SUBMIT, PROPID_PENDING_FILEPATH}, {0, 0}},
};

CEPROPVAL Value(CEPROPID id) {
    CEPROPVAL v{};
    v.propid = id;
    return v;
}

CEPROPVAL TypeValue(DWORD type) {
    CEPROPVAL v = Value(PROPID_PENDING_TYPE);
    v.val.uiVal = static_cast<uint16_t>(type);
    return v;
}

}  // namespace

BOOL CUploadDb::InitPending() {
    return Init(UPLOAD_PENDING_DB, kPendingSchema, kPendingProps, kPendingSorts);
}

BOOL CUploadDb::AddPending(const PendingRecord* record) {
    if (!record || !IsOpen()) return FALSE;
    DWORD count = m_pSecondary->Count(0, nullptr);
    if (count > UPLOAD_PENDING_MAX) {
        Trace("[Vantlo] Exceed pending db size, %d items", static_cast<int>(count));
        return FALSE;
    }

    CEPROPVAL values[kPendingWritable] = {};
    values[0] = Value(PROPID_PENDING_FILEPATH);
    values[0].val.lpwstr = const_cast<LPWSTR>(record->szFilePath);  // the store only reads it
    values[1] = TypeValue(record->dwType);
    values[2] = Value(PROPID_PENDING_SUBMIT);
    // An impossible date cannot be stored and read back as it was given.
    BOOL added = SystemTimeToFileTime(&record->stSubmit, &values[2].val.filetime) &&
                 m_cWritable >= kPendingWritable && m_pPrimary->AddRecord(kPendingWritable, values);
    if (!added) {
        Trace("[Vantlo] Fail to add pending db: %s", static_cast<LPCWSTR>(record->szFilePath));
    }
    return added;
}

DWORD CUploadDb::DeletePending(const PendingRecord* record) {
    if (!record || !IsOpen()) return 0;
    CEPROPVAL match[2];
    match[0] = Value(PROPID_PENDING_SUBMIT);
    match[1] = Value(PROPID_PENDING_FILEPATH);
    match[1].val.lpwstr = const_cast<LPWSTR>(record->szFilePath);
    // An impossible date was never written (AddPending refuses it), so nothing matches it.
    DWORD deleted = SystemTimeToFileTime(&record->stSubmit, &match[0].val.filetime)
                        ? m_pSecondary->Delete(2, match)
                        : 0;
    Trace("[Vantlo] Delete item pending db , %d items, File: %s", static_cast<int>(deleted),
          static_cast<LPCWSTR>(record->szFilePath));
    return deleted;
}

DWORD CUploadDb::DeleteAllPending() {
    if (!IsOpen()) return 0;
    DWORD deleted = m_pPrimary->Delete(0, nullptr);
    Trace("[Vantlo] delete all pending db, %d items", static_cast<int>(deleted));
    return deleted;
}

DWORD CUploadDb::DeleteAllPendingByType(DWORD type) {
    if (!IsOpen()) return 0;
    CEPROPVAL match[1] = {TypeValue(type)};
    DWORD deleted = m_pPrimary->Delete(1, match);
    Trace("[Vantlo] delete all by type pending db , %d items", static_cast<int>(deleted));
    return deleted;
}

BOOL CUploadDb::ReadPending(PendingRecord* records, DWORD maxCount) {
    if (!records || maxCount == 0 || !IsOpen()) return FALSE;
    CEPROPID readIds[kPendingProps] = {PROPID_PENDING_INDEX, PROPID_PENDING_TYPE,
                                       PROPID_PENDING_FILEPATH, PROPID_PENDING_SUBMIT};
    if (!m_pPrimary->SetQuery(kPendingProps, readIds, 0, nullptr)) return FALSE;
    IDbRecord* record = m_pPrimary->CreateRecord();
    if (!record) return FALSE;
    for (DWORD i = 0; i < maxCount; i++) {
        if (!m_pPrimary->ReadNext(record)) break;
        PendingRecord& out = records[i];
        memset(&out, 0, sizeof out);
        out.dwType = record->GetProp(PROPID_PENDING_TYPE).uiVal;
        // A path too long for the field is cut; a missing one reads as empty.
        WStrCopyN(out.szFilePath, record->GetProp(PROPID_PENDING_FILEPATH).lpwstr, MAX_PATH);
        FILETIME submit = record->GetProp(PROPID_PENDING_SUBMIT).filetime;
        if (!FileTimeToSystemTime(&submit, &out.stSubmit)) out.stSubmit = SYSTEMTIME{};
    }
    m_pPrimary->Release(record);
    return TRUE;
}

DWORD CUploadDb::GetPendingCount() {
    if (!IsOpen()) return 0;
    DWORD count = m_pPrimary->Count(0, nullptr);
    Trace("[Vantlo] Get count pending db , %d items", static_cast<int>(count));
    return count;
}

DWORD CUploadDb::GetPendingCountByType(DWORD type) {
    if (!IsOpen()) return 0;
    CEPROPVAL match[1] = {TypeValue(type)};
    DWORD count = m_pPrimary->Count(1, match);
    Trace("[Vantlo] Get count by type pending db , %d items", static_cast<int>(count));
    return count;
}
