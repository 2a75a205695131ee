// The runtime folder and what lives in it: a lock file and a listening socket per process
// that owns windows (its slot), one entry file per published top-level window, and the lock
// files of named mutexes. Only the user who runs the system can reach any of it: the folder
// is 0700 and must belong to that user, every file in it is 0600.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/ipc_wire.h"

namespace ipc {

// VANTLO_RUNTIME_DIR, else $XDG_RUNTIME_DIR/vantlo, else /tmp/vantlo-<uid>; not checked.
std::string RuntimeDirPath();
// The runtime folder, created with mode 0700, a looser mode tightened; "" (traced) when it
// is not a folder of ours.
std::string CheckedRuntimeDir();

std::string SocketPath(const std::string& dir, uint32_t slot);    // s<slot>.sock
std::string SlotLockPath(const std::string& dir, uint32_t slot);  // s<slot>.lock

// Takes a free slot for this process, holding its lock file (*lockFd, kept open for the
// life of the process) and clearing what a dead holder left behind; 0 when none is free.
uint32_t AcquireSlot(const std::string& dir, int* lockFd);
// The process that holds slot, 0 when nobody does.
uint32_t SlotHolder(const std::string& dir, uint32_t slot);
// Removes the socket and window entries of a slot that nobody holds; false when held.
bool ClearDeadSlot(const std::string& dir, uint32_t slot);

// Publishes (or republishes) a window entry atomically; false (traced) on failure.
bool WriteEntry(const std::string& dir, const WindowEntry& entry);
void RemoveEntry(const std::string& dir, uint32_t hwnd);

struct ListedEntry {
    uint32_t hwnd;      // from the file name
    bool wellFormed;    // entry below is valid
    WindowEntry entry;  // the parsed file
};
// Every entry file of the folder; those of slot skipSlot (0: none) are left unread.
std::vector<ListedEntry> ListEntries(const std::string& dir, uint32_t skipSlot = 0);

// The lock file of a named mutex: while it is open the mutex exists; byte 1 locked means
// some process owns it. Open file description locks, so each object here is its own owner.
class NamedMutexFile {
  public:
    // Opens (creates) the file for a name; *existed tells whether another process has the
    // mutex open. Null (traced) when the runtime folder cannot be used.
    static std::unique_ptr<NamedMutexFile> Open(const std::string& name, bool* existed);
    ~NamedMutexFile();
    NamedMutexFile(const NamedMutexFile&) = delete;
    NamedMutexFile& operator=(const NamedMutexFile&) = delete;

    bool TryOwn();    // takes ownership across processes, without waiting
    bool CouldOwn();  // no other process owns it now
    void Disown();

  private:
    explicit NamedMutexFile(int fd) : fd_(fd) {}
    int fd_;  // the open lock file
};

}  // namespace ipc
