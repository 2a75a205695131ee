// The edit control: one line that scrolls sideways to keep the caret in view, or several
// word-wrapped lines that scroll up and down. Typing (WM_CHAR) replaces the selection
// within the EM_LIMITTEXT limit; a tap takes the focus and places the caret.
#include <algorithm>
#include <vector>

#include "platform/ctl_internal.h"

namespace {

constexpr UINT kVkEnd = 0x23;
constexpr UINT kVkHome = 0x24;
constexpr UINT kVkDelete = 0x2E;
constexpr int kDefaultLimit = 32767;  // what typing may reach before EM_LIMITTEXT
constexpr int kNoLimit = 0x7FFFFFFE;  // EM_LIMITTEXT 0
constexpr int kMaxBitmapSide = 8192;  // a larger formatting rectangle is drawn clipped

struct Line {
    int start;  // first character shown on the line
    int end;    // one past the last; line breaks are not part of any line
};

struct EditState {
    WString text;               // the text, kept in the window text as well
    int anchor = 0;             // the fixed end of the selection
    int caret = 0;              // its moving end, where the caret is drawn
    int limit = kDefaultLimit;  // characters typing may reach
    RECT format{0, 0, 0, 0};    // formatting rectangle, client coordinates
    bool formatSet = false;     // chosen by EM_SETRECT rather than the default
    int scrollX = 0;            // pixels of a one-line text scrolled off to the left
    int topLine = 0;            // first line shown of a multi-line text
    bool focused = false;       // the edit has the focus
};

bool Multi(HWND hwnd) {
    return (CtlStyle(hwnd) & ES_MULTILINE) != 0;
}

int SelMin(const EditState& s) {
    return std::min(s.anchor, s.caret);
}
int SelMax(const EditState& s) {
    return std::max(s.anchor, s.caret);
}

bool IsHigh(WCHAR c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLow(WCHAR c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// The position one character before p, stepping over surrogate pairs and CR LF.
int PrevPos(const WString& t, int p) {
    if (p <= 0) return 0;
    int q = p - 1;
    if (q > 0 && ((IsLow(t[q]) && IsHigh(t[q - 1])) || (t[q] == u'\n' && t[q - 1] == u'\r'))) --q;
    return q;
}
int NextPos(const WString& t, int p) {
    const int n = static_cast<int>(t.size());
    if (p >= n) return n;
    int q = p + 1;
    if (q < n && ((IsHigh(t[p]) && IsLow(t[q])) || (t[p] == u'\r' && t[q] == u'\n'))) ++q;
    return q;
}

RECT DefaultFormat(HWND hwnd) {
    RECT r;
    GetClientRect(hwnd, &r);
    const int border = (CtlStyle(hwnd) & WS_BORDER) ? CtlScaleX() : 0;
    InflateRect(&r, -(border + 2 * CtlScaleX()), -(border + CtlScaleY()));
    if (r.right < r.left) r.right = r.left;
    if (r.bottom < r.top) r.bottom = r.top;
    return r;
}

// What is drawn: the text, or a * for every character of a password.
WString Shown(HWND hwnd, const EditState& s) {
    if (CtlStyle(hwnd) & ES_PASSWORD) return WString(s.text.size(), u'*');
    return s.text;
}

// The largest count of characters from start whose width fits (0 when none does).
int FitCount(CtlMeasure& m, const WString& t, int start, int count, int width) {
    int fit = 0, lo = 1, hi = count;
    while (lo <= hi) {
        int mid = lo + (hi - lo) / 2;
        if (m.Width(t.data() + start, mid) <= width) {
            fit = mid;
            lo = mid + 1;
        } else {
            hi = mid - 1;
        }
    }
    return fit;
}

// Splits the text into the lines shown: one for a one-line edit; otherwise paragraphs at
// line breaks, each wrapped after the last space that fits the width.
std::vector<Line> Layout(const WString& t, bool multi, int width, CtlMeasure& m) {
    const int n = static_cast<int>(t.size());
    std::vector<Line> lines;
    if (!multi) {
        lines.push_back(Line{0, n});
        return lines;
    }
    int p = 0;
    for (;;) {
        int e = p;
        while (e < n && t[e] != u'\r' && t[e] != u'\n') ++e;
        int s = p;
        do {
            int cut = e;
            if (width > 0 && m.Width(t.data() + s, e - s) > width) {
                cut = s + std::max(1, FitCount(m, t, s, e - s, width));
                for (int i = cut; i > s + 1; --i) {
                    if (t[i - 1] == u' ') {
                        cut = i;
                        break;
                    }
                }
            }
            lines.push_back(Line{s, cut});
            s = cut;
        } while (s < e);
        if (e >= n) break;
        p = e + ((t[e] == u'\r' && e + 1 < n && t[e + 1] == u'\n') ? 2 : 1);
        if (p >= n) {
            lines.push_back(Line{n, n});  // the text ends with a line break
            break;
        }
    }
    return lines;
}

int LineOf(const std::vector<Line>& lines, int pos) {
    for (int i = static_cast<int>(lines.size()) - 1; i > 0; --i) {
        if (lines[static_cast<size_t>(i)].start <= pos) return i;
    }
    return 0;
}

struct View {
    WString shown;            // the characters drawn
    std::vector<Line> lines;  // their lines
    int lineHeight;           // pixels per line
};

View MakeView(HWND hwnd, const EditState& s, CtlMeasure& m) {
    View v;
    v.shown = Shown(hwnd, s);
    v.lines = Layout(v.shown, Multi(hwnd), s.format.right - s.format.left, m);
    v.lineHeight = std::max(1, CtlLineHeight());
    return v;
}

int XOf(const View& v, CtlMeasure& m, int line, int pos) {
    const Line& l = v.lines[static_cast<size_t>(line)];
    return m.Width(v.shown.data() + l.start, std::clamp(pos, l.start, l.end) - l.start);
}

// The position nearest to x (pixels from the line's left edge) on a line.
int PosAtX(const View& v, CtlMeasure& m, int line, int x) {
    const Line& l = v.lines[static_cast<size_t>(line)];
    const int len = l.end - l.start;
    int k = FitCount(m, v.shown, l.start, len, std::max(0, x));
    if (k < len) {
        int left = m.Width(v.shown.data() + l.start, k);
        int right = m.Width(v.shown.data() + l.start, k + 1);
        if (x - left > right - x) ++k;
    }
    return l.start + k;
}

// Scrolls so that the caret is in view.
void ShowCaret(HWND hwnd, EditState& s) {
    CtlMeasure m;
    View v = MakeView(hwnd, s, m);
    const int line = LineOf(v.lines, s.caret);
    if (Multi(hwnd)) {
        const int visible = std::max(1, (s.format.bottom - s.format.top) / v.lineHeight);
        if (line < s.topLine) s.topLine = line;
        if (line >= s.topLine + visible) s.topLine = line - visible + 1;
        s.topLine = std::clamp(s.topLine, 0, static_cast<int>(v.lines.size()) - 1);
        return;
    }
    const int width = s.format.right - s.format.left;
    const int caretWidth = CtlScaleX();
    const int x = XOf(v, m, line, s.caret);
    if (x - s.scrollX > width - caretWidth) s.scrollX = x - width + caretWidth;
    if (x < s.scrollX) s.scrollX = x;
    const int total = m.Width(v.shown.data(), static_cast<int>(v.shown.size()));
    if (total + caretWidth <= width) s.scrollX = 0;
    s.scrollX = std::max(0, s.scrollX);
}

void Moved(HWND hwnd, EditState& s) {
    ShowCaret(hwnd, s);
    InvalidateRect(hwnd, nullptr, FALSE);
}

// Replaces the selection by text, within the limit when limited; the window may be gone
// when this returns.
void Replace(HWND hwnd, EditState& s, WString text, bool limited) {
    const int a = SelMin(s), b = SelMax(s);
    bool maxed = false;
    if (limited) {
        const int room = s.limit - (static_cast<int>(s.text.size()) - (b - a));
        if (room < static_cast<int>(text.size())) {
            text.resize(static_cast<size_t>(std::max(room, 0)));
            if (!text.empty() && IsHigh(text.back())) text.pop_back();  // no half characters
            maxed = true;
        }
    }
    if (text.empty() && a == b) {
        if (maxed) CtlNotify(hwnd, EN_MAXTEXT);
        return;
    }
    s.text.replace(static_cast<size_t>(a), static_cast<size_t>(b - a), text);
    s.anchor = s.caret = a + static_cast<int>(text.size());
    CtlStoreText(hwnd, s.text);
    Moved(hwnd, s);
    if (maxed) CtlNotify(hwnd, EN_MAXTEXT);
    if (IsWindow(hwnd)) CtlNotify(hwnd, EN_CHANGE);
}

void Erase(HWND hwnd, EditState& s, bool backward) {
    if (s.anchor == s.caret) {
        if (backward) {
            s.anchor = PrevPos(s.text, s.caret);
        } else {
            s.anchor = NextPos(s.text, s.caret);
        }
    }
    Replace(hwnd, s, WString(), false);
}

void OnChar(HWND hwnd, EditState& s, WCHAR c) {
    const DWORD style = CtlStyle(hwnd);
    if (style & ES_READONLY) return;
    if (c == u'\b') {
        Erase(hwnd, s, true);
        return;
    }
    if ((style & ES_MULTILINE) && (c == u'\n' || (c == u'\r' && (style & ES_WANTRETURN)))) {
        Replace(hwnd, s, u"\r\n", true);
        return;
    }
    if (c < 0x20) return;  // other control characters type nothing
    if ((style & ES_NUMBER) && (c < u'0' || c > u'9')) return;
    Replace(hwnd, s, WString(1, c), true);
}

void OnKey(HWND hwnd, EditState& s, UINT vk) {
    const int n = static_cast<int>(s.text.size());
    CtlMeasure m;
    View v = MakeView(hwnd, s, m);
    const int line = LineOf(v.lines, s.caret);
    const Line& l = v.lines[static_cast<size_t>(line)];
    switch (vk) {
        case VK_LEFT:
            s.caret = s.anchor != s.caret ? SelMin(s) : PrevPos(s.text, s.caret);
            break;
        case VK_RIGHT:
            s.caret = s.anchor != s.caret ? SelMax(s) : NextPos(s.text, s.caret);
            break;
        case kVkHome:
            s.caret = Multi(hwnd) ? l.start : 0;
            break;
        case kVkEnd:
            s.caret = Multi(hwnd) ? l.end : n;
            break;
        case VK_UP:
        case VK_DOWN: {
            const int target = line + (vk == VK_UP ? -1 : 1);
            if (!Multi(hwnd) || target < 0 || target >= static_cast<int>(v.lines.size())) return;
            s.caret = PosAtX(v, m, target, XOf(v, m, line, s.caret));
            break;
        }
        case kVkDelete:
            if (!(CtlStyle(hwnd) & ES_READONLY)) Erase(hwnd, s, false);
            return;
        default:
            return;
    }
    s.anchor = s.caret;
    Moved(hwnd, s);
}

void OnTap(HWND hwnd, EditState& s, POINT pt) {
    CtlMeasure m;
    View v = MakeView(hwnd, s, m);
    int line = 0;
    if (Multi(hwnd)) {
        line = s.topLine + (pt.y - s.format.top) / v.lineHeight;
        line = std::clamp(line, 0, static_cast<int>(v.lines.size()) - 1);
    }
    s.anchor = s.caret = PosAtX(v, m, line, pt.x - s.format.left + s.scrollX);
    Moved(hwnd, s);
}

void Paint(HWND hwnd, EditState& s) {
    CtlPaint paint(hwnd, GetSysColor(COLOR_WINDOW));
    HDC dc = paint.dc;
    if (!dc) return;
    const RECT& client = paint.client;
    if (CtlStyle(hwnd) & WS_BORDER)
        CtlFrame(dc, client, CtlScaleX(), GetSysColor(COLOR_WINDOWTEXT));
    const int w = std::min<int>(s.format.right - s.format.left, kMaxBitmapSide);
    const int h = std::min<int>(s.format.bottom - s.format.top, kMaxBitmapSide);
    HDC mem = w > 0 && h > 0 ? CreateCompatibleDC(dc) : nullptr;
    HBITMAP bitmap = mem ? CreateCompatibleBitmap(dc, w, h) : nullptr;
    if (bitmap) {
        // Drawn off screen, so that text running past the formatting rectangle is cut there.
        HGDIOBJ old = SelectObject(mem, bitmap);
        CtlMeasure m;
        View v = MakeView(hwnd, s, m);
        const bool multi = Multi(hwnd);
        const int x0 = multi ? 0 : -s.scrollX;
        const int y0 = multi ? 0 : std::max(0, (h - v.lineHeight) / 2);
        const int a = SelMin(s), b = SelMax(s);
        const COLORREF ink = CtlTextColor(hwnd);
        for (int i = multi ? s.topLine : 0; i < static_cast<int>(v.lines.size()); ++i) {
            const int y = y0 + (i - (multi ? s.topLine : 0)) * v.lineHeight;
            if (y >= h) break;
            const Line& l = v.lines[static_cast<size_t>(i)];
            const LONG end = x0 + m.Width(v.shown.data() + l.start, l.end - l.start) + 1;
            CtlDrawText(mem, v.shown.data() + l.start, l.end - l.start,
                        RECT{x0, y, end, y + v.lineHeight}, DT_LEFT | DT_TOP | DT_SINGLELINE, ink);
            const int sa = std::max(a, l.start), sb = std::min(b, l.end);
            if (sa < sb) {
                const int xa = x0 + XOf(v, m, i, sa), xb = x0 + XOf(v, m, i, sb);
                CtlFill(mem, RECT{xa, y, xb, y + v.lineHeight}, GetSysColor(COLOR_HIGHLIGHT));
                CtlDrawText(mem, v.shown.data() + sa, sb - sa,
                            RECT{xa, y, xb + 1, y + v.lineHeight}, DT_LEFT | DT_TOP | DT_SINGLELINE,
                            GetSysColor(COLOR_HIGHLIGHTTEXT));
            }
            if (s.focused && a == b && LineOf(v.lines, s.caret) == i) {
                const int x = x0 + XOf(v, m, i, s.caret);
                CtlFill(mem, RECT{x, y, x + CtlScaleX(), y + v.lineHeight}, ink);
            }
        }
        BitBlt(dc, s.format.left, s.format.top, w, h, mem, 0, 0, SRCCOPY);
        SelectObject(mem, old);
        DeleteObject(bitmap);
    }
    if (mem) DeleteDC(mem);
}

LRESULT SetText(HWND hwnd, EditState& s, LPCWSTR text) {
    s.text = text ? WString(text) : WString();
    s.anchor = s.caret = 0;
    s.scrollX = s.topLine = 0;
    CtlStoreText(hwnd, s.text);
    InvalidateRect(hwnd, nullptr, FALSE);
    if (!Multi(hwnd)) CtlNotify(hwnd, EN_CHANGE);
    return TRUE;
}

int ClampPos(const EditState& s, intptr_t pos) {
    const int n = static_cast<int>(s.text.size());
    return pos < 0 || pos > n ? n : static_cast<int>(pos);
}

}  // namespace

LRESULT EditWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CREATE) {
        auto state = std::make_unique<EditState>();
        state->text = CtlText(hwnd);
        state->format = DefaultFormat(hwnd);
        return CtlAttach(hwnd, std::move(state)) ? 0 : -1;
    }
    EditState* s = CtlState<EditState>(hwnd);
    if (!s) return DefWindowProcW(hwnd, msg, wParam, lParam);
    switch (msg) {
        case WM_NCDESTROY:
            CtlDetach<EditState>(hwnd);
            return 0;
        case WM_PAINT:
            Paint(hwnd, *s);
            return 0;
        case WM_SETTEXT:
            return SetText(hwnd, *s, reinterpret_cast<LPCWSTR>(lParam));
        case WM_CHAR:
            OnChar(hwnd, *s, static_cast<WCHAR>(wParam));
            return 0;
        case WM_KEYDOWN:
            OnKey(hwnd, *s, static_cast<UINT>(wParam));
            return 0;
        case WM_LBUTTONDOWN: {
            if (!s->focused) {
                SetFocus(hwnd);
                s = CtlState<EditState>(hwnd);  // the focus change may have ended the window
                if (!s) return 0;
            }
            OnTap(hwnd, *s,
                  POINT{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))});
            return 0;
        }
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            s->focused = msg == WM_SETFOCUS;
            InvalidateRect(hwnd, nullptr, FALSE);
            CtlNotify(hwnd, msg == WM_SETFOCUS ? EN_SETFOCUS : EN_KILLFOCUS);
            return 0;
        case WM_SIZE:
            if (!s->formatSet) s->format = DefaultFormat(hwnd);
            Moved(hwnd, *s);
            return 0;
        case WM_GETDLGCODE:
            return DLGC_WANTCHARS | DLGC_HASSETSEL | DLGC_WANTARROWS;
        case EM_LIMITTEXT:
            s->limit = wParam == 0 || wParam > static_cast<WPARAM>(kNoLimit)
                           ? kNoLimit
                           : static_cast<int>(wParam);
            return 0;
        case EM_GETLIMITTEXT:
            return s->limit;
        case EM_SETSEL: {
            const auto start = static_cast<intptr_t>(wParam);
            if (start == -1) {
                s->anchor = s->caret;
            } else {
                s->anchor = ClampPos(*s, start);
                s->caret = ClampPos(*s, lParam);
            }
            Moved(hwnd, *s);
            return 0;
        }
        case EM_GETSEL: {
            const DWORD a = static_cast<DWORD>(SelMin(*s)), b = static_cast<DWORD>(SelMax(*s));
            if (wParam) *reinterpret_cast<DWORD*>(wParam) = a;
            if (lParam) *reinterpret_cast<DWORD*>(lParam) = b;
            return a > 0xFFFF || b > 0xFFFF
                       ? -1
                       : MAKELPARAM(static_cast<WORD>(a), static_cast<WORD>(b));
        }
        case EM_REPLACESEL: {
            auto text = reinterpret_cast<LPCWSTR>(lParam);
            Replace(hwnd, *s, text ? WString(text) : WString(), true);
            return 0;
        }
        case EM_GETRECT:
            if (lParam) *reinterpret_cast<RECT*>(lParam) = s->format;
            return 0;
        case EM_SETRECT:
        case EM_SETRECTNP: {
            auto rect = reinterpret_cast<const RECT*>(lParam);
            s->formatSet = rect != nullptr;
            s->format = rect ? *rect : DefaultFormat(hwnd);
            ShowCaret(hwnd, *s);
            if (msg == EM_SETRECT) InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        }
        case EM_GETLINECOUNT: {
            CtlMeasure m;
            return static_cast<LRESULT>(MakeView(hwnd, *s, m).lines.size());
        }
        default:
            return CtlDefault(hwnd, msg, wParam, lParam);
    }
}
