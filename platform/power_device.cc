#include "platform/power_device.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "platform/devpath.h"
#include "platform/file_os.h"
#include "platform/handle.h"
#include "platform/trace.h"
#include "platform/wstr.h"

namespace {

// An open stream device; the handle names it by its device file.
class StreamDevice : public KernelObject {
  public:
    StreamDevice(std::string name, std::string hostPath)
        : name_(std::move(name)), hostPath_(std::move(hostPath)) {}
    const std::string& Name() const { return name_; }          // "SPM1"
    const std::string& HostFile() const { return hostPath_; }  // Dev/SPM1 in the device root

  private:
    std::string name_;      // the device name without its colon
    std::string hostPath_;  // the device file
};

struct PowerState {
    unsigned long long locked = 0;   // 1 while unattended mode is held
    unsigned long long locks = 0;    // lock requests served
    unsigned long long unlocks = 0;  // unlock requests served
};

DWORD ErrorOf(int e, bool writing) {
    switch (e) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case ENOSPC:
        case EDQUOT:
            return ERROR_DISK_FULL;
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return writing ? ERROR_WRITE_FAULT : ERROR_READ_FAULT;
    }
}

// Sets the last error for a failed system call, tracing what failed; returns FALSE.
BOOL Fail(const std::string& device, const char* what, const std::string& path, int e,
          bool writing) {
    Trace("[Device] %s: %s %s failed: %s", device.c_str(), what, path.c_str(), strerror(e));
    SetLastError(ErrorOf(e, writing));
    return FALSE;
}

// Reads the whole of a file into out; ENOENT leaves out empty and succeeds. 0 or an errno.
int ReadWhole(const std::string& path, std::string* out) {
    out->clear();
    int fd;
    do {
        fd = FileOs().Open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno == ENOENT ? 0 : errno;
    char buf[512];
    int result = 0;
    for (;;) {
        long n = FileOs().Read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result = errno;
            break;
        }
        if (n == 0) break;
        out->append(buf, static_cast<size_t>(n));
        if (out->size() > 64 * 1024) break;  // a state file is a few lines; ignore the rest
    }
    FileOs().Close(fd);
    return result;
}

// Parses "key=value" lines; false when a line is not of that form.
bool ParseState(const std::string& text, PowerState* st) {
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos || eq + 1 >= line.size() || line.size() - eq - 1 > 19) {
            return false;
        }
        unsigned long long v = 0;
        for (size_t i = eq + 1; i < line.size(); ++i) {
            if (line[i] < '0' || line[i] > '9') return false;
            v = v * 10 + static_cast<unsigned>(line[i] - '0');
        }
        std::string key = line.substr(0, eq);
        if (key == "locked") {
            st->locked = v;
        } else if (key == "locks") {
            st->locks = v;
        } else if (key == "unlocks") {
            st->unlocks = v;
        }  // other keys belong to a newer device and are dropped
    }
    return true;
}

// Writes all of data to fd; 0 or an errno (a short write without an error is ENOSPC).
int WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        long n = FileOs().Write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return ENOSPC;
        done += static_cast<size_t>(n);
    }
    return 0;
}

