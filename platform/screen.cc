// The framebuffer, window DCs and painting, the uncovered-window repaint, the title strip,
// the screen's metrics and the window tree the screen clips and hit-tests with.
#include "platform/screen.h"

#include <cairo.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>

#include "platform/gdi_internal.h"
#include "platform/screen_internal.h"
#include "platform/screen_size.h"
#include "platform/trace.h"

namespace screen {

namespace {

constexpr COLORREF kDesktopColor = RGB(0, 0, 0);     // where no window is
constexpr COLORREF kStripColor = RGB(0, 48, 112);    // title strip background
constexpr COLORREF kStripText = RGB(255, 255, 255);  // title and button text
constexpr int kStripButtonWidth = 24;                // per caption button, 240-wide units
constexpr int kStripPadding = 4;                     // left of the title, 240-wide units

// What one top-level window asked the title strip to show.
struct StripEntry {
    WString title;        // shown when the window is the topmost that asked
    bool ok = false;      // "ok" button: WM_COMMAND IDOK
    bool cancel = false;  // "X" button: WM_COMMAND IDCANCEL
};

struct Screen {
    int width = 0;                     // pixels
    int height = 0;                    // pixels
    int scaleX = 1;                    // width / 240
    int scaleY = 1;                    // height / 320
    std::recursive_mutex frameLock;    // over the framebuffer's pixels
    cairo_surface_t* frame = nullptr;  // RGB24, never freed
    std::atomic<uint64_t> serial{1};   // bumped whenever the pixels may have changed
    std::mutex lock;                   // over the members below
    std::map<HWND, StripEntry> strip;  // what windows asked the title strip to show
    std::set<HDC> dcs;                 // window DCs handed out and not yet released
};

Screen& Get();

// ---- regions: lists of disjoint rectangles ---------------------------------------------

bool Empty(const RECT& r) {
    return r.right <= r.left || r.bottom <= r.top;
}

RECT Intersect(const RECT& a, const RECT& b) {
    RECT r{std::max(a.left, b.left), std::max(a.top, b.top), std::min(a.right, b.right),
           std::min(a.bottom, b.bottom)};
    return Empty(r) ? RECT{0, 0, 0, 0} : r;
}

// Removes cut from every rectangle of region, splitting them as needed.
void Subtract(std::vector<RECT>* region, const RECT& cut) {
    std::vector<RECT> out;
    for (const RECT& r : *region) {
        RECT in = Intersect(r, cut);
        if (Empty(in)) {
            out.push_back(r);
            continue;
        }
        if (r.top < in.top) out.push_back(RECT{r.left, r.top, r.right, in.top});
        if (in.bottom < r.bottom) out.push_back(RECT{r.left, in.bottom, r.right, r.bottom});
        if (r.left < in.left) out.push_back(RECT{r.left, in.top, in.left, in.bottom});
        if (in.right < r.right) out.push_back(RECT{in.right, in.top, r.right, in.bottom});
    }
    region->swap(out);
}

RECT ScreenRect(const Screen& s) {
    return RECT{0, 0, s.width, s.height};
}

RECT StripRect(const Screen& s) {
    return RECT{0, 0, s.width, SCREEN_BAND_HEIGHT * s.scaleY};
}

// ---- window DCs --------------------------------------------------------------------------

// The parts of hwnd on the screen, in screen coordinates: inside its parents, outside the
// title strip, its visible children and the visible top-level windows above its own.
std::vector<RECT> VisibleRegion(const Screen& s, const WindowTree& tree, HWND hwnd) {
    if (!tree.OnScreen(hwnd)) return {};
    RECT clip = Intersect(tree.Find(hwnd)->rect, ScreenRect(s));
    for (const WindowShape* p = tree.Find(tree.Find(hwnd)->parent); p; p = tree.Find(p->parent))
        clip = Intersect(clip, p->rect);
    std::vector<RECT> region;
    if (!Empty(clip)) region.push_back(clip);
    Subtract(&region, StripRect(s));
    for (const WindowShape* c : tree.Children(hwnd)) {
        if (c->shown) Subtract(&region, c->rect);
    }
    const HWND top = tree.TopLevelOf(hwnd);
    for (const WindowShape* t : tree.Children(nullptr)) {
        if (t->hwnd == top) break;
        if (t->shown) Subtract(&region, t->rect);
    }
    return region;
}

// A DC drawing on the framebuffer at origin, clipped to region; registered for ReleaseDC.
HDC NewScreenDC(Screen& s, POINT origin, const std::vector<RECT>& region) {
    HDC dc = CreateTargetDC(s.frame, origin, region, &s.frameLock);
    if (!dc) return nullptr;
    std::lock_guard<std::mutex> g(s.lock);
    s.dcs.insert(dc);
    return dc;
}

void FillFrame(Screen& s, const std::vector<RECT>& region, COLORREF color) {
    if (region.empty()) return;
    std::lock_guard<std::recursive_mutex> g(s.frameLock);
    cairo_t* cr = cairo_create(s.frame);
    cairo_set_source_rgb(cr, GetRValue(color) / 255.0, GetGValue(color) / 255.0,
                         GetBValue(color) / 255.0);
    for (const RECT& r : region) {
        cairo_rectangle(cr, r.left, r.top, r.right - r.left, r.bottom - r.top);
    }
    cairo_fill(cr);
    cairo_destroy(cr);
    s.serial++;
}

// ---- the title strip ---------------------------------------------------------------------

// The window whose entry the strip shows now, with that entry; false when none asked.
bool CurrentStrip(Screen& s, HWND* owner, StripEntry* entry) {
    WindowTree tree;
    std::lock_guard<std::mutex> g(s.lock);
    for (const WindowShape* t : tree.Children(nullptr)) {
        if (!t->shown) continue;
        auto it = s.strip.find(t->hwnd);
        if (it == s.strip.end()) continue;
        *owner = t->hwnd;
        *entry = it->second;
        return true;
    }
    return false;
}

// The strip's buttons from the right: "X" outermost, "ok" to its left.
void StripButtons(const Screen& s, const StripEntry& e, RECT* ok, RECT* cancel) {
    const int w = kStripButtonWidth * s.scaleX;
    const int h = SCREEN_BAND_HEIGHT * s.scaleY;
    int right = s.width;
    *cancel = *ok = RECT{0, 0, 0, 0};
    if (e.cancel) {
        *cancel = RECT{right - w, 0, right, h};
        right -= w;
    }
    if (e.ok) *ok = RECT{right - w, 0, right, h};
}

void DrawStrip(Screen& s) {
    HWND owner = nullptr;
    StripEntry entry;
    CurrentStrip(s, &owner, &entry);
    const RECT band = StripRect(s);
    HDC dc = CreateTargetDC(s.frame, POINT{0, 0}, {band}, &s.frameLock);
    if (!dc) return;
    HBRUSH back = CreateSolidBrush(kStripColor);
    HPEN pen = CreatePen(PS_SOLID, 1, kStripText);
    HGDIOBJ oldFont = SelectObject(dc, GetStockObject(SYSTEM_FONT));
    HGDIOBJ oldPen = SelectObject(dc, pen);
    HGDIOBJ oldBrush = SelectObject(dc, GetStockObject(NULL_BRUSH));
    FillRect(dc, &band, back);
    SetTextColor(dc, kStripText);
    SetBkMode(dc, TRANSPARENT);
    RECT ok, cancel;
    StripButtons(s, entry, &ok, &cancel);
    const LONG buttonsLeft = !Empty(ok) ? ok.left : !Empty(cancel) ? cancel.left : band.right;
    RECT text{kStripPadding * s.scaleX, 0, buttonsLeft - kStripPadding * s.scaleX, band.bottom};
    DrawTextW(dc, entry.title.c_str(), -1, &text,
              DT_LEFT | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX | DT_END_ELLIPSIS);
    const std::pair<RECT, LPCWSTR> buttons[] = {{ok, u"ok"}, {cancel, u"X"}};
    for (auto [r, label] : buttons) {
        if (Empty(r)) continue;
        Rectangle(dc, r.left + s.scaleX, r.top + 2 * s.scaleY, r.right - s.scaleX,
                  r.bottom - 2 * s.scaleY);
        DrawTextW(dc, label, -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    }
    SelectObject(dc, oldBrush);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldFont);
    DeleteDC(dc);
    DeleteObject(pen);
    DeleteObject(back);
    s.serial++;
}

// ---- repainting what a change uncovers ---------------------------------------------------

// Invalidates hwnd and its descendants that are on the screen.
void InvalidateTree(const WindowTree& tree, HWND hwnd) {
    if (!tree.OnScreen(hwnd)) return;
    InvalidateRect(hwnd, nullptr, TRUE);
    for (const WindowShape* c : tree.Children(hwnd)) InvalidateTree(tree, c->hwnd);
}

// Repaints what lay under area (screen coordinates) of a window that left it: its parent,
// or the top-level windows there and the desktop between them.
void Uncover(Screen& s, const RECT& area, HWND parent) {
    if (parent) {
        InvalidateTree(WindowTree(), parent);
        return;
    }
    // The windows are looked at under the framebuffer lock: one shown meanwhile paints
    // after the desktop is filled, never under it.
    std::lock_guard<std::recursive_mutex> g(s.frameLock);
    WindowTree tree;
    std::vector<RECT> desktop{Intersect(area, ScreenRect(s))};
    if (Empty(desktop[0])) return;
    Subtract(&desktop, StripRect(s));
    for (const WindowShape* t : tree.Children(nullptr)) {
        if (!t->shown || Empty(Intersect(t->rect, area))) continue;
        InvalidateTree(tree, t->hwnd);
        Subtract(&desktop, t->rect);
    }
    FillFrame(s, desktop, kDesktopColor);
}

void OnWindowChanged(const WindowChangeInfo& c) {
    Screen& s = Get();
    if (c.change == WindowChange::Destroyed) {
        ForgetInputWindow(c.hwnd);
        std::lock_guard<std::mutex> g(s.lock);
        s.strip.erase(c.hwnd);
    }
    switch (c.change) {
        case WindowChange::Shown:
        case WindowChange::Raised:
            InvalidateTree(WindowTree(), c.hwnd);
            break;
        case WindowChange::Hidden:
        case WindowChange::Destroyed:
            if (c.wasShown) Uncover(s, c.before, c.parent);
            break;
        case WindowChange::Moved:
            if (c.wasShown) Uncover(s, c.before, c.parent);
            InvalidateTree(WindowTree(), c.hwnd);
            break;
    }
    if (!c.parent) DrawStrip(s);
}

void DefaultPaint(HWND hwnd) {
    PAINTSTRUCT ps;
    if (BeginPaint(hwnd, &ps)) EndPaint(hwnd, &ps);
}

// Fills the client area with the class background brush (a COLOR_ index + 1 names a
// system colour); 1 when erased.
LRESULT EraseBackground(HWND hwnd, WPARAM wParam) {
    WCHAR name[256];
    WNDCLASSW wc{};
    HDC dc = reinterpret_cast<HDC>(wParam);
    if (!dc || !GetClassNameW(hwnd, name, 256) || !GetClassInfoW(nullptr, name, &wc) ||
        !wc.hbrBackground) {
        return 0;
    }
    HBRUSH brush = wc.hbrBackground;
    const uintptr_t value = reinterpret_cast<uintptr_t>(brush);
    if (value <= COLOR_BTNTEXT + 1) brush = GetSysColorBrush(static_cast<int>(value) - 1);
    RECT client;
    GetClientRect(hwnd, &client);
    return FillRect(dc, &client, brush) ? 1 : 0;
}

const ScreenHooks kHooks{OnWindowChanged, DefaultPaint, EraseBackground};

Screen* Create() {
    auto* s = new Screen;
    const ScreenSize size = GetScreenSize();
    s->width = size.width;
    s->height = size.height;
    s->scaleX = std::max(1, size.width / 240);
    s->scaleY = std::max(1, size.height / 320);
    s->frame = cairo_image_surface_create(CAIRO_FORMAT_RGB24, s->width, s->height);
    if (cairo_surface_status(s->frame) != CAIRO_STATUS_SUCCESS) {
        // Out of memory at start-up: the screen shrinks to one pixel rather than failing.
        Trace("[Screen] cannot make a %dx%d framebuffer", s->width, s->height);
        cairo_surface_destroy(s->frame);
        s->width = s->height = 1;
        s->frame = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
    }
    FillFrame(*s, {ScreenRect(*s)}, kDesktopColor);
    Trace("[Screen] %dx%d framebuffer ready", s->width, s->height);
    return s;
}

Screen& Get() {
    static Screen* s = Create();
    return *s;
}

}  // namespace

// ---- WindowTree --------------------------------------------------------------------------

WindowTree::WindowTree() : shapes_(SnapshotWindows()) {}

const WindowShape* WindowTree::Find(HWND hwnd) const {
    if (!hwnd) return nullptr;
    for (const WindowShape& w : shapes_) {
        if (w.hwnd == hwnd) return &w;
    }
    return nullptr;
}

std::vector<const WindowShape*> WindowTree::Children(HWND parent) const {
    std::vector<const WindowShape*> out;
    for (const WindowShape& w : shapes_) {
        if (w.parent == parent) out.push_back(&w);
    }
    return out;
}

bool WindowTree::AllTheWayUp(HWND hwnd, bool WindowShape::*flag) const {
    const WindowShape* w = Find(hwnd);
    if (!w) return false;
    for (; w; w = Find(w->parent)) {
        if (!(w->*flag)) return false;
    }
    return true;
}

bool WindowTree::OnScreen(HWND hwnd) const {
    return AllTheWayUp(hwnd, &WindowShape::shown);
}

bool WindowTree::Enabled(HWND hwnd) const {
    return AllTheWayUp(hwnd, &WindowShape::enabled);
}

HWND WindowTree::TopLevelOf(HWND hwnd) const {
    const WindowShape* w = Find(hwnd);
    while (w && w->parent) w = Find(w->parent);
    return w ? w->hwnd : nullptr;
}

bool WindowTree::Above(HWND a, HWND b) const {
    for (const WindowShape& w : shapes_) {
        if (w.parent) continue;
        if (w.hwnd == a) return w.hwnd != b;
        if (w.hwnd == b) return false;
    }
    return false;
}

HWND WindowTree::HitTest(POINT pt) const {
    auto inside = [&](const WindowShape* w) {
        return w->shown && pt.x >= w->rect.left && pt.x < w->rect.right && pt.y >= w->rect.top &&
               pt.y < w->rect.bottom;
    };
    HWND found = nullptr;
    for (std::vector<const WindowShape*> level = Children(nullptr);;) {
        const WindowShape* hit = nullptr;
        for (const WindowShape* w : level) {
            if (inside(w)) {
                hit = w;
                break;
            }
        }
        if (!hit) return found;
        found = hit->hwnd;
        level = Children(found);
    }
}

// ---- shared with the other screen files ----------------------------------------------------

void Activate() {
    static std::once_flag once;
    std::call_once(once, [] {
        Screen& s = Get();
        SetScreenHooks(&kHooks);
        WindowTree tree;
        for (const WindowShape* t : tree.Children(nullptr)) InvalidateTree(tree, t->hwnd);
        DrawStrip(s);
    });
}

bool CopyFrame(uint64_t seen, FrameCopy* out) {
    Activate();
    Screen& s = Get();
    std::lock_guard<std::recursive_mutex> g(s.frameLock);
    const uint64_t serial = s.serial.load();
    if (serial == seen) return false;
    cairo_surface_flush(s.frame);
    const int stride = cairo_image_surface_get_stride(s.frame);
    const unsigned char* data = cairo_image_surface_get_data(s.frame);
    out->width = s.width;
    out->height = s.height;
    out->serial = serial;
    out->pixels.resize(static_cast<size_t>(s.width) * static_cast<size_t>(s.height));
    for (int y = 0; y < s.height; ++y) {
        memcpy(&out->pixels[static_cast<size_t>(y) * static_cast<size_t>(s.width)],
               data + static_cast<size_t>(y) * static_cast<size_t>(stride),
               static_cast<size_t>(s.width) * sizeof(uint32_t));
    }
    return true;
}

int StripHeight() {
    return SCREEN_BAND_HEIGHT * Get().scaleY;
}

int StripButtonAt(POINT pt, HWND* owner) {
    Screen& s = Get();
    StripEntry entry;
    if (!CurrentStrip(s, owner, &entry)) return 0;
    RECT ok, cancel;
    StripButtons(s, entry, &ok, &cancel);
    if (PtInRect(&ok, pt)) return IDOK;
    if (PtInRect(&cancel, pt)) return IDCANCEL;
    return 0;
}

}  // namespace screen

