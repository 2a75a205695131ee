// Pop-up menus: TrackPopupMenu shows a menu as a top-level window of class "#32768" drawn with GDI,
// takes the stylus (capture) and the keys (focus), and runs a modal loop that serves every other
// message of the thread until the menu closes.
#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/gdi.h"
#include "platform/menu.h"
#include "platform/screen.h"
#include "platform/screen_size.h"
#include "platform/trace.h"

namespace {

constexpr WCHAR kPopupClass[] = u"#32768";
constexpr UINT kMsgEndMenu = WM_USER + 1;  // private to the pop-up window: close, no choice
constexpr int kMaxNesting = 8;             // pop-up menus open inside one another at most
constexpr WCHAR kCheckMark[] = u"\u2713";
constexpr WCHAR kSubMenuArrow[] = u"\u25B8";

// One row of the menu as shown: a snapshot taken after WM_INITMENUPOPUP.
struct Row {
    UINT state;    // GetMenuState flags
    UINT id;       // command, 0xFFFFFFFF for a pop-up item
    HMENU sub;     // pop-up menu of the item, or null
    WString text;  // label
    RECT rect;     // the row in client coordinates
};

// What one tracked menu knows; lives on TrackMenu's stack.
struct Tracking {
    HMENU menu;             // the menu shown
    HWND owner;             // gets WM_INITMENUPOPUP and the command
    UINT flags;             // TPM_ flags
    int depth;              // 0 for the menu tracked by the caller
    std::vector<Row> rows;  // the items
    int hot = -1;           // highlighted row, -1 for none
    bool pressed = false;   // the stylus went down inside and is not yet up
    bool done = false;      // the loop ends
    UINT chosen = 0;        // the chosen command, 0 for none
};

// Every pop-up window being tracked, for EndMenu from any thread.
std::mutex g_openLock;
std::vector<HWND> g_open;

int ScaleX() {
    return std::max(1, GetScreenSize().width / 240);
}
int ScaleY() {
    return std::max(1, GetScreenSize().height / 320);
}

bool Selectable(const Row& r) {
    return !(r.state & (MF_SEPARATOR | MF_GRAYED | MF_DISABLED));
}

Tracking* StateOf(HWND hwnd) {
    return reinterpret_cast<Tracking*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

int RowAt(const Tracking& t, POINT pt) {
    for (size_t i = 0; i < t.rows.size(); ++i) {
        if (PtInRect(&t.rows[i].rect, pt)) return static_cast<int>(i);
    }
    return -1;
}

// The next selectable row from hot in direction step (+1 / -1), wrapping; hot when none.
int NextSelectable(const Tracking& t, int step) {
    int n = static_cast<int>(t.rows.size());
    int i = t.hot;
    for (int k = 0; k < n; ++k) {
        i = i < 0 ? (step > 0 ? 0 : n - 1) : (i + step + n) % n;
        if (Selectable(t.rows[static_cast<size_t>(i)])) return i;
    }
    return t.hot;
}

std::vector<Row> ReadRows(HMENU menu) {
    std::vector<Row> rows;
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        Row r{};
        r.state = GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION);
        if (r.state == 0xFFFFFFFFu) continue;
        r.id = GetMenuItemID(menu, i);
        r.sub = GetSubMenu(menu, i);
        int len = GetMenuStringW(menu, static_cast<UINT>(i), nullptr, 0, MF_BYPOSITION);
        r.text.resize(static_cast<size_t>(len) + 1);
        GetMenuStringW(menu, static_cast<UINT>(i), r.text.data(), len + 1, MF_BYPOSITION);
        r.text.resize(static_cast<size_t>(len));
        rows.push_back(std::move(r));
    }
    return rows;
}

