#include "platform/cedb_sqlite.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "platform/cedb_faults.h"
#include "platform/trace.h"

namespace cedb {

void Stmt::BindText(int i, const std::string& utf8) {
    sqlite3_bind_text(s_, i, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT);
}

void Stmt::Bind(int i, const Value& v) {
    switch (v.kind) {
        case Value::kNull:
            BindNull(i);
            break;
        case Value::kInt:
            BindInt(i, v.i);
            break;
        case Value::kText:
            BindText(i, v.text);
            break;
    }
}

Value Stmt::Column(int i) const {
    Value v;
    switch (sqlite3_column_type(s_, i)) {
        case SQLITE_NULL:
            break;
        case SQLITE_INTEGER:
        case SQLITE_FLOAT:
            v.kind = Value::kInt;
            v.i = sqlite3_column_int64(s_, i);
            break;
        default: {  // text; a blob (never written by us) is read as its bytes
            const unsigned char* p = sqlite3_column_text(s_, i);
            int n = sqlite3_column_bytes(s_, i);
            v.kind = Value::kText;
            if (p && n > 0) v.text.assign(reinterpret_cast<const char*>(p), static_cast<size_t>(n));
            break;
        }
    }
    return v;
}

int CompareValues(const Value& a, const Value& b) {
    if (a.kind != b.kind) return a.kind < b.kind ? -1 : 1;
    switch (a.kind) {
        case Value::kNull:
            return 0;
        case Value::kInt:
            return a.i < b.i ? -1 : (a.i > b.i ? 1 : 0);
        case Value::kText: {
            int c = a.text.compare(b.text);  // bytewise, as memcmp
            return c < 0 ? -1 : (c > 0 ? 1 : 0);
        }
    }
    return 0;
}

DWORD Win32ErrorOfSqlite(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_FULL:
            return ERROR_DISK_FULL;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
        case SQLITE_FORMAT:
            return ERROR_BAD_FORMAT;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_TIMEOUT;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_NOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_CANTOPEN:
            return ERROR_PATH_NOT_FOUND;
        case SQLITE_IOERR:
            return ERROR_WRITE_FAULT;
        case SQLITE_CONSTRAINT:
        case SQLITE_MISMATCH:
        case SQLITE_RANGE:
        case SQLITE_TOOBIG:
            return ERROR_INVALID_PARAMETER;
        default:  // SQLITE_ERROR: mostly a database another mount has deleted
            return ERROR_FILE_NOT_FOUND;
    }
}

void FailSql(const char* call, const char* what, sqlite3* db, int rc) {
    const char* msg = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    Trace("[Platform] %s: %s failed: %s (SQLite %d)", call, what, msg, rc);
    SetLastError(Win32ErrorOfSqlite(rc));
}

// --- The file layer -------------------------------------------------------------------
// A thin layer over SQLite's default one. Every call is passed through unchanged, except
// that writes and syncs ask the fault hook first, and that the frames a commit appends to
// the write-ahead log, one write for each frame header and one for each page, are gathered
// and written at once, before the sync that every commit ends with (the volumes run with
// synchronous = FULL) and before anything else touches the log.

