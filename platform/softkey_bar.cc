// The soft-key bar: SHCreateMenuBar builds a "menu_worker" window across the bottom of the screen
// from an RCDATA bar definition or from a menu resource, draws its keys with GDI and turns taps and
// the device's soft keys into commands for its dialog.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/gdi.h"
#include "platform/menu.h"
#include "platform/resource.h"
#include "platform/screen.h"
#include "platform/screen_size.h"
#include "platform/shell.h"
#include "platform/trace.h"

namespace {

constexpr WCHAR kBarClass[] = u"menu_worker";
constexpr UINT kMsgSoftKey = WM_USER + 0x300;  // private: wParam 0 left, 1 right soft key
constexpr size_t kButtonWords = 7;             // WORDs per button in a bar definition
constexpr WORD kMaxButtons = 8;                // keys one bar may have
constexpr int kMaxLabel = 128;                 // characters of a key's label
constexpr COLORREF kBarColor = RGB(0x20, 0x20, 0x20);
constexpr COLORREF kEdgeColor = RGB(0x60, 0x60, 0x60);
constexpr COLORREF kLabelColor = RGB(0xFF, 0xFF, 0xFF);
constexpr COLORREF kDisabledColor = RGB(0x80, 0x80, 0x80);

// Bars alive in this process; with none, nothing looks further (other processes' windows
// are no bars of ours).
std::atomic<int> g_liveBars{0};

struct Key {
    int command;    // posted as WM_COMMAND by a plain key
    BYTE state;     // TBSTATE_ENABLED, TBSTATE_HIDDEN
    BYTE style;     // TBSTYLE_ bits, kept
    WString label;  // the text shown
    int subMenu;    // index of the key's pop-up in the bar's menu, -1 for a plain key
};

struct Bar {
    HWND dialog;                      // the owner, which gets the commands
    HMENU menu = nullptr;             // the menu the pop-ups come from, owned; may be null
    std::vector<Key> keys;            // left to right
    COLORREF background = kBarColor;  // fill behind the keys
    int pressed = -1;                 // key held by the stylus or showing its pop-up
    bool tracking = false;            // a pop-up of this bar is open
    bool adopted = false;             // the window owns this record (after WM_CREATE)

