// GDI: device contexts, bitmaps, brushes, pens and fonts, blits and text, drawn with Cairo and
// Pango. Bitmaps are 24-bit colour; text is DejaVu Sans. Every object handle is checked: a null
// or deleted handle gives the Win32 failure value (ERROR_INVALID_HANDLE) and a trace line.
// All calls are safe from any thread.
#pragma once

#include <string>

#include "platform/window.h"

struct HDC__;
using HDC = HDC__*;
using HGDIOBJ = void*;
struct HBITMAP__;
using HBITMAP = HBITMAP__*;
struct HPEN__;
using HPEN = HPEN__*;
struct HFONT__;
using HFONT = HFONT__*;
using COLORREF = DWORD;

constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b) {
    return static_cast<COLORREF>(r) | (static_cast<COLORREF>(g) << 8) |
           (static_cast<COLORREF>(b) << 16);
}
constexpr BYTE GetRValue(COLORREF c) {
    return static_cast<BYTE>(c & 0xFF);
}
constexpr BYTE GetGValue(COLORREF c) {
    return static_cast<BYTE>((c >> 8) & 0xFF);
}
constexpr BYTE GetBValue(COLORREF c) {
    return static_cast<BYTE>((c >> 16) & 0xFF);
}
constexpr COLORREF CLR_INVALID = 0xFFFFFFFFu;
#define HGDI_ERROR (reinterpret_cast<HGDIOBJ>(static_cast<intptr_t>(-1)))

constexpr int LF_FACESIZE = 32;

struct LOGFONTW {
    LONG lfHeight;                  // < 0: character height in pixels; > 0: cell height; 0 default
    LONG lfWidth;                   // average character width, 0 for the natural width
    LONG lfEscapement;              // kept
    LONG lfOrientation;             // kept
    LONG lfWeight;                  // FW_ weight; 600 and above draws bold
    BYTE lfItalic;                  // nonzero: italic
    BYTE lfUnderline;               // nonzero: underlined
    BYTE lfStrikeOut;               // nonzero: struck out
    BYTE lfCharSet;                 // kept
    BYTE lfOutPrecision;            // kept
    BYTE lfClipPrecision;           // kept
    BYTE lfQuality;                 // kept
    BYTE lfPitchAndFamily;          // kept
    WCHAR lfFaceName[LF_FACESIZE];  // kept; text is always drawn in DejaVu Sans
};
using LOGFONT = LOGFONTW;

struct BITMAP {
    LONG bmType;        // 0
    LONG bmWidth;       // pixels
    LONG bmHeight;      // pixels
    LONG bmWidthBytes;  // bytes per row
    WORD bmPlanes;      // 1
    WORD bmBitsPixel;   // 32 (24-bit colour in 32-bit pixels)
    LPVOID bmBits;      // null: the pixels are not exposed
};

struct SIZE {
    LONG cx;  // width
    LONG cy;  // height
};

struct LOGBRUSH {
    UINT lbStyle;       // BS_SOLID or BS_NULL
    COLORREF lbColor;   // the colour
    ULONG_PTR lbHatch;  // 0
};

struct LOGPEN {
    UINT lopnStyle;      // PS_SOLID or PS_NULL
    POINT lopnWidth;     // x is the width in pixels
    COLORREF lopnColor;  // the colour
};

// Stock objects.
constexpr int WHITE_BRUSH = 0;
constexpr int LTGRAY_BRUSH = 1;
constexpr int GRAY_BRUSH = 2;
constexpr int DKGRAY_BRUSH = 3;
constexpr int BLACK_BRUSH = 4;
constexpr int NULL_BRUSH = 5;
constexpr int HOLLOW_BRUSH = NULL_BRUSH;
constexpr int WHITE_PEN = 6;
constexpr int BLACK_PEN = 7;
constexpr int NULL_PEN = 8;
constexpr int SYSTEM_FONT = 13;

// Object types (GetObjectType).
constexpr DWORD OBJ_PEN = 1;
constexpr DWORD OBJ_BRUSH = 2;
constexpr DWORD OBJ_DC = 3;
constexpr DWORD OBJ_FONT = 6;
constexpr DWORD OBJ_BITMAP = 7;
constexpr DWORD OBJ_MEMDC = 10;

