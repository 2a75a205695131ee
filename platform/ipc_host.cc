// The runtime folder's files: slot locks, window entries, named mutex lock files.
#include "platform/ipc_host.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>

#include "platform/devpath.h"
#include "platform/file_stamp.h"
#include "platform/trace.h"

namespace ipc {

namespace {

constexpr size_t kMaxMutexFileName = 200;  // longer names stay within the process

// Traces a refusal of the runtime folder once per process and reason, not at every use.
void TraceOnce(const std::string& line) {
    static std::mutex* lock = new std::mutex;
    static std::set<std::string>* seen = new std::set<std::string>;
    std::lock_guard<std::mutex> g(*lock);
    if (seen->insert(line).second) Trace("%s", line.c_str());
}

int OpenNoFollow(const std::string& path, int flags, mode_t mode = 0600) {
    int fd;
    do {
        fd = open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Whether fd is a regular file of ours.
bool OwnedRegularFile(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid();
}

int FlockRetry(int fd, int op) {
    int r;
    do {
        r = flock(fd, op);
    } while (r != 0 && errno == EINTR);
    return r;
}

uint32_t ReadPid(int fd) {
    char buf[24] = {};
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return 0;
    char* end = nullptr;
    unsigned long v = strtoul(buf, &end, 10);
    return end != buf && *end == '\n' && v <= 0x7FFFFFFF ? static_cast<uint32_t>(v) : 0;
}

void RemoveEntriesOfSlot(const std::string& dir, uint32_t slot) {
    DIR* d = opendir(dir.c_str());
    if (!d) return;
    std::vector<std::string> doomed;
    while (dirent* e = readdir(d)) {
        uint32_t h = HandleOfEntryFileName(e->d_name);
        if (h && SlotOfHandle(h) == slot) doomed.push_back(dir + "/" + e->d_name);
    }
    closedir(d);
    for (auto& path : doomed) unlink(path.c_str());
}

// The lock file name of a mutex: its name with every byte outside a plain set as %XX.
std::string MutexFileName(const std::string& name) {
    std::string out = "mutex-";
    for (unsigned char c : name) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_' || c == '.' || c == '{' || c == '}') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        }
    }
    return out;
}

// An open file description lock on one byte; false when another description holds it.
bool LockByte(int fd, short type, off_t byte, bool wait) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = byte;
    fl.l_len = 1;
    int r;
    do {
        r = fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl);
    } while (r != 0 && errno == EINTR);
    return r == 0;
}

}  // namespace

std::string RuntimeDirPath() {
    std::string dir;
    if (const char* env = getenv("VANTLO_RUNTIME_DIR"); env && *env) {
        dir = env;
    } else if (const char* xdg = getenv("XDG_RUNTIME_DIR"); xdg && *xdg) {
        dir = std::string(xdg) + "/vantlo";
    } else {
        dir = "/tmp/vantlo-" + std::to_string(geteuid());
    }
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    return dir;
}

std::string CheckedRuntimeDir() {
    std::string dir = RuntimeDirPath();
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0) EnsureFolder(dir.substr(0, slash));
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        TraceOnce("[Platform] runtime folder " + dir + ": cannot create it (" + strerror(errno) +
                  "); windows of other processes are out of reach");
        return "";
    }
    struct stat st {};
    if (lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        TraceOnce("[Platform] runtime folder " + dir +
                  " is not a folder; windows of other processes are out of reach");
        return "";
    }
    if (st.st_uid != geteuid()) {
        TraceOnce("[Platform] runtime folder " + dir + " belongs to uid " +
                  std::to_string(st.st_uid) + ", not to us (uid " + std::to_string(geteuid()) +
                  "): refused; windows of other processes are out of reach");
        return "";
    }
    if ((st.st_mode & 0777) != 0700) {
        if (chmod(dir.c_str(), 0700) != 0) {
            TraceOnce("[Platform] runtime folder " + dir + ": cannot set mode 0700 (" +
                      strerror(errno) + "); refused");
            return "";
        }
        char mode[8];
        snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 0777));
        Trace("[Platform] runtime folder %s had mode %s; set to 0700", dir.c_str(), mode);
    }
    return dir;
}

std::string SocketPath(const std::string& dir, uint32_t slot) {
    return dir + "/s" + std::to_string(slot) + ".sock";
}

std::string SlotLockPath(const std::string& dir, uint32_t slot) {
    return dir + "/s" + std::to_string(slot) + ".lock";
}