    ~Bar() {
        if (menu) DestroyMenu(menu);
    }
};

Bar* BarOf(HWND hwnd) {
    return reinterpret_cast<Bar*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

bool Usable(const Key& k) {
    return (k.state & TBSTATE_ENABLED) && !(k.state & TBSTATE_HIDDEN);
}

// The slot of key i of n across the bar's client area.
RECT KeyRect(HWND hwnd, size_t i, size_t n) {
    RECT c;
    GetClientRect(hwnd, &c);
    LONG w = c.right - c.left;
    return RECT{c.left + static_cast<LONG>(w * static_cast<LONG>(i) / static_cast<LONG>(n)), c.top,
                c.left + static_cast<LONG>(w * static_cast<LONG>(i + 1) / static_cast<LONG>(n)),
                c.bottom};
}

int KeyAt(HWND hwnd, const Bar& bar, POINT pt) {
    for (size_t i = 0; i < bar.keys.size(); ++i) {
        RECT r = KeyRect(hwnd, i, bar.keys.size());
        if (PtInRect(&r, pt)) return static_cast<int>(i);
    }
    return -1;
}

int FindCommand(const Bar& bar, WPARAM wParam, DWORD mask = 0) {
    if (mask & TBIF_BYINDEX) return wParam < bar.keys.size() ? static_cast<int>(wParam) : -1;
    for (size_t i = 0; i < bar.keys.size(); ++i) {
        if (bar.keys[i].command == static_cast<int>(wParam)) return static_cast<int>(i);
    }
    return -1;
}

void Paint(HWND hwnd, const Bar& bar) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    if (!dc) return;
    RECT c;
    GetClientRect(hwnd, &c);
    HBRUSH back = CreateSolidBrush(bar.background);
    HBRUSH edge = CreateSolidBrush(kEdgeColor);
    FillRect(dc, &c, back);
    RECT line{c.left, c.top, c.right, c.top + 1};
    FillRect(dc, &line, edge);
    HGDIOBJ oldFont = SelectObject(dc, GetStockObject(SYSTEM_FONT));
    SetBkMode(dc, TRANSPARENT);
    for (size_t i = 0; i < bar.keys.size(); ++i) {
        const Key& k = bar.keys[i];
        if (k.state & TBSTATE_HIDDEN) continue;  // a hidden key leaves its slot empty
        RECT r = KeyRect(hwnd, i, bar.keys.size());
        r.top += 1;
        if (static_cast<int>(i) == bar.pressed) FillRect(dc, &r, GetSysColorBrush(COLOR_HIGHLIGHT));
        SetTextColor(dc, (k.state & TBSTATE_ENABLED) ? kLabelColor : kDisabledColor);
        DrawTextW(dc, k.label.c_str(), -1, &r,
                  DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    }
    SelectObject(dc, oldFont);
    DeleteObject(back);
    DeleteObject(edge);
    EndPaint(hwnd, &ps);
}

void SetPressed(HWND hwnd, Bar* bar, int key) {
    if (bar->pressed == key) return;
    bar->pressed = key;
    InvalidateRect(hwnd, nullptr, FALSE);
}

// Runs key i: a plain key posts its command; a menu key opens its pop-up above itself.
void Activate(HWND hwnd, Bar* bar, int i) {
    if (i < 0 || static_cast<size_t>(i) >= bar->keys.size() || bar->tracking) return;
    const Key k = bar->keys[static_cast<size_t>(i)];
    if (!Usable(k) || !IsWindowEnabled(bar->dialog)) return;
    if (k.subMenu < 0) {
        PostMessageW(bar->dialog, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(k.command), 0), 0);
        return;
    }
    HMENU popup = GetSubMenu(bar->menu, k.subMenu);
    if (!popup) {
        Trace("[Shell] menu bar: key %d has no pop-up menu %d", i, k.subMenu);
        return;
    }
    RECT r = KeyRect(hwnd, static_cast<size_t>(i), bar->keys.size());
    bool rightHalf = 2 * i >= static_cast<int>(bar->keys.size()) && bar->keys.size() > 1;
    POINT anchor{rightHalf ? r.right : r.left, r.top};
    ClientToScreen(hwnd, &anchor);
    HWND dialog = bar->dialog;
    bar->tracking = true;
    SetPressed(hwnd, bar, i);
    TrackPopupMenuEx(popup, TPM_BOTTOMALIGN | (rightHalf ? TPM_RIGHTALIGN : TPM_LEFTALIGN),
                     anchor.x, anchor.y, dialog, nullptr);
    // The dialog may have destroyed the bar meanwhile (recreating it, or ending).
    if (!IsWindow(hwnd) || BarOf(hwnd) != bar) return;
    bar->tracking = false;
    SetPressed(hwnd, bar, -1);
}

LRESULT GetButtonInfo(const Bar& bar, WPARAM wParam, TBBUTTONINFOW* info) {
    if (!info || info->cbSize != sizeof(TBBUTTONINFOW)) return -1;
    int i = FindCommand(bar, wParam, info->dwMask);
    if (i < 0) return -1;
    const Key& k = bar.keys[static_cast<size_t>(i)];
    if (info->dwMask & TBIF_COMMAND) info->idCommand = k.command;
    if (info->dwMask & TBIF_STATE) info->fsState = k.state;
    if (info->dwMask & TBIF_STYLE) info->fsStyle = k.style;
    if ((info->dwMask & TBIF_TEXT) && info->pszText && info->cchText > 0) {
        WStrCopyN(info->pszText, k.label.c_str(), static_cast<size_t>(info->cchText));
    }
    return i;
}

LRESULT SetButtonInfo(HWND hwnd, Bar* bar, WPARAM wParam, const TBBUTTONINFOW* info) {
    if (!info || info->cbSize != sizeof(TBBUTTONINFOW)) {
        Trace("[Shell] TB_SETBUTTONINFO: a bad TBBUTTONINFO record");
        return FALSE;
    }
    int i = FindCommand(*bar, wParam, info->dwMask);
    if (i < 0) return FALSE;
    Key& k = bar->keys[static_cast<size_t>(i)];
    if (info->dwMask & TBIF_COMMAND) k.command = info->idCommand;
    if (info->dwMask & TBIF_STATE) k.state = info->fsState;
    if (info->dwMask & TBIF_STYLE) k.style = info->fsStyle;
    if (info->dwMask & TBIF_TEXT) k.label = info->pszText ? WString(info->pszText) : WString();
    InvalidateRect(hwnd, nullptr, FALSE);
    return TRUE;
}

// Sets or clears one state bit of the key with a command; FALSE when there is none.
LRESULT ChangeState(HWND hwnd, Bar* bar, WPARAM command, BYTE bit, bool set) {
    int i = FindCommand(*bar, command);
    if (i < 0) return FALSE;
    Key& k = bar->keys[static_cast<size_t>(i)];
    k.state = static_cast<BYTE>(set ? (k.state | bit) : (k.state & ~bit));
    InvalidateRect(hwnd, nullptr, FALSE);
    return TRUE;
}

POINT PointOf(LPARAM lParam) {
    return POINT{static_cast<short>(LOWORD(static_cast<uintptr_t>(lParam))),
                 static_cast<short>(HIWORD(static_cast<uintptr_t>(lParam)))};
}

LRESULT CALLBACK BarProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CREATE) {
        auto* bar = static_cast<Bar*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        bar->adopted = true;
        g_liveBars++;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(bar));
        return 0;
    }
    Bar* bar = BarOf(hwnd);
    if (!bar) return DefWindowProcW(hwnd, msg, wParam, lParam);
    switch (msg) {
        case WM_PAINT:
            Paint(hwnd, *bar);
            return 0;
        case WM_LBUTTONDOWN: {
            int k = KeyAt(hwnd, *bar, PointOf(lParam));
            if (k >= 0 && Usable(bar->keys[static_cast<size_t>(k)]) && !bar->tracking) {
                SetCapture(hwnd);
                SetPressed(hwnd, bar, k);
            }
            return 0;
        }
        case WM_LBUTTONUP: {
            int held = bar->pressed;
            if (held < 0 || bar->tracking) return 0;
            if (GetCapture() == hwnd) ReleaseCapture();
            SetPressed(hwnd, bar, -1);
            if (KeyAt(hwnd, *bar, PointOf(lParam)) == held) Activate(hwnd, bar, held);
            return 0;
        }
        case kMsgSoftKey: {
            int n = static_cast<int>(bar->keys.size());
            Activate(hwnd, bar, wParam == 0 ? 0 : (n > 1 ? n - 1 : -1));
            return 0;
        }
        case TB_ENABLEBUTTON:
            return ChangeState(hwnd, bar, wParam, TBSTATE_ENABLED, LOWORD(lParam) != 0);
        case TB_HIDEBUTTON:
            return ChangeState(hwnd, bar, wParam, TBSTATE_HIDDEN, LOWORD(lParam) != 0);
        case TB_ISBUTTONENABLED: {
            int i = FindCommand(*bar, wParam);
            return i >= 0 && (bar->keys[static_cast<size_t>(i)].state & TBSTATE_ENABLED);
        }
        case TB_ISBUTTONHIDDEN: {
            int i = FindCommand(*bar, wParam);
            return i >= 0 && (bar->keys[static_cast<size_t>(i)].state & TBSTATE_HIDDEN);
        }
        case TB_GETBUTTONINFOW:
            return GetButtonInfo(*bar, wParam, reinterpret_cast<TBBUTTONINFOW*>(lParam));
        case TB_SETBUTTONINFOW:
            return SetButtonInfo(hwnd, bar, wParam, reinterpret_cast<TBBUTTONINFOW*>(lParam));
        case SHCMBM_GETSUBMENU: {
            int i = FindCommand(*bar, static_cast<WPARAM>(lParam));
            if (i < 0 || bar->keys[static_cast<size_t>(i)].subMenu < 0) return 0;
            return reinterpret_cast<LRESULT>(
                GetSubMenu(bar->menu, bar->keys[static_cast<size_t>(i)].subMenu));
        }
        case SHCMBM_GETMENU:
            return reinterpret_cast<LRESULT>(bar->menu);
        case WM_DESTROY:
            if (bar->tracking) EndMenu();
            return 0;
        case WM_NCDESTROY:
            SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
            g_liveBars--;
            delete bar;
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

// The topmost bar of this process that passes test, or null.
template <class Test>
HWND FindBar(Test test) {
    if (g_liveBars.load() == 0) return nullptr;
    for (HWND h = FindWindowW(kBarClass, nullptr); h; h = GetWindow(h, GW_HWNDNEXT)) {
        WCHAR name[32];
        if (GetClassNameW(h, name, 32) > 0 && WStrICmp(name, kBarClass) == 0 && test(h)) return h;
    }
    return nullptr;
}

// The screen's soft keys, on the thread that delivers them: an open pop-up menu closes; otherwise
// the topmost bar whose dialog takes input gets the key.
BOOL SoftKeyHandler(int key) {
    if (EndMenu()) return TRUE;
    HWND bar = FindBar([](HWND h) { return IsWindowVisible(h) != FALSE; });
    HWND dialog = bar ? GetWindow(bar, GW_OWNER) : nullptr;
    if (!dialog || !IsWindowEnabled(dialog)) return FALSE;
    return PostMessageW(bar, kMsgSoftKey, key == 0 ? 0 : 1, 0);
}

bool RegisterBarClass() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = BarProc;
        wc.lpszClassName = kBarClass;
        ok = RegisterClassW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
        if (ok) ScreenSetSoftKeyHandler(SoftKeyHandler);
    });
    return ok;
}

