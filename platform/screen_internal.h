// What the screen's files (screen.cc, screen_input.cc, screen_service.cc) and the display
// back-ends share. Lock order: the input lock or the title lock, then the framebuffer lock,
// then the window lock; no window procedure is called with any of them held.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/screen.h"
#include "platform/win_internal.h"

namespace screen {

// The windows of this process at one moment, for clipping and hit testing.
class WindowTree {
  public:
    WindowTree();  // takes the snapshot

    const WindowShape* Find(HWND hwnd) const;  // null when it is not a window of ours
    // The children of parent, topmost first; a null parent gives the top-level windows.
    std::vector<const WindowShape*> Children(HWND parent) const;
    bool OnScreen(HWND hwnd) const;  // shown, and every window above it too
    bool Enabled(HWND hwnd) const;   // enabled, and every window above it too
    HWND TopLevelOf(HWND hwnd) const;
    // Whether top-level window a lies above top-level window b in the z-order.
    bool Above(HWND a, HWND b) const;
    // The deepest window on the screen under pt (screen coordinates), null for none.
    HWND HitTest(POINT pt) const;

  private:
    // Whether hwnd and every window above it have flag set.
    bool AllTheWayUp(HWND hwnd, bool WindowShape::*flag) const;

    std::vector<WindowShape> shapes_;  // SnapshotWindows order
};

// The framebuffer's pixels at one moment.
struct FrameCopy {
    std::vector<uint32_t> pixels;  // rows top first, 0x00RRGGBB
    int width = 0;                 // pixels
    int height = 0;                // pixels
    uint64_t serial = 0;           // the framebuffer's change count when copied
};

// Starts the screen on first use: the framebuffer, the hooks into the window functions
// and a repaint of every window on the screen. Safe from any thread.
void Activate();
// Copies the framebuffer when its change count differs from seen; false when it does not.
bool CopyFrame(uint64_t seen, FrameCopy* out);
int StripHeight();  // pixels
// The title strip's button under pt, IDOK or IDCANCEL, and the window it belongs to; 0
// when pt is on no button.
int StripButtonAt(POINT pt, HWND* owner);

// ---- screen_input.cc -------------------------------------------------------------------

// Capture and focus let go of a window that is gone.
void ForgetInputWindow(HWND hwnd);
// The key's name in the screen service's requests ("softleft", "up", "back", ...).
const char* KeyName(ScreenKey key);
// The key of a name; false for a name no key has.
bool KeyFromName(const std::string& name, ScreenKey* key);
// The names of every key, separated by ", ".
std::string KeyNames();

}  // namespace screen