uint32_t AcquireSlot(const std::string& dir, int* lockFd) {
    const uint32_t pid = static_cast<uint32_t>(getpid());
    const uint32_t start = pid % kMaxSlot;
    for (uint32_t i = 0; i < kMaxSlot; ++i) {
        uint32_t slot = (start + i) % kMaxSlot + 1;
        int fd = OpenNoFollow(SlotLockPath(dir, slot), O_RDWR | O_CREAT);
        if (fd < 0) continue;
        if (!OwnedRegularFile(fd) || FlockRetry(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            continue;
        }
        // Whatever a dead holder of this slot left behind is stale now.
        unlink(SocketPath(dir, slot).c_str());
        RemoveEntriesOfSlot(dir, slot);
        char text[24];
        int n = snprintf(text, sizeof text, "%u\n", pid);
        if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(n), 0) != n) {
            Trace("[Platform] slot %u: cannot record our process id (%s)", slot, strerror(errno));
        }
        *lockFd = fd;
        return slot;
    }
    Trace("[Platform] runtime folder %s: no free slot among %u", dir.c_str(), kMaxSlot);
    return 0;
}

uint32_t SlotHolder(const std::string& dir, uint32_t slot) {
    int fd = OpenNoFollow(SlotLockPath(dir, slot), O_RDONLY);
    if (fd < 0) return 0;
    uint32_t holder = 0;
    if (FlockRetry(fd, LOCK_SH | LOCK_NB) == 0) {
        flock(fd, LOCK_UN);  // nobody holds it
    } else if (errno == EWOULDBLOCK) {
        holder = ReadPid(fd);
        if (holder == 0) holder = UINT32_MAX;  // held; the id is being written
    }
    close(fd);
    return holder;
}

