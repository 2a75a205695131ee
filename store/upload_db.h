// The upload stores: the upload history (files already uploaded) and the pending queue
// (tasks submitted and not finished), two databases of the volume \Windows\UploadHistory.vol.
// The task manager owns one CUploadDb for each and uses it from one thread at a time.
#pragma once

#include "platform/cedb.h"
#include "platform/types.h"
#include "store/db_volume.h"

constexpr WCHAR UPLOAD_DB_VOLUME[] = u"\\Windows\\UploadHistory.vol";
constexpr WCHAR UPLOAD_HISTORY_DB[] = u"UploadHistory";
constexpr WCHAR UPLOAD_PENDING_DB[] = u"UploadPending";

constexpr DWORD UPLOAD_HISTORY_MAX = 10000;  // older records beyond the newest 10000 go
constexpr DWORD UPLOAD_PENDING_MAX = 10000;  // no addition once the queue holds more

// Properties of "UploadHistory".
constexpr CEPROPID PROPID_HISTORY_INDEX = MakePropId(0, CEVT_AUTO_I4);      // 0x00000066
constexpr CEPROPID PROPID_HISTORY_FILESIZE = MakePropId(1, CEVT_UI4);       // 0x00010013
constexpr CEPROPID PROPID_HISTORY_FILENAME = MakePropId(2, CEVT_LPWSTR);    // 0x0002001F
constexpr CEPROPID PROPID_HISTORY_FOLDER = MakePropId(3, CEVT_LPWSTR);      // 0x0003001F
constexpr CEPROPID PROPID_HISTORY_MODIFIED = MakePropId(4, CEVT_FILETIME);  // 0x00040040

// Properties of "UploadPending".
constexpr CEPROPID PROPID_PENDING_INDEX = MakePropId(0, CEVT_AUTO_I4);    // 0x00000066
constexpr CEPROPID PROPID_PENDING_TYPE = MakePropId(1, CEVT_UI2);         // 0x00010012
constexpr CEPROPID PROPID_PENDING_FILEPATH = MakePropId(2, CEVT_LPWSTR);  // 0x0002001F
constexpr CEPROPID PROPID_PENDING_SUBMIT = MakePropId(3, CEVT_FILETIME);  // 0x00030040

// Kinds of pending upload.
constexpr DWORD PENDING_TYPE_VIDEO = 0;  // a YouTube video task
constexpr DWORD PENDING_TYPE_PHOTO = 1;  // a Facebook photo task

// Identifies an uploaded file by what the file system says about it.
struct UploadHistoryKey {
    WCHAR szFolderPath[MAX_PATH];  // folder, without a trailing backslash
    WCHAR szFileName[MAX_PATH];    // file name without its folder
    DWORD dwFileSize;              // size value: low 32 bits - high 32 bits + 1
    FILETIME ftModified;           // last-write time
};
static_assert(sizeof(UploadHistoryKey) == 1052);

// One entry of the pending queue; (stSubmit, szFilePath) identifies it.
struct PendingRecord {
    WCHAR szFilePath[MAX_PATH];  // full path of the file, NUL-terminated
    SYSTEMTIME stSubmit;         // local submission time, milliseconds made unique
    DWORD dwType;                // PENDING_TYPE_VIDEO or PENDING_TYPE_PHOTO
};
static_assert(sizeof(PendingRecord) == 540);

class CUploadDb {
  public:
    CUploadDb();
    ~CUploadDb();  // closes what is still open
    CUploadDb(const CUploadDb&) = delete;
    CUploadDb& operator=(const CUploadDb&) = delete;

    // Upload history. Every operation fails (false or 0) without InitHistory.
    BOOL InitHistory();
    BOOL IsInHistory(const UploadHistoryKey* key);
    // True only when a new record was written; trims the history to its newest 10000.
    BOOL AddHistory(const UploadHistoryKey* key);
    DWORD DeleteHistory(const UploadHistoryKey* key);  // the number deleted

    // Pending queue. Every operation fails (false or 0) without InitPending.
    BOOL InitPending();
    BOOL AddPending(const PendingRecord* record);  // refused once more than 10000 are kept
    // Deletes the entries whose submit time (to the millisecond) and path equal record's.
    DWORD DeletePending(const PendingRecord* record);
    DWORD DeleteAllPending();
    DWORD DeleteAllPendingByType(DWORD type);
    // Fills up to maxCount records, all video entries before all photo entries.
    BOOL ReadPending(PendingRecord* records, DWORD maxCount);
    DWORD GetPendingCount();
    DWORD GetPendingCountByType(DWORD type);

    // Groups the calling thread's writes to the volume, through this store and any other
    // store on it, into one transaction until EndTransaction: they reach the file together
    // or not at all. False when the store is not open or no transaction can begin; the
    // writes are then durable one by one as usual.
    BOOL BeginTransaction();
    // Commits (or, with commit false, drops) the writes made since BeginTransaction; false
    // when a commit failed, leaving the volume as it was before BeginTransaction.
    BOOL EndTransaction(BOOL commit);

    // Releases both handles, then flushes and unmounts the volume.
    void Close();

  private:
    BOOL Init(LPCWSTR name, const DbPropDef* props, DWORD propCount,
              const SORTORDERSPECEX* sortOrders);
    bool IsOpen() const { return m_pPrimary && m_pSecondary; }

    IDbVolume* m_pVolume;     // owned volume, null when closed
    IDatabase* m_pPrimary;    // handle on sort order 0
    IDatabase* m_pSecondary;  // handle on sort order 1
    DWORD m_cWritable;        // properties the system writes: all but the counter
};

// Forms the history key of a file from its full path. The name and folder are always
// filled; false (size and time zero) when the file cannot be found.
BOOL FormUploadHistoryKey(LPCWSTR path, UploadHistoryKey* key);
