// Window classes, the registry of windows, their long values, text, rectangles, show state,
// z-order and the foreground window.
//
// A window handle is an opaque 32-bit value: bits 16-30 are the process's slot (given by the
// remote window driver, so that a handle names its process everywhere) and bits 2-15 an
// index; the low bit stays free for the "window and its owned windows" form. The index
// starts at a random point and handles of destroyed windows are reused only after it has
// gone round, so a stale handle rarely meets a new window.
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <unordered_map>

#include "platform/trace.h"
#include "platform/win_internal.h"

namespace {

// Size of a top-level window created with CW_USEDEFAULT: the device's portrait screen.
constexpr int kDefaultWidth = 240;
constexpr int kDefaultHeight = 320;
constexpr uint32_t kMaxIndex = 0x3FFF;

struct WinState {
    std::mutex lock;
    std::unordered_map<uintptr_t, std::shared_ptr<Window>> windows;  // live windows by handle
    std::vector<HWND> zorder;   // top-level windows, topmost first
    HWND foreground = nullptr;  // the foreground window of this process
    std::map<WString, std::shared_ptr<WindowClass>> classes;  // by upper-cased name
    ATOM nextAtom = 0xC000;                                   // atoms of registered classes
    uint32_t nextIndex = RandomIndex();                       // next handle index to try
    RemoteWindowDriver driver = SocketWindowDriver();         // the remote window driver

