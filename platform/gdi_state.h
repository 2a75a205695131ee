// GDI internals shared by the gdi_*.cc files: the object table, the records behind the
// handles and the locking order (a target's lock first, then the GDI lock).
#pragma once

#include <cairo.h>
#include <pango/pangocairo.h>

#include <memory>
#include <mutex>
#include <vector>

#include "platform/gdi_internal.h"

namespace gdi {

constexpr int kMaxDimension = 16384;              // widest or tallest bitmap
constexpr int64_t kMaxPixels = 64 * 1024 * 1024;  // largest bitmap area
constexpr char kFontFamily[] = "DejaVu Sans";

struct Object {
    explicit Object(DWORD t) : type(t) {}
    virtual ~Object() = default;
    DWORD type;          // OBJ_ kind
    bool stock = false;  // never deleted
    int selections = 0;  // DCs it is selected into
};

struct Bitmap : Object {
    Bitmap() : Object(OBJ_BITMAP) {}
    ~Bitmap() override;
    cairo_surface_t* surface = nullptr;  // RGB24 image surface, owned
    int width = 0;                       // pixels
    int height = 0;                      // pixels
};

struct Brush : Object {
    Brush() : Object(OBJ_BRUSH) {}
    COLORREF color = 0;   // fill colour
    bool hollow = false;  // NULL_BRUSH: fills nothing
};

struct Pen : Object {
    Pen() : Object(OBJ_PEN) {}
    int style = PS_SOLID;  // PS_SOLID, PS_DASH or PS_NULL
    int width = 1;         // pixels, at least 1
    COLORREF color = 0;    // line colour
};

struct Font : Object {
    Font() : Object(OBJ_FONT) {}
    ~Font() override;
    LOGFONTW logFont{};                    // as created
    PangoFontDescription* desc = nullptr;  // DejaVu Sans at the pixel size, owned
};

struct Dc : Object {
    explicit Dc(DWORD t) : Object(t) {}
    ~Dc() override;
    bool deleted = false;                        // DeleteDC ran; drawing fails
    std::shared_ptr<Bitmap> bitmap;              // memory DC: the selected bitmap
    HGDIOBJ bitmapHandle = nullptr;              // its handle
    std::shared_ptr<Brush> brush;                // selected brush
    HGDIOBJ brushHandle = nullptr;               // its handle
    std::shared_ptr<Pen> pen;                    // selected pen
    HGDIOBJ penHandle = nullptr;                 // its handle
    std::shared_ptr<Font> font;                  // selected font
    HGDIOBJ fontHandle = nullptr;                // its handle
    COLORREF textColor = RGB(0, 0, 0);           // DrawText colour
    COLORREF bkColor = RGB(255, 255, 255);       // OPAQUE background
    int bkMode = OPAQUE;                         // TRANSPARENT or OPAQUE
    POINT position{0, 0};                        // MoveToEx / LineTo
    cairo_surface_t* target = nullptr;           // target DC: the framebuffer, referenced
    POINT origin{0, 0};                          // target DC: where (0,0) lies on target
    std::vector<RECT> clip;                      // target DC: visible parts, target coordinates
    std::recursive_mutex* targetLock = nullptr;  // target DC: held while drawing
};

// The lock over every GDI record and every bitmap's pixels.
std::recursive_mutex& Lock();

// Looks a handle up; null with ERROR_INVALID_HANDLE and a trace naming caller when it is not
// a live object of the wanted kind (0: any kind).
std::shared_ptr<Object> Find(HGDIOBJ h, DWORD type, const char* caller);
std::shared_ptr<Dc> FindDc(HDC dc, const char* caller);
std::shared_ptr<Bitmap> FindBitmap(HBITMAP bitmap, const char* caller);
std::shared_ptr<Brush> FindBrush(HBRUSH brush, const char* caller);  // also (COLOR_x + 1)
HGDIOBJ Add(std::shared_ptr<Object> obj);                            // a new handle

// A new RGB24 surface, white; null (traced) when the size is out of range or memory fails.
std::shared_ptr<Bitmap> NewBitmap(int width, int height, const char* caller);
std::shared_ptr<Font> SystemFont();

// Holds the targets' locks, then the GDI lock, so no thread ever waits for a target's lock
// while holding the GDI lock.
class PaintLock {
  public:
    PaintLock(const Dc* a, const Dc* b = nullptr);
    PaintLock(const PaintLock&) = delete;
    PaintLock& operator=(const PaintLock&) = delete;

  private:
    std::unique_lock<std::recursive_mutex> first_;   // a's target lock
    std::unique_lock<std::recursive_mutex> second_;  // b's target lock when it differs
    std::unique_lock<std::recursive_mutex> gdi_;     // the GDI lock
};

// The surface a DC draws on (the bitmap's or the target), never null for a live DC.
cairo_surface_t* Surface(const Dc& dc);
// A drawing context on the DC's surface in DC coordinates, clipped to the target's clip.
cairo_t* StartDrawing(const Dc& dc);
// Whether DC point (x, y) lies on the surface and inside the clip; sets the surface point.
bool MapPoint(const Dc& dc, int x, int y, int* sx, int* sy);

inline void SetSourceColor(cairo_t* cr, COLORREF c) {
    cairo_set_source_rgb(cr, GetRValue(c) / 255.0, GetGValue(c) / 255.0, GetBValue(c) / 255.0);
}

}  // namespace gdi