WString LoadLabel(HINSTANCE instance, UINT id) {
    WCHAR text[kMaxLabel];
    int n = LoadStringW(instance, id, text, kMaxLabel);
    if (n <= 0) {
        Trace("[Shell] menu bar: no label string %u", id);
        return WString();
    }
    return WString(text, static_cast<size_t>(n));
}

// Keys from an RCDATA bar definition; false with a trace when it is missing or malformed.
bool KeysFromDefinition(const SHMENUBARINFO& info, Bar* bar) {
    LPCWSTR name = MAKEINTRESOURCEW(info.nToolBarId);
    HRSRC res = FindResourceW(info.hInstRes, name, RT_RCDATA);
    HGLOBAL data = res ? LoadResource(info.hInstRes, res) : nullptr;
    const BYTE* bytes = data ? static_cast<const BYTE*>(LockResource(data)) : nullptr;
    DWORD size = res ? SizeofResource(info.hInstRes, res) : 0;
    if (!bytes) {
        Trace("[Shell] SHCreateMenuBar: no menu bar definition %u", info.nToolBarId);
        return false;
    }
    auto word = [&](size_t i) {
        WORD w;
        std::memcpy(&w, bytes + 2 * i, sizeof w);
        return w;
    };
    WORD count = size >= 4 ? word(1) : 0;
    if (size < 4 || count == 0 || count > kMaxButtons || size != 2 * (2 + kButtonWords * count)) {
        Trace(
            "[Shell] SHCreateMenuBar: menu bar definition %u is malformed (%u "
            "bytes, %u "
            "buttons)",
            info.nToolBarId, static_cast<unsigned>(size), static_cast<unsigned>(count));
        return false;
    }
    WORD menuId = word(0);
    bool needsMenu = false;
    for (size_t b = 0; b < count; ++b) {
        size_t at = 2 + kButtonWords * b;
        WORD sub = word(at + 6);
        bar->keys.push_back(
            Key{word(at + 1), static_cast<BYTE>(word(at + 2)), static_cast<BYTE>(word(at + 3)),
                LoadLabel(info.hInstRes, word(at + 4)), sub == SHMB_NOSUBMENU ? -1 : sub});
        needsMenu = needsMenu || sub != SHMB_NOSUBMENU;
    }
    if (!needsMenu) return true;
    bar->menu = LoadMenuW(info.hInstRes, MAKEINTRESOURCEW(menuId));
    if (!bar->menu) {
        Trace(
            "[Shell] SHCreateMenuBar: menu bar %u needs menu %u, which cannot be "
            "loaded",
            info.nToolBarId, static_cast<unsigned>(menuId));
        return false;
    }
    for (const Key& k : bar->keys) {
        if (k.subMenu >= 0 && !GetSubMenu(bar->menu, k.subMenu)) {
            Trace("[Shell] SHCreateMenuBar: menu %u has no pop-up menu at %d",
                  static_cast<unsigned>(menuId), k.subMenu);
            return false;
        }
    }
    return true;
}