    static uint32_t RandomIndex() { return std::random_device{}() % kMaxIndex + 1; }
};

WinState& State() {
    static WinState* s = new WinState;  // outlives static destructors and running threads
    return *s;
}

uintptr_t Key(HWND h) {
    return reinterpret_cast<uintptr_t>(h);
}

bool IsAtom(LPCWSTR name) {
    return reinterpret_cast<uintptr_t>(name) < 0x10000;
}

WString Fold(WStringView s) {
    WString out(s);
    for (auto& c : out) {
        if (c >= u'a' && c <= u'z') c = static_cast<WCHAR>(c - u'a' + u'A');
    }
    return out;
}

// The class named by name or atom; window lock held.
std::shared_ptr<WindowClass> FindClassLocked(WinState& s, LPCWSTR name) {
    if (!name) return nullptr;
    if (IsAtom(name)) {
        auto atom = static_cast<ATOM>(reinterpret_cast<uintptr_t>(name));
        for (auto& [key, cls] : s.classes) {
            if (cls->atom == atom) return cls;
        }
        return nullptr;
    }
    auto it = s.classes.find(Fold(name));
    return it == s.classes.end() ? nullptr : it->second;
}

// A live window; window lock held.
Window* FindLocked(WinState& s, HWND h) {
    auto it = s.windows.find(Key(h));
    return it == s.windows.end() ? nullptr : it->second.get();
}

// Bits 16-30 of this process's handles: its slot, else a tag derived from the process id.
// Called without the window lock (taking a slot touches the runtime folder).
uintptr_t HandleTag(const RemoteWindowDriver& driver) {
    uint32_t slot = driver.ProcessSlot ? driver.ProcessSlot() : 0;
    if (slot == 0 || slot > 0x7FFF) slot = static_cast<uint32_t>(getpid()) % 0x7FFF + 1;
    return static_cast<uintptr_t>(slot) << 16;
}

// A free handle, or null when every index is in use.
HWND AllocHandleLocked(WinState& s, uintptr_t tag) {
    for (uint32_t tries = 0; tries < kMaxIndex; ++tries) {
        uintptr_t value = tag | (static_cast<uintptr_t>(s.nextIndex) << 2);
        s.nextIndex = s.nextIndex >= kMaxIndex ? 1 : s.nextIndex + 1;
        if (!s.windows.count(value)) return reinterpret_cast<HWND>(value);
    }
    return nullptr;
}

void RaiseLocked(WinState& s, HWND h) {
    auto it = std::find(s.zorder.begin(), s.zorder.end(), h);
    if (it != s.zorder.end()) s.zorder.erase(it);
    s.zorder.insert(s.zorder.begin(), h);
}

// The windows owned by h, their owned windows and so on, lowest in the z-order first.
std::vector<HWND> OwnedLocked(WinState& s, HWND h) {
    std::vector<HWND> owners{h};
    std::vector<HWND> owned;
    for (size_t i = 0; i < owners.size(); ++i) {
        for (auto it = s.zorder.rbegin(); it != s.zorder.rend(); ++it) {
            Window* w = FindLocked(s, *it);
            if (w && w->owner == owners[i] && !w->destroying) {
                owners.push_back(*it);
                owned.push_back(*it);
            }
        }
    }
    std::sort(owned.begin(), owned.end(), [&](HWND a, HWND b) {
        auto pa = std::find(s.zorder.begin(), s.zorder.end(), a);
        auto pb = std::find(s.zorder.begin(), s.zorder.end(), b);
        return pa > pb;  // lower in the z-order first
    });
    return owned;
}

bool ShownLocked(const Window& w) {
    return (w.style & WS_VISIBLE) && !(w.style & WS_MINIMIZE) && !w.destroying;
}

// The topmost shown top-level window other than except, or null; window lock held.
HWND NextForegroundLocked(WinState& s, HWND except) {
    for (HWND h : s.zorder) {
        Window* w = FindLocked(s, h);
        if (h != except && w && ShownLocked(*w)) return h;
    }
    return nullptr;
}

const char* ShowCmdName(int cmd) {
    static const char* const kNames[] = {"SW_HIDE",     "SW_SHOWNORMAL",      "SW_SHOWMINIMIZED",
                                         "SW_MAXIMIZE", "SW_SHOWNOACTIVATE",  "SW_SHOW",
                                         "SW_MINIMIZE", "SW_SHOWMINNOACTIVE", "SW_SHOWNA",
                                         "SW_RESTORE",  "SW_SHOWDEFAULT",     "SW_FORCEMINIMIZE"};
    return cmd >= 0 && cmd <= 11 ? kNames[cmd] : "SW_?";
}

struct Activation {
    HWND from = nullptr;  // loses the foreground
    HWND to = nullptr;    // gains it
};

void NotifyActivation(const Activation& a) {
    if (a.from == a.to) return;
    if (a.from) Notify(a.from, WM_ACTIVATE, WA_INACTIVE, reinterpret_cast<LPARAM>(a.to));
    if (a.to) Notify(a.to, WM_ACTIVATE, WA_ACTIVE, reinterpret_cast<LPARAM>(a.from));
}

void Changed(HWND h, bool exists) {
    if (auto fn = State().driver.WindowChanged) fn(h, exists);
}

std::atomic<const ScreenHooks*> g_screenHooks{nullptr};  // the screen's entry points, if any

const ScreenHooks* Hooks() {
    return g_screenHooks.load(std::memory_order_acquire);
}

// Tells the screen of a change; called outside every lock.
void ReportChange(const WindowChangeInfo& info) {
    const ScreenHooks* h = Hooks();
    if (h && h->WindowChanged) h->WindowChanged(info);
}

// The rectangle of w in screen coordinates (a child's is kept relative to its parent).
RECT ScreenRectLocked(WinState& s, const Window& w) {
    RECT r = w.rect;
    for (Window* p = w.parent ? FindLocked(s, w.parent) : nullptr; p;
         p = p->parent ? FindLocked(s, p->parent) : nullptr) {
        r.left += p->rect.left;
        r.right += p->rect.left;
        r.top += p->rect.top;
        r.bottom += p->rect.top;
    }
    return r;
}

// Whether w and every window above it are shown; window lock held.
bool OnScreenLocked(WinState& s, const Window& w) {
    for (const Window* p = &w; p; p = p->parent ? FindLocked(s, p->parent) : nullptr) {
        if (!ShownLocked(*p)) return false;
    }
    return true;
}

WindowChangeInfo ChangeInfoLocked(WinState& s, const Window& w, WindowChange change) {
    return WindowChangeInfo{w.hwnd, change, w.parent, ScreenRectLocked(s, w), OnScreenLocked(s, w)};
}

// Appends w and its descendants to out, a parent before its children; window lock held.
void AppendShapesLocked(WinState& s, const Window& w, std::vector<WindowShape>* out) {
    out->push_back(WindowShape{w.hwnd, w.parent, ScreenRectLocked(s, w), ShownLocked(w),
                               (w.style & WS_DISABLED) == 0});
    for (HWND c : w.children) {
        if (Window* cw = FindLocked(s, c)) AppendShapesLocked(s, *cw, out);
    }
}

// Applies one show command to one window, traces it and tells the window; returns whether
// the window was visible before. The foreground is the caller's concern.
bool ApplyShow(HWND h, int cmd) {
    WinState& s = State();
    DWORD before, after;
    RECT rect;
    std::string cls, title;
    WindowChangeInfo change;
    bool wasOn, isOn;
    {
        std::lock_guard<std::mutex> g(s.lock);
        Window* w = FindLocked(s, h);
        if (!w) return false;
        change = ChangeInfoLocked(s, *w, WindowChange::Shown);
        wasOn = ShownLocked(*w);
        before = w->style;
        DWORD style = before;
        switch (cmd) {
            case SW_HIDE:
                style &= ~WS_VISIBLE;
                break;
            case SW_SHOWNORMAL:
            case SW_RESTORE:
            case 10:  // SW_SHOWDEFAULT
                style = (style | WS_VISIBLE) & ~(WS_MINIMIZE | WS_MAXIMIZE);
                break;
            case SW_SHOWMAXIMIZED:
                style = (style | WS_VISIBLE | WS_MAXIMIZE) & ~WS_MINIMIZE;
                break;
            case SW_SHOWMINIMIZED:
            case SW_MINIMIZE:
            case SW_SHOWMINNOACTIVE:
            case 11:  // SW_FORCEMINIMIZE
                style = (style | WS_VISIBLE | WS_MINIMIZE) & ~WS_MAXIMIZE;
                break;
            default:  // SW_SHOW, SW_SHOWNA, SW_SHOWNOACTIVATE
                style |= WS_VISIBLE;
                break;
        }
        w->style = style;
        after = style;
        isOn = ShownLocked(*w);
        rect = w->rect;
        cls = ToUtf8(w->cls->name);
        title = ToUtf8(w->title);
    }
    Trace("[Platform] ShowWindow %p %s \"%s\": %s", static_cast<void*>(h), cls.c_str(),
          title.c_str(), ShowCmdName(cmd));
    if ((before ^ after) & WS_VISIBLE)
        Notify(h, WM_SHOWWINDOW, (after & WS_VISIBLE) ? TRUE : FALSE, 0);
    if ((before ^ after) & WS_MINIMIZE) {
        Notify(h, WM_SIZE, (after & WS_MINIMIZE) ? SIZE_MINIMIZED : SIZE_RESTORED,
               MAKELPARAM(static_cast<WORD>(rect.right - rect.left),
                          static_cast<WORD>(rect.bottom - rect.top)));
    }
    if (wasOn != isOn) {
        change.change = isOn ? WindowChange::Shown : WindowChange::Hidden;
        ReportChange(change);
    }
    return (before & WS_VISIBLE) != 0;
}

HWND StripLowBit(HWND h, bool* withOwned) {
    *withOwned = (Key(h) & 1) != 0;
    return reinterpret_cast<HWND>(Key(h) & ~uintptr_t{1});
}

}  // namespace

