// The seam between GDI and the screen: device contexts that draw onto a surface the caller
// owns (the framebuffer), and the bitmaps' own surfaces. Used inside platform/ only.
#pragma once

#include <mutex>
#include <vector>

#include "platform/gdi.h"

typedef struct _cairo_surface cairo_surface_t;

// A device context that draws onto an image surface owned by the caller (the framebuffer).
// The DC's (0,0) is origin in target coordinates; every drawing call is clipped to the
// union of clip (target coordinates) and holds *lock while it draws. The DC keeps its own
// reference to target; lock must outlive it. DeleteDC frees it. Null on bad arguments.
HDC CreateTargetDC(cairo_surface_t* target, POINT origin, const std::vector<RECT>& clip,
                   std::recursive_mutex* lock);

// The RGB24 image surface of a bitmap (not referenced for the caller), null for a bad handle.
cairo_surface_t* GdiBitmapSurface(HBITMAP bitmap);
