// The registry file: \Windows\registry.txt in the device root, UTF-8 text (parsed and written
// by reg_text.cc):
//
//   ; comment lines start with ';' or '#'
//   [HKLM\SOFTWARE\Velmar\Vantlo]        one section per key: root (HKLM, HKCU, HKCR, HKU or
//   "ClearYoutube"=dword:00000000         the long HKEY_ names) and key names; then its values:
//   "Greeting"="say \"hi\"\n"             REG_DWORD as dword:<8 hex digits>, REG_SZ quoted
//   "Blob"=hex:01,02,ff                   with \\ \" \n \r \t \uXXXX escapes, REG_BINARY as
//   "List"=hex(7):61,00,00,00,00,00       hex bytes, any other type as hex(<type>) bytes;
//   @="default value"                     @ names the key's default value.
//
// Keys and values compare without regard to ASCII case; a later duplicate line wins. The file
// is written with every key in sorted order and every missing parent key added.
//
// Concurrency: a reader reads the file without a lock (it is only ever replaced whole). A
// writer takes flock(LOCK_EX) on \Windows\registry.lock, reads the file, applies its change,
// writes registry.txt.tmp, fsyncs it, renames it over registry.txt, fsyncs the folder and
// unlocks, so writers in any process or thread serialise and none loses another's value.
//
// Reading: the parse of the file is kept in the process with the file's stamp (inode, size,
// times to the nanosecond) and a count of this process's writes; a call whose stat finds
// the same stamp, with no write in between, uses the kept parse. A stamp taken too soon after
// the file changed cannot tell it from a change in the same clock tick, so it is trusted only
// once the file has been left alone for a while; until then every call reads the file and
// parses it again unless its text is the same as the kept one. So a change by another
// process is seen at the next call, as when every call read and parsed the file.
//
// A file that does not parse is never dropped: under the lock it is renamed to
// registry.txt.corrupt (registry.txt.<n>.corrupt when that exists), the reason is traced and
// an empty registry takes its place.
#include "platform/registry.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/devpath.h"
#include "platform/file_stamp.h"
#include "platform/handle.h"
#include "platform/reg_os.h"
#include "platform/reg_text.h"
#include "platform/trace.h"

namespace {

// ---- System calls -------------------------------------------------------------------------

int SysOpen(const char* path, int flags, unsigned mode) {
    return open(path, flags, static_cast<mode_t>(mode));
}
long SysRead(int fd, void* buf, size_t n) {
    return read(fd, buf, n);
}
long SysWrite(int fd, const void* buf, size_t n) {
    return write(fd, buf, n);
}
int SysFsync(int fd) {
    return fsync(fd);
}
int SysClose(int fd) {
    return close(fd);
}
int SysRename(const char* from, const char* to) {
    return rename(from, to);
}
int SysUnlink(const char* path) {
    return unlink(path);
}
int SysFlock(int fd, int op) {
    return flock(fd, op);
}
bool SysExists(const char* path) {
    struct stat st {};
    return lstat(path, &st) == 0;
}
int SysStat(const char* path, RegFileStamp* stamp) {
    struct stat st {};
    if (stat(path, &st) != 0) return -1;
    *stamp = RegFileStamp{
        static_cast<unsigned long long>(st.st_dev), static_cast<unsigned long long>(st.st_ino),
        static_cast<long long>(st.st_size),         static_cast<long long>(st.st_mtim.tv_sec),
        static_cast<long long>(st.st_mtim.tv_nsec), static_cast<long long>(st.st_ctim.tv_sec),
        static_cast<long long>(st.st_ctim.tv_nsec)};
    return 0;
}

}  // namespace

const RegOsCalls& RegOsDefaults() {
    static const RegOsCalls calls = {.Open = SysOpen,
                                     .Read = SysRead,
                                     .Write = SysWrite,
                                     .Fsync = SysFsync,
                                     .Close = SysClose,
                                     .Rename = SysRename,
                                     .Unlink = SysUnlink,
                                     .Flock = SysFlock,
                                     .Exists = SysExists,
                                     .Stat = SysStat};
    return calls;
}

RegOsCalls& RegOs() {
    static RegOsCalls calls = RegOsDefaults();
    return calls;
}

