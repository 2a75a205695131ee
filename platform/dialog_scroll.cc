// A window's own scroll bars: their range, page and position, scrolling the window's
// contents, and the vertical bar a dialog draws at its right edge and works by stylus.
#include <algorithm>
#include <mutex>
#include <unordered_map>

#include "platform/ctl_internal.h"
#include "platform/dialog_internal.h"
#include "platform/screen.h"
#include "platform/trace.h"
#include "platform/win_internal.h"

namespace {

constexpr DWORD ERROR_NO_SCROLLBARS = 1447;
constexpr int kBarWidth = 8;  // base pixels (240 x 320 screen)
constexpr int kMinThumb = 8;  // base pixels

struct Bar {
    int min = 0;            // first position
    int max = 100;          // last position of the range
    UINT page = 0;          // positions one page shows
    int pos = 0;            // the position
    int track = 0;          // the thumb's position while it is dragged
    bool tracking = false;  // the thumb is being dragged
};

struct WindowBars {
    Bar bars[2];   // SB_HORZ, SB_VERT
    int grab = 0;  // pixels from the thumb's top to where the stylus holds it
};

struct BarTable {
    std::mutex lock;
    std::unordered_map<HWND, WindowBars> windows;  // windows whose bars were set or used
};

BarTable& Table() {
    static BarTable* t = new BarTable;  // outlives static destructors and running threads
    return *t;
}

int MaxPos(const Bar& b) {
    return std::max(b.min, b.max - std::max(static_cast<int>(b.page) - 1, 0));
}

bool HasBarStyle(HWND hwnd, int bar) {
    const DWORD style = static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE));
    return (style & (bar == SB_VERT ? WS_VSCROLL : WS_HSCROLL)) != 0;
}

