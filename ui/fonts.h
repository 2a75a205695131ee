// The four font kinds of the dialogs, all made from the system font's description.
#pragma once

#include "platform/gdi.h"

// Kind 0: the system font's height × 1.2; kinds 1 and 2: its height; kind 3: its height × 0.9 (each
// truncated toward zero), weight 400. Null for any other kind. The caller owns the font.
HFONT CreateFontByKind(int kind);