using screen::Get;

// ---- device contexts and painting ----------------------------------------------------------

HDC GetDC(HWND hwnd) {
    screen::Activate();
    auto& s = Get();
    if (!hwnd) return screen::NewScreenDC(s, POINT{0, 0}, {screen::ScreenRect(s)});
    if (!IsLocalWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    screen::WindowTree tree;
    const WindowShape* w = tree.Find(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return screen::NewScreenDC(s, POINT{w->rect.left, w->rect.top},
                               screen::VisibleRegion(s, tree, hwnd));
}

HDC GetWindowDC(HWND hwnd) {
    return GetDC(hwnd);
}

int ReleaseDC(HWND, HDC dc) {
    auto& s = Get();
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (!s.dcs.erase(dc)) {
            Trace("[Screen] ReleaseDC %p: not a window DC", static_cast<void*>(dc));
            SetLastError(ERROR_INVALID_HANDLE);
            return 0;
        }
    }
    DeleteDC(dc);
    s.serial++;
    return 1;
}

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* ps) {
    if (!ps || !IsLocalWindow(hwnd)) {
        SetLastError(ps ? ERROR_INVALID_WINDOW_HANDLE : ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    *ps = PAINTSTRUCT{};
    // Validated first: an invalidation while painting asks for another WM_PAINT.
    ValidateRect(hwnd, nullptr);
    const bool erase = TakeEraseDue(hwnd);
    ps->hdc = GetDC(hwnd);
    if (!ps->hdc) return nullptr;
    GetClientRect(hwnd, &ps->rcPaint);
    if (erase) {
        ps->fErase =
            SendMessageW(hwnd, WM_ERASEBKGND, reinterpret_cast<WPARAM>(ps->hdc), 0) ? FALSE : TRUE;
    }
    return ps->hdc;
}

BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* ps) {
    if (!ps || !ps->hdc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return ReleaseDC(hwnd, ps->hdc) ? TRUE : FALSE;
}

// ---- metrics -------------------------------------------------------------------------------

int GetSystemMetrics(int index) {
    const ScreenSize size = GetScreenSize();
    switch (index) {
        case SM_CXSCREEN:
            return size.width;
        case SM_CYSCREEN:
            return size.height;
        default:
            return 0;
    }
}

BOOL SystemParametersInfoW(UINT action, UINT, void* data, UINT) {
    if (action != SPI_GETWORKAREA || !data) {
        Trace("[Screen] SystemParametersInfo: action 0x%x is not supported", action);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const ScreenSize size = GetScreenSize();
    const int band = SCREEN_BAND_HEIGHT * std::max(1, size.height / 320);
    *static_cast<RECT*>(data) = RECT{0, band, size.width, size.height - band};
    return TRUE;
}

// ---- the title strip -----------------------------------------------------------------------

namespace {

// Changes hwnd's strip entry through edit, then redraws the strip.
template <class Edit>
void EditStrip(HWND top, const char* what, Edit edit) {
    if (!IsLocalWindow(top)) {
        Trace("[Screen] %s: %p is not a window of this process", what, static_cast<void*>(top));
        return;
    }
    screen::Activate();
    auto& s = Get();
    {
        std::lock_guard<std::mutex> g(s.lock);
        screen::StripEntry& e = s.strip[top];
        edit(e);
        if (e.title.empty() && !e.ok && !e.cancel) s.strip.erase(top);
    }
    screen::DrawStrip(s);
}

}  // namespace

void ScreenSetTitle(HWND top, LPCWSTR title) {
    EditStrip(top, "ScreenSetTitle",
              [&](screen::StripEntry& e) { e.title = title ? WString(title) : WString(); });
}

void ScreenSetCaptionButtons(HWND top, BOOL ok, BOOL cancel) {
    EditStrip(top, "ScreenSetCaptionButtons", [&](screen::StripEntry& e) {
        e.ok = ok != FALSE;
        e.cancel = cancel != FALSE;
    });
}

// ---- screenshots ---------------------------------------------------------------------------

BOOL ScreenSavePng(const std::string& hostPath) {
    if (hostPath.empty()) {
        Trace("[Screen] screenshot: no file named");
        return FALSE;
    }
    screen::FrameCopy copy;
    screen::CopyFrame(0, &copy);
    cairo_surface_t* image = cairo_image_surface_create_for_data(
        reinterpret_cast<unsigned char*>(copy.pixels.data()), CAIRO_FORMAT_RGB24, copy.width,
        copy.height, copy.width * 4);
    // Written beside the target and renamed: a failure leaves what was there untouched.
    const std::string temp = hostPath + ".part";
    cairo_status_t status = cairo_surface_write_to_png(image, temp.c_str());
    cairo_surface_destroy(image);
    if (status != CAIRO_STATUS_SUCCESS || std::rename(temp.c_str(), hostPath.c_str()) != 0) {
        std::remove(temp.c_str());
        Trace("[Screen] screenshot: cannot write %s (%s)", hostPath.c_str(),
              status != CAIRO_STATUS_SUCCESS ? cairo_status_to_string(status) : "rename failed");
        return FALSE;
    }
    return TRUE;
}
