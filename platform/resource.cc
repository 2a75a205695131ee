#include "platform/resource.h"

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/trace.h"
#include "platform/wstr.h"

namespace {

// The resource table of one module.
struct ModuleTable {
    HINSTANCE module;              // the module
    const ResourceEntry* entries;  // its resources
    size_t count;                  // how many
};

// Every module's table. Never destroyed, so that a thread still running while the process
// exits finds it intact.
struct Registry {
    std::mutex lock;                   // guards modules
    std::vector<ModuleTable> modules;  // one per module with resources
};
Registry& Modules() {
    static Registry* registry = new Registry;
    return *registry;
}

constexpr UINT kMaxId = 0xFFFF;

// A type or name for the trace: "RT_DIALOG", "#123" or the string itself.
std::string Describe(LPCWSTR name) {
    if (!name) return "(null)";
    if (!IS_INTRESOURCE(name)) return ToUtf8(name);
    switch (reinterpret_cast<ULONG_PTR>(name)) {
        case 3:
            return "RT_ICON";
        case 4:
            return "RT_MENU";
        case 5:
            return "RT_DIALOG";
        case 6:
            return "RT_STRING";
        case 10:
            return "RT_RCDATA";
        default:
            return "#" + std::to_string(reinterpret_cast<ULONG_PTR>(name));
    }
}

bool SameType(LPCWSTR a, LPCWSTR b) {
    if (IS_INTRESOURCE(a) || IS_INTRESOURCE(b)) return a == b;
    return WStrICmp(a, b) == 0;
}

// The number a resource name stands for ("#123" counts as 123); 0 when it names none.
UINT NameToId(LPCWSTR name) {
    if (IS_INTRESOURCE(name)) return static_cast<UINT>(reinterpret_cast<ULONG_PTR>(name));
    if (name[0] != u'#' || name[1] == 0) return 0;
    UINT id = 0;
    for (LPCWSTR p = name + 1; *p; ++p) {
        if (*p < u'0' || *p > u'9') return 0;
        id = id * 10 + static_cast<UINT>(*p - u'0');
        if (id > kMaxId) return 0;
    }
    return id;
}

// Why entry e of a table cannot be registered, or null when it can.
const char* EntryProblem(const ResourceEntry* entries, size_t e) {
    const ResourceEntry& r = entries[e];
    if (!r.type) return "has no type";
    if (r.id == 0 || r.id > kMaxId) return "has an identifier outside 1 to 65535";
    if (!r.data) return "has no data";
    if (SameType(r.type, RT_STRING)) {
        const WCHAR* text = static_cast<const WCHAR*>(r.data);
        if (r.size % sizeof(WCHAR) != 0 || text[r.size / sizeof(WCHAR)] != 0)
            return "is a string whose size does not match its text";
    }
    for (size_t i = 0; i < e; ++i) {
        if (entries[i].id == r.id && entries[i].type && SameType(entries[i].type, r.type))
            return "repeats an earlier type and identifier";
    }
    return nullptr;
}

// The table of module; null when it has none. Caller holds the registry's lock.
const ModuleTable* TableOf(HINSTANCE module) {
    for (const ModuleTable& t : Modules().modules) {
        if (t.module == module) return &t;
    }
    return nullptr;
}

// The entry of module that resource points at; null (ERROR_INVALID_HANDLE) when it is none.
const ResourceEntry* CheckedEntry(HINSTANCE module, HRSRC resource, const char* caller) {
    const auto* p = reinterpret_cast<const ResourceEntry*>(resource);
    {
        std::lock_guard<std::mutex> lock(Modules().lock);
        if (const ModuleTable* t = TableOf(module)) {
            // Compared as positions, so a made-up handle is never read.
            const std::less<const ResourceEntry*> before;
            for (size_t i = 0; i < t->count; ++i) {
                if (!before(p, t->entries + i) && !before(t->entries + i, p)) return p;
            }
        }
    }
    Trace("[Resource] %s: %p is not a resource of module %p", caller,
          static_cast<const void*>(resource), static_cast<const void*>(module));
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

// The entry of type and id in module; null with the last error set and traced.
const ResourceEntry* Find(HINSTANCE module, UINT id, LPCWSTR type) {
    DWORD error = ERROR_RESOURCE_DATA_NOT_FOUND;
    {
        std::lock_guard<std::mutex> lock(Modules().lock);
        if (const ModuleTable* t = TableOf(module)) {
            error = ERROR_RESOURCE_TYPE_NOT_FOUND;
            for (size_t i = 0; i < t->count; ++i) {
                const ResourceEntry& r = t->entries[i];
                if (!SameType(r.type, type)) continue;
                if (r.id == id) return &r;
                error = ERROR_RESOURCE_NAME_NOT_FOUND;
            }
        }
    }
    if (error == ERROR_RESOURCE_DATA_NOT_FOUND) {
        Trace("[Resource] module %p has no resources (looking for %s %u)",
              static_cast<const void*>(module), Describe(type).c_str(), id);
    } else {
        Trace("[Resource] module %p has no %s %u", static_cast<const void*>(module),
              Describe(type).c_str(), id);
    }
    SetLastError(error);
    return nullptr;
}

}  // namespace

BOOL RegisterModuleResources(HINSTANCE module, const ResourceEntry* entries, size_t count) {
    if (count > 0 && !entries) {
        Trace("[Resource] module %p: a table of %zu resources without entries",
              static_cast<const void*>(module), count);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (size_t e = 0; e < count; ++e) {
        if (const char* problem = EntryProblem(entries, e)) {
            Trace("[Resource] module %p: entry %zu (%s %u) %s; nothing registered",
                  static_cast<const void*>(module), e, Describe(entries[e].type).c_str(),
                  entries[e].id, problem);
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    std::lock_guard<std::mutex> lock(Modules().lock);
    std::vector<ModuleTable>& modules = Modules().modules;
    std::erase_if(modules, [module](const ModuleTable& t) { return t.module == module; });
    if (count > 0) modules.push_back({module, entries, count});
    return TRUE;
}

HRSRC FindResourceW(HINSTANCE module, LPCWSTR name, LPCWSTR type) {
    if (!name || !type) {
        Trace("[Resource] FindResource: no %s given", name ? "type" : "name");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const UINT id = NameToId(name);
    if (id == 0) {
        Trace("[Resource] module %p has no %s named %s", static_cast<const void*>(module),
              Describe(type).c_str(), Describe(name).c_str());
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    const ResourceEntry* r = Find(module, id, type);
    return reinterpret_cast<HRSRC>(const_cast<ResourceEntry*>(r));
}

HGLOBAL LoadResource(HINSTANCE module, HRSRC resource) {
    const ResourceEntry* r = CheckedEntry(module, resource, "LoadResource");
    return r ? const_cast<void*>(r->data) : nullptr;
}

LPVOID LockResource(HGLOBAL data) {
    return data;
}

DWORD SizeofResource(HINSTANCE module, HRSRC resource) {
    const ResourceEntry* r = CheckedEntry(module, resource, "SizeofResource");
    return r ? r->size : 0;
}

int LoadStringW(HINSTANCE module, UINT id, LPWSTR buffer, int cap) {
    if (!buffer || cap < 0) {
        Trace("[Resource] LoadString %u: no buffer", id);
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const ResourceEntry* r = id <= kMaxId ? Find(module, id, RT_STRING) : nullptr;
    if (!r) {
        if (id > kMaxId) {
            Trace("[Resource] LoadString: %u is not a string identifier", id);
            SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        }
        if (cap > 0) buffer[0] = 0;
        return 0;
    }
    const auto* text = static_cast<LPCWSTR>(r->data);
    const int length = static_cast<int>(r->size / sizeof(WCHAR));
    if (cap == 0) {
        std::memcpy(buffer, &text, sizeof text);  // the caller passed an LPCWSTR*
        return length;
    }
    const int copied = length < cap ? length : cap - 1;
    for (int i = 0; i < copied; ++i) buffer[i] = text[i];
    buffer[copied] = 0;
    return copied;
}

HICON LoadIconW(HINSTANCE module, LPCWSTR name) {
    HRSRC icon = FindResourceW(module, name, RT_ICON);
    return reinterpret_cast<HICON>(icon);
}
