// The writer of the store transaction tests: adds batches of pending entries, each batch in
// one transaction, and prints the batch's number once its commit returned. Runs until killed.
// Usage: vantlo-store-batch-child <run> <entries per batch>; entry i of batch b of run r is
// "\r<r>\b<b>\<i>.jpg".
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/wstr.h"
#include "store/upload_db.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const std::string run = argv[1];
    const int perBatch = atoi(argv[2]);
    CUploadDb pending;
    if (!pending.InitPending()) return 3;
    for (int batch = 0;; ++batch) {
        if (!pending.BeginTransaction()) return 4;
        for (int i = 0; i < perBatch; ++i) {
            PendingRecord r{};
            const std::string path =
                "\\r" + run + "\\b" + std::to_string(batch) + "\\" + std::to_string(i) + ".jpg";
            WStrCopyN(r.szFilePath, FromUtf8(path).c_str(), MAX_PATH);
            r.stSubmit = SYSTEMTIME{2024, 5, 0, 11, 8, 0, 0, static_cast<WORD>(i)};
            r.dwType = PENDING_TYPE_PHOTO;
            if (!pending.AddPending(&r)) return 5;
        }
        if (!pending.EndTransaction(TRUE)) return 6;
        printf("%d\n", batch);
        fflush(stdout);
    }
}
