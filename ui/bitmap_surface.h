// One off-screen bitmap: the dialogs draw their headers, lists and rows into such surfaces and copy
// them to the window in one step, so a repaint never shows half a picture.
#pragma once

#include "platform/gdi.h"

class CBitmapSurface {
  public:
    CBitmapSurface() = default;
    ~CBitmapSurface();  // deletes the bitmap
    CBitmapSurface(const CBitmapSurface&) = delete;
    CBitmapSurface& operator=(const CBitmapSurface&) = delete;

    SIZE GetSize() const { return SIZE{width_, height_}; }
    // Replaces the bitmap by the PNG image at devicePath; false (and empty) when it cannot be
    // loaded.
    BOOL LoadPng(LPCWSTR devicePath);
    // Replaces the bitmap by a white one of width × height compatible with dc.
    BOOL CreateSurface(HDC dc, int width, int height);

    // Every operation below is false and draws nothing without a device context or a bitmap.
    // Copies the whole surface, read from (srcX, srcY), to (x, y) of dc.
    BOOL Draw(HDC dc, int x, int y, int srcX, int srcY, DWORD rop) const;
    // Copies the surface from (srcX, srcY), stretched from its full size to (x, y, cx, cy).
    BOOL StretchDraw(HDC dc, int x, int y, int cx, int cy, int srcX, int srcY, DWORD rop) const;
    // Draws other, stretched, into this surface's rectangle (left, top)-(right, bottom).
    BOOL StretchFrom(HDC dc, int left, int top, int right, int bottom, const CBitmapSurface& other);
    BOOL FillRect(HDC dc, const RECT& rect, HBRUSH brush);
    // Draws text into the surface: a font of fontKind (the current font for an unknown kind),
    // transparent background, colour, DrawText's format flags.
    BOOL DrawText(HDC dc, LPCWSTR text, const RECT& rect, UINT format, COLORREF colour,
                  int fontKind);
    void Free();

  private:
    HBITMAP bitmap_ = nullptr;  // the image, null when empty
    LONG width_ = 0;            // its width in pixels
    LONG height_ = 0;           // its height in pixels
};
