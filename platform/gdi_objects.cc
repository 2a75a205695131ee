// GDI objects and device contexts: the handle table, stock objects, selection and deletion,
// object descriptions, DC attributes and the device's capabilities.
#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "platform/gdi_state.h"
#include "platform/screen_size.h"
#include "platform/trace.h"

namespace gdi {
namespace {

struct Table {
    std::unordered_map<uintptr_t, std::shared_ptr<Object>> objects;  // live handles
    uintptr_t next = 0x10002;  // handles end in binary 10: never a kernel handle or a pointer
    std::unordered_map<int, HGDIOBJ> stock;       // GetStockObject index -> handle
    std::unordered_map<int, HGDIOBJ> sysBrushes;  // system colour index -> handle
    HGDIOBJ defaultBitmap = nullptr;              // the 1 x 1 bitmap of a new memory DC
};

Table& TheTable() {
    static Table* table = new Table;  // outlives every static destructor
    return *table;
}

// Under the GDI lock.
HGDIOBJ AddStock(std::shared_ptr<Object> obj) {
    obj->stock = true;
    return Add(std::move(obj));
}

std::shared_ptr<Brush> MakeBrush(COLORREF color, bool hollow) {
    auto b = std::make_shared<Brush>();
    b->color = color & 0xFFFFFF;
    b->hollow = hollow;
    return b;
}

std::shared_ptr<Pen> MakePen(int style, int width, COLORREF color) {
    auto p = std::make_shared<Pen>();
    p->style = style;
    p->width = std::clamp(width, 1, 4096);
    p->color = color & 0xFFFFFF;
    return p;
}

LONG ScaleY() {
    LONG s = GetScreenSize().height / 320;
    return s < 1 ? 1 : s;
}

// The pixel size Pango draws a LOGFONT's height at: negative heights are the character
// height, positive ones the cell height (DejaVu Sans' cell is 1.164 em).
double PixelSize(LONG height) {
    if (height < 0) return -static_cast<double>(height);
    if (height > 0) return height / 1.164;
    return 12.0 * ScaleY();
}

std::shared_ptr<Font> MakeFont(const LOGFONTW& lf) {
    auto f = std::make_shared<Font>();
    f->logFont = lf;
    f->desc = pango_font_description_new();
    pango_font_description_set_family(f->desc, kFontFamily);
    double px = PixelSize(lf.lfHeight);
    if (px > 1000) px = 1000;  // Pango refuses absurd sizes; nothing on screen is this large
    pango_font_description_set_absolute_size(f->desc, px * PANGO_SCALE);
    pango_font_description_set_weight(
        f->desc, lf.lfWeight >= FW_SEMIBOLD ? PANGO_WEIGHT_BOLD : PANGO_WEIGHT_NORMAL);
    pango_font_description_set_style(f->desc,
                                     lf.lfItalic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
    return f;
}

LOGFONTW SystemLogFont() {
    LOGFONTW lf{};
    lf.lfHeight = -12 * ScaleY();
    lf.lfWeight = FW_NORMAL;
    lf.lfCharSet = DEFAULT_CHARSET;
    const char16_t face[] = u"DejaVu Sans";
    for (size_t i = 0; i < sizeof(face) / sizeof(face[0]); ++i) lf.lfFaceName[i] = face[i];
    return lf;
}

// Creates the stock objects once; under the GDI lock.
void EnsureStock() {
    Table& t = TheTable();
    if (!t.stock.empty()) return;
    t.stock[WHITE_BRUSH] = AddStock(MakeBrush(RGB(255, 255, 255), false));
    t.stock[LTGRAY_BRUSH] = AddStock(MakeBrush(RGB(192, 192, 192), false));
    t.stock[GRAY_BRUSH] = AddStock(MakeBrush(RGB(128, 128, 128), false));
    t.stock[DKGRAY_BRUSH] = AddStock(MakeBrush(RGB(64, 64, 64), false));
    t.stock[BLACK_BRUSH] = AddStock(MakeBrush(RGB(0, 0, 0), false));
    t.stock[NULL_BRUSH] = AddStock(MakeBrush(0, true));
    t.stock[WHITE_PEN] = AddStock(MakePen(PS_SOLID, 1, RGB(255, 255, 255)));
    t.stock[BLACK_PEN] = AddStock(MakePen(PS_SOLID, 1, RGB(0, 0, 0)));
    t.stock[NULL_PEN] = AddStock(MakePen(PS_NULL, 1, 0));
    t.stock[SYSTEM_FONT] = AddStock(MakeFont(SystemLogFont()));
    auto one = NewBitmap(1, 1, "CreateCompatibleDC");
    if (one) t.defaultBitmap = AddStock(one);
}

int SysIndex(int index) {
    return index & ~SYS_COLOR_INDEX_FLAG;
}

// Ends one selection of the object behind handle h, if any.
template <class T>
void Unselect(std::shared_ptr<T>& obj, HGDIOBJ& h) {
    if (obj) --obj->selections;
    obj.reset();
    h = nullptr;
}

// Records obj as selected into dc in slot (objSlot, handleSlot); returns the previous handle.
template <class T>
HGDIOBJ Swap(std::shared_ptr<T>& objSlot, HGDIOBJ& handleSlot, std::shared_ptr<T> obj, HGDIOBJ h) {
    HGDIOBJ previous = handleSlot;
    Unselect(objSlot, handleSlot);
    ++obj->selections;
    objSlot = std::move(obj);
    handleSlot = h;
    return previous;
}

// Gives the DC the default objects; under the GDI lock.
void SelectDefaults(Dc& dc) {
    Table& t = TheTable();
    auto brush = std::static_pointer_cast<Brush>(
        t.objects[reinterpret_cast<uintptr_t>(t.stock[WHITE_BRUSH])]);
    auto pen =
        std::static_pointer_cast<Pen>(t.objects[reinterpret_cast<uintptr_t>(t.stock[BLACK_PEN])]);
    auto font = std::static_pointer_cast<Font>(
        t.objects[reinterpret_cast<uintptr_t>(t.stock[SYSTEM_FONT])]);
    Swap(dc.brush, dc.brushHandle, brush, t.stock[WHITE_BRUSH]);
    Swap(dc.pen, dc.penHandle, pen, t.stock[BLACK_PEN]);
    Swap(dc.font, dc.fontHandle, font, t.stock[SYSTEM_FONT]);
}

}  // namespace

Bitmap::~Bitmap() {
    if (surface) cairo_surface_destroy(surface);
}

Font::~Font() {
    if (desc) pango_font_description_free(desc);
}

Dc::~Dc() {
    if (target) cairo_surface_destroy(target);
}

std::recursive_mutex& Lock() {
    static std::recursive_mutex* lock = new std::recursive_mutex;  // outlives static destructors
    return *lock;
}

HGDIOBJ Add(std::shared_ptr<Object> obj) {
    if (!obj) return nullptr;
    std::lock_guard<std::recursive_mutex> g(Lock());
    Table& t = TheTable();
    uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(obj));
    return reinterpret_cast<HGDIOBJ>(value);
}

std::shared_ptr<Object> Find(HGDIOBJ h, DWORD type, const char* caller) {
    std::lock_guard<std::recursive_mutex> g(Lock());
    EnsureStock();
    Table& t = TheTable();
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(h));
    bool typeOk = it != t.objects.end() && (type == 0 || it->second->type == type ||
                                            (type == OBJ_DC && it->second->type == OBJ_MEMDC));
    if (!typeOk) {
        Trace("%s: invalid handle %p", caller, h);
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return it->second;
}

std::shared_ptr<Dc> FindDc(HDC dc, const char* caller) {
    auto obj = std::static_pointer_cast<Dc>(Find(dc, OBJ_DC, caller));
    if (obj && obj->deleted) {
        Trace("%s: device context %p was deleted", caller, static_cast<void*>(dc));
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return obj;
}

std::shared_ptr<Bitmap> FindBitmap(HBITMAP bitmap, const char* caller) {
    return std::static_pointer_cast<Bitmap>(Find(bitmap, OBJ_BITMAP, caller));
}

std::shared_ptr<Brush> FindBrush(HBRUSH brush, const char* caller) {
    uintptr_t v = reinterpret_cast<uintptr_t>(brush);
    if (v >= 1 && v <= COLOR_BTNTEXT + 1) {  // (HBRUSH)(COLOR_x + 1) names a system colour
        return FindBrush(GetSysColorBrush(static_cast<int>(v - 1)), caller);
    }
    return std::static_pointer_cast<Brush>(Find(brush, OBJ_BRUSH, caller));
}

std::shared_ptr<Bitmap> NewBitmap(int width, int height, const char* caller) {
    if (width <= 0 || height <= 0 || width > kMaxDimension || height > kMaxDimension ||
        static_cast<int64_t>(width) * height > kMaxPixels) {
        Trace("%s: bitmap size %dx%d refused", caller, width, height);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
        Trace("%s: no memory for a %dx%d bitmap", caller, width, height);
        cairo_surface_destroy(s);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    cairo_t* cr = cairo_create(s);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_destroy(cr);
    auto b = std::make_shared<Bitmap>();
    b->surface = s;
    b->width = width;
    b->height = height;
    return b;
}

std::shared_ptr<Font> SystemFont() {
    return std::static_pointer_cast<Font>(
        Find(GetStockObject(SYSTEM_FONT), OBJ_FONT, "SystemFont"));
}

PaintLock::PaintLock(const Dc* a, const Dc* b) {
    std::recursive_mutex* la = a ? a->targetLock : nullptr;
    std::recursive_mutex* lb = b ? b->targetLock : nullptr;
    if (la && lb && la != lb) {
        first_ = std::unique_lock<std::recursive_mutex>(*la, std::defer_lock);
        second_ = std::unique_lock<std::recursive_mutex>(*lb, std::defer_lock);
        std::lock(first_, second_);
    } else if (la || lb) {
        first_ = std::unique_lock<std::recursive_mutex>(la ? *la : *lb);
    }
    gdi_ = std::unique_lock<std::recursive_mutex>(Lock());
}

cairo_surface_t* Surface(const Dc& dc) {
    return dc.target ? dc.target : dc.bitmap->surface;
}

cairo_t* StartDrawing(const Dc& dc) {
    cairo_t* cr = cairo_create(Surface(dc));
    if (dc.target) {
        for (const RECT& r : dc.clip) {
            cairo_rectangle(cr, r.left, r.top, r.right - r.left, r.bottom - r.top);
        }
        cairo_clip(cr);  // an empty list clips everything away
        cairo_translate(cr, dc.origin.x, dc.origin.y);
    }
    return cr;
}

bool MapPoint(const Dc& dc, int x, int y, int* sx, int* sy) {
    cairo_surface_t* s = Surface(dc);
    int64_t px = static_cast<int64_t>(x) + dc.origin.x;
    int64_t py = static_cast<int64_t>(y) + dc.origin.y;
    if (px < 0 || py < 0 || px >= cairo_image_surface_get_width(s) ||
        py >= cairo_image_surface_get_height(s)) {
        return false;
    }
    if (dc.target) {
        bool inside = false;
        for (const RECT& r : dc.clip) {
            if (px >= r.left && px < r.right && py >= r.top && py < r.bottom) inside = true;
        }
        if (!inside) return false;
    }
    *sx = static_cast<int>(px);
    *sy = static_cast<int>(py);
    return true;
}

}  // namespace gdi

using namespace gdi;

HDC CreateCompatibleDC(HDC dc) {
    if (dc && !FindDc(dc, "CreateCompatibleDC")) return nullptr;
    std::lock_guard<std::recursive_mutex> g(Lock());
    EnsureStock();
    Table& t = TheTable();
    auto one =
        std::static_pointer_cast<Bitmap>(t.objects[reinterpret_cast<uintptr_t>(t.defaultBitmap)]);
    if (!one) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto obj = std::make_shared<Dc>(OBJ_MEMDC);
    SelectDefaults(*obj);
    Swap(obj->bitmap, obj->bitmapHandle, one, t.defaultBitmap);
    return static_cast<HDC>(Add(obj));
}

HDC CreateTargetDC(cairo_surface_t* target, POINT origin, const std::vector<RECT>& clip,
                   std::recursive_mutex* lock) {
    if (!target || !lock || cairo_surface_status(target) != CAIRO_STATUS_SUCCESS ||
        cairo_surface_get_type(target) != CAIRO_SURFACE_TYPE_IMAGE ||
        cairo_image_surface_get_format(target) != CAIRO_FORMAT_RGB24) {
        Trace("CreateTargetDC: the target is not an RGB24 image surface");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> g(Lock());
    EnsureStock();
    auto obj = std::make_shared<Dc>(OBJ_DC);
    SelectDefaults(*obj);
    obj->target = cairo_surface_reference(target);
    obj->origin = origin;
    obj->clip = clip;
    obj->targetLock = lock;
    return static_cast<HDC>(Add(obj));
}

BOOL DeleteDC(HDC dc) {
    std::lock_guard<std::recursive_mutex> g(Lock());
    auto obj = FindDc(dc, "DeleteDC");
    if (!obj) return FALSE;
    obj->deleted = true;
    Unselect(obj->bitmap, obj->bitmapHandle);
    Unselect(obj->brush, obj->brushHandle);
    Unselect(obj->pen, obj->penHandle);
    Unselect(obj->font, obj->fontHandle);
    TheTable().objects.erase(reinterpret_cast<uintptr_t>(dc));
    return TRUE;
}

HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height) {
    if (dc && !FindDc(dc, "CreateCompatibleBitmap")) return nullptr;
    return static_cast<HBITMAP>(Add(NewBitmap(width, height, "CreateCompatibleBitmap")));
}

HBRUSH CreateSolidBrush(COLORREF color) {
    return static_cast<HBRUSH>(Add(MakeBrush(color, false)));
}

HPEN CreatePen(int style, int width, COLORREF color) {
    if (style != PS_SOLID && style != PS_DASH && style != PS_NULL) {
        Trace("CreatePen: style %d not supported", style);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return static_cast<HPEN>(Add(MakePen(style, width, color)));
}

HFONT CreateFontIndirectW(const LOGFONTW* logFont) {
    if (!logFont) {
        Trace("CreateFontIndirectW: null LOGFONT");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return static_cast<HFONT>(Add(MakeFont(*logFont)));
}

HGDIOBJ GetStockObject(int index) {
    std::lock_guard<std::recursive_mutex> g(Lock());
    EnsureStock();
    auto it = TheTable().stock.find(index);
    if (it == TheTable().stock.end()) {
        Trace("GetStockObject: no stock object %d", index);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return it->second;
}

HGDIOBJ SelectObject(HDC dc, HGDIOBJ object) {
    std::lock_guard<std::recursive_mutex> g(Lock());
    auto d = FindDc(dc, "SelectObject");
    auto obj = Find(object, 0, "SelectObject");
    if (!d || !obj) return nullptr;
    switch (obj->type) {
        case OBJ_BITMAP: {
            if (d->target) {
                Trace("SelectObject: a window DC takes no bitmap");
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            auto b = std::static_pointer_cast<Bitmap>(obj);
            if (b == d->bitmap) return object;
            if (b->selections > 0 && !b->stock) {
                Trace("SelectObject: bitmap %p is selected into another DC", object);
                SetLastError(ERROR_INVALID_PARAMETER);
                return nullptr;
            }
            return Swap(d->bitmap, d->bitmapHandle, b, object);
        }
        case OBJ_BRUSH:
            return Swap(d->brush, d->brushHandle, std::static_pointer_cast<Brush>(obj), object);
        case OBJ_PEN:
            return Swap(d->pen, d->penHandle, std::static_pointer_cast<Pen>(obj), object);
        case OBJ_FONT:
            return Swap(d->font, d->fontHandle, std::static_pointer_cast<Font>(obj), object);
        default:
            Trace("SelectObject: %p cannot be selected", object);
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
    }
}

BOOL DeleteObject(HGDIOBJ object) {
    std::shared_ptr<Object> victim;
    {
        std::lock_guard<std::recursive_mutex> g(Lock());
        auto obj = Find(object, 0, "DeleteObject");
        if (!obj) return FALSE;
        if (obj->stock) return TRUE;
        if (obj->type == OBJ_DC || obj->type == OBJ_MEMDC) {
            Trace("DeleteObject: %p is a device context", object);
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (obj->selections > 0) {
            Trace("DeleteObject: %p is still selected into a DC", object);
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        auto& objects = TheTable().objects;
        auto it = objects.find(reinterpret_cast<uintptr_t>(object));
        victim = std::move(it->second);
        objects.erase(it);
    }
    return TRUE;  // the surface or font description is freed outside the lock
}

int GetObjectW(HGDIOBJ object, int size, LPVOID buffer) {
    std::lock_guard<std::recursive_mutex> g(Lock());
    auto obj = Find(object, 0, "GetObjectW");
    if (!obj) return 0;
    auto copy = [&](const auto& desc) -> int {
        int need = static_cast<int>(sizeof(desc));
        if (!buffer) return need;
        if (size < need) {
            Trace("GetObjectW: buffer of %d bytes too small for %d", size, need);
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        memcpy(buffer, &desc, sizeof(desc));
        return need;
    };
    switch (obj->type) {
        case OBJ_BITMAP: {
            auto* b = static_cast<Bitmap*>(obj.get());
            BITMAP bm{};
            bm.bmWidth = b->width;
            bm.bmHeight = b->height;
            bm.bmWidthBytes = cairo_image_surface_get_stride(b->surface);
            bm.bmPlanes = 1;
            bm.bmBitsPixel = 32;
            return copy(bm);
        }
        case OBJ_FONT:
            return copy(static_cast<Font*>(obj.get())->logFont);
        case OBJ_BRUSH: {
            auto* b = static_cast<Brush*>(obj.get());
            LOGBRUSH lb{b->hollow ? BS_NULL : BS_SOLID, b->color, 0};
            return copy(lb);
        }
        case OBJ_PEN: {
            auto* p = static_cast<Pen*>(obj.get());
            LOGPEN lp{static_cast<UINT>(p->style), POINT{p->width, 0}, p->color};
            return copy(lp);
        }
        default:
            Trace("GetObjectW: %p has no description", object);
            SetLastError(ERROR_INVALID_HANDLE);
            return 0;
    }
}

DWORD GetObjectType(HGDIOBJ object) {
    auto obj = Find(object, 0, "GetObjectType");
    return obj ? obj->type : 0;
}

HGDIOBJ GetCurrentObject(HDC dc, UINT type) {
    std::lock_guard<std::recursive_mutex> g(Lock());
    auto d = FindDc(dc, "GetCurrentObject");
    if (!d) return nullptr;
    switch (type) {
        case OBJ_BITMAP:
            return d->bitmapHandle;
        case OBJ_BRUSH:
            return d->brushHandle;
        case OBJ_PEN:
            return d->penHandle;
        case OBJ_FONT:
            return d->fontHandle;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
    }
}

int GetDeviceCaps(HDC dc, int index) {
    if (!FindDc(dc, "GetDeviceCaps")) return 0;
    ScreenSize screen = GetScreenSize();
    switch (index) {
        case HORZRES:
            return screen.width;
        case VERTRES:
            return screen.height;
        case BITSPIXEL:
            return 32;
        case PLANES:
            return 1;
        case LOGPIXELSX:
        case LOGPIXELSY:
            return 96 * static_cast<int>(ScaleY());
        default:
            return 0;
    }
}

DWORD GetSysColor(int index) {
    switch (SysIndex(index)) {
        case COLOR_SCROLLBAR:
            return RGB(200, 200, 200);
        case COLOR_BACKGROUND:
            return RGB(0, 0, 0);
        case COLOR_WINDOW:
            return RGB(255, 255, 255);
        case COLOR_WINDOWFRAME:
            return RGB(0, 0, 0);
        case COLOR_WINDOWTEXT:
            return RGB(0, 0, 0);
        case COLOR_HIGHLIGHT:
            return RGB(0x31, 0x6A, 0xC5);
        case COLOR_HIGHLIGHTTEXT:
            return RGB(255, 255, 255);
        case COLOR_BTNFACE:
            return RGB(212, 208, 200);
        case COLOR_BTNSHADOW:
            return RGB(128, 128, 128);
        case COLOR_GRAYTEXT:
            return RGB(128, 128, 128);
        case COLOR_BTNTEXT:
            return RGB(0, 0, 0);
        default:
            return 0;
    }
}

HBRUSH GetSysColorBrush(int index) {
    int i = SysIndex(index);
    if (i < 0 || i > COLOR_BTNTEXT) {
        Trace("GetSysColorBrush: no system colour %d", index);
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::recursive_mutex> g(Lock());
    auto& brushes = TheTable().sysBrushes;
    auto it = brushes.find(i);
    if (it != brushes.end()) return static_cast<HBRUSH>(it->second);
    HGDIOBJ h = AddStock(MakeBrush(GetSysColor(i), false));
    brushes[i] = h;
    return static_cast<HBRUSH>(h);
}

COLORREF SetTextColor(HDC dc, COLORREF color) {
    std::lock_guard<std::recursive_mutex> g(Lock());
    auto d = FindDc(dc, "SetTextColor");
    if (!d) return CLR_INVALID;
    COLORREF previous = d->textColor;
    d->textColor = color & 0xFFFFFF;
    return previous;
}

COLORREF GetTextColor(HDC dc) {
    std::lock_guard<std::recursive_mutex> g(Lock());
    auto d = FindDc(dc, "GetTextColor");
    return d ? d->textColor : CLR_INVALID;
}

COLORREF SetBkColor(HDC dc, COLORREF color) {
    std::lock_guard<std::recursive_mutex> g(Lock());
    auto d = FindDc(dc, "SetBkColor");
    if (!d) return CLR_INVALID;
    COLORREF previous = d->bkColor;
    d->bkColor = color & 0xFFFFFF;
    return previous;
}

COLORREF GetBkColor(HDC dc) {
    std::lock_guard<std::recursive_mutex> g(Lock());
    auto d = FindDc(dc, "GetBkColor");
    return d ? d->bkColor : CLR_INVALID;
}

int SetBkMode(HDC dc, int mode) {
    std::lock_guard<std::recursive_mutex> g(Lock());
    auto d = FindDc(dc, "SetBkMode");
    if (!d) return 0;
    if (mode != TRANSPARENT && mode != OPAQUE) {
        Trace("SetBkMode: mode %d not supported", mode);
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int previous = d->bkMode;
    d->bkMode = mode;
    return previous;
}

int GetBkMode(HDC dc) {
    std::lock_guard<std::recursive_mutex> g(Lock());
    auto d = FindDc(dc, "GetBkMode");
    return d ? d->bkMode : 0;
}

cairo_surface_t* GdiBitmapSurface(HBITMAP bitmap) {
    auto b = FindBitmap(bitmap, "GdiBitmapSurface");
    return b ? b->surface : nullptr;
}