// ---- shared with msg_queue.cc ----------------------------------------------------------

std::shared_ptr<Window> LocalWindow(HWND hwnd) {
    if (!hwnd) return nullptr;
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    auto it = s.windows.find(Key(hwnd));
    return it == s.windows.end() ? nullptr : it->second;
}

WNDPROC WindowProcOf(HWND hwnd) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Window* w = FindLocked(s, hwnd);
    return w ? w->proc : nullptr;
}

std::vector<HWND> SelfAndDescendants(HWND hwnd) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    std::vector<HWND> out{hwnd};
    for (size_t i = 0; i < out.size(); ++i) {
        if (Window* w = FindLocked(s, out[i]))
            out.insert(out.end(), w->children.begin(), w->children.end());
    }
    return out;
}

void DropThreadWindows(DWORD threadId) {
    WinState& s = State();
    std::vector<HWND> dropped;
    std::vector<WindowChangeInfo> changes;
    {
        std::lock_guard<std::mutex> g(s.lock);
        for (auto& [key, w] : s.windows) {
            if (w->threadId == threadId)
                changes.push_back(ChangeInfoLocked(s, *w, WindowChange::Destroyed));
        }
        for (auto it = s.windows.begin(); it != s.windows.end();) {
            Window& w = *it->second;
            if (w.threadId != threadId) {
                ++it;
                continue;
            }
            w.destroying = w.destroyed = true;
            w.cls->windows--;
            dropped.push_back(w.hwnd);
            it = s.windows.erase(it);
        }
        for (HWND h : dropped) {
            s.zorder.erase(std::remove(s.zorder.begin(), s.zorder.end(), h), s.zorder.end());
            if (s.foreground == h) s.foreground = nullptr;
        }
        auto gone = [&](HWND c) {
            return std::find(dropped.begin(), dropped.end(), c) != dropped.end();
        };
        for (auto& [key, w] : s.windows) {  // survivors forget children that went
            w->children.erase(std::remove_if(w->children.begin(), w->children.end(), gone),
                              w->children.end());
        }
    }
    if (dropped.empty()) return;
    Trace("[Platform] thread %u ended with %u windows; they are gone",
          static_cast<unsigned>(threadId), static_cast<unsigned>(dropped.size()));
    for (HWND h : dropped) Changed(h, false);
    for (const WindowChangeInfo& c : changes) ReportChange(c);
}

const RemoteWindowDriver& Driver() {
    return State().driver;
}

void SetRemoteWindowDriver(const RemoteWindowDriver* driver) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    s.driver = driver ? *driver : SocketWindowDriver();
}

bool IsLocalWindow(HWND hwnd) {
    return LocalWindow(hwnd) != nullptr;
}

void SetScreenHooks(const ScreenHooks* hooks) {
    g_screenHooks.store(hooks, std::memory_order_release);
}

std::vector<WindowShape> SnapshotWindows() {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    std::vector<WindowShape> out;
    out.reserve(s.windows.size());
    for (HWND h : s.zorder) {
        if (Window* w = FindLocked(s, h)) AppendShapesLocked(s, *w, &out);
    }
    return out;
}

bool TakeEraseDue(HWND hwnd) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Window* w = FindLocked(s, hwnd);
    if (!w || !w->eraseDue) return false;
    w->eraseDue = false;
    return true;
}

// ---- classes ---------------------------------------------------------------------------