constexpr UINT BS_SOLID = 0;
constexpr UINT BS_NULL = 1;
constexpr int PS_SOLID = 0;
constexpr int PS_DASH = 1;
constexpr int PS_NULL = 5;

constexpr LONG FW_DONTCARE = 0;
constexpr LONG FW_NORMAL = 400;
constexpr LONG FW_SEMIBOLD = 600;
constexpr LONG FW_BOLD = 700;
constexpr BYTE DEFAULT_CHARSET = 1;
constexpr BYTE OUT_DEFAULT_PRECIS = 0;
constexpr BYTE CLIP_DEFAULT_PRECIS = 0;
constexpr BYTE DEFAULT_QUALITY = 0;
constexpr BYTE ANTIALIASED_QUALITY = 4;
constexpr BYTE CLEARTYPE_QUALITY = 5;
constexpr BYTE DEFAULT_PITCH = 0;
constexpr BYTE FF_DONTCARE = 0;

// Raster operation: only the plain copy is supported.
constexpr DWORD SRCCOPY = 0x00CC0020;

// Background modes.
constexpr int TRANSPARENT = 1;
constexpr int OPAQUE = 2;

// DrawText formats. DT_VCENTER and DT_BOTTOM apply to DT_SINGLELINE text only.
constexpr UINT DT_TOP = 0x0000;
constexpr UINT DT_LEFT = 0x0000;
constexpr UINT DT_CENTER = 0x0001;
constexpr UINT DT_RIGHT = 0x0002;
constexpr UINT DT_VCENTER = 0x0004;
constexpr UINT DT_BOTTOM = 0x0008;
constexpr UINT DT_WORDBREAK = 0x0010;
constexpr UINT DT_SINGLELINE = 0x0020;
constexpr UINT DT_EXPANDTABS = 0x0040;
constexpr UINT DT_NOCLIP = 0x0100;
constexpr UINT DT_CALCRECT = 0x0400;
constexpr UINT DT_NOPREFIX = 0x0800;
constexpr UINT DT_END_ELLIPSIS = 0x8000;

// GetDeviceCaps indexes.
constexpr int HORZRES = 8;
constexpr int VERTRES = 10;
constexpr int BITSPIXEL = 12;
constexpr int PLANES = 14;
constexpr int LOGPIXELSX = 88;
constexpr int LOGPIXELSY = 90;

// System colours (the device's flag bit 0x40000000 on an index is accepted too).
constexpr int COLOR_SCROLLBAR = 0;
constexpr int COLOR_BACKGROUND = 1;
constexpr int COLOR_WINDOW = 5;
constexpr int COLOR_WINDOWFRAME = 6;
constexpr int COLOR_WINDOWTEXT = 8;
constexpr int COLOR_HIGHLIGHT = 13;
constexpr int COLOR_HIGHLIGHTTEXT = 14;
constexpr int COLOR_BTNFACE = 15;
constexpr int COLOR_BTNSHADOW = 16;
constexpr int COLOR_GRAYTEXT = 17;
constexpr int COLOR_BTNTEXT = 18;
constexpr int SYS_COLOR_INDEX_FLAG = 0x40000000;

// ---- Device contexts and objects -------------------------------------------------------

// A memory DC holding a 1 x 1 bitmap until one is selected; dc may be null.
HDC CreateCompatibleDC(HDC dc);
BOOL DeleteDC(HDC dc);  // frees the DC only; its selected objects stay alive
// A white bitmap; null for zero, negative or too large sizes (ERROR_INVALID_PARAMETER).
HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height);
HBRUSH CreateSolidBrush(COLORREF color);
HPEN CreatePen(int style, int width, COLORREF color);
HFONT CreateFontIndirectW(const LOGFONTW* logFont);
HGDIOBJ GetStockObject(int index);
// Returns the object it replaced, null on failure. A bitmap is selected into one DC at most.
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
// Fails for an object selected into a DC; stock objects are never deleted (TRUE).
BOOL DeleteObject(HGDIOBJ object);
// Copies the description (BITMAP, LOGFONTW, LOGBRUSH, LOGPEN) and returns the bytes written;
// with a null buffer returns the size needed. 0 on failure.
int GetObjectW(HGDIOBJ object, int size, LPVOID buffer);
DWORD GetObjectType(HGDIOBJ object);  // OBJ_ value, 0 for an unknown handle
HGDIOBJ GetCurrentObject(HDC dc, UINT type);
int GetDeviceCaps(HDC dc, int index);
DWORD GetSysColor(int index);
HBRUSH GetSysColorBrush(int index);  // a stock brush, never deleted

