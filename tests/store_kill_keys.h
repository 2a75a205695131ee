// The records the kill-test child writes, numbered so that the test can rebuild them.
#pragma once

#include <string>

#include "platform/time.h"
#include "platform/wstr.h"
#include "store/upload_db.h"

inline UploadHistoryKey KillHistoryKey(long n) {
    UploadHistoryKey key{};
    WString name = FromUtf8("kill_" + std::to_string(n) + ".jpg");
    WStrCopyN(key.szFileName, name.c_str(), MAX_PATH);
    WStrCopyN(key.szFolderPath, u"\\My Documents\\Kill", MAX_PATH);
    key.dwFileSize = static_cast<DWORD>(n) + 1;
    key.ftModified = U64ToFileTime(133500000000000000ull + static_cast<uint64_t>(n) * 10000u);
    return key;
}

inline std::string KillPendingPath(long n) {
    return "\\My Documents\\Kill\\clip_" + std::to_string(n) + ".mp4";
}

inline PendingRecord KillPendingRecord(long n) {
    PendingRecord r{};
    WString path = FromUtf8(KillPendingPath(n));
    WStrCopyN(r.szFilePath, path.c_str(), MAX_PATH);
    FILETIME ft = U64ToFileTime(133500000000000000ull + static_cast<uint64_t>(n) * 10000u);
    FileTimeToSystemTime(&ft, &r.stSubmit);
    r.dwType = static_cast<DWORD>(n % 2);
    return r;
}