namespace {

// ---- The file -----------------------------------------------------------------------------

// A larger file is taken for damage rather than read; a change that would grow the registry
// beyond it is refused as a full registry.
constexpr size_t kMaxFileBytes = 8u << 20;

struct RegPaths {
    std::string file;  // the registry itself
    std::string temp;  // the next version while it is written
    std::string lock;  // the lock file, never removed
};

RegPaths Paths() {
    RegPaths p;
    p.file = HostPath(u"\\Windows\\registry.txt");
    p.temp = p.file + ".tmp";
    size_t slash = p.file.find_last_of('/');
    p.lock = p.file.substr(0, slash == std::string::npos ? 0 : slash + 1) + "registry.lock";
    return p;
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash ? slash : 1);
}

DWORD ReadErrorCode(int err) {
    return (err == EACCES || err == EPERM) ? ERROR_ACCESS_DENIED : ERROR_READ_FAULT;
}

DWORD WriteErrorCode(int err) {
    if (err == ENOSPC || err == EDQUOT) return ERROR_DISK_FULL;
    if (err == EACCES || err == EPERM || err == EROFS) return ERROR_ACCESS_DENIED;
    return ERROR_WRITE_FAULT;
}

// Reads the whole file. missing is set when there is none, tooLarge when it holds more than
// kMaxFileBytes (bytes then holds only the start); a failed read gives its error code.
DWORD ReadWhole(const std::string& path, std::string& bytes, bool& missing, bool& tooLarge) {
    const RegOsCalls& os = RegOs();
    bytes.clear();
    missing = tooLarge = false;
    int fd = os.Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            missing = true;
            return ERROR_SUCCESS;
        }
        int err = errno;
        Trace("[Registry] cannot open %s (errno %d)", path.c_str(), err);
        return ReadErrorCode(err);
    }
    char buf[16384];
    for (;;) {
        long n = os.Read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int err = errno;
            os.Close(fd);
            Trace("[Registry] cannot read %s (errno %d)", path.c_str(), err);
            return ReadErrorCode(err);
        }
        if (n == 0) break;
        if (bytes.size() + static_cast<size_t>(n) > kMaxFileBytes) {
            tooLarge = true;
            break;
        }
        bytes.append(buf, static_cast<size_t>(n));
    }
    os.Close(fd);
    return ERROR_SUCCESS;
}

