// The system calls under the file functions, reached through one table so that a test can
// swap an entry for a failing one (a short write, EINTR, a full disk, a failed fsync) and put
// the real call back after. Flags, modes and whence are the host's open(2) / lseek(2) values;
// failures return -1 and set errno, as the calls themselves do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct FileStat {
    bool isDirectory;   // a folder
    bool readOnly;      // the owner may not write it
    uint64_t size;      // length in bytes
    int64_t mtimeSec;   // last modification, seconds since 1970
    int64_t mtimeNsec;  // and its nanoseconds
    int64_t atimeSec;   // last access, seconds since 1970
    int64_t atimeNsec;  // and its nanoseconds
    int64_t ctimeSec;   // last status change, seconds since 1970
    int64_t ctimeNsec;  // and its nanoseconds
};

struct FileOsCalls {
    int (*Open)(const char* path, int flags, unsigned mode);  // open(2)
    int (*Close)(int fd);                                     // close(2)
    long (*Read)(int fd, void* buf, size_t n);                // read(2)
    long (*Write)(int fd, const void* buf, size_t n);         // write(2)
    int64_t (*Seek)(int fd, int64_t offset, int whence);      // lseek(2)
    int (*Fsync)(int fd);                                     // fsync(2)
    int (*Truncate)(int fd, int64_t length);                  // ftruncate(2)
    int (*Stat)(const char* path, FileStat* st);              // stat(2), links followed
    int (*Fstat)(int fd, FileStat* st);                       // fstat(2)
    int (*Rename)(const char* from, const char* to);          // rename(2)
    int (*Unlink)(const char* path);                          // unlink(2)
    int (*Mkdir)(const char* path, unsigned mode);            // mkdir(2)
    int (*Rmdir)(const char* path);                           // rmdir(2)
    int (*ListFolder)(const char* path, std::vector<std::string>* names);  // without . and ..
    long (*CopyRange)(int from, int to, size_t n);  // copy_file_range(2), both positions
    // rename(2) that fails with EEXIST rather than replace the target (renameat2 with
    // RENAME_NOREPLACE); EINVAL where the file system cannot tell.
    int (*RenameNew)(const char* from, const char* to);
};

// The table in use; entries may be replaced while no file call is running.
FileOsCalls& FileOs();
// The real system calls.
const FileOsCalls& FileOsDefaults();