// Lays the rows out and returns the size of the window.
SIZE Layout(std::vector<Row>& rows) {
    const int sx = ScaleX(), sy = ScaleY();
    const int rowHeight = 24 * sy, sepHeight = 7 * sy, border = 1;
    const int textLeft = border + 18 * sx, textRightPad = 16 * sx;
    HDC dc = CreateCompatibleDC(nullptr);
    HGDIOBJ oldFont = dc ? SelectObject(dc, GetStockObject(SYSTEM_FONT)) : nullptr;
    int widest = 0;
    int y = border;
    for (Row& r : rows) {
        int h = (r.state & MF_SEPARATOR) ? sepHeight : rowHeight;
        SetRect(&r.rect, border, y, border, y + h);
        y += h;
        SIZE ext{0, 0};
        if (dc && !r.text.empty()) {
            GetTextExtentPoint32W(dc, r.text.c_str(), static_cast<int>(r.text.size()), &ext);
        }
        widest = std::max(widest, static_cast<int>(ext.cx));
    }
    if (dc) {
        SelectObject(dc, oldFont);
        DeleteDC(dc);
    }
    int width = std::max(80 * sx, textLeft + widest + textRightPad + border);
    width = std::min(width, GetScreenSize().width);
    for (Row& r : rows) r.rect.right = width - border;
    return SIZE{width, y + border};
}

// Where the window goes: at (x, y) as the flags align it, kept on the screen and, when it can be,
// off the excluded area.
POINT Place(UINT flags, int x, int y, SIZE size, const RECT* exclude) {
    const ScreenSize screen = GetScreenSize();
    int left = x, top = y;
    if (flags & TPM_RIGHTALIGN) {
        left = x - size.cx;
    } else if (flags & TPM_CENTERALIGN) {
        left = x - size.cx / 2;
    }
    if (flags & TPM_BOTTOMALIGN) {
        top = y - size.cy;
    } else if (flags & TPM_VCENTERALIGN) {
        top = y - size.cy / 2;
    }
    if (exclude && top < exclude->bottom && top + size.cy > exclude->top) {
        if (exclude->bottom + size.cy <= screen.height) {
            top = exclude->bottom;
        } else if (exclude->top - size.cy >= 0) {
            top = exclude->top - size.cy;
        }
    }
    left = std::max(0, std::min(left, screen.width - static_cast<int>(size.cx)));
    top = std::max(0, std::min(top, screen.height - static_cast<int>(size.cy)));
    return POINT{left, top};
}

void Paint(HWND hwnd, const Tracking& t) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(hwnd, &ps);
    if (!dc) return;
    const int sx = ScaleX();
    RECT client;
    GetClientRect(hwnd, &client);
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    RECT inside = client;
    InflateRect(&inside, -1, -1);
    FillRect(dc, &inside, GetSysColorBrush(COLOR_WINDOW));
    HGDIOBJ oldFont = SelectObject(dc, GetStockObject(SYSTEM_FONT));
    SetBkMode(dc, TRANSPARENT);
    for (size_t i = 0; i < t.rows.size(); ++i) {
        const Row& r = t.rows[i];
        if (r.state & MF_SEPARATOR) {
            RECT line = r.rect;
            line.left += 4 * sx;
            line.right -= 4 * sx;
            line.top = (r.rect.top + r.rect.bottom) / 2;
            line.bottom = line.top + 1;
            FillRect(dc, &line, GetSysColorBrush(COLOR_GRAYTEXT));
            continue;
        }
        bool hot = static_cast<int>(i) == t.hot;
        if (hot) FillRect(dc, &r.rect, GetSysColorBrush(COLOR_HIGHLIGHT));
        SetTextColor(dc, GetSysColor(!Selectable(r) ? COLOR_GRAYTEXT
                                     : hot          ? COLOR_HIGHLIGHTTEXT
                                                    : COLOR_WINDOWTEXT));
        RECT text = r.rect;
        text.left += 18 * sx;
        text.right -= 14 * sx;
        DrawTextW(dc, r.text.c_str(), -1, &text,
                  DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
        if (r.state & MF_CHECKED) {
            RECT mark = r.rect;
            mark.left += 3 * sx;
            DrawTextW(dc, kCheckMark, -1, &mark, DT_LEFT | DT_VCENTER | DT_SINGLELINE);
        }
        if (r.sub) {
            RECT arrow = r.rect;
            arrow.right -= 4 * sx;
            DrawTextW(dc, kSubMenuArrow, -1, &arrow, DT_RIGHT | DT_VCENTER | DT_SINGLELINE);
        }
    }
    SelectObject(dc, oldFont);
    EndPaint(hwnd, &ps);
}

