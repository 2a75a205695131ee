// Child of the store's kill test: adds history and pending records in a loop until it is
// killed, and reports every add that returned true with a line ("H <n>" or "P <n>") that is
// on disk before the next add starts.
//
// Usage: vantlo-store-kill-child <report file> <first record number>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "store/upload_db.h"
#include "tests/store_keys.h"

namespace {

bool Report(int fd, const std::string& line) {
    std::string text = line + "\n";
    if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) return false;
    return fsync(fd) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s <report file> <first record number>\n", argv[0]);
        return 2;
    }
    int fd = open(argv[1], O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return 2;
    long first = atol(argv[2]);

    CUploadDb history;
    CUploadDb pending;
    if (!history.InitHistory() || !pending.InitPending()) {
        Report(fd, "FAIL");
        return 1;
    }
    if (!Report(fd, "READY")) return 1;
    // Bounded, so that a child whose parent died ends by itself.
    for (long n = first; n < first + 20000; n++) {
        UploadHistoryKey key = KillHistoryKey(n);
        if (history.AddHistory(&key) && !Report(fd, "H " + std::to_string(n))) return 1;
        PendingRecord record = KillPendingRecord(n);
        if (pending.AddPending(&record) && !Report(fd, "P " + std::to_string(n))) return 1;
    }
    return 0;
}
