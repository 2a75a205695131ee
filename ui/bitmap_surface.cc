#include "ui/bitmap_surface.h"

#include "platform/shell.h"
#include "ui/fonts.h"

namespace {

// A memory DC compatible with dc with bitmap selected, for as long as it lives.
class SelectedBitmap {
  public:
    SelectedBitmap(HDC dc, HBITMAP bitmap) : dc_(dc && bitmap ? CreateCompatibleDC(dc) : nullptr) {
        if (dc_) old_ = SelectObject(dc_, bitmap);
    }
    ~SelectedBitmap() {
        if (!dc_) return;
        if (old_) SelectObject(dc_, old_);
        DeleteDC(dc_);
    }
    SelectedBitmap(const SelectedBitmap&) = delete;
    SelectedBitmap& operator=(const SelectedBitmap&) = delete;

    // Null when there was nothing to select or the bitmap could not be selected.
    HDC Get() const { return old_ ? dc_ : nullptr; }

  private:
    HDC dc_;                 // the memory DC
    HGDIOBJ old_ = nullptr;  // what it held before, null when the selection failed
};

}  // namespace

CBitmapSurface::~CBitmapSurface() {
    Free();
}

void CBitmapSurface::Free() {
    if (bitmap_) DeleteObject(bitmap_);
    bitmap_ = nullptr;
    width_ = height_ = 0;
}

BOOL CBitmapSurface::LoadPng(LPCWSTR devicePath) {
    Free();
    HBITMAP loaded = SHLoadImageFile(devicePath);
    if (!loaded) return FALSE;
    BITMAP info{};
    if (!GetObjectW(loaded, sizeof(info), &info)) {
        DeleteObject(loaded);
        return FALSE;
    }
    bitmap_ = loaded;
    width_ = info.bmWidth;
    height_ = info.bmHeight;
    return TRUE;
}

BOOL CBitmapSurface::CreateSurface(HDC dc, int width, int height) {
    Free();
    if (!dc) return FALSE;
    HBITMAP created = CreateCompatibleBitmap(dc, width, height);
    if (!created) return FALSE;
    bitmap_ = created;
    width_ = width;
    height_ = height;
    const RECT all{0, 0, width, height};
    return FillRect(dc, all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
}

BOOL CBitmapSurface::Draw(HDC dc, int x, int y, int srcX, int srcY, DWORD rop) const {
    SelectedBitmap source(dc, bitmap_);
    if (!source.Get()) return FALSE;
    return BitBlt(dc, x, y, width_, height_, source.Get(), srcX, srcY, rop);
}

BOOL CBitmapSurface::StretchDraw(HDC dc, int x, int y, int cx, int cy, int srcX, int srcY,
                                 DWORD rop) const {
    SelectedBitmap source(dc, bitmap_);
    if (!source.Get()) return FALSE;
    return StretchBlt(dc, x, y, cx, cy, source.Get(), srcX, srcY, width_, height_, rop);
}

BOOL CBitmapSurface::StretchFrom(HDC dc, int left, int top, int right, int bottom,
                                 const CBitmapSurface& other) {
    SelectedBitmap target(dc, bitmap_);
    if (!target.Get()) return FALSE;
    return other.StretchDraw(target.Get(), left, top, right - left, bottom - top, 0, 0, SRCCOPY);
}

BOOL CBitmapSurface::FillRect(HDC dc, const RECT& rect, HBRUSH brush) {
    SelectedBitmap target(dc, bitmap_);
    if (!target.Get() || !brush) return FALSE;
    return ::FillRect(target.Get(), &rect, brush) != 0;
}

BOOL CBitmapSurface::DrawText(HDC dc, LPCWSTR text, const RECT& rect, UINT format, COLORREF colour,
                              int fontKind) {
    SelectedBitmap target(dc, bitmap_);
    if (!target.Get() || !text) return FALSE;
    HDC surface = target.Get();
    HFONT font = CreateFontByKind(fontKind);
    HGDIOBJ oldFont = font ? SelectObject(surface, font) : nullptr;
    SetBkMode(surface, TRANSPARENT);
    SetTextColor(surface, colour);
    RECT box = rect;
    const int height = DrawTextW(surface, text, -1, &box, format);
    if (oldFont) SelectObject(surface, oldFont);
    if (font) DeleteObject(font);
    return height != 0;
}