// Replaces the file by text: temporary file, fsync, rename, fsync of the folder. On failure
// the old file is left as it was.
DWORD WriteAtomically(const RegPaths& paths, const std::string& text) {
    const RegOsCalls& os = RegOs();
    const char* step = "create";
    int fd = os.Open(paths.temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    size_t done = 0;
    while (ok && done < text.size()) {
        long n = os.Write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
            step = "write";
            ok = false;
        } else {
            done += static_cast<size_t>(n);
        }
    }
    if (ok && os.Fsync(fd) != 0) step = "sync", ok = false;
    int err = errno;
    if (fd >= 0 && os.Close(fd) != 0 && ok) step = "close", ok = false, err = errno;
    if (ok && os.Rename(paths.temp.c_str(), paths.file.c_str()) != 0) {
        step = "rename", ok = false, err = errno;
    }
    if (!ok) {
        if (fd >= 0) os.Unlink(paths.temp.c_str());
        Trace("[Registry] cannot %s %s (errno %d); the registry is unchanged", step,
              paths.temp.c_str(), err);
        return WriteErrorCode(err);
    }
    // The rename itself becomes durable with the folder.
    int dir = os.Open(FolderOf(paths.file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (dir >= 0) {
        os.Fsync(dir);
        os.Close(dir);
    }
    return ERROR_SUCCESS;
}

// Writes this process began, successful or not; a kept parse is used only while it stays
// the same.
std::atomic<unsigned long long> g_writes{0};

// The exclusive lock of all writers, held for the object's lifetime.
class WriterLock {
  public:
    explicit WriterLock(const RegPaths& paths) {
        const RegOsCalls& os = RegOs();
        if (!EnsureParentFolder(paths.lock)) {
            error_ = ERROR_ACCESS_DENIED;
            return;
        }
        fd_ = os.Open(paths.lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) {
            int err = errno;
            Trace("[Registry] cannot open the lock %s (errno %d)", paths.lock.c_str(), err);
            error_ = WriteErrorCode(err);
            return;
        }
        int rc;
        do {
            rc = os.Flock(fd_, LOCK_EX);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) {
            int err = errno;
            Trace("[Registry] cannot lock %s (errno %d)", paths.lock.c_str(), err);
            os.Close(fd_);
            fd_ = -1;
            error_ = ERROR_WRITE_FAULT;
        }
    }
    ~WriterLock() {
        if (fd_ >= 0) {
            // Whatever the writer did, or failed to do, the kept parse is not to be trusted.
            g_writes.fetch_add(1, std::memory_order_acq_rel);
            RegOs().Flock(fd_, LOCK_UN);
            RegOs().Close(fd_);
        }
    }
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

    DWORD error() const { return error_; }

  private:
    int fd_ = -1;                  // the open lock file, -1 when not locked
    DWORD error_ = ERROR_SUCCESS;  // why the lock could not be taken
};

// Renames a corrupt file out of the way and puts an empty registry in its place. Called with
// the writer lock held. False when the file could not be moved (it is then left alone).
bool MoveAside(const RegPaths& paths, const RegParseError& why) {
    const RegOsCalls& os = RegOs();
    std::string target = paths.file + ".corrupt";
    for (int n = 1; os.Exists(target.c_str()) && n < 1000; ++n) {
        target = paths.file + "." + std::to_string(n) + ".corrupt";
    }
    if (os.Exists(target.c_str()) || os.Rename(paths.file.c_str(), target.c_str()) != 0) {
        Trace("[Registry] %s is corrupt (line %d: %s) and cannot be moved aside (errno %d)",
              paths.file.c_str(), why.line, why.what.c_str(), errno);
        return false;
    }
    Trace("[Registry] %s is corrupt (line %d: %s); moved aside to %s, starting an empty registry",
          paths.file.c_str(), why.line, why.what.c_str(), target.c_str());
    WriteAtomically(paths, RegFormatHive(RegHive{}));
    return true;
}

// Reads the registry with the writer lock held, moving a corrupt file aside.
DWORD LoadLocked(const RegPaths& paths, RegHive& hive) {
    std::string bytes;
    bool missing, tooLarge;
    hive.keys.clear();
    DWORD rc = ReadWhole(paths.file, bytes, missing, tooLarge);
    if (rc != ERROR_SUCCESS || missing) return rc;
    RegParseError why{0, "larger than the registry may grow"};
    if (!tooLarge && RegParseHive(bytes, hive, why)) return ERROR_SUCCESS;
    hive.keys.clear();
    return MoveAside(paths, why) ? ERROR_SUCCESS : ERROR_BAD_FORMAT;
}

// A reader met a file that does not parse: under the writer lock it is looked at again
// (another process may have replaced it meanwhile) and moved aside when still damaged.
DWORD LoadDamaged(const RegPaths& paths, std::shared_ptr<const RegHive>& hive) {
    WriterLock lock(paths);
    if (lock.error() != ERROR_SUCCESS) return lock.error();
    auto fresh = std::make_shared<RegHive>();
    DWORD rc = LoadLocked(paths, *fresh);
    if (rc == ERROR_SUCCESS) hive = std::move(fresh);
    return rc;
}

using HivePtr = std::shared_ptr<const RegHive>;

long long NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Whether the file of stamp, stat'ed at nowNs, was left alone long enough that any later
// change gives it another stamp.
bool Settled(const RegFileStamp& stamp, long long nowNs) {
    const bool coarse = stamp.mtimeNsec == 0 || stamp.ctimeNsec == 0;
    const long long last = std::max(stamp.mtimeSec * 1000000000LL + stamp.mtimeNsec,
                                    stamp.ctimeSec * 1000000000LL + stamp.ctimeNsec);
    return last + (coarse ? kCoarseFileStampSettleNs : FileStampSettleNs()) <= nowNs;
}

// The last parse of the registry file, with what it takes to know it is still current.
struct KeptHive {
    std::mutex lock;                // guards the fields below
    std::string rootKey;            // VANTLO_ROOT when paths was found, "" for none
    RegPaths paths;                 // the registry's files for rootKey
    std::string file;               // the file the parse below came from
    unsigned long long writes = 0;  // g_writes before it was read
    RegFileStamp stamp{};           // the file's stamp, taken before it was read
    bool trusted = false;           // stamp was settled: an equal stamp means an equal file
    std::string text;               // the file's text
    HivePtr hive;                   // its parse; null when nothing is kept
};

KeptHive& Kept() {
    static KeptHive kept;
    return kept;
}

const HivePtr& EmptyHive() {
    static const HivePtr empty = std::make_shared<const RegHive>();
    return empty;
}

// The registry's files as a reader finds them. The folder lookup behind them is done again
// only when VANTLO_ROOT changed, or when fresh is set.
RegPaths ReaderPaths(bool fresh) {
    const char* env = getenv("VANTLO_ROOT");
    const std::string rootKey = env ? env : "";
    KeptHive& kept = Kept();
    if (!fresh && !rootKey.empty()) {
        std::lock_guard<std::mutex> g(kept.lock);
        if (kept.rootKey == rootKey) return kept.paths;
    }
    RegPaths paths = Paths();
    std::lock_guard<std::mutex> g(kept.lock);
    kept.rootKey = rootKey;
    kept.paths = paths;
    return paths;
}

// Reads the registry as it is now, into a parse that may be shared with other calls. Only a
// corrupt file makes it take the writer lock.
DWORD Load(HivePtr& hive) {
    hive.reset();
    const RegOsCalls& os = RegOs();
    KeptHive& kept = Kept();
    RegPaths paths = ReaderPaths(false);
    const unsigned long long writes = g_writes.load(std::memory_order_acquire);
    const long long now = NowNs();
    RegFileStamp stamp{};
    bool stamped = os.Stat(paths.file.c_str(), &stamp) == 0;
    if (!stamped && (errno == ENOENT || errno == ENOTDIR)) {
        // The folder may have appeared since under another spelling.
        paths = ReaderPaths(true);
        stamped = os.Stat(paths.file.c_str(), &stamp) == 0;
    }
    if (stamped) {
        std::lock_guard<std::mutex> g(kept.lock);
        if (kept.hive && kept.trusted && kept.file == paths.file && kept.writes == writes &&
            kept.stamp == stamp) {
            hive = kept.hive;
            return ERROR_SUCCESS;
        }
    }
    std::string bytes;
    bool missing, tooLarge;
    DWORD rc = ReadWhole(paths.file, bytes, missing, tooLarge);
    if (rc != ERROR_SUCCESS) return rc;
    if (missing) {
        hive = EmptyHive();
        return ERROR_SUCCESS;
    }
    if (!tooLarge) {
        {
            // The same text parses the same: only the stamp is new.
            std::lock_guard<std::mutex> g(kept.lock);
            if (kept.hive && kept.file == paths.file && kept.text == bytes) hive = kept.hive;
        }
        RegParseError why{};
        if (!hive) {
            auto parsed = std::make_shared<RegHive>();
            if (!RegParseHive(bytes, *parsed, why)) return LoadDamaged(paths, hive);
            hive = std::move(parsed);
        }
        std::lock_guard<std::mutex> g(kept.lock);
        kept.file = paths.file;
        kept.writes = writes;
        kept.stamp = stamp;
        kept.trusted = stamped && Settled(stamp, now);
        kept.text = std::move(bytes);
        kept.hive = hive;
        return ERROR_SUCCESS;
    }
    return LoadDamaged(paths, hive);
}

// Applies change to the registry under the writer lock and writes the result when change
// reports success and a difference.
template <class Change>
DWORD Modify(Change&& change) {
    RegPaths paths = Paths();
    WriterLock lock(paths);
    if (lock.error() != ERROR_SUCCESS) return lock.error();
    RegHive hive;
    DWORD rc = LoadLocked(paths, hive);
    if (rc != ERROR_SUCCESS) return rc;
    bool changed = false;
    rc = change(hive, changed);
    if (rc != ERROR_SUCCESS || !changed) return rc;
    std::string text = RegFormatHive(hive);
    if (text.size() > kMaxFileBytes) {
        Trace("[Registry] the change would grow the registry to %zu bytes; refused", text.size());
        return ERROR_DISK_FULL;
    }
    return WriteAtomically(paths, text);
}

// ---- Key handles --------------------------------------------------------------------------

constexpr uintptr_t kFirstRootHandle = 0x80000000u;

class RegKeyObject : public KernelObject {
  public:
    RegKeyObject(int r, std::vector<WString> p) : root(r), parts(std::move(p)) {}
    int root;                    // index of the predefined root
    std::vector<WString> parts;  // the key's names below the root
};

struct KeyRef {
    int root = 0;                // index of the predefined root
    std::vector<WString> parts;  // names below the root; empty for the root itself
};

bool IsRootHandle(HKEY h) {
    uintptr_t v = reinterpret_cast<uintptr_t>(h);
    return v >= kFirstRootHandle && v < kFirstRootHandle + kRegRootCount;
}

DWORD Resolve(HKEY h, KeyRef& out) {
    if (IsRootHandle(h)) {
        out.root = static_cast<int>(reinterpret_cast<uintptr_t>(h) - kFirstRootHandle);
        out.parts.clear();
        return ERROR_SUCCESS;
    }
    std::shared_ptr<RegKeyObject> key = HandleAs<RegKeyObject>(reinterpret_cast<HANDLE>(h));
    if (!key) return ERROR_INVALID_HANDLE;
    out.root = key->root;
    out.parts = key->parts;
    return ERROR_SUCCESS;
}

// The base key joined with a relative path.
DWORD Join(const KeyRef& base, LPCWSTR sub, KeyRef& out) {
    std::vector<WString> more;
    if (!RegSplitPath(sub ? WStringView(sub) : WStringView(), more)) {
        Trace("[Registry] invalid key path \"%s\"", sub);
        return ERROR_INVALID_PARAMETER;
    }
    out.root = base.root;
    out.parts = base.parts;
    out.parts.insert(out.parts.end(), more.begin(), more.end());
    return ERROR_SUCCESS;
}

bool Exists(const RegHive& hive, const KeyRef& key) {
    return key.parts.empty() || RegFindKey(hive, key.root, key.parts) >= 0;
}

// The key's node, or null when it does not exist (or is a root without values).
const RegKeyNode* Find(const RegHive& hive, const KeyRef& key) {
    int i = RegFindKey(hive, key.root, key.parts);
    return i < 0 ? nullptr : &hive.keys[static_cast<size_t>(i)];
}

HKEY NewKeyHandle(const RegHive& hive, const KeyRef& key) {
    if (key.parts.empty()) {
        return reinterpret_cast<HKEY>(kFirstRootHandle + static_cast<uintptr_t>(key.root));
    }
    // The names as the registry spells them.
    const RegKeyNode* node = Find(hive, key);
    auto obj = std::make_shared<RegKeyObject>(key.root, node ? node->parts : key.parts);
    return reinterpret_cast<HKEY>(NewHandle(std::move(obj)));
}

// Copies a value out as RegQueryValueExW does.
LONG CopyOut(const RegValue& v, LPDWORD type, LPBYTE data, LPDWORD cbData) {
    if (data && !cbData) return ERROR_INVALID_PARAMETER;
    if (type) *type = v.type;
    DWORD need = static_cast<DWORD>(v.data.size());
    if (data) {
        if (*cbData < need) {
            *cbData = need;
            return ERROR_MORE_DATA;
        }
        if (need) memcpy(data, v.data.data(), need);
    }
    if (cbData) *cbData = need;
    return ERROR_SUCCESS;
}

// Copies a name into a caller's buffer of *cch characters.
LONG CopyName(const WString& name, LPWSTR buf, LPDWORD cch) {
    if (!buf || !cch) return ERROR_INVALID_PARAMETER;
    if (*cch <= name.size()) {
        *cch = static_cast<DWORD>(name.size() + 1);
        return ERROR_MORE_DATA;
    }
    if (!name.empty()) memcpy(buf, name.data(), name.size() * sizeof(WCHAR));
    buf[name.size()] = 0;
    *cch = static_cast<DWORD>(name.size());
    return ERROR_SUCCESS;
}

bool ValidValueName(LPCWSTR name) {
    return WStrLen(name) <= MAX_VALUE_NAME_CHARS;
}

}  // namespace

// ---- The calls ----------------------------------------------------------------------------

LONG RegOpenKeyExW(HKEY hKey, LPCWSTR subKey, DWORD, REGSAM, PHKEY result) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    KeyRef base, target;
    LONG rc = Resolve(hKey, base);
    if (rc == ERROR_SUCCESS) rc = Join(base, subKey, target);
    if (rc != ERROR_SUCCESS) return rc;
    HivePtr loaded;
    rc = Load(loaded);
    if (rc != ERROR_SUCCESS) return rc;
    const RegHive& hive = *loaded;
    if (!Exists(hive, base)) return ERROR_KEY_DELETED;
    if (!Exists(hive, target)) return ERROR_FILE_NOT_FOUND;
    *result = NewKeyHandle(hive, target);
    return ERROR_SUCCESS;
}