// Replaces the state file whole; 0 or the errno of the step that failed (traced by the caller
// through what).
int WriteState(const std::string& path, const PowerState& st, const char** what) {
    std::string text = "locked=" + std::to_string(st.locked) +
                       "\nlocks=" + std::to_string(st.locks) +
                       "\nunlocks=" + std::to_string(st.unlocks) + "\n";
    std::string tmp = path + ".tmp";
    *what = "create";
    int fd;
    do {
        fd = FileOs().Open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    *what = "write";
    int e = WriteAll(fd, text);
    if (e == 0 && FileOs().Fsync(fd) != 0) {
        *what = "fsync";
        e = errno;
    }
    if (FileOs().Close(fd) != 0 && e == 0) {
        *what = "close";
        e = errno;
    }
    if (e == 0 && FileOs().Rename(tmp.c_str(), path.c_str()) != 0) {
        *what = "rename";
        e = errno;
    }
    if (e != 0) FileOs().Unlink(tmp.c_str());
    return e;
}

// Holds flock on the device file while a request runs.
class DeviceLock {
  public:
    explicit DeviceLock(const std::string& hostFile) {
        do {
            fd_ = FileOs().Open(hostFile.c_str(), O_RDONLY | O_CLOEXEC, 0);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0) {
            error_ = errno;
            return;
        }
        int rc;
        do {
            rc = flock(fd_, LOCK_EX);
        } while (rc != 0 && errno == EINTR);
        if (rc != 0) error_ = errno;
    }
    ~DeviceLock() {
        if (fd_ >= 0) {
            flock(fd_, LOCK_UN);
            FileOs().Close(fd_);
        }
    }
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;
    int Error() const { return error_; }  // 0 when the lock is held

  private:
    int fd_ = -1;    // the device file, open while locked
    int error_ = 0;  // errno of the open or the lock
};

BOOL PowerManagerRequest(const StreamDevice& dev, DWORD code) {
    bool lock = code == IOCTL_VELMARPM_LOCK_UNATTENDED_MODE_POWER_EVENT;
    DeviceLock held(dev.HostFile());
    if (held.Error() != 0) return Fail(dev.Name(), "open", dev.HostFile(), held.Error(), false);

    std::string statePath = dev.HostFile() + ".state";
    std::string text;
    if (int e = ReadWhole(statePath, &text); e != 0) {
        return Fail(dev.Name(), "read", statePath, e, false);
    }
    PowerState st;
    if (!ParseState(text, &st)) {
        Trace("[Device] %s: state file %s does not parse; counting from zero", dev.Name().c_str(),
              statePath.c_str());
        st = PowerState{};
    }
    if (lock) {
        st.locked = 1;
        ++st.locks;
    } else {
        st.locked = 0;
        ++st.unlocks;
    }
    const char* what = "";
    if (int e = WriteState(statePath, st, &what); e != 0) {
        return Fail(dev.Name(), what, statePath, e, true);
    }
    Trace("[Device] %s: %s unattended mode (locks %llu, unlocks %llu)", dev.Name().c_str(),
          lock ? "lock" : "unlock", st.locks, st.unlocks);
    return TRUE;
}

}  // namespace

bool IsStreamDeviceName(LPCWSTR path) {
    if (!path) return false;
    for (int i = 0; i < 3; ++i) {
        WCHAR c = path[i];
        if (!((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'))) return false;
    }
    return path[3] >= u'0' && path[3] <= u'9' && path[4] == u':' && path[5] == 0;
}

HANDLE OpenStreamDevice(LPCWSTR name) {
    if (!IsStreamDeviceName(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string shortName = ToUtf8(WStringView(name, 4));
    for (char& c : shortName) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    std::string host = HostPath("\\Dev\\" + shortName);
    FileStat st{};
    if (FileOs().Stat(host.c_str(), &st) != 0 || st.isDirectory) {
        SetLastError(ERROR_FILE_NOT_FOUND);  // the device is not there; an answer, not a fault
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return NewHandle(std::make_shared<StreamDevice>(shortName, host));
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuf, DWORD inBufSize, LPVOID,
                     DWORD, DWORD* bytesReturned, void*) {
    if (bytesReturned) *bytesReturned = 0;
    auto dev = HandleAs<StreamDevice>(device);
    if (!dev) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bool isPowerManager = dev->Name().compare(0, 3, "SPM") == 0;
    bool known = ioControlCode == IOCTL_VELMARPM_LOCK_UNATTENDED_MODE_POWER_EVENT ||
                 ioControlCode == IOCTL_VELMARPM_UNLOCK_UNATTENDED_MODE_POWER_EVENT;
    if (!isPowerManager || !known) {
        Trace("[Device] %s: request 0x%08x not supported", dev->Name().c_str(),
              static_cast<unsigned>(ioControlCode));
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (!inBuf || inBufSize < sizeof(DWORD)) {
        Trace("[Device] %s: request 0x%08x without its 4-byte input", dev->Name().c_str(),
              static_cast<unsigned>(ioControlCode));
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return PowerManagerRequest(*dev, ioControlCode);
}
