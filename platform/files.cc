// Files on the host: find, attributes, folders and byte-stream files. Every system call
// goes through FileOs() (file_os.h) so that tests can inject faults; the code here retries
// EINTR and short transfers, maps errno to the Win32 error codes and traces every failure.
#include "platform/files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/devpath.h"
#include "platform/file_os.h"
#include "platform/power_device.h"
#include "platform/trace.h"
#include "platform/wstr.h"

namespace {

// ---- The real system calls -------------------------------------------------------------

void FromHostStat(const struct stat& s, FileStat* st) {
    st->isDirectory = S_ISDIR(s.st_mode);
    st->readOnly = (s.st_mode & S_IWUSR) == 0;
    st->size = static_cast<uint64_t>(s.st_size);
    st->mtimeSec = s.st_mtim.tv_sec;
    st->mtimeNsec = s.st_mtim.tv_nsec;
    st->atimeSec = s.st_atim.tv_sec;
    st->atimeNsec = s.st_atim.tv_nsec;
    st->ctimeSec = s.st_ctim.tv_sec;
    st->ctimeNsec = s.st_ctim.tv_nsec;
}

int SysOpen(const char* path, int flags, unsigned mode) {
    return open(path, flags, static_cast<mode_t>(mode));
}
int SysClose(int fd) {
    return close(fd);
}
long SysRead(int fd, void* buf, size_t n) {
    return read(fd, buf, n);
}
long SysWrite(int fd, const void* buf, size_t n) {
    return write(fd, buf, n);
}
int64_t SysSeek(int fd, int64_t offset, int whence) {
    return lseek(fd, offset, whence);
}
int SysFsync(int fd) {
    return fsync(fd);
}
int SysTruncate(int fd, int64_t length) {
    return ftruncate(fd, length);
}
int SysStat(const char* path, FileStat* st) {
    struct stat s {};
    if (stat(path, &s) != 0) return -1;
    FromHostStat(s, st);
    return 0;
}
int SysFstat(int fd, FileStat* st) {
    struct stat s {};
    if (fstat(fd, &s) != 0) return -1;
    FromHostStat(s, st);
    return 0;
}
int SysRename(const char* from, const char* to) {
    return rename(from, to);
}
int SysUnlink(const char* path) {
    return unlink(path);
}
int SysMkdir(const char* path, unsigned mode) {
    return mkdir(path, static_cast<mode_t>(mode));
}
int SysRmdir(const char* path) {
    return rmdir(path);
}
int SysListFolder(const char* path, std::vector<std::string>* names) {
    DIR* d = opendir(path);
    if (!d) return -1;
    while (dirent* e = readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        names->emplace_back(e->d_name);
    }
    closedir(d);
    return 0;
}

long SysCopyRange(int from, int to, size_t n) {
    return static_cast<long>(copy_file_range(from, nullptr, to, nullptr, n, 0));
}

int SysRenameNew(const char* from, const char* to) {
    return renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}

const FileOsCalls kDefaults = {
    SysOpen,  SysClose,  SysRead,   SysWrite, SysSeek,  SysFsync,      SysTruncate,  SysStat,
    SysFstat, SysRename, SysUnlink, SysMkdir, SysRmdir, SysListFolder, SysCopyRange, SysRenameNew};

// ---- Helpers ---------------------------------------------------------------------------

constexpr int64_t kTicksPerSecond = 10000000;
constexpr int64_t kSecondsFrom1601To1970 = 11644473600LL;

bool ParentExists(const std::string& hostPath) {
    size_t slash = hostPath.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return true;
    FileStat st{};
    return FileOs().Stat(hostPath.substr(0, slash).c_str(), &st) == 0 && st.isDirectory;
}

// The Win32 error for errno e met on hostPath; writing tells a read fault from a write fault.
DWORD ErrorFromErrno(int e, const std::string& hostPath, bool writing) {
    switch (e) {
        case ENOENT:
            return ParentExists(hostPath) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
        case ENOTDIR:
        case ENAMETOOLONG:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case ETXTBSY:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ERROR_DISK_FULL;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case EBADF:  // our descriptors are valid: the handle lacks the access asked for
            return ERROR_ACCESS_DENIED;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EIO:
            return writing ? ERROR_WRITE_FAULT : ERROR_READ_FAULT;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// Traces a failed call and sets the last error; returns the Win32 error.
DWORD Fail(const char* what, const std::string& hostPath, int e, bool writing = false) {
    DWORD err = ErrorFromErrno(e, hostPath, writing);
    Trace("[Platform] %s %s failed: errno %d (%s), error %u", what, hostPath.c_str(), e,
          strerror(e), static_cast<unsigned>(err));
    SetLastError(err);
    return err;
}

bool BadPath(LPCWSTR path) {
    if (path && *path) return false;
    SetLastError(ERROR_PATH_NOT_FOUND);
    return true;
}

DWORD AttributesOf(const FileStat& st) {
    DWORD attrs = 0;
    if (st.isDirectory) attrs |= FILE_ATTRIBUTE_DIRECTORY;
    if (st.readOnly) attrs |= FILE_ATTRIBUTE_READONLY;
    return attrs ? attrs : FILE_ATTRIBUTE_NORMAL;
}

char FoldAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Matches name against a pattern with '*' and '?', ignoring ASCII case as the device does.
// "*.*" matches every name, also one without a dot.
bool MatchPattern(const char* pat, const char* name) {
    if (strcmp(pat, "*.*") == 0) return true;
    const char* starPat = nullptr;
    const char* starName = nullptr;
    while (*name) {
        if (*pat == '*') {
            starPat = ++pat;
            starName = name;
        } else if (*pat == '?' || FoldAscii(*pat) == FoldAscii(*name)) {
            ++pat;
            ++name;
        } else if (starPat) {
            pat = starPat;
            name = ++starName;
        } else {
            return false;
        }
    }
    while (*pat == '*') ++pat;
    return *pat == '\0';
}

void FillFindData(const std::string& name, const FileStat& st, WIN32_FIND_DATAW* data) {
    memset(data, 0, sizeof *data);
    data->dwFileAttributes = AttributesOf(st);
    data->ftCreationTime = FileTimeFromUnix(st.ctimeSec, st.ctimeNsec);
    data->ftLastAccessTime = FileTimeFromUnix(st.atimeSec, st.atimeNsec);
    data->ftLastWriteTime = FileTimeFromUnix(st.mtimeSec, st.mtimeNsec);
    data->nFileSizeHigh = static_cast<DWORD>(st.size >> 32);
    data->nFileSizeLow = static_cast<DWORD>(st.size);
    WString wide = FromUtf8(name);
    WStrCopyN(data->cFileName, wide.c_str(), MAX_PATH);
}

// A search in progress: the matching names of one folder, taken when the search began.
class FindObject : public KernelObject {
  public:
    std::string folder;              // host folder searched
    std::vector<std::string> names;  // matching entry names still to report
    size_t next = 0;                 // index of the next name to report

    // Fills data with the next name that still exists; false when none is left.
    bool Next(WIN32_FIND_DATAW* data) {
        while (next < names.size()) {
            const std::string& name = names[next++];
            FileStat st{};
            if (FileOs().Stat((folder + "/" + name).c_str(), &st) != 0) continue;  // gone since
            FillFindData(name, st, data);
            return true;
        }
        return false;
    }
};

// An open byte-stream file.
class FileObject : public KernelObject {
  public:
    FileObject(int fd, std::string path) : fd(fd), path(std::move(path)) {}
    ~FileObject() override {
        if (fd >= 0 && FileOs().Close(fd) != 0) {
            Trace("[Platform] close %s failed: errno %d", path.c_str(), errno);
        }
    }
    int fd;            // host descriptor, owned
    std::string path;  // host path, for traces
};

std::shared_ptr<FileObject> FileFromHandle(HANDLE h) {
    auto f = HandleAs<FileObject>(h);
    if (!f) SetLastError(ERROR_INVALID_HANDLE);
    return f;
}

}  // namespace

FileOsCalls& FileOs() {
    static FileOsCalls* table = new FileOsCalls(kDefaults);
    return *table;
}

const FileOsCalls& FileOsDefaults() {
    return kDefaults;
}

FILETIME FileTimeFromUnix(int64_t seconds, int64_t nanoseconds) {
    int64_t since1601 = seconds + kSecondsFrom1601To1970;
    if (since1601 < 0) return FILETIME{0, 0};
    uint64_t ticks = static_cast<uint64_t>(since1601) * kTicksPerSecond +
                     static_cast<uint64_t>(nanoseconds < 0 ? 0 : nanoseconds / 100);
    return U64ToFileTime(ticks);
}

// ---- Finding files ---------------------------------------------------------------------

HANDLE FindFirstFileW(LPCWSTR path, WIN32_FIND_DATAW* data) {
    if (BadPath(path) || !data) {
        if (!data) SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string host = HostPath(path);
    size_t slash = host.find_last_of('/');
    auto find = std::make_shared<FindObject>();
    find->folder = slash == std::string::npos ? "." : host.substr(0, slash == 0 ? 1 : slash);
    std::string pattern = slash == std::string::npos ? host : host.substr(slash + 1);
    if (pattern.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    FileStat st{};
    if (pattern.find_first_of("*?") == std::string::npos && FileOs().Stat(host.c_str(), &st) == 0) {
        // The common case: one exact name, whose look just taken answers.
        FillFindData(pattern, st, data);
        return NewHandle(find);
    }
    std::vector<std::string> all;
    if (FileOs().ListFolder(find->folder.c_str(), &all) != 0) {
        int e = errno;
        SetLastError(e == ENOENT || e == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                                 : ErrorFromErrno(e, find->folder, false));
        return INVALID_HANDLE_VALUE;
    }
    for (auto& name : all) {
        if (MatchPattern(pattern.c_str(), name.c_str())) find->names.push_back(name);
    }
    if (!find->Next(data)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return NewHandle(find);
}

BOOL FindNextFileW(HANDLE h, WIN32_FIND_DATAW* data) {
    auto find = HandleAs<FindObject>(h);
    if (!find || !data) {
        SetLastError(find ? ERROR_INVALID_PARAMETER : ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!find->Next(data)) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    return TRUE;
}

BOOL FindClose(HANDLE h) {
    if (!HandleAs<FindObject>(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return CloseHandle(h);
}

// ---- Names and folders -----------------------------------------------------------------

DWORD GetFileAttributesW(LPCWSTR path) {
    if (BadPath(path)) return INVALID_FILE_ATTRIBUTES;
    std::string host = HostPath(path);
    FileStat st{};
    if (FileOs().Stat(host.c_str(), &st) != 0) {
        SetLastError(ErrorFromErrno(errno, host, false));  // absence is an answer, not a fault
        return INVALID_FILE_ATTRIBUTES;
    }
    return AttributesOf(st);
}

BOOL DeleteFileW(LPCWSTR path) {
    if (BadPath(path)) return FALSE;
    std::string host = HostPath(path);
    FileStat st{};
    if (FileOs().Stat(host.c_str(), &st) == 0 && st.isDirectory) {
        Fail("DeleteFile", host, EISDIR);
        return FALSE;
    }
    if (FileOs().Unlink(host.c_str()) != 0) {
        Fail("DeleteFile", host, errno, true);
        return FALSE;
    }
    return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR path, void*) {
    if (BadPath(path)) return FALSE;
    std::string host = HostPath(path);
    if (FileOs().Mkdir(host.c_str(), 0755) != 0) {
        int e = errno;
        if (e == EEXIST) {
            SetLastError(ERROR_ALREADY_EXISTS);  // callers often create folders that exist
            return FALSE;
        }
        Fail("CreateDirectory", host, e, true);
        return FALSE;
    }
    return TRUE;
}

BOOL RemoveDirectoryW(LPCWSTR path) {
    if (BadPath(path)) return FALSE;
    std::string host = HostPath(path);
    if (FileOs().Rmdir(host.c_str()) != 0) {
        Fail("RemoveDirectory", host, errno, true);
        return FALSE;
    }
    return TRUE;
}

BOOL MoveFileW(LPCWSTR from, LPCWSTR to) {
    if (BadPath(from) || BadPath(to)) return FALSE;
    std::string src = HostPath(from);
    std::string dst = HostPath(to);
    // A taken name is refused in the same step as the move; only a file system that cannot
    // do that is asked first.
    int moved = FileOs().RenameNew(src.c_str(), dst.c_str());
    if (moved != 0 && errno == EEXIST) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (moved != 0 && errno == EINVAL) {
        FileStat st{};
        if (FileOs().Stat(dst.c_str(), &st) == 0) {
            SetLastError(ERROR_ALREADY_EXISTS);
            return FALSE;
        }
        moved = FileOs().Rename(src.c_str(), dst.c_str());
    }
    if (moved != 0) {
        Fail("MoveFile", src + " -> " + dst, errno, true);
        return FALSE;
    }
    return TRUE;
}

// ---- Byte-stream files -----------------------------------------------------------------

HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD, void*, DWORD disposition, DWORD flags,
                   HANDLE) {
    if (BadPath(path)) return INVALID_HANDLE_VALUE;
    if (IsStreamDeviceName(path)) return OpenStreamDevice(path);  // "SPM1:" and the like
    std::string host = HostPath(path);
    int oflags = O_CLOEXEC;
    bool reading = access & GENERIC_READ;
    bool writing = access & GENERIC_WRITE;
    oflags |= reading && writing ? O_RDWR : writing ? O_WRONLY : O_RDONLY;
    if (flags & FILE_FLAG_WRITE_THROUGH) oflags |= O_DSYNC;
    FileStat st{};
    // A new file's open says by itself whether the name was taken, and an existing file's
    // open whether it is there (a folder is told apart after the open).
    const bool asks = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    bool existed = asks && FileOs().Stat(host.c_str(), &st) == 0;
    switch (disposition) {
        case CREATE_NEW:
            oflags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            oflags |= O_CREAT | O_TRUNC;
            break;
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            oflags |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            oflags |= O_TRUNC;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    if (existed && st.isDirectory) {
        Fail("CreateFile", host, EISDIR);
        return INVALID_HANDLE_VALUE;
    }
    if ((oflags & O_TRUNC) && !writing) oflags = (oflags & ~(O_RDONLY | O_WRONLY)) | O_RDWR;
    int fd;
    do {
        fd = FileOs().Open(host.c_str(), oflags, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        int e = errno;
        if (e == ENOENT && disposition == OPEN_EXISTING) {
            SetLastError(ErrorFromErrno(e, host, false));  // a missing file is an answer
        } else {
            Fail("CreateFile", host, e, writing);
        }
        return INVALID_HANDLE_VALUE;
    }
    // Only a read-only open of a folder gets this far.
    if (!asks && !writing && FileOs().Fstat(fd, &st) == 0 && st.isDirectory) {
        FileOs().Close(fd);
        Fail("CreateFile", host, EISDIR);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = NewHandle(std::make_shared<FileObject>(fd, host));
    bool reportsExisting = disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS;
    SetLastError(reportsExisting && existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL ReadFile(HANDLE file, void* buf, DWORD toRead, DWORD* read, void*) {
    if (read) *read = 0;
    auto f = FileFromHandle(file);
    if (!f) return FALSE;
    if (!buf && toRead > 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD done = 0;
    while (done < toRead) {
        long n = FileOs().Read(f->fd, static_cast<char*>(buf) + done, toRead - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail("ReadFile", f->path, errno, false);
            if (read) *read = done;
            return FALSE;
        }
        if (n == 0) break;  // end of file
        done += static_cast<DWORD>(n);
    }
    if (read) *read = done;
    return TRUE;
}

BOOL WriteFile(HANDLE file, const void* buf, DWORD toWrite, DWORD* written, void*) {
    if (written) *written = 0;
    auto f = FileFromHandle(file);
    if (!f) return FALSE;
    if (!buf && toWrite > 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD done = 0;
    while (done < toWrite) {
        long n = FileOs().Write(f->fd, static_cast<const char*>(buf) + done, toWrite - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail("WriteFile", f->path, errno, true);
            if (written) *written = done;
            return FALSE;
        }
        if (n == 0) {  // no progress and no error: give up rather than spin
            Fail("WriteFile", f->path, EIO, true);
            if (written) *written = done;
            return FALSE;
        }
        done += static_cast<DWORD>(n);
    }
    if (written) *written = done;
    return TRUE;
}

BOOL CopyFileBytes(HANDLE from, HANDLE to, DWORD toCopy, DWORD* copied) {
    if (copied) *copied = 0;
    auto in = FileFromHandle(from);
    auto out = in ? FileFromHandle(to) : nullptr;
    if (!in || !out) return FALSE;
    // Reads or writes replaced by a test must see every byte: the copy inside the system
    // would pass them by.
    if (FileOs().Read != FileOsDefaults().Read || FileOs().Write != FileOsDefaults().Write) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    DWORD done = 0;
    while (done < toCopy) {
        long n = FileOs().CopyRange(in->fd, out->fd, toCopy - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int e = errno;
            if (copied) *copied = done;
            if (e == EXDEV || e == EINVAL || e == ENOSYS || e == EOPNOTSUPP || e == EBADF) {
                SetLastError(ERROR_NOT_SUPPORTED);  // not between these two files
            } else {
                Fail("CopyFileBytes", in->path + " -> " + out->path, e, true);
            }
            return FALSE;
        }
        if (n == 0) break;  // end of the source
        done += static_cast<DWORD>(n);
    }
    if (copied) *copied = done;
    return TRUE;
}

DWORD GetFileSize(HANDLE file, DWORD* high) {
    auto f = FileFromHandle(file);
    if (!f) return INVALID_FILE_SIZE;
    FileStat st{};
    if (FileOs().Fstat(f->fd, &st) != 0) {
        Fail("GetFileSize", f->path, errno);
        return INVALID_FILE_SIZE;
    }
    if (high) *high = static_cast<DWORD>(st.size >> 32);
    SetLastError(ERROR_SUCCESS);  // INVALID_FILE_SIZE can be a true low half
    return static_cast<DWORD>(st.size);
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD method) {
    auto f = FileFromHandle(file);
    if (!f) return INVALID_SET_FILE_POINTER;
    int whence = method == FILE_BEGIN     ? SEEK_SET
                 : method == FILE_CURRENT ? SEEK_CUR
                 : method == FILE_END     ? SEEK_END
                                          : -1;
    if (whence < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    // Without a high half the distance is a signed 32-bit value.
    int64_t offset = distanceHigh
                         ? static_cast<int64_t>(
                               (static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                               static_cast<uint32_t>(distance))
                         : static_cast<int64_t>(distance);
    int64_t pos = FileOs().Seek(f->fd, offset, whence);
    if (pos < 0) {
        Fail("SetFilePointer", f->path, errno);
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh) *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(pos) >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(pos);
}

BOOL SetEndOfFile(HANDLE file) {
    auto f = FileFromHandle(file);
    if (!f) return FALSE;
    int64_t pos = FileOs().Seek(f->fd, 0, SEEK_CUR);
    if (pos < 0 || FileOs().Truncate(f->fd, pos) != 0) {
        Fail("SetEndOfFile", f->path, errno, true);
        return FALSE;
    }
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    auto f = FileFromHandle(file);
    if (!f) return FALSE;
    int r;
    do {
        r = FileOs().Fsync(f->fd);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        Fail("FlushFileBuffers", f->path, errno, true);
        return FALSE;
    }
    return TRUE;
}