UINT TrackMenu(HMENU menu, UINT flags, int x, int y, HWND owner, const RECT* exclude, int depth,
               int index);

void SetHot(HWND hwnd, Tracking* t, int hot) {
    if (t->hot == hot) return;
    t->hot = hot;
    InvalidateRect(hwnd, nullptr, FALSE);
}

// Chooses a row: a command ends the menu; a pop-up item opens its menu beside the row.
void Activate(HWND hwnd, Tracking* t, int row) {
    if (row < 0 || !Selectable(t->rows[static_cast<size_t>(row)])) return;
    const Row& r = t->rows[static_cast<size_t>(row)];
    if (!r.sub) {
        t->chosen = r.id;
        t->done = true;
        return;
    }
    if (t->depth + 1 >= kMaxNesting) return;
    POINT at{r.rect.right, r.rect.top};
    ClientToScreen(hwnd, &at);
    UINT chosen = TrackMenu(
        r.sub,
        (t->flags & ~(TPM_RIGHTALIGN | TPM_CENTERALIGN | TPM_BOTTOMALIGN | TPM_VCENTERALIGN)), at.x,
        at.y, t->owner, nullptr, t->depth + 1, row);
    if (chosen) {
        t->chosen = chosen;
        t->done = true;
    } else if (IsWindow(hwnd)) {
        SetCapture(hwnd);
        SetFocus(hwnd);
    }
}

POINT PointOf(LPARAM lParam) {
    return POINT{static_cast<short>(LOWORD(static_cast<uintptr_t>(lParam))),
                 static_cast<short>(HIWORD(static_cast<uintptr_t>(lParam)))};
}

LRESULT CALLBACK PopupProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTW*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
        return 0;
    }
    Tracking* t = StateOf(hwnd);
    if (!t) return DefWindowProcW(hwnd, msg, wParam, lParam);
    switch (msg) {
        case WM_PAINT:
            Paint(hwnd, *t);
            return 0;
        case WM_LBUTTONDOWN: {
            RECT client;
            GetClientRect(hwnd, &client);
            POINT pt = PointOf(lParam);
            if (!PtInRect(&client, pt)) {
                t->done = true;  // a tap outside closes the menu
                return 0;
            }
            t->pressed = true;
            int row = RowAt(*t, pt);
            SetHot(hwnd, t, row >= 0 && Selectable(t->rows[static_cast<size_t>(row)]) ? row : -1);
            return 0;
        }
        case WM_MOUSEMOVE:
            if (t->pressed) {
                int row = RowAt(*t, PointOf(lParam));
                SetHot(hwnd, t,
                       row >= 0 && Selectable(t->rows[static_cast<size_t>(row)]) ? row : -1);
            }
            return 0;
        case WM_LBUTTONUP:
            if (t->pressed) {
                t->pressed = false;
                Activate(hwnd, t, RowAt(*t, PointOf(lParam)));
            }
            return 0;
        case WM_KEYDOWN:
            switch (wParam) {
                case VK_UP:
                    SetHot(hwnd, t, NextSelectable(*t, -1));
                    break;
                case VK_DOWN:
                    SetHot(hwnd, t, NextSelectable(*t, +1));
                    break;
                case VK_RIGHT:
                    if (t->hot >= 0 && t->rows[static_cast<size_t>(t->hot)].sub) {
                        Activate(hwnd, t, t->hot);
                    }
                    break;
                case VK_RETURN:
                    Activate(hwnd, t, t->hot);
                    break;
                case VK_LEFT:
                    if (t->depth > 0) t->done = true;
                    break;
                case VK_ESCAPE:
                    t->done = true;
                    break;
                default:
                    break;
            }
            return 0;
        case kMsgEndMenu:
            t->done = true;
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

bool RegisterPopupClass() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        WNDCLASSW wc{};
        wc.lpfnWndProc = PopupProc;
        wc.lpszClassName = kPopupClass;
        ok = RegisterClassW(&wc) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    });
    return ok;
}

