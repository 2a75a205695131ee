// Forming a history key from the file system.
#include "platform/files.h"
#include "store/path_split.h"
#include "store/upload_db.h"

BOOL FormUploadHistoryKey(LPCWSTR path, UploadHistoryKey* key) {
    if (!key) return FALSE;
    *key = UploadHistoryKey{};
    if (!path) return FALSE;
    SplitFileName(key->szFileName, path, MAX_PATH);
    SplitFolder(key->szFolderPath, path, TRUE, MAX_PATH);
    WIN32_FIND_DATAW data{};
    HANDLE find = FindFirstFileW(path, &data);
    if (find == INVALID_HANDLE_VALUE || !find) return FALSE;
    FindClose(find);
    key->ftModified = data.ftLastWriteTime;
    // The device's size value: low half minus high half plus one (a file's size + 1).
    key->dwFileSize = data.nFileSizeLow - data.nFileSizeHigh + 1;
    return TRUE;
}