// Keys from the top-level items of a menu resource: a pop-up item becomes a menu key.
bool KeysFromMenu(const SHMENUBARINFO& info, Bar* bar) {
    bar->menu = LoadMenuW(info.hInstRes, MAKEINTRESOURCEW(info.nToolBarId));
    if (!bar->menu) {
        Trace("[Shell] SHCreateMenuBar: no menu %u for the bar", info.nToolBarId);
        return false;
    }
    int count = GetMenuItemCount(bar->menu);
    for (int i = 0; i < count && bar->keys.size() < kMaxButtons; ++i) {
        UINT state = GetMenuState(bar->menu, static_cast<UINT>(i), MF_BYPOSITION);
        if (state & MF_SEPARATOR) continue;
        WCHAR text[kMaxLabel];
        int n = GetMenuStringW(bar->menu, static_cast<UINT>(i), text, kMaxLabel, MF_BYPOSITION);
        bool popup = (state & MF_POPUP) != 0;
        UINT id = popup ? 0 : GetMenuItemID(bar->menu, i);
        BYTE keyState = (state & (MF_GRAYED | MF_DISABLED)) ? 0 : TBSTATE_ENABLED;
        bar->keys.push_back(Key{static_cast<int>(id), keyState,
                                popup ? TBSTYLE_DROPDOWN : TBSTYLE_BUTTON,
                                WString(text, static_cast<size_t>(n > 0 ? n : 0)), popup ? i : -1});
    }
    if (bar->keys.empty()) {
        Trace("[Shell] SHCreateMenuBar: menu %u has no items for keys", info.nToolBarId);
        return false;
    }
    return true;
}

}  // namespace