// ---- Attributes ------------------------------------------------------------------------

COLORREF SetTextColor(HDC dc, COLORREF color);  // previous colour, CLR_INVALID on failure
COLORREF GetTextColor(HDC dc);
COLORREF SetBkColor(HDC dc, COLORREF color);
COLORREF GetBkColor(HDC dc);
int SetBkMode(HDC dc, int mode);  // previous mode, 0 on failure
int GetBkMode(HDC dc);

// ---- Drawing ---------------------------------------------------------------------------

int FillRect(HDC dc, const RECT* rect, HBRUSH brush);
// Outlines with the selected pen and fills the inside with the selected brush.
BOOL Rectangle(HDC dc, int left, int top, int right, int bottom);
BOOL MoveToEx(HDC dc, int x, int y, POINT* previous);
BOOL LineTo(HDC dc, int x, int y);                        // the end point itself is not drawn
COLORREF SetPixel(HDC dc, int x, int y, COLORREF color);  // the colour set, or -1
COLORREF GetPixel(HDC dc, int x, int y);  // CLR_INVALID outside the bitmap or the clip
BOOL BitBlt(HDC dst, int x, int y, int width, int height, HDC src, int srcX, int srcY, DWORD rop);
BOOL StretchBlt(HDC dst, int x, int y, int width, int height, HDC src, int srcX, int srcY,
                int srcWidth, int srcHeight, DWORD rop);

// ---- Text ------------------------------------------------------------------------------

// Draws in the selected font and text colour; OPAQUE fills the text's background with the
// background colour. count -1: up to the terminating NUL. Returns the height of the text,
// 0 on failure; DT_CALCRECT sets rect's right and bottom to the text's extent and draws
// nothing.
int DrawTextW(HDC dc, LPCWSTR text, int count, RECT* rect, UINT format);
BOOL GetTextExtentPoint32W(HDC dc, LPCWSTR text, int count, SIZE* size);

// ---- Rectangles ------------------------------------------------------------------------

BOOL SetRect(RECT* rect, int left, int top, int right, int bottom);
BOOL SetRectEmpty(RECT* rect);
BOOL CopyRect(RECT* dst, const RECT* src);
BOOL OffsetRect(RECT* rect, int dx, int dy);
BOOL InflateRect(RECT* rect, int dx, int dy);
BOOL IntersectRect(RECT* dst, const RECT* a, const RECT* b);  // FALSE (dst empty) if disjoint
BOOL UnionRect(RECT* dst, const RECT* a, const RECT* b);
BOOL PtInRect(const RECT* rect, POINT pt);
BOOL EqualRect(const RECT* a, const RECT* b);
BOOL IsRectEmpty(const RECT* rect);

// ---- Images ----------------------------------------------------------------------------

// Loads a PNG named by a device path (\Windows\icon.png); null with a trace when the file
// is missing or not a readable PNG.
HBITMAP GdiLoadPngFile(LPCWSTR devicePath);
// Writes the bitmap as a PNG file at a host path; FALSE with a trace on failure.
BOOL GdiSaveBitmapPng(HBITMAP bitmap, const std::string& hostPath);

// The device's names without the W.
inline HFONT CreateFontIndirect(const LOGFONTW* lf) {
    return CreateFontIndirectW(lf);
}
inline int GetObject(HGDIOBJ o, int n, LPVOID b) {
    return GetObjectW(o, n, b);
}
inline int DrawText(HDC dc, LPCWSTR t, int n, RECT* r, UINT f) {
    return DrawTextW(dc, t, n, r, f);
}
inline BOOL GetTextExtentPoint32(HDC dc, LPCWSTR t, int n, SIZE* s) {
    return GetTextExtentPoint32W(dc, t, n, s);
}
