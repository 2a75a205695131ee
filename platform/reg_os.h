// The system calls under the registry, reached through one table so that a test can swap an
// entry for a failing one (a full disk, a failed rename) and put the real call back after.
// Flags and modes are the host's open(2) / flock(2) values; failures set errno.
#pragma once

#include <cstddef>

// What tells one version of the registry file from another: the file is only ever replaced
// whole, and a replacement or an edit in place changes at least one of these.
struct RegFileStamp {
    unsigned long long device;  // st_dev
    unsigned long long inode;   // st_ino
    long long size;             // st_size in bytes
    long long mtimeSec;         // last change of the contents
    long long mtimeNsec;        // its nanoseconds (0 on a file system that keeps only seconds)
    long long ctimeSec;         // last change of the file itself (write, rename, chmod)
    long long ctimeNsec;        // its nanoseconds

    bool operator==(const RegFileStamp&) const = default;
};

struct RegOsCalls {
    int (*Open)(const char* path, int flags, unsigned mode);  // open(2)
    long (*Read)(int fd, void* buf, size_t n);                // read(2)
    long (*Write)(int fd, const void* buf, size_t n);         // write(2)
    int (*Fsync)(int fd);                                     // fsync(2)
    int (*Close)(int fd);                                     // close(2)
    int (*Rename)(const char* from, const char* to);          // rename(2)
    int (*Unlink)(const char* path);                          // unlink(2)
    int (*Flock)(int fd, int op);                             // flock(2)
    bool (*Exists)(const char* path);                         // whether anything has this name
    int (*Stat)(const char* path, RegFileStamp* stamp);       // stat(2), the parts above
};

// The table in use; entries may be replaced while no registry call is running.
RegOsCalls& RegOs();
// The real system calls.
const RegOsCalls& RegOsDefaults();