ATOM RegisterClassW(const WNDCLASSW* wc) {
    if (!wc || !wc->lpfnWndProc || !wc->lpszClassName || IsAtom(wc->lpszClassName) ||
        !*wc->lpszClassName || wc->cbWndExtra < 0 || wc->cbWndExtra > 4096) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    WString key = Fold(wc->lpszClassName);
    if (s.classes.count(key)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto cls = std::make_shared<WindowClass>();
    cls->name = wc->lpszClassName;
    cls->wc = *wc;
    cls->wc.lpszClassName = cls->name.c_str();
    cls->wc.lpszMenuName = nullptr;  // not kept: the caller's string may not outlive the class
    cls->atom = s.nextAtom++;
    cls->windows = 0;
    s.classes[key] = cls;
    return cls->atom;
}

BOOL UnregisterClassW(LPCWSTR className, HINSTANCE) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    auto cls = FindClassLocked(s, className);
    if (!cls) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (cls->windows > 0) {
        SetLastError(ERROR_ACCESS_DENIED);  // windows of the class still exist
        return FALSE;
    }
    s.classes.erase(Fold(cls->name));
    return TRUE;
}

BOOL GetClassInfoW(HINSTANCE, LPCWSTR className, WNDCLASSW* wc) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    auto cls = FindClassLocked(s, className);
    if (!cls || !wc) {
        SetLastError(cls ? ERROR_INVALID_PARAMETER : ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    *wc = cls->wc;
    return TRUE;
}

int GetClassNameW(HWND hwnd, LPWSTR name, int cap) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Window* w = FindLocked(s, hwnd);
    if (!w || !name || cap <= 0) {
        SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(WStrCopyN(name, w->cls->name.c_str(), static_cast<size_t>(cap)));
}

// ---- windows ---------------------------------------------------------------------------

HWND CreateWindowExW(DWORD exStyle, LPCWSTR className, LPCWSTR title, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
    WinState& s = State();
    auto w = std::make_shared<Window>();
    w->queue = CurrentQueue();
    w->threadId = GetCurrentThreadId();
    w->title = title ? WString(title) : WString();
    w->style = style;
    w->exStyle = exStyle;
    w->id = reinterpret_cast<LONG_PTR>(menu);
    w->userData = 0;
    w->instance = instance;
    w->destroying = w->destroyed = false;
    bool child = (style & WS_CHILD) != 0;
    if (child) {
        x = x == CW_USEDEFAULT ? 0 : x;
        y = y == CW_USEDEFAULT ? 0 : y;
        width = width == CW_USEDEFAULT ? 0 : width;
        height = height == CW_USEDEFAULT ? 0 : height;
    } else {
        if (x == CW_USEDEFAULT) x = y = 0;
        if (width == CW_USEDEFAULT) {
            width = kDefaultWidth;
            height = kDefaultHeight;
        }
    }
    w->rect = RECT{x, y, x + width, y + height};
    const uintptr_t tag = HandleTag(Driver());
    {
        std::lock_guard<std::mutex> g(s.lock);
        w->cls = FindClassLocked(s, className);
        if (!w->cls) {
            Trace("[Platform] CreateWindow: no window class %s",
                  IsAtom(className) ? "(atom)" : ToUtf8(className).c_str());
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        Window* p = parent ? FindLocked(s, parent) : nullptr;
        if (child && !p) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);  // a child needs a live parent here
            return nullptr;
        }
        // The owner of a top-level window is the top-level window above a given child.
        while (!child && p && (p->style & WS_CHILD) && p->parent) p = FindLocked(s, p->parent);
        w->parent = child ? parent : nullptr;
        w->owner = child ? nullptr : (p ? p->hwnd : parent);
        w->proc = w->cls->wc.lpfnWndProc;
        w->extra.assign(static_cast<size_t>(w->cls->wc.cbWndExtra), 0);
        w->hwnd = AllocHandleLocked(s, tag);
        if (!w->hwnd) {
            Trace("[Platform] CreateWindow: %u windows exist, no handle left", kMaxIndex);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        w->cls->windows++;
        s.windows[Key(w->hwnd)] = w;
        if (child) {
            FindLocked(s, parent)->children.push_back(w->hwnd);
        } else {
            s.zorder.insert(s.zorder.begin(), w->hwnd);
        }
    }
    HWND h = w->hwnd;
    Changed(h, true);
    CREATESTRUCTW cs{param,
                     instance,
                     menu,
                     parent,
                     height,
                     width,
                     y,
                     x,
                     static_cast<LONG>(style),
                     w->title.c_str(),
                     w->cls->name.c_str(),
                     exStyle};
    if (CallLocalProc(h, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(h);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if ((style & WS_VISIBLE) && IsWindow(h)) {
        Notify(h, WM_SHOWWINDOW, TRUE, 0);
        WindowChangeInfo shown{};
        bool report = false;
        {
            std::lock_guard<std::mutex> g(s.lock);
            if (Window* cw = FindLocked(s, h); cw && ShownLocked(*cw)) {
                shown = ChangeInfoLocked(s, *cw, WindowChange::Shown);
                shown.wasShown = false;
                report = true;
            }
        }
        if (report) ReportChange(shown);
    }
    return IsWindow(h) ? h : nullptr;
}

BOOL DestroyWindow(HWND hwnd) {
    WinState& s = State();
    auto w = LocalWindow(hwnd);
    if (!w) {
        bool remote = hwnd && Driver().IsWindow && Driver().IsWindow(hwnd);
        SetLastError(remote ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (w->threadId != GetCurrentThreadId()) {
        Trace("[Platform] DestroyWindow %p refused: the window belongs to thread %u",
              static_cast<void*>(hwnd), static_cast<unsigned>(w->threadId));
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    std::vector<HWND> owned;
    std::vector<HWND> children;
    WindowChangeInfo gone;
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (w->destroying) return TRUE;  // already on its way (DestroyWindow from WM_DESTROY)
        gone = ChangeInfoLocked(s, *w, WindowChange::Destroyed);
        w->destroying = true;
        owned = OwnedLocked(s, hwnd);
        children = w->children;
    }
    for (HWND o : owned) {
        auto ow = LocalWindow(o);
        if (!ow) continue;
        if (ow->threadId == GetCurrentThreadId()) {
            DestroyWindow(o);
        } else if (ow->owner == hwnd) {
            // Another thread's window outlives its owner; the windows it owns in turn keep it.
            {
                std::lock_guard<std::mutex> g(s.lock);
                ow->owner = nullptr;
            }
            PostMessageW(o, WM_NULL, 0, 0);  // wakes its thread: a modal loop there may end
        }
    }
    CallLocalProc(hwnd, WM_DESTROY, 0, 0);
    for (HWND c : children) DestroyWindow(c);
    CallLocalProc(hwnd, WM_NCDESTROY, 0, 0);
    ForgetWindowInQueue(*w->queue, hwnd);
    Activation act;
    {
        std::lock_guard<std::mutex> g(s.lock);
        s.windows.erase(Key(hwnd));
        s.zorder.erase(std::remove(s.zorder.begin(), s.zorder.end(), hwnd), s.zorder.end());
        if (Window* p = w->parent ? FindLocked(s, w->parent) : nullptr) {
            p->children.erase(std::remove(p->children.begin(), p->children.end(), hwnd),
                              p->children.end());
        }
        w->destroyed = true;
        w->cls->windows--;
        if (s.foreground == hwnd) {
            Window* o = w->owner ? FindLocked(s, w->owner) : nullptr;
            s.foreground = o && ShownLocked(*o) ? o->hwnd : NextForegroundLocked(s, nullptr);
            act.to = s.foreground;
        }
    }
    Changed(hwnd, false);
    ReportChange(gone);
    if (act.to) Notify(act.to, WM_ACTIVATE, WA_ACTIVE, 0);
    return TRUE;
}

BOOL IsWindow(HWND hwnd) {
    if (!hwnd) return FALSE;
    if (LocalWindow(hwnd)) return TRUE;
    return Driver().IsWindow && Driver().IsWindow(hwnd) ? TRUE : FALSE;
}

LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    return proc ? proc(hwnd, msg, wParam, lParam) : 0;
}

LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    WinState& s = State();
    switch (msg) {
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_SETTEXT: {
            {
                std::lock_guard<std::mutex> g(s.lock);
                Window* w = FindLocked(s, hwnd);
                if (!w) return FALSE;
                auto text = reinterpret_cast<LPCWSTR>(lParam);
                w->title = text ? WString(text) : WString();
            }
            Changed(hwnd, true);
            return TRUE;
        }
        case WM_GETTEXT: {
            std::lock_guard<std::mutex> g(s.lock);
            Window* w = FindLocked(s, hwnd);
            auto* buf = reinterpret_cast<LPWSTR>(lParam);
            if (!w || !buf || wParam == 0) return 0;
            return static_cast<LRESULT>(WStrCopyN(buf, w->title.c_str(), wParam));
        }
        case WM_GETTEXTLENGTH: {
            std::lock_guard<std::mutex> g(s.lock);
            Window* w = FindLocked(s, hwnd);
            return w ? static_cast<LRESULT>(w->title.size()) : 0;
        }
        case WM_PAINT: {
            const ScreenHooks* h = Hooks();
            if (h && h->DefaultPaint) {
                h->DefaultPaint(hwnd);  // begins and ends painting: the background is erased
            } else {
                MarkForPaint(hwnd, false);  // nothing to draw: the window counts as painted
            }
            return 0;
        }
        case WM_ERASEBKGND: {
            const ScreenHooks* h = Hooks();
            return h && h->EraseBackground ? h->EraseBackground(hwnd, wParam) : 0;
        }
        default:
            return 0;
    }
}

HWND FindWindowW(LPCWSTR className, LPCWSTR title) {
    WinState& s = State();
    {
        std::lock_guard<std::mutex> g(s.lock);
        std::shared_ptr<WindowClass> cls;
        if (className) {
            cls = FindClassLocked(s, className);
        }
        if (!className || cls) {
            for (HWND h : s.zorder) {
                Window* w = FindLocked(s, h);
                if (!w || w->destroying) continue;
                if (cls && w->cls != cls) continue;
                if (title && WStrICmp(w->title.c_str(), title) != 0) continue;
                return h;
            }
        }
    }
    if (Driver().FindWindow) return Driver().FindWindow(className, title);
    SetLastError(ERROR_SUCCESS);
    return nullptr;
}

// ---- long values -----------------------------------------------------------------------

namespace {

// Reads (set false) or replaces (set true) one long value; false for a bad index.
bool AccessLong(HWND hwnd, int index, size_t size, bool set, LONG_PTR value, LONG_PTR* old) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Window* w = FindLocked(s, hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (index >= 0) {
        if (static_cast<size_t>(index) + size > w->extra.size()) {
            SetLastError(ERROR_INVALID_INDEX);
            return false;
        }
        if (size == sizeof(LONG)) {
            LONG v;
            memcpy(&v, &w->extra[static_cast<size_t>(index)], sizeof v);
            *old = v;
            if (set) {
                v = static_cast<LONG>(value);
                memcpy(&w->extra[static_cast<size_t>(index)], &v, sizeof v);
            }
        } else {
            LONG_PTR v;
            memcpy(&v, &w->extra[static_cast<size_t>(index)], sizeof v);
            *old = v;
            if (set) memcpy(&w->extra[static_cast<size_t>(index)], &value, sizeof value);
        }
        return true;
    }
    switch (index) {
        case GWL_WNDPROC:
            *old = reinterpret_cast<LONG_PTR>(w->proc);
            if (set) {
                if (!value) {
                    SetLastError(ERROR_INVALID_PARAMETER);
                    return false;
                }
                w->proc = reinterpret_cast<WNDPROC>(value);
            }
            return true;
        case GWL_HINSTANCE:
            *old = reinterpret_cast<LONG_PTR>(w->instance);
            if (set) w->instance = reinterpret_cast<HINSTANCE>(value);
            return true;
        case GWL_HWNDPARENT:
            *old = reinterpret_cast<LONG_PTR>(w->parent ? w->parent : w->owner);
            if (set && !w->parent) w->owner = reinterpret_cast<HWND>(value);
            return true;
        case GWL_ID:
            *old = w->id;
            if (set) w->id = value;
            return true;
        case GWL_STYLE:
            *old = static_cast<LONG_PTR>(w->style);
            if (set) w->style = static_cast<DWORD>(value);
            return true;
        case GWL_EXSTYLE:
            *old = static_cast<LONG_PTR>(w->exStyle);
            if (set) w->exStyle = static_cast<DWORD>(value);
            return true;
        case GWL_USERDATA:
            *old = w->userData;
            if (set) w->userData = value;
            return true;
        default:
            SetLastError(ERROR_INVALID_INDEX);
            return false;
    }
}

}  // namespace

LONG GetWindowLongW(HWND hwnd, int index) {
    LONG_PTR v = 0;
    return AccessLong(hwnd, index, sizeof(LONG), false, 0, &v) ? static_cast<LONG>(v) : 0;
}

LONG SetWindowLongW(HWND hwnd, int index, LONG value) {
    SetLastError(ERROR_SUCCESS);
    LONG_PTR v = 0;
    return AccessLong(hwnd, index, sizeof(LONG), true, value, &v) ? static_cast<LONG>(v) : 0;
}

LONG_PTR GetWindowLongPtrW(HWND hwnd, int index) {
    LONG_PTR v = 0;
    return AccessLong(hwnd, index, sizeof(LONG_PTR), false, 0, &v) ? v : 0;
}

LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value) {
    SetLastError(ERROR_SUCCESS);
    LONG_PTR v = 0;
    return AccessLong(hwnd, index, sizeof(LONG_PTR), true, value, &v) ? v : 0;
}

// ---- relations -------------------------------------------------------------------------

HWND GetParent(HWND hwnd) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Window* w = FindLocked(s, hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    if (w->style & WS_CHILD) return w->parent;
    return (w->style & WS_POPUP) ? w->owner : nullptr;
}

HWND GetWindow(HWND hwnd, UINT cmd) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Window* w = FindLocked(s, hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    switch (cmd) {
        case GW_OWNER:
            return w->owner;
        case GW_CHILD:
            return w->children.empty() ? nullptr : w->children.front();
        case GW_HWNDNEXT: {
            Window* p = w->parent ? FindLocked(s, w->parent) : nullptr;
            const std::vector<HWND>& list = p ? p->children : s.zorder;
            auto it = std::find(list.begin(), list.end(), hwnd);
            return it != list.end() && it + 1 != list.end() ? *(it + 1) : nullptr;
        }
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
    }
}

BOOL IsChild(HWND parent, HWND hwnd) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Window* w = FindLocked(s, hwnd);
    while (w && (w->style & WS_CHILD) && w->parent) {
        if (w->parent == parent) return TRUE;
        w = FindLocked(s, w->parent);
    }
    return FALSE;
}

namespace {

// The process id, asked of the system once and again in a forked child only: the message
// paths ask for it on every call.
std::atomic<DWORD> g_processId{0};

void RefreshProcessId() {
    g_processId.store(static_cast<DWORD>(getpid()));
}

}  // namespace

DWORD GetCurrentProcessId() {
    static const bool watched = [] {
        pthread_atfork(nullptr, nullptr, RefreshProcessId);
        RefreshProcessId();
        return true;
    }();
    (void)watched;
    return g_processId.load(std::memory_order_relaxed);
}

DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* processId) {
    if (auto w = LocalWindow(hwnd)) {
        if (processId) *processId = GetCurrentProcessId();
        return w->threadId;
    }
    if (hwnd && Driver().GetWindowThreadProcessId) {
        return Driver().GetWindowThreadProcessId(hwnd, processId);
    }
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
}

