// The combo box: a drop-down list (a selection field) or a drop-down combo (an edit field),
// with a list of strings that opens as a pop-up window below the field (above it when there
// is no room). While the list is open it has the stylus: a tap on an item chooses it, a drag
// scrolls a long list, a tap outside closes it without a choice.
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "platform/ctl_internal.h"
#include "platform/trace.h"

namespace {

constexpr int kMaxItems = 32767;
constexpr WORD kEditId = 1001;  // the edit field of a drop-down combo
// Private messages from the pop-up list to its combo box.
constexpr UINT CBX_CHOOSE = WM_USER + 0x100;  // wParam: the item tapped
constexpr UINT CBX_CLOSE = WM_USER + 0x101;   // closed without a choice
constexpr UINT CBX_LISTGONE = WM_USER + 0x102;
// ... and from the combo box to its list.
constexpr UINT LBX_MOVE = WM_USER + 0x110;  // wParam: items to move the highlight by (signed)
constexpr UINT LBX_HOT = WM_USER + 0x111;   // the highlighted item

struct ComboItem {
    WString text;  // the string
    LPARAM data;   // CB_SETITEMDATA value
};

struct ComboState {
    std::vector<ComboItem> items;  // the list, in display order
    int cur = -1;                  // the selected item, -1 for none
    int droppedHeight = 0;         // field and list together, from the creation height
    HWND edit = nullptr;           // the edit field of a drop-down combo
    HWND list = nullptr;           // the open pop-up list, null when closed
    bool settingText = false;      // the combo itself is changing the edit field's text
    bool focused = false;          // the selection field has the focus
};

struct ListState {
    HWND combo;             // the combo box it belongs to
    int top = 0;            // first item shown
    int hot = -1;           // highlighted item
    bool pressed = false;   // the stylus went down inside
    bool dragging = false;  // the stylus moved far enough to scroll rather than choose
    int pressY = 0;         // where it went down
    int pressTop = 0;       // top at that moment
};

bool Editable(HWND hwnd) {
    return (CtlStyle(hwnd) & 0x3) != CBS_DROPDOWNLIST;
}

int ItemHeight() {
    return CtlLineHeight() + 2 * CtlScaleY();
}

int ButtonWidth(HWND hwnd) {
    RECT r;
    GetClientRect(hwnd, &r);
    return std::min<int>(r.bottom - r.top, r.right - r.left);
}

bool Matches(const WString& item, LPCWSTR text, bool exact) {
    const size_t n = WStrLen(text);
    if (item.size() < n || (exact && item.size() != n)) return false;
    for (size_t i = 0; i < n; ++i) {
        if (CtlFoldCase(item[i]) != CtlFoldCase(text[i])) return false;
    }
    return true;
}

// The first item after start (wrapping round) that begins with, or is, text.
LRESULT Find(const ComboState& s, intptr_t start, LPCWSTR text, bool exact) {
    const int n = static_cast<int>(s.items.size());
    if (!text || n == 0) return CB_ERR;
    const int first = start < 0 || start >= n - 1 ? 0 : static_cast<int>(start) + 1;
    for (int k = 0; k < n; ++k) {
        int i = (first + k) % n;
        if (Matches(s.items[static_cast<size_t>(i)].text, text, exact)) return i;
    }
    return CB_ERR;
}

// Shows the text of the selection (or text) in the field and the window text.
void ShowText(HWND hwnd, ComboState& s, const WString& text) {
    CtlStoreText(hwnd, text);
    if (s.edit) {
        s.settingText = true;
        SetWindowTextW(s.edit, text.c_str());
        s.settingText = false;
    }
    InvalidateRect(hwnd, nullptr, FALSE);
}

LRESULT Select(HWND hwnd, ComboState& s, intptr_t index) {
    const bool valid = index >= 0 && index < static_cast<intptr_t>(s.items.size());
    s.cur = valid ? static_cast<int>(index) : -1;
    ShowText(hwnd, s, valid ? s.items[static_cast<size_t>(index)].text : WString());
    if (s.list) InvalidateRect(s.list, nullptr, FALSE);
    return valid ? s.cur : CB_ERR;
}

// Adds an item at index (-1: the end), or with add at the end or its sorted place.
LRESULT Insert(HWND hwnd, ComboState& s, intptr_t index, LPCWSTR text, bool add) {
    if (static_cast<int>(s.items.size()) >= kMaxItems) {
        Trace("[Platform] combo box %p: already %d items, no more are taken",
              static_cast<void*>(hwnd), kMaxItems);
        return CB_ERRSPACE;
    }
    ComboItem item{text ? WString(text) : WString(), 0};
    const intptr_t n = static_cast<intptr_t>(s.items.size());
    if (add) {
        index = n;
        if (CtlStyle(hwnd) & CBS_SORT) {
            auto less = [](const WString& a, const WString& b) {
                return std::lexicographical_compare(
                    a.begin(), a.end(), b.begin(), b.end(),
                    [](WCHAR x, WCHAR y) { return CtlFoldCase(x) < CtlFoldCase(y); });
            };
            auto it = std::upper_bound(
                s.items.begin(), s.items.end(), item,
                [&](const ComboItem& a, const ComboItem& b) { return less(a.text, b.text); });
            index = it - s.items.begin();
        }
    } else if (index == -1) {
        index = n;
    } else if (index < 0 || index > n) {
        return CB_ERR;
    }
    s.items.insert(s.items.begin() + index, std::move(item));
    if (s.cur >= index) ++s.cur;
    if (s.list) InvalidateRect(s.list, nullptr, FALSE);
    return index;
}

// Opens the pop-up list under (or over) the field; it takes the stylus.
void Open(HWND hwnd, ComboState& s) {
    if (s.list) return;
    CtlNotify(hwnd, CBN_DROPDOWN);
    if (!IsWindow(hwnd)) return;
    RECT field;
    GetWindowRect(hwnd, &field);
    RECT work{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0);
    const int itemHeight = ItemHeight();
    const int border = CtlScaleY();
    const int room =
        std::max(itemHeight, s.droppedHeight - static_cast<int>(field.bottom - field.top));
    const int rows =
        std::clamp(static_cast<int>(s.items.size()), 1, std::max(1, room / itemHeight));
    const int height = rows * itemHeight + 2 * border;
    int top = field.bottom;
    if (top + height > work.bottom && field.top - height >= work.top) top = field.top - height;
    HWND list = CreateWindowExW(0, kComboListClass, nullptr, WS_POPUP | WS_BORDER, field.left, top,
                                field.right - field.left, height, hwnd, nullptr, nullptr, hwnd);
    if (!list) {
        Trace("[Platform] combo box %p: its list could not be opened", static_cast<void*>(hwnd));
        return;
    }
    s.list = list;
    ShowWindow(list, SW_SHOWNOACTIVATE);
    SetCapture(list);
    InvalidateRect(hwnd, nullptr, FALSE);
}

// Closes the pop-up list; with a choice, selects it and tells the parent. The window may be
// gone when this returns.
void Close(HWND hwnd, ComboState& s, int choice) {
    HWND list = s.list;
    if (!list) return;
    s.list = nullptr;
    if (GetCapture() == list) ReleaseCapture();
    DestroyWindow(list);
    InvalidateRect(hwnd, nullptr, FALSE);
    const bool chosen = choice >= 0 && choice < static_cast<int>(s.items.size());
    if (chosen) Select(hwnd, s, choice);
    CtlNotify(hwnd, CBN_CLOSEUP);
    if (!IsWindow(hwnd)) return;
    CtlNotify(hwnd, chosen ? CBN_SELENDOK : CBN_SELENDCANCEL);
    if (chosen && IsWindow(hwnd)) CtlNotify(hwnd, CBN_SELCHANGE);
}

void DrawArrow(HDC dc, const RECT& box, COLORREF color) {
    // A downward triangle, one row at a time.
    const LONG w = (box.right - box.left) / 2;
    const LONG cx = (box.left + box.right) / 2;
    const LONG top = (box.top + box.bottom) / 2 - w / 4;
    for (LONG row = 0; row <= w / 2; ++row) {
        CtlFill(dc, RECT{cx - w / 2 + row, top + row, cx + w / 2 - row + 1, top + row + 1}, color);
    }
}

void Paint(HWND hwnd, ComboState& s) {
    CtlPaint paint(hwnd, GetSysColor(COLOR_WINDOW));
    HDC dc = paint.dc;
    if (!dc) return;
    const RECT& client = paint.client;
    const int sx = CtlScaleX();
    const int button = ButtonWidth(hwnd);
    if (!s.edit) {
        RECT text{client.left + sx, client.top + sx, client.right - button, client.bottom - sx};
        COLORREF ink = CtlTextColor(hwnd);
        if (s.focused && !s.list) {
            CtlFill(dc, text, GetSysColor(COLOR_HIGHLIGHT));
            ink = GetSysColor(COLOR_HIGHLIGHTTEXT);
        }
        text.left += 2 * sx;
        WString shown = s.cur >= 0 ? s.items[static_cast<size_t>(s.cur)].text : WString();
        CtlDrawText(dc, shown.c_str(), static_cast<int>(shown.size()), text,
                    DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS, ink);
    }
    RECT box{client.right - button, client.top, client.right, client.bottom};
    CtlFill(dc, box, s.list ? GetSysColor(COLOR_BTNSHADOW) : GetSysColor(COLOR_BTNFACE));
    DrawArrow(dc, box, CtlTextColor(hwnd));
    CtlFrame(dc, client, sx, GetSysColor(COLOR_WINDOWTEXT));
}

LRESULT OnCreate(HWND hwnd, const CREATESTRUCTW* cs) {
    auto state = std::make_unique<ComboState>();
    state->droppedHeight = cs->cy;
    const int height = CtlFieldHeight();
    ComboState* s = state.get();
    if (!CtlAttach(hwnd, std::move(state))) return -1;
    MoveWindow(hwnd, cs->x, cs->y, cs->cx, height, FALSE);  // the field; the list opens below
    if (Editable(hwnd)) {
        const int inset = CtlScaleX();
        const int width = std::max(0, cs->cx - std::min(height, cs->cx) - inset);
        s->edit = CreateWindowExW(0, WC_EDIT, cs->lpszName, WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL,
                                  inset, inset, width, std::max(0, height - 2 * inset), hwnd,
                                  reinterpret_cast<HMENU>(static_cast<uintptr_t>(kEditId)),
                                  cs->hInstance, nullptr);
        if (!s->edit) return -1;
    }
    return 0;
}

// WM_COMMAND from the edit field.
void OnEditNotify(HWND hwnd, ComboState& s, WORD code) {
    switch (code) {
        case EN_CHANGE: {
            if (s.settingText) return;
            WString text = CtlText(s.edit);
            CtlStoreText(hwnd, text);
            LRESULT match = Find(s, -1, text.c_str(), true);
            s.cur = match == CB_ERR ? -1 : static_cast<int>(match);
            CtlNotify(hwnd, CBN_EDITUPDATE);
            if (IsWindow(hwnd)) CtlNotify(hwnd, CBN_EDITCHANGE);
            return;
        }
        case EN_SETFOCUS:
            CtlNotify(hwnd, CBN_SETFOCUS);
            return;
        case EN_KILLFOCUS:
            CtlNotify(hwnd, CBN_KILLFOCUS);
            return;
        default:
            return;
    }
}

// Keys the dialog manager hands over: Enter opens a drop-down list and chooses in the open
// list, the arrows move in it, Escape closes it.
void OnKey(HWND hwnd, ComboState& s, UINT vk) {
    if (!s.list) {
        if (vk == VK_RETURN) Open(hwnd, s);
        return;
    }
    switch (vk) {
        case VK_UP:
        case VK_DOWN:
            SendMessageW(s.list, LBX_MOVE, static_cast<WPARAM>(vk == VK_UP ? -1 : 1), 0);
            return;
        case VK_RETURN:
            Close(hwnd, s, static_cast<int>(SendMessageW(s.list, LBX_HOT, 0, 0)));
            return;
        case VK_ESCAPE:
            Close(hwnd, s, -1);
            return;
        default:
            return;
    }
}

// ---- the pop-up list -------------------------------------------------------------------

ComboState* ComboOf(const ListState& l) {
    return IsWindow(l.combo) ? CtlState<ComboState>(l.combo) : nullptr;
}

int Rows(HWND list) {
    RECT r;
    GetClientRect(list, &r);
    return std::max(1, static_cast<int>(r.bottom - r.top - 2 * CtlScaleY()) / ItemHeight());
}

void ShowItem(HWND list, ListState& l, int count, int item) {
    const int rows = Rows(list);
    if (item < l.top) l.top = item;
    if (item >= l.top + rows) l.top = item - rows + 1;
    l.top = std::clamp(l.top, 0, std::max(0, count - rows));
}

// The item under a point of the list's client area, -1 for none.
int ItemAt(HWND list, const ListState& l, int count, POINT pt) {
    RECT r;
    GetClientRect(list, &r);
    if (!PtInRect(&r, pt)) return -1;
    const int item = l.top + (pt.y - CtlScaleY()) / ItemHeight();
    return item >= 0 && item < count ? item : -1;
}

void PaintList(HWND list, const ListState& l) {
    CtlPaint paint(list, GetSysColor(COLOR_WINDOW));
    HDC dc = paint.dc;
    if (!dc) return;
    const RECT& client = paint.client;
    if (ComboState* s = ComboOf(l)) {
        const int sx = CtlScaleX(), sy = CtlScaleY(), itemHeight = ItemHeight();
        const int count = static_cast<int>(s->items.size());
        for (int i = l.top; i < count; ++i) {
            const LONG y = sy + (i - l.top) * itemHeight;
            if (y >= client.bottom) break;
            RECT row{client.left + sx, y, client.right - sx, y + itemHeight};
            COLORREF ink = GetSysColor(COLOR_WINDOWTEXT);
            if (i == l.hot) {
                CtlFill(dc, row, GetSysColor(COLOR_HIGHLIGHT));
                ink = GetSysColor(COLOR_HIGHLIGHTTEXT);
            }
            row.left += 2 * sx;
            const WString& text = s->items[static_cast<size_t>(i)].text;
            CtlDrawText(dc, text.c_str(), static_cast<int>(text.size()), row,
                        DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_END_ELLIPSIS, ink);
        }
    }
    CtlFrame(dc, client, CtlScaleX(), GetSysColor(COLOR_WINDOWTEXT));
}

POINT PointOf(LPARAM lParam) {
    return POINT{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
}

}  // namespace

LRESULT ComboWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CREATE) return OnCreate(hwnd, reinterpret_cast<const CREATESTRUCTW*>(lParam));
    ComboState* s = CtlState<ComboState>(hwnd);
    if (!s) return DefWindowProcW(hwnd, msg, wParam, lParam);
    switch (msg) {
        case WM_DESTROY:
            if (HWND list = s->list) {
                s->list = nullptr;
                DestroyWindow(list);
            }
            return 0;
        case WM_NCDESTROY:
            CtlDetach<ComboState>(hwnd);
            return 0;
        case WM_PAINT:
            Paint(hwnd, *s);
            return 0;
        case WM_LBUTTONDOWN: {
            if (s->list) {
                Close(hwnd, *s, -1);
                return 0;
            }
            SetFocus(s->edit ? s->edit : hwnd);
            s = CtlState<ComboState>(hwnd);
            if (!s) return 0;
            const POINT pt = PointOf(lParam);
            RECT r;
            GetClientRect(hwnd, &r);
            if (!s->edit || pt.x >= r.right - ButtonWidth(hwnd)) Open(hwnd, *s);
            return 0;
        }
        case WM_KEYDOWN:
            OnKey(hwnd, *s, static_cast<UINT>(wParam));
            return 0;
        case WM_GETDLGCODE:
            // Enter opens a closed drop-down list; in an edit field it is the dialog's.
            return s->list || (wParam == VK_RETURN && !s->edit) ? DLGC_WANTALLKEYS : 0;
        case WM_SETFOCUS:
            if (s->edit) {
                SetFocus(s->edit);
                return 0;
            }
            s->focused = true;
            InvalidateRect(hwnd, nullptr, FALSE);
            CtlNotify(hwnd, CBN_SETFOCUS);
            return 0;
        case WM_KILLFOCUS:
            if (s->edit) return 0;
            s->focused = false;
            InvalidateRect(hwnd, nullptr, FALSE);
            Close(hwnd, *s, -1);
            if (IsWindow(hwnd)) CtlNotify(hwnd, CBN_KILLFOCUS);
            return 0;
        case WM_ENABLE:
            if (!wParam) Close(hwnd, *s, -1);
            if (IsWindow(hwnd)) InvalidateRect(hwnd, nullptr, FALSE);
            if (s->edit && IsWindow(s->edit)) EnableWindow(s->edit, static_cast<BOOL>(wParam));
            return 0;
        case WM_COMMAND:
            if (s->edit && reinterpret_cast<HWND>(lParam) == s->edit)
                OnEditNotify(hwnd, *s, HIWORD(wParam));
            return 0;
        case WM_SETTEXT: {
            auto text = reinterpret_cast<LPCWSTR>(lParam);
            if (!s->edit) {
                // A drop-down list shows only its items: the text selects the item it names.
                LRESULT match = Find(*s, -1, text ? text : u"", true);
                if (match == CB_ERR) return CB_ERR;
                Select(hwnd, *s, match);
                return TRUE;
            }
            ShowText(hwnd, *s, text ? WString(text) : WString());
            return TRUE;
        }
        case CB_ADDSTRING:
            return Insert(hwnd, *s, -1, reinterpret_cast<LPCWSTR>(lParam), true);
        case CB_INSERTSTRING:
            return Insert(hwnd, *s, static_cast<intptr_t>(wParam),
                          reinterpret_cast<LPCWSTR>(lParam), false);
        case CB_DELETESTRING: {
            const auto index = static_cast<intptr_t>(wParam);
            if (index < 0 || index >= static_cast<intptr_t>(s->items.size())) return CB_ERR;
            s->items.erase(s->items.begin() + index);
            if (s->cur == index) {
                Select(hwnd, *s, -1);
            } else if (s->cur > index) {
                --s->cur;
            }
            if (s->list) InvalidateRect(s->list, nullptr, FALSE);
            return static_cast<LRESULT>(s->items.size());
        }
        case CB_RESETCONTENT:
            s->items.clear();
            Select(hwnd, *s, -1);
            return CB_OKAY;
        case CB_GETCOUNT:
            return static_cast<LRESULT>(s->items.size());
        case CB_GETCURSEL:
            return s->cur;
        case CB_SETCURSEL:
            return Select(hwnd, *s, static_cast<intptr_t>(wParam));
        case CB_GETLBTEXT:
        case CB_GETLBTEXTLEN: {
            const auto index = static_cast<intptr_t>(wParam);
            if (index < 0 || index >= static_cast<intptr_t>(s->items.size())) return CB_ERR;
            const WString& text = s->items[static_cast<size_t>(index)].text;
            if (msg == CB_GETLBTEXT) {
                // The caller's buffer holds CB_GETLBTEXTLEN + 1 characters.
                auto* out = reinterpret_cast<LPWSTR>(lParam);
                if (!out) return CB_ERR;
                std::copy(text.begin(), text.end(), out);
                out[text.size()] = u'\0';
            }
            return static_cast<LRESULT>(text.size());
        }
        case CB_GETITEMDATA:
        case CB_SETITEMDATA: {
            const auto index = static_cast<intptr_t>(wParam);
            if (index < 0 || index >= static_cast<intptr_t>(s->items.size())) return CB_ERR;
            ComboItem& item = s->items[static_cast<size_t>(index)];
            if (msg == CB_GETITEMDATA) return item.data;
            item.data = lParam;
            return TRUE;
        }
        case CB_FINDSTRING:
        case CB_FINDSTRINGEXACT:
            return Find(*s, static_cast<intptr_t>(wParam), reinterpret_cast<LPCWSTR>(lParam),
                        msg == CB_FINDSTRINGEXACT);
        case CB_SELECTSTRING: {
            LRESULT match =
                Find(*s, static_cast<intptr_t>(wParam), reinterpret_cast<LPCWSTR>(lParam), false);
            return match == CB_ERR ? CB_ERR : Select(hwnd, *s, match);
        }
        case CB_LIMITTEXT:
            if (!s->edit) return CB_ERR;
            SendMessageW(s->edit, EM_LIMITTEXT, wParam, 0);
            return TRUE;
        case CB_SHOWDROPDOWN:
            if (wParam) {
                Open(hwnd, *s);
            } else {
                Close(hwnd, *s, -1);
            }
            return TRUE;
        case CB_GETDROPPEDSTATE:
            return s->list ? TRUE : FALSE;
        case CBX_CHOOSE:
            Close(hwnd, *s, static_cast<int>(wParam));
            return 0;
        case CBX_CLOSE:
            Close(hwnd, *s, -1);
            return 0;
        case CBX_LISTGONE:
            if (s->list == reinterpret_cast<HWND>(lParam)) {
                s->list = nullptr;
                InvalidateRect(hwnd, nullptr, FALSE);
            }
            return 0;
        default:
            return CtlDefault(hwnd, msg, wParam, lParam);
    }
}