LONG RegCreateKeyExW(HKEY hKey, LPCWSTR subKey, DWORD, LPWSTR, DWORD, REGSAM, void*, PHKEY result,
                     LPDWORD disposition) {
    if (!result) return ERROR_INVALID_PARAMETER;
    *result = nullptr;
    KeyRef base, target;
    LONG rc = Resolve(hKey, base);
    if (rc == ERROR_SUCCESS) rc = Join(base, subKey, target);
    if (rc != ERROR_SUCCESS) return rc;
    bool created = false;
    RegHive spelled;  // the key alone, as the registry spells it
    rc = Modify([&](RegHive& h, bool& changed) -> DWORD {
        if (!Exists(h, base)) return ERROR_KEY_DELETED;
        if (!Exists(h, target)) {
            RegAddKey(h, target.root, target.parts);
            created = changed = true;
        }
        if (const RegKeyNode* node = Find(h, target)) {
            spelled.keys.push_back(RegKeyNode{node->root, node->parts, {}});
        }
        return ERROR_SUCCESS;
    });
    if (rc != ERROR_SUCCESS) return rc;
    if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    *result = NewKeyHandle(spelled, target);
    return ERROR_SUCCESS;
}

LONG RegQueryValueExW(HKEY hKey, LPCWSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                      LPDWORD cbData) {
    KeyRef key;
    LONG rc = Resolve(hKey, key);
    if (rc != ERROR_SUCCESS) return rc;
    if (data && !cbData) return ERROR_INVALID_PARAMETER;
    HivePtr loaded;
    rc = Load(loaded);
    if (rc != ERROR_SUCCESS) return rc;
    const RegHive& hive = *loaded;
    if (!Exists(hive, key)) return ERROR_KEY_DELETED;
    const RegKeyNode* node = Find(hive, key);
    int at = node ? RegFindValue(*node, valueName ? WStringView(valueName) : WStringView()) : -1;
    if (at < 0) return ERROR_FILE_NOT_FOUND;
    return CopyOut(node->values[static_cast<size_t>(at)], type, data, cbData);
}

