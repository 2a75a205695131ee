#include "platform/devpath.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>

#include "platform/trace.h"

namespace {

std::string DefaultRoot() {
    if (const char* xdg = getenv("XDG_DATA_HOME"); xdg && *xdg) {
        return std::string(xdg) + "/vantlo";
    }
    const char* home = getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.local/share/vantlo";
}

// What path mapping has already looked up: every file call maps a path, and the device
// root and its top folders seldom change.
struct MappingCache {
    std::mutex lock;                // guards the fields below
    std::string root;               // the device root last made sure of; empty: none yet
    std::set<std::string> present;  // top folders of root found spelled exactly so
};

MappingCache& Mapping() {
    static MappingCache* cache = new MappingCache;
    return *cache;
}

// Finds an existing entry of folder whose name equals name ignoring case.
std::string MatchEntry(const std::string& folder, const std::string& name) {
    // An entry spelled exactly so is the answer; only another spelling needs the listing.
    MappingCache& cache = Mapping();
    {
        std::lock_guard<std::mutex> g(cache.lock);
        if (folder == cache.root && cache.present.count(name)) return name;
    }
    struct stat st {};
    if (lstat((folder + "/" + name).c_str(), &st) == 0) {
        std::lock_guard<std::mutex> g(cache.lock);
        if (folder == cache.root) cache.present.insert(name);
        return name;
    }
    DIR* d = opendir(folder.c_str());
    if (!d) return name;
    std::string found = name;
    while (dirent* e = readdir(d)) {
        if (strcasecmp(e->d_name, name.c_str()) == 0) {
            found = e->d_name;
            if (found == name) break;
        }
    }
    closedir(d);
    return found;
}

}  // namespace

bool EnsureFolder(const std::string& folder) {
    if (folder.empty()) return true;
    struct stat st {};
    if (stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    size_t slash = folder.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !EnsureFolder(folder.substr(0, slash))) {
        return false;
    }
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
        Trace("[Platform] cannot create folder %s (errno %d)", folder.c_str(), errno);
        return false;
    }
    return true;
}

bool EnsureParentFolder(const std::string& hostPath) {
    size_t slash = hostPath.find_last_of('/');
    if (slash == std::string::npos || slash == 0) return true;
    return EnsureFolder(hostPath.substr(0, slash));
}

std::string DeviceRoot() {
    const char* env = getenv("VANTLO_ROOT");
    std::string root = env && *env ? std::string(env) : DefaultRoot();
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    MappingCache& cache = Mapping();
    {
        std::lock_guard<std::mutex> g(cache.lock);
        if (root == cache.root) return root;
    }
    if (!EnsureFolder(root)) return root;  // looked at again next time
    std::lock_guard<std::mutex> g(cache.lock);
    cache.root = root;
    cache.present.clear();
    return root;
}

std::string HostPath(std::string_view path) {
    if (path.empty()) return std::string();
    if (path.front() == '/') return std::string(path);
    if (path.front() != '\\') return std::string(path);  // relative: as given
    std::string rest(path.substr(1));
    for (char& c : rest) {
        if (c == '\\') c = '/';
    }
    std::string root = DeviceRoot();
    size_t slash = rest.find('/');
    std::string first = rest.substr(0, slash);
    std::string tail = slash == std::string::npos ? std::string() : rest.substr(slash);
    if (first.empty()) return root + tail;
    return root + "/" + MatchEntry(root, first) + tail;
}

std::string HostPath(LPCWSTR devicePath) {
    return HostPath(ToUtf8(devicePath));
}
