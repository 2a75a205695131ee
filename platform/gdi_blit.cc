// GDI drawing that touches pixels: filling, outlines, lines, single pixels and the copies
// between device contexts (BitBlt, StretchBlt).
#include <algorithm>

#include "platform/gdi_state.h"
#include "platform/trace.h"

using namespace gdi;

namespace {

uint32_t ToPixel(COLORREF c) {
    return (static_cast<uint32_t>(GetRValue(c)) << 16) |
           (static_cast<uint32_t>(GetGValue(c)) << 8) | GetBValue(c);
}

COLORREF FromPixel(uint32_t p) {
    return RGB(static_cast<BYTE>(p >> 16), static_cast<BYTE>(p >> 8), static_cast<BYTE>(p));
}

// Coordinates far off any surface are pulled in so that no arithmetic on them overflows.
int Near(int v) {
    return std::clamp(v, -(1 << 24), 1 << 24);
}

uint32_t* PixelAt(cairo_surface_t* s, int x, int y) {
    unsigned char* data = cairo_image_surface_get_data(s);
    return reinterpret_cast<uint32_t*>(data +
                                       static_cast<size_t>(y) * cairo_image_surface_get_stride(s)) +
           x;
}

// Cuts r (DC coordinates) down to the DC's surface; false when nothing is left.
bool ClipToSurface(const Dc& dc, RECT* r) {
    cairo_surface_t* s = Surface(dc);
    RECT bounds{-dc.origin.x, -dc.origin.y, cairo_image_surface_get_width(s) - dc.origin.x,
                cairo_image_surface_get_height(s) - dc.origin.y};
    return IntersectRect(r, r, &bounds) != FALSE;
}

// Fills r (DC coordinates) with a colour; under the paint lock.
void FillColor(const Dc& dc, RECT r, COLORREF color) {
    if (!ClipToSurface(dc, &r)) return;
    cairo_t* cr = StartDrawing(dc);
    SetSourceColor(cr, color);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_rectangle(cr, r.left, r.top, r.right - r.left, r.bottom - r.top);
    cairo_fill(cr);
    cairo_destroy(cr);
}

// Looks up a DC and takes the paint lock for it; null (traced) for a bad handle.
struct Painting {
    std::shared_ptr<Dc> dc;           // the DC, null when bad
    std::unique_ptr<PaintLock> lock;  // held while painting
};

Painting Paint(HDC dc, const char* caller) {
    Painting p;
    p.dc = FindDc(dc, caller);
    if (!p.dc) return p;
    p.lock = std::make_unique<PaintLock>(p.dc.get());
    if (p.dc->deleted) {  // deleted while we waited for the lock
        Trace("%s: device context deleted", caller);
        SetLastError(ERROR_INVALID_HANDLE);
        p.dc.reset();
    }
    return p;
}

// Copies the source rectangle of src (DC coordinates, positive sizes) to the destination
// rectangle of dst, scaling by nearest neighbour; only the part of the source that exists
// on its surface is copied. Under the paint lock of both.
void Copy(const Dc& dst, double dx, double dy, double dw, double dh, const Dc& src, double sx,
          double sy, double sw, double sh) {
    cairo_surface_t* ss = Surface(src);
    double ax = std::max(sx + src.origin.x, 0.0);
    double ay = std::max(sy + src.origin.y, 0.0);
    double bx =
        std::min(sx + src.origin.x + sw, static_cast<double>(cairo_image_surface_get_width(ss)));
    double by =
        std::min(sy + src.origin.y + sh, static_cast<double>(cairo_image_surface_get_height(ss)));
    if (ax >= bx || ay >= by) return;
    double fx = dw / sw;
    double fy = dh / sh;
    double ox = dx + (ax - sx - src.origin.x) * fx;  // destination of the source corner (ax, ay)
    double oy = dy + (ay - sy - src.origin.y) * fy;
    double ow = (bx - ax) * fx;
    double oh = (by - ay) * fy;

    cairo_surface_t* from = ss;
    double fromX = ax;
    double fromY = ay;
    if (ss == Surface(dst)) {  // overlapping copies on one surface go through a scratch copy
        int w = static_cast<int>(bx - ax);
        int h = static_cast<int>(by - ay);
        from = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
        if (cairo_surface_status(from) != CAIRO_STATUS_SUCCESS) {
            Trace("BitBlt: no memory for a %dx%d copy", w, h);
            cairo_surface_destroy(from);
            return;
        }
        cairo_t* c = cairo_create(from);
        cairo_set_source_surface(c, ss, -ax, -ay);
        cairo_set_operator(c, CAIRO_OPERATOR_SOURCE);
        cairo_paint(c);
        cairo_destroy(c);
        fromX = 0;
        fromY = 0;
    }
    cairo_t* cr = StartDrawing(dst);
    cairo_pattern_t* pattern = cairo_pattern_create_for_surface(from);
    cairo_matrix_t m;
    cairo_matrix_init(&m, 1 / fx, 0, 0, 1 / fy, fromX - ox / fx, fromY - oy / fy);
    cairo_pattern_set_matrix(pattern, &m);
    cairo_pattern_set_filter(pattern, CAIRO_FILTER_NEAREST);
    cairo_pattern_set_extend(pattern, CAIRO_EXTEND_PAD);
    cairo_set_source(cr, pattern);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_rectangle(cr, ox, oy, ow, oh);
    cairo_fill(cr);
    cairo_pattern_destroy(pattern);
    cairo_destroy(cr);
    if (from != ss) cairo_surface_destroy(from);
}

BOOL Blit(const char* caller, HDC dst, int x, int y, int width, int height, HDC src, int srcX,
          int srcY, int srcWidth, int srcHeight, DWORD rop) {
    if (rop != SRCCOPY) {
        Trace("%s: raster operation 0x%x not supported", caller, static_cast<unsigned>(rop));
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (width < 0 || height < 0 || srcWidth < 0 || srcHeight < 0) {
        Trace("%s: negative size %dx%d from %dx%d", caller, width, height, srcWidth, srcHeight);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto d = FindDc(dst, caller);
    auto s = FindDc(src, caller);
    if (!d || !s) return FALSE;
    PaintLock lock(d.get(), s.get());
    if (d->deleted || s->deleted) {
        Trace("%s: device context deleted", caller);
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (width == 0 || height == 0 || srcWidth == 0 || srcHeight == 0) return TRUE;
    Copy(*d, x, y, width, height, *s, srcX, srcY, srcWidth, srcHeight);
    return TRUE;
}

}  // namespace

int FillRect(HDC dc, const RECT* rect, HBRUSH brush) {
    if (!rect) {
        Trace("FillRect: null rectangle");
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto b = FindBrush(brush, "FillRect");
    if (!b) return 0;
    Painting p = Paint(dc, "FillRect");
    if (!p.dc) return 0;
    if (!b->hollow) FillColor(*p.dc, *rect, b->color);
    return 1;
}

BOOL Rectangle(HDC dc, int left, int top, int right, int bottom) {
    Painting p = Paint(dc, "Rectangle");
    if (!p.dc) return FALSE;
    left = Near(left);
    top = Near(top);
    right = Near(right);
    bottom = Near(bottom);
    if (left > right) std::swap(left, right);
    if (top > bottom) std::swap(top, bottom);
    if (!p.dc->brush->hollow) FillColor(*p.dc, RECT{left, top, right, bottom}, p.dc->brush->color);
    const Pen& pen = *p.dc->pen;
    if (pen.style != PS_NULL) {
        int w = std::min({pen.width, (right - left + 1) / 2, (bottom - top + 1) / 2});
        FillColor(*p.dc, RECT{left, top, right, top + w}, pen.color);
        FillColor(*p.dc, RECT{left, bottom - w, right, bottom}, pen.color);
        FillColor(*p.dc, RECT{left, top, left + w, bottom}, pen.color);
        FillColor(*p.dc, RECT{right - w, top, right, bottom}, pen.color);
    }
    return TRUE;
}

BOOL MoveToEx(HDC dc, int x, int y, POINT* previous) {
    Painting p = Paint(dc, "MoveToEx");
    if (!p.dc) return FALSE;
    if (previous) *previous = p.dc->position;
    p.dc->position = POINT{Near(x), Near(y)};
    return TRUE;
}

BOOL LineTo(HDC dc, int x, int y) {
    Painting p = Paint(dc, "LineTo");
    if (!p.dc) return FALSE;
    x = Near(x);
    y = Near(y);
    POINT from = p.dc->position;
    p.dc->position = POINT{x, y};
    const Pen& pen = *p.dc->pen;
    if (pen.style == PS_NULL) return TRUE;
    if ((from.y == y || from.x == x) && pen.style == PS_SOLID) {
        // Straight lines are exact pixel runs without the end point, widened downwards and
        // to the right as the pen is thicker.
        if (from.x == x && from.y == y) return TRUE;
        RECT r;
        if (from.y == y) {
            r = from.x < x ? RECT{from.x, y, x, y + pen.width}
                           : RECT{x + 1, y, from.x + 1, y + pen.width};
        } else {
            r = from.y < y ? RECT{x, from.y, x + pen.width, y}
                           : RECT{x, y + 1, x + pen.width, from.y + 1};
        }
        FillColor(*p.dc, r, pen.color);
        return TRUE;
    }
    cairo_t* cr = StartDrawing(*p.dc);
    SetSourceColor(cr, pen.color);
    cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
    cairo_set_line_width(cr, pen.width);
    if (pen.style == PS_DASH) {
        double dash[] = {6.0 * pen.width, 3.0 * pen.width};
        cairo_set_dash(cr, dash, 2, 0);
    }
    cairo_move_to(cr, from.x + 0.5, from.y + 0.5);
    cairo_line_to(cr, x + 0.5, y + 0.5);
    cairo_stroke(cr);
    cairo_destroy(cr);
    return TRUE;
}

COLORREF SetPixel(HDC dc, int x, int y, COLORREF color) {
    Painting p = Paint(dc, "SetPixel");
    int sx = 0;
    int sy = 0;
    if (!p.dc || !MapPoint(*p.dc, x, y, &sx, &sy)) return CLR_INVALID;
    cairo_surface_t* s = Surface(*p.dc);
    cairo_surface_flush(s);
    *PixelAt(s, sx, sy) = ToPixel(color);
    cairo_surface_mark_dirty_rectangle(s, sx, sy, 1, 1);
    return color & 0xFFFFFF;
}

COLORREF GetPixel(HDC dc, int x, int y) {
    Painting p = Paint(dc, "GetPixel");
    int sx = 0;
    int sy = 0;
    if (!p.dc || !MapPoint(*p.dc, x, y, &sx, &sy)) return CLR_INVALID;
    cairo_surface_t* s = Surface(*p.dc);
    cairo_surface_flush(s);
    return FromPixel(*PixelAt(s, sx, sy));
}

BOOL BitBlt(HDC dst, int x, int y, int width, int height, HDC src, int srcX, int srcY, DWORD rop) {
    return Blit("BitBlt", dst, x, y, width, height, src, srcX, srcY, width, height, rop);
}

BOOL StretchBlt(HDC dst, int x, int y, int width, int height, HDC src, int srcX, int srcY,
                int srcWidth, int srcHeight, DWORD rop) {
    return Blit("StretchBlt", dst, x, y, width, height, src, srcX, srcY, srcWidth, srcHeight, rop);
}
