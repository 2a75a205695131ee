#include "platform/handle.h"

#include <mutex>
#include <unordered_map>

namespace {

struct HandleTable {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<KernelObject>> objects;
    uintptr_t next = 0x100;  // handle values are never reused and never look like pointers
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // outlives every static destructor
    return *table;
}

thread_local DWORD t_lastError = 0;

}  // namespace

DWORD GetLastError() {
    return t_lastError;
}
void SetLastError(DWORD err) {
    t_lastError = err;
}

HANDLE NewHandle(std::shared_ptr<KernelObject> obj) {
    if (!obj) return nullptr;
    HandleTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(obj));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE h) {
    HandleTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.objects.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

BOOL CloseHandle(HANDLE h) {
    std::shared_ptr<KernelObject> victim;
    HandleTable& t = Table();
    {
        std::lock_guard<std::mutex> g(t.lock);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
        if (it == t.objects.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        victim = std::move(it->second);
        t.objects.erase(it);
    }
    // The object's destructor runs outside the table lock, so it may close other handles.
    victim.reset();
    return TRUE;
}