// ---- text, rectangle, enabled state ----------------------------------------------------

int GetWindowTextW(HWND hwnd, LPWSTR text, int cap) {
    if (!text || cap <= 0) return 0;
    text[0] = 0;
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Window* w = FindLocked(s, hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(WStrCopyN(text, w->title.c_str(), static_cast<size_t>(cap)));
}

int GetWindowTextLengthW(HWND hwnd) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Window* w = FindLocked(s, hwnd);
    return w ? static_cast<int>(w->title.size()) : 0;
}

BOOL SetWindowTextW(HWND hwnd, LPCWSTR text) {
    if (!LocalWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return SendMessageW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) ? TRUE : FALSE;
}

BOOL GetWindowRect(HWND hwnd, RECT* rect) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Window* w = FindLocked(s, hwnd);
    if (!w || !rect) {
        SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    *rect = ScreenRectLocked(s, *w);
    return TRUE;
}

BOOL GetClientRect(HWND hwnd, RECT* rect) {
    RECT r;
    if (!GetWindowRect(hwnd, &r)) return FALSE;
    if (!rect) return FALSE;
    *rect = RECT{0, 0, r.right - r.left, r.bottom - r.top};
    return TRUE;
}

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL) {
    WinState& s = State();
    RECT before;
    WindowChangeInfo moved;
    {
        std::lock_guard<std::mutex> g(s.lock);
        Window* w = FindLocked(s, hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        moved = ChangeInfoLocked(s, *w, WindowChange::Moved);
        before = w->rect;
        w->rect = RECT{x, y, x + width, y + height};
    }
    if (before.left != x || before.top != y || before.right != x + width ||
        before.bottom != y + height) {
        ReportChange(moved);
    }
    if (before.left != x || before.top != y)
        Notify(hwnd, WM_MOVE, 0, MAKELPARAM(static_cast<WORD>(x), static_cast<WORD>(y)));
    if (before.right - before.left != width || before.bottom - before.top != height) {
        Notify(hwnd, WM_SIZE, SIZE_RESTORED,
               MAKELPARAM(static_cast<WORD>(width), static_cast<WORD>(height)));
    }
    return TRUE;
}

BOOL EnableWindow(HWND hwnd, BOOL enable) {
    WinState& s = State();
    bool wasDisabled;
    {
        std::lock_guard<std::mutex> g(s.lock);
        Window* w = FindLocked(s, hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        wasDisabled = (w->style & WS_DISABLED) != 0;
        if (enable) {
            w->style &= ~WS_DISABLED;
        } else {
            w->style |= WS_DISABLED;
        }
    }
    if (wasDisabled == (enable != FALSE)) Notify(hwnd, WM_ENABLE, enable ? TRUE : FALSE, 0);
    return wasDisabled ? TRUE : FALSE;
}

BOOL IsWindowEnabled(HWND hwnd) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Window* w = FindLocked(s, hwnd);
    return w && !(w->style & WS_DISABLED) ? TRUE : FALSE;
}

// ---- show state and foreground ---------------------------------------------------------

BOOL ShowWindow(HWND hwnd, int cmd) {
    bool withOwned;
    HWND h = StripLowBit(hwnd, &withOwned);
    if (!LocalWindow(h)) {
        if (h && Driver().ShowWindow) return Driver().ShowWindow(hwnd, cmd);
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (cmd < SW_HIDE || cmd > 11) {
        Trace("[Platform] ShowWindow %p: unknown command %d", static_cast<void*>(h), cmd);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<HWND> owned;
    if (withOwned) {
        WinState& s = State();
        std::lock_guard<std::mutex> g(s.lock);
        owned = OwnedLocked(s, h);
    }
    bool wasVisible = ApplyShow(h, cmd);
    for (HWND o : owned) ApplyShow(o, cmd);
    // A foreground window now hidden or minimised leaves the foreground to the next one shown.
    Activation act;
    {
        WinState& s = State();
        std::lock_guard<std::mutex> g(s.lock);
        Window* fg = s.foreground ? FindLocked(s, s.foreground) : nullptr;
        if (fg && !ShownLocked(*fg)) {
            act = Activation{s.foreground, NextForegroundLocked(s, s.foreground)};
            s.foreground = act.to;
        }
    }
    NotifyActivation(act);
    return wasVisible ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hwnd) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Window* w = FindLocked(s, hwnd);
    if (!w) return FALSE;
    // A child is visible only when every window above it is.
    for (; w; w = (w->style & WS_CHILD) && w->parent ? FindLocked(s, w->parent) : nullptr) {
        if (!(w->style & WS_VISIBLE)) return FALSE;
        if (!(w->style & WS_CHILD)) break;
    }
    return TRUE;
}

BOOL IsIconic(HWND hwnd) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Window* w = FindLocked(s, hwnd);
    return w && (w->style & WS_MINIMIZE) ? TRUE : FALSE;
}

BOOL GetWindowPlacement(HWND hwnd, WINDOWPLACEMENT* placement) {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    Window* w = FindLocked(s, hwnd);
    if (!w || !placement) {
        SetLastError(w ? ERROR_INVALID_PARAMETER : ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    *placement = WINDOWPLACEMENT{};
    placement->length = sizeof(WINDOWPLACEMENT);
    placement->showCmd = (w->style & WS_MINIMIZE)   ? SW_SHOWMINIMIZED
                         : (w->style & WS_MAXIMIZE) ? SW_SHOWMAXIMIZED
                                                    : SW_SHOWNORMAL;
    placement->rcNormalPosition = w->rect;
    return TRUE;
}

BOOL SetForegroundWindow(HWND hwnd) {
    bool withOwned;
    HWND h = StripLowBit(hwnd, &withOwned);
    if (!LocalWindow(h)) {
        if (h && Driver().SetForegroundWindow) return Driver().SetForegroundWindow(hwnd);
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    WinState& s = State();
    Activation act;
    std::vector<std::pair<HWND, RECT>> restored;
    std::vector<WindowChangeInfo> changes;
    std::string cls, title;
    {
        std::lock_guard<std::mutex> g(s.lock);
        Window* w = FindLocked(s, h);
        if (!w || w->destroying || (w->style & WS_CHILD)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        cls = ToUtf8(w->cls->name);
        title = ToUtf8(w->title);
        // Owned windows always stay above their owner; the low bit also brings them back.
        std::vector<HWND> owned = OwnedLocked(s, h);
        const std::vector<HWND> orderBefore = s.zorder;
        RaiseLocked(s, h);
        for (HWND o : owned) RaiseLocked(s, o);
        if (s.zorder != orderBefore) {
            std::vector<HWND> raised{h};
            raised.insert(raised.end(), owned.begin(), owned.end());
            for (HWND m : raised) {
                if (Window* mw = FindLocked(s, m))
                    changes.push_back(ChangeInfoLocked(s, *mw, WindowChange::Raised));
            }
        }
        std::vector<HWND> group{h};
        if (withOwned) group.insert(group.end(), owned.begin(), owned.end());
        for (HWND m : group) {
            Window* mw = FindLocked(s, m);
            if (mw && (mw->style & WS_MINIMIZE)) {
                WindowChangeInfo shown = ChangeInfoLocked(s, *mw, WindowChange::Shown);
                mw->style &= ~WS_MINIMIZE;
                restored.emplace_back(m, mw->rect);
                if (ShownLocked(*mw)) changes.push_back(shown);
            }
        }
        HWND target = h;
        if (withOwned) {
            for (HWND z : s.zorder) {
                Window* zw = FindLocked(s, z);
                if (zw && std::find(group.begin(), group.end(), z) != group.end() &&
                    ShownLocked(*zw)) {
                    target = z;
                    break;
                }
            }
        }
        act = Activation{s.foreground, target};
        s.foreground = target;
    }
    Trace("[Platform] SetForegroundWindow %p%s %s \"%s\"", static_cast<void*>(h),
          withOwned ? " and its owned windows" : "", cls.c_str(), title.c_str());
    for (auto& [m, r] : restored) {
        Notify(
            m, WM_SIZE, SIZE_RESTORED,
            MAKELPARAM(static_cast<WORD>(r.right - r.left), static_cast<WORD>(r.bottom - r.top)));
    }
    for (const WindowChangeInfo& c : changes) ReportChange(c);
    NotifyActivation(act);
    return TRUE;
}

HWND GetForegroundWindow() {
    WinState& s = State();
    std::lock_guard<std::mutex> g(s.lock);
    return s.foreground && FindLocked(s, s.foreground) ? s.foreground : nullptr;
}

// ---- painting --------------------------------------------------------------------------

BOOL InvalidateRect(HWND hwnd, const RECT*, BOOL erase) {
    if (!LocalWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (erase) {
        WinState& s = State();
        std::lock_guard<std::mutex> g(s.lock);
        if (Window* w = FindLocked(s, hwnd)) w->eraseDue = true;
    }
    MarkForPaint(hwnd, true);
    return TRUE;
}

BOOL ValidateRect(HWND hwnd, const RECT*) {
    if (!LocalWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    MarkForPaint(hwnd, false);
    return TRUE;
}

BOOL UpdateWindow(HWND hwnd) {
    auto w = LocalWindow(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    bool due;
    {
        std::lock_guard<std::mutex> g(w->queue->lock);
        auto& list = w->queue->needsPaint;
        due = std::find(list.begin(), list.end(), hwnd) != list.end();
    }
    if (due) SendMessageW(hwnd, WM_PAINT, 0, 0);
    return TRUE;
}
