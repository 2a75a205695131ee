#include "platform/device_image.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/devpath.h"
#include "platform/file_os.h"
#include "platform/registry.h"
#include "platform/trace.h"

namespace {

// A registry value of the default image.
struct DefaultValue {
    LPCWSTR key;   // below HKEY_LOCAL_MACHINE
    LPCWSTR name;  // value name
    DWORD value;   // REG_DWORD default
};

const DefaultValue kDefaultValues[] = {
    {u"SOFTWARE\\Velmar\\Vantlo", u"ClearYoutube", 0},
    {u"SOFTWARE\\Velmar\\Vantlo", u"ClearFacebook", 0},
    {u"SOFTWARE\\Velmar\\OrbelUpdater\\AppStatus", u"App1", 0},
    {u"SOFTWARE\\Velmar\\Engines\\Zorvid", u"BytesPerSecond", 0},
    {u"SOFTWARE\\Velmar\\Engines\\Pelfin", u"BytesPerSecond", 0},
};

const char* const kFolders[] = {"\\Windows",          "\\Temp", "\\Outbox", "\\Outbox\\YouTube",
                                "\\Outbox\\Facebook", "\\Dev"};

// Copies are made in this many bytes at a time.
constexpr size_t kCopyChunk = 64 * 1024;

// Gives every temporary copy of this process its own name.
std::atomic<unsigned> g_copySerial{0};

bool IsNewer(const FileStat& a, const FileStat& b) {
    return a.mtimeSec != b.mtimeSec ? a.mtimeSec > b.mtimeSec : a.mtimeNsec > b.mtimeNsec;
}

long ReadSome(int fd, char* buf, size_t n) {
    long r;
    do {
        r = FileOs().Read(fd, buf, n);
    } while (r < 0 && errno == EINTR);
    return r;
}

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        long w = FileOs().Write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
            if (w == 0) errno = EIO;
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

// Copies from into a fresh file, flushed; false (traced) with nothing left behind.
bool CopyToTemp(const std::string& from, const std::string& temp) {
    int in = FileOs().Open(from.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (in < 0) {
        Trace("[DeviceImage] cannot read %s (errno %d)", from.c_str(), errno);
        return false;
    }
    int out = FileOs().Open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755);
    if (out < 0) {
        Trace("[DeviceImage] cannot create %s (errno %d)", temp.c_str(), errno);
        FileOs().Close(in);
        return false;
    }
    std::vector<char> buf(kCopyChunk);
    bool ok = true;
    const char* failed = nullptr;
    for (;;) {
        long n = ReadSome(in, buf.data(), buf.size());
        if (n < 0) {
            failed = "read";
            break;
        }
        if (n == 0) break;
        if (!WriteAll(out, buf.data(), static_cast<size_t>(n))) {
            failed = "write";
            break;
        }
    }
    if (!failed && FileOs().Fsync(out) != 0) failed = "flush";
    if (FileOs().Close(out) != 0 && !failed) failed = "close";
    FileOs().Close(in);
    if (failed) {
        Trace("[DeviceImage] copying %s failed at %s (errno %d)", from.c_str(), failed, errno);
        FileOs().Unlink(temp.c_str());
        ok = false;
    }
    return ok;
}

// Puts file name of folder into \Windows unless an up-to-date copy is there; what names the
// kind of file for the trace.
bool InstallFile(const std::string& folder, const char* name, const char* what) {
    const std::string from = folder + "/" + name;
    const std::string to = HostPath(std::string("\\Windows\\") + name);
    FileStat built{};
    FileStat installed{};
    const bool haveBuilt = FileOs().Stat(from.c_str(), &built) == 0 && !built.isDirectory;
    const bool haveInstalled = FileOs().Stat(to.c_str(), &installed) == 0;
    if (!haveBuilt) {
        if (haveInstalled) return true;  // nothing newer to offer
        Trace("[DeviceImage] %s %s not found in %s", what, name, folder.c_str());
        return false;
    }
    if (haveInstalled && !IsNewer(built, installed)) return true;
    // Written beside the target and renamed over it, so a loader never sees half a file.
    const std::string temp =
        to + ".new-" + std::to_string(getpid()) + "-" + std::to_string(g_copySerial.fetch_add(1));
    if (!CopyToTemp(from, temp)) return false;
    if (FileOs().Rename(temp.c_str(), to.c_str()) != 0) {
        Trace("[DeviceImage] cannot install %s (errno %d)", to.c_str(), errno);
        FileOs().Unlink(temp.c_str());
        return false;
    }
    Trace("[DeviceImage] installed %s", to.c_str());
    return true;
}

// Creates the power manager's device file unless it is there.
bool EnsureDeviceFile(const std::string& path) {
    int fd = FileOs().Open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        Trace("[DeviceImage] cannot create device file %s (errno %d)", path.c_str(), errno);
        return false;
    }
    FileOs().Close(fd);
    return true;
}

// Writes the default unless the value exists; a value of another type is left alone too.
bool EnsureValue(const DefaultValue& v) {
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, v.key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (rc != ERROR_SUCCESS) {
        Trace("[DeviceImage] cannot create key %s (error %d)", v.key, static_cast<int>(rc));
        return false;
    }
    DWORD size = 0;
    rc = RegQueryValueExW(key, v.name, nullptr, nullptr, nullptr, &size);
    if (rc == ERROR_FILE_NOT_FOUND) {
        rc = RegSetValueExW(key, v.name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v.value),
                            sizeof v.value);
    }
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) {
        Trace("[DeviceImage] cannot set %s\\%s (error %d)", v.key, v.name, static_cast<int>(rc));
        return false;
    }
    return true;
}

}  // namespace

std::string EngineLibraryFolder() {
    if (const char* env = getenv("VANTLO_ENGINE_DIR"); env && *env) return env;
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n <= 0) {
        Trace("[DeviceImage] cannot find the running program (errno %d)", errno);
        return "lib";
    }
    std::string path(exe, static_cast<size_t>(n));
    size_t slash = path.find_last_of('/');
    std::string bin = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
    slash = bin.find_last_of('/');
    std::string top = slash == std::string::npos ? std::string(".") : bin.substr(0, slash);
    return top + "/lib";
}

std::string ImageFolder() {
    if (const char* env = getenv("VANTLO_IMAGE_DIR"); env && *env) return env;
#ifdef VANTLO_SOURCE_IMAGE_DIR
    return VANTLO_SOURCE_IMAGE_DIR;
#else
    return "res/images";
#endif
}

bool PrepareDeviceImage() {
    bool complete = true;
    for (const char* folder : kFolders) {
        complete = EnsureFolder(HostPath(folder)) && complete;
    }
    complete = EnsureDeviceFile(HostPath("\\Dev\\SPM1")) && complete;
    const std::string engines = EngineLibraryFolder();
    for (const char* name : DEVICE_IMAGE_ENGINES) {
        complete = InstallFile(engines, name, "engine library") && complete;
    }
    const std::string images = ImageFolder();
    for (const char* name : DEVICE_IMAGE_PICTURES) {
        complete = InstallFile(images, name, "image") && complete;
    }
    for (const DefaultValue& v : kDefaultValues) {
        complete = EnsureValue(v) && complete;
    }
    if (!complete) Trace("[DeviceImage] the device root %s is incomplete", DeviceRoot().c_str());
    return complete;
}