bool ArgsOk(const char* what, HWND hwnd, int bar) {
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (bar != SB_HORZ && bar != SB_VERT) {
        Trace("[Platform] %s %p: bar %d is not supported (only SB_HORZ and SB_VERT)", what,
              static_cast<void*>(hwnd), bar);
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

// The bars of hwnd, added with the defaults; entries of windows that are gone are dropped
// first. Table lock held.
WindowBars& BarsLocked(BarTable& t, HWND hwnd) {
    if (!t.windows.count(hwnd)) {
        std::erase_if(t.windows, [](const auto& entry) { return !LocalWindow(entry.first); });
    }
    return t.windows[hwnd];
}

// A copy of one bar; false when the window has neither it nor the style for it.
bool ReadBar(HWND hwnd, int bar, Bar* out) {
    BarTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.windows.find(hwnd);
    if (it != t.windows.end()) {
        *out = it->second.bars[bar];
        return true;
    }
    *out = Bar{};
    return HasBarStyle(hwnd, bar);
}

RECT TrackRect(HWND dlg) {
    RECT r;
    GetClientRect(dlg, &r);
    r.left = std::max(r.left, r.right - kBarWidth * CtlScaleX());
    return r;
}

struct Thumb {
    int top;     // first row
    int bottom;  // one past the last
};

Thumb ThumbOf(const Bar& b, const RECT& track, int pos) {
    const int length = std::max(0, static_cast<int>(track.bottom - track.top));
    const long long range = static_cast<long long>(b.max) - b.min + 1;
    int size = b.page == 0 || range <= 0
                   ? length
                   : static_cast<int>(std::min<long long>(
                         length, length * static_cast<long long>(b.page) / range));
    size = std::max(size, std::min(length, kMinThumb * CtlScaleY()));
    const long long span = MaxPos(b) - b.min;
    const int travel = length - size;
    const int at =
        span > 0
            ? static_cast<int>(
                  travel * static_cast<long long>(std::clamp(pos, b.min, MaxPos(b)) - b.min) / span)
            : 0;
    return Thumb{static_cast<int>(track.top) + at, static_cast<int>(track.top) + at + size};
}

// The position that puts the thumb's top at row y.
int PosAt(const Bar& b, const RECT& track, int y) {
    const Thumb t = ThumbOf(b, track, b.min);
    const int travel = static_cast<int>(track.bottom - track.top) - (t.bottom - t.top);
    if (travel <= 0) return b.min;
    const long long span = MaxPos(b) - b.min;
    const long long offset = std::clamp<long long>(y - track.top, 0, travel);
    return b.min + static_cast<int>((offset * span + travel / 2) / travel);
}

void SendScroll(HWND dlg, WORD code, int pos) {
    SendMessageW(dlg, WM_VSCROLL, MAKEWPARAM(code, static_cast<WORD>(pos)), 0);
}

}  // namespace

int SetScrollInfo(HWND hwnd, int bar, LPCSCROLLINFO info, BOOL redraw) {
    if (!ArgsOk("SetScrollInfo", hwnd, bar)) return 0;
    if (!info ||
        (info->cbSize != sizeof(SCROLLINFO) && info->cbSize != sizeof(SCROLLINFO) - sizeof(int))) {
        Trace("[Platform] SetScrollInfo %p: no SCROLLINFO or a wrong cbSize",
              static_cast<void*>(hwnd));
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int pos;
    {
        BarTable& t = Table();
        std::lock_guard<std::mutex> g(t.lock);
        Bar& b = BarsLocked(t, hwnd).bars[bar];
        if (info->fMask & SIF_RANGE) {
            b.min = info->nMin;
            b.max = std::max(info->nMin, info->nMax);
        }
        if (info->fMask & SIF_PAGE) b.page = info->nPage;
        if (info->fMask & SIF_POS) b.pos = info->nPos;
        const long long range = static_cast<long long>(b.max) - b.min + 1;
        if (b.page > range) b.page = static_cast<UINT>(range);
        b.pos = std::clamp(b.pos, b.min, MaxPos(b));
        pos = b.pos;
    }
    if (redraw && bar == SB_VERT) DialogPaintScrollBar(hwnd);
    return pos;
}

BOOL GetScrollInfo(HWND hwnd, int bar, LPSCROLLINFO info) {
    if (!ArgsOk("GetScrollInfo", hwnd, bar)) return FALSE;
    Bar b;
    if (!info || !ReadBar(hwnd, bar, &b)) {
        SetLastError(info ? ERROR_NO_SCROLLBARS : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (info->fMask & SIF_RANGE) {
        info->nMin = b.min;
        info->nMax = b.max;
    }
    if (info->fMask & SIF_PAGE) info->nPage = b.page;
    if (info->fMask & SIF_POS) info->nPos = b.pos;
    if ((info->fMask & SIF_TRACKPOS) && info->cbSize == sizeof(SCROLLINFO))
        info->nTrackPos = b.tracking ? b.track : b.pos;
    return TRUE;
}

int SetScrollPos(HWND hwnd, int bar, int pos, BOOL redraw) {
    const int previous = GetScrollPos(hwnd, bar);
    SCROLLINFO info{sizeof(SCROLLINFO), SIF_POS, 0, 0, 0, pos, 0};
    SetScrollInfo(hwnd, bar, &info, redraw);
    return previous;
}

int GetScrollPos(HWND hwnd, int bar) {
    SCROLLINFO info{sizeof(SCROLLINFO), SIF_POS, 0, 0, 0, 0, 0};
    return GetScrollInfo(hwnd, bar, &info) ? info.nPos : 0;
}

int ScrollWindowEx(HWND hwnd, int dx, int dy, const RECT*, const RECT*, HRGN, RECT* updateRect,
                   UINT flags) {
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return RGN_ERROR;
    }
    if (updateRect) SetRectEmpty(updateRect);
    if (dx == 0 && dy == 0) return NULLREGION;
    if (flags & SW_SCROLLCHILDREN) {
        RECT parent;
        GetWindowRect(hwnd, &parent);
        for (HWND c = GetWindow(hwnd, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
            RECT r;
            if (!GetWindowRect(c, &r)) continue;
            MoveWindow(c, r.left - parent.left + dx, r.top - parent.top + dy, r.right - r.left,
                       r.bottom - r.top, FALSE);
            InvalidateRect(c, nullptr, TRUE);
        }
    }
    // The whole window repaints: what the scroll uncovers and what it moved.
    InvalidateRect(hwnd, nullptr, (flags & SW_ERASE) ? TRUE : FALSE);
    if (updateRect) {
        RECT c;
        GetClientRect(hwnd, &c);
        *updateRect = c;
        if (dx == 0 && dy > 0) updateRect->bottom = std::min(c.bottom, c.top + dy);
        if (dx == 0 && dy < 0) updateRect->top = std::max(c.top, c.bottom + dy);
        if (dy == 0 && dx > 0) updateRect->right = std::min(c.right, c.left + dx);
        if (dy == 0 && dx < 0) updateRect->left = std::max(c.left, c.right + dx);
    }
    return SIMPLEREGION;
}

void ForgetScrollBars(HWND hwnd) {
    BarTable& t = Table();
    std::lock_guard<std::mutex> g(t.lock);
    t.windows.erase(hwnd);
}

void DialogPaintScrollBar(HWND dlg) {
    if (!HasBarStyle(dlg, SB_VERT) || !IsWindowVisible(dlg) || !IsDialogWindow(dlg)) return;
    Bar b;
    ReadBar(dlg, SB_VERT, &b);
    HDC dc = GetDC(dlg);
    if (!dc) return;
    const RECT track = TrackRect(dlg);
    CtlFill(dc, track, RGB(0xDC, 0xDC, 0xDC));
    const Thumb thumb = ThumbOf(b, track, b.tracking ? b.track : b.pos);
    const int inset = CtlScaleX();
    CtlFill(dc, RECT{track.left + inset, thumb.top, track.right - inset, thumb.bottom},
            RGB(0x89, 0x89, 0x8B));
    ReleaseDC(dlg, dc);
}

bool DialogScrollBarInput(HWND dlg, UINT msg, LPARAM lParam) {
    if (!HasBarStyle(dlg, SB_VERT) || !IsDialogWindow(dlg)) return false;
    const POINT pt{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    const RECT track = TrackRect(dlg);
    Bar b;
    ReadBar(dlg, SB_VERT, &b);
    if (msg == WM_LBUTTONDOWN) {
        if (!PtInRect(&track, pt)) return false;
        const Thumb thumb = ThumbOf(b, track, b.pos);
        if (pt.y < thumb.top || pt.y >= thumb.bottom) {
            SendScroll(dlg, pt.y < thumb.top ? SB_PAGEUP : SB_PAGEDOWN, 0);
            SendScroll(dlg, SB_ENDSCROLL, 0);
            return true;
        }
        {
            BarTable& t = Table();
            std::lock_guard<std::mutex> g(t.lock);
            WindowBars& bars = BarsLocked(t, dlg);
            bars.bars[SB_VERT].tracking = true;
            bars.bars[SB_VERT].track = b.pos;
            bars.grab = pt.y - thumb.top;
        }
        SetCapture(dlg);
        return true;
    }
    if (!b.tracking) return false;
    int pos;
    {
        BarTable& t = Table();
        std::lock_guard<std::mutex> g(t.lock);
        WindowBars& bars = BarsLocked(t, dlg);
        pos = PosAt(b, track, pt.y - bars.grab);
        bars.bars[SB_VERT].track = pos;
        if (msg == WM_LBUTTONUP) bars.bars[SB_VERT].tracking = false;
    }
    if (msg == WM_MOUSEMOVE) {
        SendScroll(dlg, SB_THUMBTRACK, pos);
        DialogPaintScrollBar(dlg);
    } else {
        if (GetCapture() == dlg) ReleaseCapture();
        SendScroll(dlg, SB_THUMBPOSITION, pos);
        SendScroll(dlg, SB_ENDSCROLL, 0);
    }
    return true;
}