LONG RegSetValueExW(HKEY hKey, LPCWSTR valueName, DWORD, DWORD type, const BYTE* data,
                    DWORD cbData) {
    KeyRef key;
    LONG rc = Resolve(hKey, key);
    if (rc != ERROR_SUCCESS) return rc;
    if (!ValidValueName(valueName) || (!data && cbData)) return ERROR_INVALID_PARAMETER;
    RegValue v{valueName ? WString(valueName) : WString(), type, {}};
    if (type == REG_DWORD) {
        if (cbData != 4) {
            Trace("[Registry] REG_DWORD \"%s\" needs 4 bytes, not %u", v.name, cbData);
            return ERROR_INVALID_PARAMETER;
        }
        v.data.assign(data, data + 4);
    } else if (type == REG_SZ) {
        WString text(cbData / sizeof(WCHAR), u'\0');
        if (!text.empty()) memcpy(text.data(), data, text.size() * sizeof(WCHAR));
        text.resize(WStrLen(text.c_str()));  // up to the terminator
        v.data = RegStringData(text);
    } else if (cbData) {
        v.data.assign(data, data + cbData);
    }
    return Modify([&](RegHive& hive, bool& changed) -> DWORD {
        if (!Exists(hive, key)) return ERROR_KEY_DELETED;
        RegKeyNode& node = hive.keys[RegAddKey(hive, key.root, key.parts)];
        int at = RegFindValue(node, v.name);
        if (at < 0) {
            node.values.push_back(std::move(v));
            changed = true;
        } else {
            RegValue& old = node.values[static_cast<size_t>(at)];
            changed = old.type != v.type || old.data != v.data;
            old.type = v.type;
            old.data = std::move(v.data);
        }
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteValueW(HKEY hKey, LPCWSTR valueName) {
    KeyRef key;
    LONG rc = Resolve(hKey, key);
    if (rc != ERROR_SUCCESS) return rc;
    WStringView name = valueName ? WStringView(valueName) : WStringView();
    return Modify([&](RegHive& hive, bool& changed) -> DWORD {
        if (!Exists(hive, key)) return ERROR_KEY_DELETED;
        int k = RegFindKey(hive, key.root, key.parts);
        if (k < 0) return ERROR_FILE_NOT_FOUND;
        RegKeyNode& node = hive.keys[static_cast<size_t>(k)];
        int at = RegFindValue(node, name);
        if (at < 0) return ERROR_FILE_NOT_FOUND;
        node.values.erase(node.values.begin() + at);
        changed = true;
        return ERROR_SUCCESS;
    });
}

LONG RegDeleteKeyW(HKEY hKey, LPCWSTR subKey) {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    KeyRef base, target;
    LONG rc = Resolve(hKey, base);
    if (rc == ERROR_SUCCESS) rc = Join(base, subKey, target);
    if (rc != ERROR_SUCCESS) return rc;
    if (target.parts.empty()) return ERROR_ACCESS_DENIED;  // a root stays
    return Modify([&](RegHive& hive, bool& changed) -> DWORD {
        if (!Exists(hive, base)) return ERROR_KEY_DELETED;
        if (!Exists(hive, target)) return ERROR_FILE_NOT_FOUND;
        std::erase_if(hive.keys, [&](const RegKeyNode& node) {
            return RegIsWithin(node, target.root, target.parts);
        });
        changed = true;
        return ERROR_SUCCESS;
    });
}

LONG RegEnumValueW(HKEY hKey, DWORD index, LPWSTR name, LPDWORD cchName, LPDWORD, LPDWORD type,
                   LPBYTE data, LPDWORD cbData) {
    KeyRef key;
    LONG rc = Resolve(hKey, key);
    if (rc != ERROR_SUCCESS) return rc;
    if (!name || !cchName || (data && !cbData)) return ERROR_INVALID_PARAMETER;
    HivePtr loaded;
    rc = Load(loaded);
    if (rc != ERROR_SUCCESS) return rc;
    const RegHive& hive = *loaded;
    if (!Exists(hive, key)) return ERROR_KEY_DELETED;
    const RegKeyNode* node = Find(hive, key);
    if (!node || index >= node->values.size()) return ERROR_NO_MORE_ITEMS;
    const RegValue& v = node->values[index];
    rc = CopyName(v.name, name, cchName);
    if (rc != ERROR_SUCCESS) return rc;
    return CopyOut(v, type, data, cbData);
}

LONG RegEnumKeyExW(HKEY hKey, DWORD index, LPWSTR name, LPDWORD cchName, LPDWORD, LPWSTR keyClass,
                   LPDWORD cchClass, FILETIME* lastWrite) {
    KeyRef key;
    LONG rc = Resolve(hKey, key);
    if (rc != ERROR_SUCCESS) return rc;
    if (!name || !cchName) return ERROR_INVALID_PARAMETER;
    HivePtr loaded;
    rc = Load(loaded);
    if (rc != ERROR_SUCCESS) return rc;
    const RegHive& hive = *loaded;
    if (!Exists(hive, key)) return ERROR_KEY_DELETED;
    std::vector<WString> children;
    for (const RegKeyNode& node : hive.keys) {
        if (node.parts.size() == key.parts.size() + 1 && RegIsWithin(node, key.root, key.parts)) {
            children.push_back(node.parts.back());
        }
    }
    if (index >= children.size()) return ERROR_NO_MORE_ITEMS;
    std::sort(children.begin(), children.end(),
              [](const WString& a, const WString& b) { return RegCompareNames(a, b) < 0; });
    rc = CopyName(children[index], name, cchName);
    if (rc != ERROR_SUCCESS) return rc;
    if (keyClass && cchClass && *cchClass) keyClass[0] = 0;
    if (cchClass) *cchClass = 0;
    if (lastWrite) *lastWrite = FILETIME{0, 0};
    return ERROR_SUCCESS;
}

LONG RegCloseKey(HKEY hKey) {
    if (IsRootHandle(hKey)) return ERROR_SUCCESS;
    HANDLE h = reinterpret_cast<HANDLE>(hKey);
    if (!HandleAs<RegKeyObject>(h)) return ERROR_INVALID_HANDLE;
    return CloseHandle(h) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

DWORD RegReadDwordOr(HKEY hKey, LPCWSTR valueName, DWORD fallback, const char* tag) {
    DWORD value = 0;
    DWORD type = REG_NONE;
    DWORD size = sizeof value;
    LONG rc =
        RegQueryValueExW(hKey, valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (rc == ERROR_FILE_NOT_FOUND) return fallback;
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof value) {
        Trace("[%s] value %s is not a DWORD (error %d); using %u", tag, valueName,
              static_cast<int>(rc), static_cast<unsigned>(fallback));
        return fallback;
    }
    return value;
}