BOOL SHCreateMenuBar(PSHMENUBARINFO info) {
    if (!info ||
        (info->cbSize != sizeof(SHMENUBARINFO) && info->cbSize != SHMENUBARINFO_DEVICE_SIZE)) {
        Trace("[Shell] SHCreateMenuBar: a bad SHMENUBARINFO record (size %u)",
              info ? static_cast<unsigned>(info->cbSize) : 0u);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->hwndMB = nullptr;
    if (!IsWindow(info->hwndParent)) {
        Trace("[Shell] SHCreateMenuBar: parent %p is not a window",
              static_cast<void*>(info->hwndParent));
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!RegisterBarClass()) {
        Trace("[Shell] SHCreateMenuBar: the bar's window class cannot be registered");
        return FALSE;
    }
    auto* bar = new Bar;
    bar->dialog = info->hwndParent;
    if (info->dwFlags & SHCMBF_COLORBK) bar->background = info->clrBk;
    bool ok = (info->dwFlags & SHCMBF_EMPTYBAR) ? true
              : (info->dwFlags & SHCMBF_HMENU)  ? KeysFromMenu(*info, bar)
                                                : KeysFromDefinition(*info, bar);
    const ScreenSize screen = GetScreenSize();
    const int height = SCREEN_BAND_HEIGHT * std::max(1, screen.height / 320);
    HWND hwnd = nullptr;
    if (ok) {
        DWORD style = WS_POPUP | ((info->dwFlags & SHCMBF_HIDDEN) ? 0 : WS_VISIBLE);
        hwnd =
            CreateWindowExW(0, kBarClass, nullptr, style, 0, screen.height - height, screen.width,
                            height, info->hwndParent, nullptr, info->hInstRes, bar);
        if (!hwnd) {
            Trace("[Shell] SHCreateMenuBar: cannot create the bar window (error %u)",
                  static_cast<unsigned>(GetLastError()));
        }
    }
    if (!hwnd) {
        if (!bar->adopted) delete bar;
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->hwndMB = hwnd;
    return TRUE;
}

HWND SHFindMenuBar(HWND dialog) {
    return dialog ? FindBar([dialog](HWND h) { return GetWindow(h, GW_OWNER) == dialog; })
                  : nullptr;
}