LRESULT ComboListWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CREATE) {
        auto* cs = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        auto state = std::make_unique<ListState>();
        state->combo = static_cast<HWND>(cs->lpCreateParams);
        ComboState* combo = ComboOf(*state);
        if (!combo) return -1;
        const int count = static_cast<int>(combo->items.size());
        state->hot = combo->cur;
        ListState* l = state.get();
        if (!CtlAttach(hwnd, std::move(state))) return -1;
        if (l->hot >= 0) ShowItem(hwnd, *l, count, l->hot);
        return 0;
    }
    ListState* l = CtlState<ListState>(hwnd);
    if (!l) return DefWindowProcW(hwnd, msg, wParam, lParam);
    ComboState* combo = ComboOf(*l);
    const int count = combo ? static_cast<int>(combo->items.size()) : 0;
    switch (msg) {
        case WM_DESTROY:
            if (GetCapture() == hwnd) ReleaseCapture();
            if (combo) SendMessageW(l->combo, CBX_LISTGONE, 0, reinterpret_cast<LPARAM>(hwnd));
            return 0;
        case WM_NCDESTROY:
            CtlDetach<ListState>(hwnd);
            return 0;
        case WM_PAINT:
            PaintList(hwnd, *l);
            return 0;
        case WM_LBUTTONDOWN: {
            RECT r;
            GetClientRect(hwnd, &r);
            const POINT pt = PointOf(lParam);
            if (!PtInRect(&r, pt)) {
                SendMessageW(l->combo, CBX_CLOSE, 0, 0);  // this window is gone now
                return 0;
            }
            l->pressed = true;
            l->dragging = false;
            l->pressY = pt.y;
            l->pressTop = l->top;
            l->hot = ItemAt(hwnd, *l, count, pt);
            InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        }
        case WM_MOUSEMOVE: {
            if (!l->pressed) return 0;
            const POINT pt = PointOf(lParam);
            const int moved = pt.y - l->pressY;
            if (count > Rows(hwnd) && std::abs(moved) >= ItemHeight() / 2) l->dragging = true;
            if (l->dragging) {
                l->top = std::clamp(l->pressTop - moved / ItemHeight(), 0,
                                    std::max(0, count - Rows(hwnd)));
            } else {
                l->hot = ItemAt(hwnd, *l, count, pt);
            }
            InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        }
        case WM_LBUTTONUP: {
            if (!l->pressed) return 0;  // the release of the tap that opened the list
            l->pressed = false;
            if (l->dragging) return 0;
            const int item = ItemAt(hwnd, *l, count, PointOf(lParam));
            SendMessageW(l->combo, item >= 0 ? CBX_CHOOSE : CBX_CLOSE, static_cast<WPARAM>(item),
                         0);
            return 0;  // this window is gone now
        }
        case LBX_MOVE:
            if (count > 0) {
                l->hot = std::clamp(l->hot + static_cast<int>(static_cast<intptr_t>(wParam)), 0,
                                    count - 1);
                ShowItem(hwnd, *l, count, l->hot);
                InvalidateRect(hwnd, nullptr, FALSE);
            }
            return 0;
        case LBX_HOT:
            return l->hot;
        default:
            return CtlDefault(hwnd, msg, wParam, lParam);
    }
}