void SetOpen(HWND hwnd, bool open) {
    std::lock_guard<std::mutex> g(g_openLock);
    if (open) {
        g_open.push_back(hwnd);
    } else {
        g_open.erase(std::remove(g_open.begin(), g_open.end(), hwnd), g_open.end());
    }
}

// Shows menu and runs the loop; the chosen command or 0.
UINT TrackMenu(HMENU menu, UINT flags, int x, int y, HWND owner, const RECT* exclude, int depth,
               int index) {
    if (!(flags & TPM_NONOTIFY)) {
        SendMessageW(owner, WM_INITMENUPOPUP, reinterpret_cast<WPARAM>(menu),
                     MAKELPARAM(static_cast<WORD>(index), 0));
    }
    if (!IsMenu(menu) || !IsWindow(owner)) return 0;  // the owner may destroy either
    Tracking t{menu, owner, flags, depth, ReadRows(menu)};
    if (t.rows.empty()) {
        Trace("[Menu] TrackPopupMenu: menu %p has no items to show", static_cast<void*>(menu));
        return 0;
    }
    SIZE size = Layout(t.rows);
    POINT at = Place(flags, x, y, size, exclude);
    // Shown only once it has the stylus and the keys, so no input can miss it.
    HWND popup = CreateWindowExW(0, kPopupClass, nullptr, WS_POPUP, at.x, at.y, size.cx, size.cy,
                                 owner, nullptr, nullptr, &t);
    if (!popup) {
        Trace("[Menu] TrackPopupMenu: cannot create the menu window (error %u)",
              static_cast<unsigned>(GetLastError()));
        return 0;
    }
    SetOpen(popup, true);
    HWND oldFocus = GetFocus();
    SetCapture(popup);
    SetFocus(popup);
    ShowWindow(popup, SW_SHOWNOACTIVATE);
    const bool ownerShown = IsWindowVisible(owner);
    while (!t.done) {
        if (!IsWindow(popup) || !IsWindow(owner) || (ownerShown && !IsWindowVisible(owner))) {
            break;
        }
        MSG msg;
        BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) {
            PostQuitMessage(static_cast<int>(msg.wParam));  // the outer loop ends too
            break;
        }
        if (got < 0) break;
        DispatchMessageW(&msg);
    }
    SetOpen(popup, false);
    if (GetCapture() == popup) ReleaseCapture();
    if (IsWindow(popup)) DestroyWindow(popup);
    if (oldFocus && IsWindow(oldFocus)) SetFocus(oldFocus);
    return t.done ? t.chosen : 0;
}

}  // namespace

BOOL TrackPopupMenuEx(HMENU menu, UINT flags, int x, int y, HWND owner, const TPMPARAMS* params) {
    if (!IsMenu(menu)) {
        Trace("[Menu] TrackPopupMenu: %p is not a menu", static_cast<void*>(menu));
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!IsWindow(owner)) {
        Trace("[Menu] TrackPopupMenu: owner %p is not a window", static_cast<void*>(owner));
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (params && params->cbSize != sizeof(TPMPARAMS)) {
        Trace("[Menu] TrackPopupMenu: TPMPARAMS of %u bytes", params->cbSize);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!RegisterPopupClass()) {
        Trace("[Menu] TrackPopupMenu: the menu window class cannot be registered");
        return FALSE;
    }
    UINT chosen = TrackMenu(menu, flags, x, y, owner, params ? &params->rcExclude : nullptr, 0, 0);
    if (flags & TPM_RETURNCMD) return static_cast<BOOL>(chosen);
    if (chosen) PostMessageW(owner, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(chosen), 0), 0);
    return TRUE;
}

BOOL TrackPopupMenu(HMENU menu, UINT flags, int x, int y, int, HWND owner, const RECT*) {
    return TrackPopupMenuEx(menu, flags, x, y, owner, nullptr);
}

BOOL EndMenu() {
    std::vector<HWND> open;
    {
        std::lock_guard<std::mutex> g(g_openLock);
        open = g_open;
    }
    for (HWND h : open) PostMessageW(h, kMsgEndMenu, 0, 0);
    return open.empty() ? FALSE : TRUE;
}
