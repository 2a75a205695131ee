// Store records built from numbers, shared by the store tests and the kill-test child.
#pragma once

#include <string>

#include "platform/time.h"
#include "platform/wstr.h"
#include "store/upload_db.h"

// A history key whose four parts all derive from n.
inline UploadHistoryKey KeyFor(long n, const WString& folder = u"\\My Documents\\Photos") {
    UploadHistoryKey key{};
    WString name = FromUtf8("img_" + std::to_string(n) + ".jpg");
    WStrCopyN(key.szFileName, name.c_str(), MAX_PATH);
    WStrCopyN(key.szFolderPath, folder.c_str(), MAX_PATH);
    key.dwFileSize = 1000u + static_cast<DWORD>(n);
    key.ftModified = U64ToFileTime(133000000000000000ull + static_cast<uint64_t>(n) * 10000000u);
    return key;
}

// A pending entry submitted at 2026-03-14 10:20:<second>.<ms>.
inline PendingRecord EntryFor(const std::string& path, DWORD type, WORD second = 30,
                              WORD ms = 123) {
    PendingRecord r{};
    WString w = FromUtf8(path);
    WStrCopyN(r.szFilePath, w.c_str(), MAX_PATH);
    r.stSubmit = SYSTEMTIME{2026, 3, 6, 14, 10, 20, second, ms};
    r.dwType = type;
    return r;
}

inline std::string PathOf(const PendingRecord& r) {
    return ToUtf8(r.szFilePath);
}

// The records the kill-test child adds: history key n in their own folder, pending entry n.
inline UploadHistoryKey KillHistoryKey(long n) {
    return KeyFor(n, u"\\My Documents\\Kill");
}
inline std::string KillPendingPath(long n) {
    return "\\My Documents\\Kill\\clip_" + std::to_string(n) + ".mp4";
}
inline PendingRecord KillPendingRecord(long n) {
    return EntryFor(KillPendingPath(n), static_cast<DWORD>(n % 2));
}
