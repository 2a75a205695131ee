#include "platform/module.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/devpath.h"
#include "platform/trace.h"
#include "platform/wstr.h"

namespace {

// The loader calls this file makes, gathered in one place.
struct LoaderCalls {
    void* (*open)(const char* file, int mode);
    void* (*sym)(void* handle, const char* name);
    int (*close)(void* handle);
    char* (*error)();
};
const LoaderCalls kLoader = {dlopen, dlsym, dlclose, dlerror};

// Every handle LoadLibraryW gave out, with the number of loads not yet freed.
struct ModuleTable {
    std::mutex lock;
    std::unordered_map<void*, unsigned> loads;
};

ModuleTable& Modules() {
    static ModuleTable* table = new ModuleTable;  // outlives every static destructor
    return *table;
}

bool IsLoaded(HMODULE module) {
    ModuleTable& t = Modules();
    std::lock_guard<std::mutex> g(t.lock);
    return t.loads.count(module) != 0;
}

std::string LoaderError() {
    const char* e = kLoader.error();
    return e ? std::string(e) : std::string("unknown loader error");
}

// The host file of a library name; a bare file name lives in \Windows.
std::string LibraryHostPath(LPCWSTR fileName) {
    WString name(fileName);
    if (name.find_first_of(u"\\/") == WString::npos) name = u"\\Windows\\" + name;
    return HostPath(name.c_str());
}

}  // namespace

HMODULE LoadLibraryW(LPCWSTR fileName) {
    if (!fileName || !*fileName) {
        Trace("[Module] LoadLibraryW: no file name");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::string host = LibraryHostPath(fileName);
    struct stat st {};
    if (stat(host.c_str(), &st) != 0) {
        Trace("[Module] LoadLibraryW %s: no such file %s", fileName, host.c_str());
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        Trace("[Module] LoadLibraryW %s: %s is not a file", fileName, host.c_str());
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    void* handle = kLoader.open(host.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        Trace("[Module] LoadLibraryW %s: cannot load: %s", fileName, LoaderError());
        SetLastError(ERROR_BAD_EXE_FORMAT);
        return nullptr;
    }
    ModuleTable& t = Modules();
    std::lock_guard<std::mutex> g(t.lock);
    ++t.loads[handle];
    return static_cast<HMODULE>(handle);
}

FARPROC GetProcAddress(HMODULE module, const char* procName) {
    if (!module || !IsLoaded(module)) {
        Trace("[Module] GetProcAddress %s: invalid module handle", procName ? procName : "(null)");
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!procName || !*procName) {
        Trace("[Module] GetProcAddress: no export name");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    kLoader.error();  // clear a stale message
    void* sym = kLoader.sym(module, procName);
    if (!sym) {
        Trace("[Module] GetProcAddress %s: no such export", procName);
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(sym);
}

FARPROC GetProcAddressW(HMODULE module, LPCWSTR procName) {
    if (!procName) return GetProcAddress(module, nullptr);
    return GetProcAddress(module, ToUtf8(procName).c_str());
}

BOOL FreeLibrary(HMODULE module) {
    ModuleTable& t = Modules();
    {
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.loads.find(module);
        if (it == t.loads.end()) {
            Trace("[Module] FreeLibrary: invalid module handle");
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (--it->second == 0) t.loads.erase(it);
    }
    if (kLoader.close(module) != 0) {
        Trace("[Module] FreeLibrary: cannot unload: %s", LoaderError());
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}