namespace {

std::atomic<CeDbFaultHook> g_hook{nullptr};
std::atomic<void*> g_hookContext{nullptr};

sqlite3_vfs* g_real = nullptr;  // the default file layer
sqlite3_vfs g_vfs{};            // ours, registered once

struct HookedFile {
    sqlite3_file base;        // our methods
    sqlite3_file* real;       // the default layer's file, placed right after this struct
    const char* path;         // valid until xClose, as SQLite guarantees
    volatile void* shmIndex;  // the shared index's first region once mapped, else null
    ChangeStamp writeStart;   // the stamp when the write lock was last taken
    ChangeStamp writeEnd;     // the stamp when it was last released
    bool gathers;             // the write-ahead log: appended writes are gathered
    char* held;               // writes gathered and not written yet (sqlite3_malloc'ed)
    sqlite3_int64 heldAt;     // the file offset of held
    int heldBytes;            // bytes in held
    int heldRoom;             // bytes held can take
};

// A commit's frames are gathered up to this much, then written and gathered again: the
// default layer takes at most 128 KiB in one write.
constexpr int kMostHeld = 120 * 1024;

// The write lock of the log's shared index: lock 0 of the index's locks.
constexpr int kWriteLock = 0;

HookedFile* Hooked(sqlite3_file* f) {
    return reinterpret_cast<HookedFile*>(f);
}
sqlite3_file* Real(sqlite3_file* f) {
    return Hooked(f)->real;
}

// ERROR_SUCCESS, or the error the hook wants this call to fail with.
DWORD AskHook(CeDbFileOp op, sqlite3_file* f) {
    CeDbFaultHook hook = g_hook.load();
    if (!hook) return ERROR_SUCCESS;
    return hook(op, Hooked(f)->path ? Hooked(f)->path : "", g_hookContext.load());
}

// Writes what was gathered; SQLITE_OK, or the error of the write (then nothing is held).
int WriteHeld(sqlite3_file* f) {
    HookedFile* h = Hooked(f);
    if (h->heldBytes == 0) return SQLITE_OK;
    int n = h->heldBytes;
    h->heldBytes = 0;
    return Real(f)->pMethods->xWrite(Real(f), h->held, n, h->heldAt);
}

// Takes a write that extends what is gathered; false when it must be written as it is.
bool Gather(sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
    HookedFile* h = Hooked(f);
    if (!h->gathers || n <= 0 || n > kMostHeld - h->heldBytes) return false;
    if (h->heldBytes > 0 && off != h->heldAt + h->heldBytes) return false;
    if (h->heldBytes + n > h->heldRoom) {
        int room = std::max(h->heldRoom * 2, 32 * 1024);
        while (room < h->heldBytes + n) room *= 2;
        room = std::min(room, kMostHeld);
        char* bigger = static_cast<char*>(sqlite3_realloc(h->held, room));
        if (!bigger) return false;
        h->held = bigger;
        h->heldRoom = room;
    }
    if (h->heldBytes == 0) h->heldAt = off;
    std::memcpy(h->held + h->heldBytes, buf, static_cast<size_t>(n));
    h->heldBytes += n;
    return true;
}

int FileClose(sqlite3_file* f) {
    int rc = Real(f)->pMethods ? WriteHeld(f) : SQLITE_OK;
    sqlite3_free(Hooked(f)->held);
    Hooked(f)->held = nullptr;
    int closed = Real(f)->pMethods ? Real(f)->pMethods->xClose(Real(f)) : SQLITE_OK;
    return rc != SQLITE_OK ? rc : closed;
}
int FileRead(sqlite3_file* f, void* buf, int n, sqlite3_int64 off) {
    if (int rc = WriteHeld(f)) return rc;
    return Real(f)->pMethods->xRead(Real(f), buf, n, off);
}
int FileWrite(sqlite3_file* f, const void* buf, int n, sqlite3_int64 off) {
    if (DWORD err = AskHook(CeDbFileOp::kWrite, f)) {
        return err == ERROR_DISK_FULL ? SQLITE_FULL : SQLITE_IOERR_WRITE;
    }
    if (Gather(f, buf, n, off)) return SQLITE_OK;
    if (int rc = WriteHeld(f)) return rc;
    if (Gather(f, buf, n, off)) return SQLITE_OK;
    return Real(f)->pMethods->xWrite(Real(f), buf, n, off);
}
int FileTruncate(sqlite3_file* f, sqlite3_int64 size) {
    if (int rc = WriteHeld(f)) return rc;
    return Real(f)->pMethods->xTruncate(Real(f), size);
}
int FileSync(sqlite3_file* f, int flags) {
    if (AskHook(CeDbFileOp::kSync, f) != ERROR_SUCCESS) {
        Hooked(f)->heldBytes = 0;  // as if the disk had lost them
        return SQLITE_IOERR_FSYNC;
    }
    if (int rc = WriteHeld(f)) return rc;
    return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
    if (int rc = WriteHeld(f)) return rc;
    return Real(f)->pMethods->xFileSize(Real(f), size);
}
int FileLock(sqlite3_file* f, int level) {
    return Real(f)->pMethods->xLock(Real(f), level);
}
int FileUnlock(sqlite3_file* f, int level) {
    return Real(f)->pMethods->xUnlock(Real(f), level);
}
int FileCheckReservedLock(sqlite3_file* f, int* out) {
    return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
    if (int rc = WriteHeld(f)) return rc;
    return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int FileSectorSize(sqlite3_file* f) {
    return Real(f)->pMethods->xSectorSize(Real(f));
}
int FileDeviceCharacteristics(sqlite3_file* f) {
    return Real(f)->pMethods->xDeviceCharacteristics(Real(f));
}
int FileShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** pp) {
    if (Real(f)->pMethods->iVersion < 2) return SQLITE_IOERR_SHMMAP;
    int rc = Real(f)->pMethods->xShmMap(Real(f), region, size, extend, pp);
    // The first region starts with the header every commit rewrites; it stays mapped at the
    // same place until the connection lets go of the index.
    if (rc == SQLITE_OK && region == 0 && *pp) Hooked(f)->shmIndex = *pp;
    return rc;
}
int FileShmLock(sqlite3_file* f, int offset, int n, int flags) {
    if (Real(f)->pMethods->iVersion < 2) return SQLITE_IOERR_SHMLOCK;
    bool writer = offset == kWriteLock && n >= 1 && (flags & SQLITE_SHM_EXCLUSIVE);
    // While the lock is held nobody else commits: the header seen as it is taken and as it
    // is let go tells what this connection's write changed, and nothing else.
    if (writer && (flags & SQLITE_SHM_UNLOCK)) Hooked(f)->writeEnd = TakeStamp(f);
    int rc = Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
    if (writer && (flags & SQLITE_SHM_LOCK) && rc == SQLITE_OK) {
        Hooked(f)->writeStart = TakeStamp(f);
    }
    return rc;
}
void FileShmBarrier(sqlite3_file* f) {
    if (Real(f)->pMethods->iVersion >= 2) Real(f)->pMethods->xShmBarrier(Real(f));
}
int FileShmUnmap(sqlite3_file* f, int deleteFlag) {
    Hooked(f)->shmIndex = nullptr;
    if (Real(f)->pMethods->iVersion < 2) return SQLITE_OK;
    return Real(f)->pMethods->xShmUnmap(Real(f), deleteFlag);
}
int FileFetch(sqlite3_file* f, sqlite3_int64 off, int n, void** pp) {
    if (Real(f)->pMethods->iVersion < 3) {
        *pp = nullptr;
        return SQLITE_OK;
    }
    return Real(f)->pMethods->xFetch(Real(f), off, n, pp);
}
int FileUnfetch(sqlite3_file* f, sqlite3_int64 off, void* p) {
    if (Real(f)->pMethods->iVersion < 3) return SQLITE_OK;
    return Real(f)->pMethods->xUnfetch(Real(f), off, p);
}

const sqlite3_io_methods g_fileMethods = {
    3,
    FileClose,
    FileRead,
    FileWrite,
    FileTruncate,
    FileSync,
    FileSize,
    FileLock,
    FileUnlock,
    FileCheckReservedLock,
    FileControl,
    FileSectorSize,
    FileDeviceCharacteristics,
    FileShmMap,
    FileShmLock,
    FileShmBarrier,
    FileShmUnmap,
    FileFetch,
    FileUnfetch,
};

int VfsOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    HookedFile* f = Hooked(file);
    f->base.pMethods = nullptr;
    f->real = reinterpret_cast<sqlite3_file*>(f + 1);
    f->path = name;
    f->shmIndex = nullptr;
    f->writeStart = ChangeStamp{};
    f->writeEnd = ChangeStamp{};
    f->gathers = (flags & SQLITE_OPEN_WAL) != 0;
    f->held = nullptr;
    f->heldAt = 0;
    f->heldBytes = 0;
    f->heldRoom = 0;
    int rc = g_real->xOpen(g_real, name, f->real, flags, outFlags);
    if (rc == SQLITE_OK && f->real->pMethods) f->base.pMethods = &g_fileMethods;
    return rc;
}
int VfsDelete(sqlite3_vfs*, const char* name, int syncDir) {
    return g_real->xDelete(g_real, name, syncDir);
}
int VfsAccess(sqlite3_vfs*, const char* name, int flags, int* out) {
    return g_real->xAccess(g_real, name, flags, out);
}
int VfsFullPathname(sqlite3_vfs*, const char* name, int n, char* out) {
    return g_real->xFullPathname(g_real, name, n, out);
}
void* VfsDlOpen(sqlite3_vfs*, const char* name) {
    return g_real->xDlOpen(g_real, name);
}
void VfsDlError(sqlite3_vfs*, int n, char* msg) {
    g_real->xDlError(g_real, n, msg);
}
void (*VfsDlSym(sqlite3_vfs*, void* lib, const char* sym))(void) {
    return g_real->xDlSym(g_real, lib, sym);
}
void VfsDlClose(sqlite3_vfs*, void* lib) {
    g_real->xDlClose(g_real, lib);
}
int VfsRandomness(sqlite3_vfs*, int n, char* out) {
    return g_real->xRandomness(g_real, n, out);
}
int VfsSleep(sqlite3_vfs*, int us) {
    return g_real->xSleep(g_real, us);
}
int VfsCurrentTime(sqlite3_vfs*, double* out) {
    return g_real->xCurrentTime(g_real, out);
}
int VfsGetLastError(sqlite3_vfs*, int n, char* out) {
    return g_real->xGetLastError ? g_real->xGetLastError(g_real, n, out) : 0;
}
int VfsCurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
    if (g_real->iVersion >= 2 && g_real->xCurrentTimeInt64) {
        return g_real->xCurrentTimeInt64(g_real, out);
    }
    double now = 0;
    int rc = g_real->xCurrentTime(g_real, &now);
    *out = static_cast<sqlite3_int64>(now * 86400000.0);
    return rc;
}

}  // namespace