bool ClearDeadSlot(const std::string& dir, uint32_t slot) {
    // Holding the slot's lock while clearing keeps a process that takes it meanwhile safe.
    int fd = OpenNoFollow(SlotLockPath(dir, slot), O_RDWR | O_CREAT);
    if (fd < 0) return false;
    if (!OwnedRegularFile(fd) || FlockRetry(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        return false;
    }
    // The lock file itself stays: removing it could hand one slot to two processes.
    unlink(SocketPath(dir, slot).c_str());
    RemoveEntriesOfSlot(dir, slot);
    close(fd);
    return true;
}

bool WriteEntry(const std::string& dir, const WindowEntry& entry) {
    std::string text = FormatEntry(entry);
    std::string path = dir + "/" + EntryFileName(entry.hwnd);
    std::string tmp = path + "." + std::to_string(getpid()) + ".tmp";
    int fd = OpenNoFollow(tmp, O_WRONLY | O_CREAT | O_TRUNC);
    if (fd < 0) {
        Trace("[Platform] cannot publish window %08x: %s: %s", entry.hwnd, tmp.c_str(),
              strerror(errno));
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    close(fd);
    if (done != text.size() || rename(tmp.c_str(), path.c_str()) != 0) {
        Trace("[Platform] cannot publish window %08x: %s: %s", entry.hwnd, path.c_str(),
              strerror(errno));
        unlink(tmp.c_str());
        return false;
    }
    return true;
}

void RemoveEntry(const std::string& dir, uint32_t hwnd) {
    unlink((dir + "/" + EntryFileName(hwnd)).c_str());
}

namespace {

// The last listing of the runtime folder. Every window lookup lists it, and it rarely
// changes: while the folder's times and inode are those of the listing, the listing is
// reused. Entry files only ever change by a rename or an unlink, both of which touch the
// folder. A listing is trusted only when the folder was last touched well before it began:
// the file system stamps times from a coarse clock, so a change made right after the
// listing could otherwise carry the same stamp.
struct ListingCache {
    std::mutex lock;                  // guards the fields below
    std::string dir;                  // the folder listed; empty: nothing cached
    uint32_t skipSlot = 0;            // the slot left unread
    struct stat st {};                // the folder when it was listed
    std::vector<ListedEntry> listed;  // what the listing found
};

ListingCache& Listing() {
    static ListingCache* cache = new ListingCache;
    return *cache;
}

int64_t Nanoseconds(const timespec& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

bool SameFolderState(const struct stat& a, const struct stat& b) {
    return a.st_ino == b.st_ino && a.st_dev == b.st_dev && a.st_size == b.st_size &&
           a.st_nlink == b.st_nlink && Nanoseconds(a.st_mtim) == Nanoseconds(b.st_mtim) &&
           Nanoseconds(a.st_ctim) == Nanoseconds(b.st_ctim);
}

std::vector<ListedEntry> ReadEntries(const std::string& dir, uint32_t skipSlot) {
    std::vector<ListedEntry> out;
    DIR* d = opendir(dir.c_str());
    if (!d) return out;
    std::vector<std::pair<uint32_t, std::string>> names;
    while (dirent* e = readdir(d)) {
        uint32_t h = HandleOfEntryFileName(e->d_name);
        if (h && (skipSlot == 0 || SlotOfHandle(h) != skipSlot)) names.emplace_back(h, e->d_name);
    }
    closedir(d);
    for (auto& [hwnd, name] : names) {
        int fd = OpenNoFollow(dir + "/" + name, O_RDONLY);
        if (fd < 0) continue;  // removed since
        std::string text;
        char buf[4096];
        bool tooBig = false;
        for (;;) {
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            text.append(buf, static_cast<size_t>(n));
            if (text.size() > kMaxEntryFile) {
                tooBig = true;
                break;
            }
        }
        bool owned = OwnedRegularFile(fd);
        close(fd);
        ListedEntry le{hwnd, false, {}};
        le.wellFormed = owned && !tooBig && ParseEntry(text, &le.entry) && le.entry.hwnd == hwnd;
        out.push_back(std::move(le));
    }
    return out;
}

}  // namespace

std::vector<ListedEntry> ListEntries(const std::string& dir, uint32_t skipSlot) {
    struct stat before {};
    if (stat(dir.c_str(), &before) != 0) return {};
    ListingCache& cache = Listing();
    {
        std::lock_guard<std::mutex> g(cache.lock);
        if (cache.dir == dir && cache.skipSlot == skipSlot && SameFolderState(cache.st, before)) {
            return cache.listed;
        }
    }
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::vector<ListedEntry> listed = ReadEntries(dir, skipSlot);
    struct stat after {};
    const bool settled =
        stat(dir.c_str(), &after) == 0 && SameFolderState(before, after) &&
        Nanoseconds(now) - std::max(Nanoseconds(after.st_mtim), Nanoseconds(after.st_ctim)) >
            FileStampSettleNs();
    std::lock_guard<std::mutex> g(cache.lock);
    if (settled) {
        cache.dir = dir;
        cache.skipSlot = skipSlot;
        cache.st = after;
        cache.listed = listed;
    } else {
        cache.dir.clear();
    }
    return listed;
}

// ---- named mutexes ---------------------------------------------------------------------

std::unique_ptr<NamedMutexFile> NamedMutexFile::Open(const std::string& name, bool* existed) {
    *existed = false;
    std::string file = MutexFileName(name);
    if (file.size() > kMaxMutexFileName) {
        Trace("[Platform] named mutex %s: name too long to be shared with other processes",
              name.c_str());
        return nullptr;
    }
    std::string dir = CheckedRuntimeDir();
    if (dir.empty()) return nullptr;
    int fd = OpenNoFollow(dir + "/" + file, O_RDWR | O_CREAT);
    if (fd < 0 || !OwnedRegularFile(fd)) {
        Trace("[Platform] named mutex %s: cannot use its lock file %s/%s", name.c_str(),
              dir.c_str(), file.c_str());
        if (fd >= 0) close(fd);
        return nullptr;
    }
    // Byte 0: every process with the mutex open holds a read lock. Whoever gets the write
    // lock is alone and creates it; converting to a read lock is atomic.
    if (LockByte(fd, F_WRLCK, 0, false)) {
        LockByte(fd, F_RDLCK, 0, false);
    } else {
        *existed = true;
        LockByte(fd, F_RDLCK, 0, true);  // a creator holds the write lock only for a moment
    }
    return std::unique_ptr<NamedMutexFile>(new NamedMutexFile(fd));
}

NamedMutexFile::~NamedMutexFile() {
    close(fd_);
}

bool NamedMutexFile::TryOwn() {
    return LockByte(fd_, F_WRLCK, 1, false);
}

bool NamedMutexFile::CouldOwn() {
    struct flock fl {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 1;
    fl.l_len = 1;
    return fcntl(fd_, F_OFD_GETLK, &fl) == 0 && fl.l_type == F_UNLCK;
}

void NamedMutexFile::Disown() {
    LockByte(fd_, F_UNLCK, 1, false);
}

}  // namespace ipc
