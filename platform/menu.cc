// Menu handles and their items, and menus loaded from RT_MENU resources. Every menu lives in one
// table under one lock; a handle is a number that is never reused, so a stale handle is refused
// instead of reaching freed memory.
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/menu.h"
#include "platform/resource.h"
#include "platform/trace.h"

namespace {

constexpr size_t kMaxMenus = 65536;          // live menus one process may hold
constexpr size_t kMaxItems = 1024;           // items one menu may hold
constexpr int kMaxTemplateDepth = 8;         // pop-up nesting a menu resource may have
constexpr UINT kNotFound = 0xFFFFFFFFu;      // the Win32 answer for a missing item
constexpr uintptr_t kHandleBase = 0x4D0000;  // first handle value; handles step by 4
constexpr UINT kItemFlags = MF_GRAYED | MF_DISABLED | MF_CHECKED | MF_POPUP | MF_SEPARATOR;
constexpr UINT kUnsupported = 0x0004 | 0x0100;  // MF_BITMAP, MF_OWNERDRAW

struct MenuItem {
    UINT flags;    // MF_GRAYED, MF_DISABLED, MF_CHECKED, MF_POPUP, MF_SEPARATOR
    UINT id;       // command; 0 for separators and pop-up items
    HMENU sub;     // the pop-up menu of an MF_POPUP item, owned by the item
    WString text;  // label
};

struct Menu {
    bool popup;                   // made by CreatePopupMenu
    HMENU parent;                 // the menu whose item owns this one, or null
    std::vector<MenuItem> items;  // in display order
};

struct MenuTable {
    std::mutex lock;                  // guards the table and every menu in it
    std::map<uintptr_t, Menu> menus;  // live menus by handle value
    uintptr_t next = kHandleBase;     // the next handle value
};

MenuTable& Table() {
    static MenuTable* t = new MenuTable;  // outlives static destructors
    return *t;
}

uintptr_t Key(HMENU h) {
    return reinterpret_cast<uintptr_t>(h);
}

// The live menu behind h, or null with ERROR_INVALID_HANDLE; table lock held.
Menu* FindLocked(MenuTable& t, HMENU h, const char* caller) {
    auto it = h ? t.menus.find(Key(h)) : t.menus.end();
    if (it != t.menus.end()) return &it->second;
    Trace("[Menu] %s: %p is not a menu", caller, static_cast<void*>(h));
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
}

HMENU NewMenuLocked(MenuTable& t, bool popup) {
    if (t.menus.size() >= kMaxMenus) {
        Trace("[Menu] CreateMenu: %zu menus exist, no more", t.menus.size());
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    HMENU h = reinterpret_cast<HMENU>(t.next);
    t.next += 4;
    t.menus[Key(h)] = Menu{popup, nullptr, {}};
    return h;
}

// Destroys h and the pop-up menus below it; table lock held.
void DestroyLocked(MenuTable& t, HMENU h) {
    auto it = t.menus.find(Key(h));
    if (it == t.menus.end()) return;
    std::vector<HMENU> subs;
    for (const MenuItem& item : it->second.items) {
        if (item.sub) subs.push_back(item.sub);
    }
    t.menus.erase(it);
    for (HMENU s : subs) DestroyLocked(t, s);
}

bool IsMenuLocked(MenuTable& t, HMENU h) {
    return h && t.menus.count(Key(h)) != 0;
}

// Where an item lives: its menu and its index there.
struct ItemRef {
    Menu* menu;    // null when there is no such item
    HMENU handle;  // the menu's handle
    size_t index;  // the item's position in it
};

// The item with command id in m or in its pop-up menus, depth first; table lock held.
ItemRef FindCommandLocked(MenuTable& t, HMENU h, Menu* m, UINT id) {
    for (size_t i = 0; i < m->items.size(); ++i) {
        const MenuItem& item = m->items[i];
        if (item.sub) {
            auto it = t.menus.find(Key(item.sub));
            if (it == t.menus.end()) continue;
            ItemRef r = FindCommandLocked(t, item.sub, &it->second, id);
            if (r.menu) return r;
        } else if (!(item.flags & MF_SEPARATOR) && item.id == id) {
            return {m, h, i};
        }
    }
    return {nullptr, nullptr, 0};
}

// The item at position (MF_BYPOSITION) or with that command in h; table lock held.
ItemRef FindItemLocked(MenuTable& t, HMENU h, UINT position, UINT flags, const char* caller) {
    Menu* m = FindLocked(t, h, caller);
    if (!m) return {nullptr, nullptr, 0};
    if (flags & MF_BYPOSITION) {
        return position < m->items.size() ? ItemRef{m, h, position} : ItemRef{nullptr, nullptr, 0};
    }
    return FindCommandLocked(t, h, m, position);
}

// Builds an item for AppendMenu / InsertMenu, taking ownership of a pop-up menu; false with a trace
// when the flags or the pop-up menu are not acceptable. Table lock held.
bool MakeItemLocked(MenuTable& t, HMENU menu, UINT flags, UINT_PTR idOrMenu, LPCWSTR text,
                    MenuItem* out, const char* caller) {
    if (flags & kUnsupported) {
        Trace("[Menu] %s: item flags 0x%x are not supported", caller, flags);
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    *out = MenuItem{flags & kItemFlags, 0, nullptr, WString()};
    if (flags & MF_SEPARATOR) {
        out->flags &= ~MF_POPUP;
        return true;
    }
    if (text) out->text = text;
    if (!(flags & MF_POPUP)) {
        out->id = static_cast<UINT>(idOrMenu);
        return true;
    }
    HMENU sub = reinterpret_cast<HMENU>(idOrMenu);
    Menu* s = FindLocked(t, sub, caller);
    if (!s) return false;
    // A pop-up menu belongs to one item, and a menu may not contain itself.
    bool cycle = false;
    for (HMENU up = menu; up && !cycle;) {
        if (up == sub) cycle = true;
        auto it = t.menus.find(Key(up));
        up = it == t.menus.end() ? nullptr : it->second.parent;
    }
    if (s->parent || cycle) {
        Trace("[Menu] %s: pop-up menu %p already belongs to a menu", caller,
              static_cast<void*>(sub));
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    s->parent = menu;
    out->sub = sub;
    return true;
}

bool InsertAt(HMENU menu, size_t index, bool append, UINT flags, UINT_PTR idOrMenu, LPCWSTR text,
              const char* caller) {
    MenuTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    Menu* m = FindLocked(t, menu, caller);
    if (!m) return false;
    if (m->items.size() >= kMaxItems) {
        Trace("[Menu] %s: menu %p already holds %zu items", caller, static_cast<void*>(menu),
              m->items.size());
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    MenuItem item;
    if (!MakeItemLocked(t, menu, flags, idOrMenu, text, &item, caller)) return false;
    if (append || index > m->items.size()) index = m->items.size();
    m->items.insert(m->items.begin() + static_cast<ptrdiff_t>(index), std::move(item));
    return true;
}

BOOL TakeOut(HMENU menu, UINT position, UINT flags, bool destroySub, const char* caller) {
    MenuTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    ItemRef r = FindItemLocked(t, menu, position, flags, caller);
    if (!r.menu) {
        if (IsMenuLocked(t, menu)) SetLastError(ERROR_INVALID_PARAMETER);  // no such item
        return FALSE;
    }
    HMENU sub = r.menu->items[r.index].sub;
    r.menu->items.erase(r.menu->items.begin() + static_cast<ptrdiff_t>(r.index));
    if (sub && destroySub) {
        DestroyLocked(t, sub);
    } else if (sub) {
        auto it = t.menus.find(Key(sub));
        if (it != t.menus.end()) it->second.parent = nullptr;
    }
    return TRUE;
}

// Replaces the mask bits of an item's flags with those of flags; the previous bits, or kNotFound
// when there is no such item.
DWORD ChangeFlags(HMENU menu, UINT idItem, UINT flags, UINT mask, const char* caller) {
    MenuTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    ItemRef r = FindItemLocked(t, menu, idItem, flags, caller);
    if (!r.menu) return kNotFound;
    MenuItem& item = r.menu->items[r.index];
    DWORD previous = item.flags & mask;
    item.flags = (item.flags & ~mask) | (flags & mask);
    return previous;
}

// Reads one list of a menu template into menu, up to and including its MF_END item.
bool ParseTemplateList(const MenuTemplateItem* items, size_t count, size_t* pos, HMENU menu,
                       int depth, bool topLevel) {
    if (depth > kMaxTemplateDepth) {
        Trace("[Menu] LoadMenu: pop-up menus nest deeper than %d", kMaxTemplateDepth);
        return false;
    }
    size_t first = *pos;
    for (;;) {
        if (*pos >= count) {
            // The data may end the top-level list; every pop-up list needs its MF_END.
            if (topLevel && *pos > first) return true;
            Trace("[Menu] LoadMenu: item list at %zu has no MF_END item", first);
            return false;
        }
        const MenuTemplateItem& item = items[(*pos)++];
        UINT flags = item.flags & ~MF_END;
        if (flags & MF_POPUP) {
            HMENU sub = CreatePopupMenu();
            if (!sub) return false;
            if (!ParseTemplateList(items, count, pos, sub, depth + 1, false) ||
                !AppendMenuW(menu, flags, reinterpret_cast<UINT_PTR>(sub), item.text)) {
                DestroyMenu(sub);
                return false;
            }
        } else if (!AppendMenuW(menu, flags, item.id, item.text)) {
            return false;
        }
        if (item.flags & MF_END) return true;
    }
}

}  // namespace

HMENU CreateMenu() {
    MenuTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    return NewMenuLocked(t, false);
}

HMENU CreatePopupMenu() {
    MenuTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    return NewMenuLocked(t, true);
}

BOOL DestroyMenu(HMENU menu) {
    MenuTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    Menu* m = FindLocked(t, menu, "DestroyMenu");
    if (!m) return FALSE;
    // An item whose pop-up menu is destroyed keeps its place without a menu.
    if (m->parent) {
        auto it = t.menus.find(Key(m->parent));
        if (it != t.menus.end()) {
            for (MenuItem& item : it->second.items) {
                if (item.sub == menu) item.sub = nullptr;
            }
        }
    }
    DestroyLocked(t, menu);
    return TRUE;
}

BOOL IsMenu(HMENU menu) {
    MenuTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    return IsMenuLocked(t, menu) ? TRUE : FALSE;
}

BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR idOrMenu, LPCWSTR text) {
    return InsertAt(menu, 0, true, flags, idOrMenu, text, "AppendMenu") ? TRUE : FALSE;
}

BOOL InsertMenuW(HMENU menu, UINT position, UINT flags, UINT_PTR idOrMenu, LPCWSTR text) {
    flags &= ~MF_END;
    if (flags & MF_BYPOSITION) {
        bool append = position == kNotFound;
        return InsertAt(menu, position, append, flags & ~MF_BYPOSITION, idOrMenu, text,
                        "InsertMenu")
                   ? TRUE
                   : FALSE;
    }
    // By command: before that item, in whichever menu holds it.
    ItemRef r;
    {
        MenuTable& t = Table();
        std::lock_guard<std::mutex> g(t.lock);
        r = FindItemLocked(t, menu, position, flags, "InsertMenu");
        if (!r.menu) {
            if (IsMenuLocked(t, menu)) SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    }
    return InsertAt(r.handle, r.index, false, flags, idOrMenu, text, "InsertMenu") ? TRUE : FALSE;
}

BOOL DeleteMenu(HMENU menu, UINT position, UINT flags) {
    return TakeOut(menu, position, flags, true, "DeleteMenu");
}

BOOL RemoveMenu(HMENU menu, UINT position, UINT flags) {
    return TakeOut(menu, position, flags, false, "RemoveMenu");
}

DWORD EnableMenuItem(HMENU menu, UINT idItem, UINT enable) {
    return ChangeFlags(menu, idItem, enable, MF_GRAYED | MF_DISABLED, "EnableMenuItem");
}

DWORD CheckMenuItem(HMENU menu, UINT idItem, UINT check) {
    return ChangeFlags(menu, idItem, check, MF_CHECKED, "CheckMenuItem");
}

HMENU GetSubMenu(HMENU menu, int position) {
    MenuTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    Menu* m = FindLocked(t, menu, "GetSubMenu");
    if (!m || position < 0 || static_cast<size_t>(position) >= m->items.size()) return nullptr;
    return m->items[static_cast<size_t>(position)].sub;
}

int GetMenuItemCount(HMENU menu) {
    MenuTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    Menu* m = FindLocked(t, menu, "GetMenuItemCount");
    return m ? static_cast<int>(m->items.size()) : -1;
}

UINT GetMenuItemID(HMENU menu, int position) {
    MenuTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    Menu* m = FindLocked(t, menu, "GetMenuItemID");
    if (!m || position < 0 || static_cast<size_t>(position) >= m->items.size()) return kNotFound;
    const MenuItem& item = m->items[static_cast<size_t>(position)];
    return (item.flags & MF_POPUP) ? kNotFound : item.id;
}

UINT GetMenuState(HMENU menu, UINT id, UINT flags) {
    MenuTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    ItemRef r = FindItemLocked(t, menu, id, flags, "GetMenuState");
    if (!r.menu) return kNotFound;
    const MenuItem& item = r.menu->items[r.index];
    if (!(item.flags & MF_POPUP)) return item.flags;
    auto it = item.sub ? t.menus.find(Key(item.sub)) : t.menus.end();
    UINT count = it == t.menus.end() ? 0 : static_cast<UINT>(it->second.items.size());
    return (std::min(count, 0xFFu) << 8) | (item.flags & 0xFF);
}

int GetMenuStringW(HMENU menu, UINT id, LPWSTR text, int cap, UINT flags) {
    MenuTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    ItemRef r = FindItemLocked(t, menu, id, flags, "GetMenuString");
    if (!r.menu) return 0;
    const WString& s = r.menu->items[r.index].text;
    if (!text) return static_cast<int>(s.size());
    if (cap <= 0) return 0;
    return static_cast<int>(WStrCopyN(text, s.c_str(), static_cast<size_t>(cap)));
}

HMENU LoadMenuW(HINSTANCE instance, LPCWSTR name) {
    HRSRC res = FindResourceW(instance, name, RT_MENU);
    HGLOBAL data = res ? LoadResource(instance, res) : nullptr;
    const void* bytes = data ? LockResource(data) : nullptr;
    DWORD size = res ? SizeofResource(instance, res) : 0;
    std::string label =
        IS_INTRESOURCE(name) ? std::to_string(reinterpret_cast<uintptr_t>(name)) : ToUtf8(name);
    if (!bytes || size == 0) {
        Trace("[Menu] LoadMenu: no menu resource %s", label.c_str());
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (size % sizeof(MenuTemplateItem) != 0) {
        Trace("[Menu] LoadMenu: menu resource %s has %u bytes, not whole items", label.c_str(),
              static_cast<unsigned>(size));
        SetLastError(ERROR_BAD_FORMAT);
        return nullptr;
    }
    const auto* items = static_cast<const MenuTemplateItem*>(bytes);
    size_t count = size / sizeof(MenuTemplateItem);
    HMENU menu = CreateMenu();
    if (!menu) return nullptr;
    size_t pos = 0;
    bool ok = ParseTemplateList(items, count, &pos, menu, 0, true);
    if (ok && pos != count) {
        Trace("[Menu] LoadMenu: menu resource %s has %zu items after its end", label.c_str(),
              count - pos);
        ok = false;
    }
    if (!ok) {
        Trace("[Menu] LoadMenu: menu resource %s is malformed", label.c_str());
        DestroyMenu(menu);
        SetLastError(ERROR_BAD_FORMAT);
        return nullptr;
    }
    return menu;
}