// Another thread or process may be rewriting the header meanwhile; a torn copy differs from
// every stamp taken before the write began, so it only costs a fresh query. The thread
// sanitizer is told so, as SQLite's own readers of the header would be.
__attribute__((no_sanitize("thread"))) ChangeStamp TakeStamp(sqlite3_file* file) {
    ChangeStamp out;
    if (!file || file->pMethods != &g_fileMethods) return out;
    const volatile void* index = Hooked(file)->shmIndex;
    if (!index) return out;
    std::atomic_thread_fence(std::memory_order_seq_cst);  // as SQLite's readers do
    const volatile uint32_t* header = static_cast<const volatile uint32_t*>(index);
    for (size_t i = 0; i < sizeof out.words / sizeof out.words[0]; ++i) out.words[i] = header[i];
    std::atomic_thread_fence(std::memory_order_acquire);
    out.valid = true;
    return out;
}

void LastWriteStamps(sqlite3_file* file, ChangeStamp* before, ChangeStamp* after) {
    *before = ChangeStamp{};
    *after = ChangeStamp{};
    if (!file || file->pMethods != &g_fileMethods) return;
    *before = Hooked(file)->writeStart;
    *after = Hooked(file)->writeEnd;
}

sqlite3_file* MainFileOf(sqlite3* db) {
    sqlite3_file* file = nullptr;
    if (sqlite3_file_control(db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK) {
        return nullptr;
    }
    return file && file->pMethods == &g_fileMethods ? file : nullptr;
}

const char* VfsName() {
    static std::once_flag once;
    static const char* name = nullptr;
    std::call_once(once, [] {
        g_real = sqlite3_vfs_find(nullptr);
        if (!g_real) return;
        g_vfs.iVersion = 2;
        g_vfs.szOsFile = static_cast<int>(sizeof(HookedFile)) + g_real->szOsFile;
        g_vfs.mxPathname = g_real->mxPathname;
        g_vfs.zName = "vantlo-cedb";
        g_vfs.xOpen = VfsOpen;
        g_vfs.xDelete = VfsDelete;
        g_vfs.xAccess = VfsAccess;
        g_vfs.xFullPathname = VfsFullPathname;
        g_vfs.xDlOpen = VfsDlOpen;
        g_vfs.xDlError = VfsDlError;
        g_vfs.xDlSym = VfsDlSym;
        g_vfs.xDlClose = VfsDlClose;
        g_vfs.xRandomness = VfsRandomness;
        g_vfs.xSleep = VfsSleep;
        g_vfs.xCurrentTime = VfsCurrentTime;
        g_vfs.xGetLastError = VfsGetLastError;
        g_vfs.xCurrentTimeInt64 = VfsCurrentTimeInt64;
        if (sqlite3_vfs_register(&g_vfs, 0) == SQLITE_OK) {
            name = g_vfs.zName;
        } else {
            Trace(
                "[Platform] property database: cannot register its file layer; faults "
                "cannot be injected");
        }
    });
    return name;  // null: SQLite's default layer
}

}  // namespace cedb

void CeDbSetFaultHook(CeDbFaultHook hook, void* context) {
    cedb::g_hookContext.store(context);
    cedb::g_hook.store(hook);
}
