// Input as the device delivers it: the stylus to the capture window or the window under it,
// keys and text to the focus window, the soft keys to the shell's handler first; and the
// coordinate, capture and focus functions behind it.
#include <cstdint>
#include <mutex>

#include "platform/screen.h"
#include "platform/screen_internal.h"
#include "platform/screen_size.h"
#include "platform/trace.h"

namespace {

struct InputState {
    std::mutex lock;                  // over the members below
    HWND capture = nullptr;           // gets every stylus action, when set
    HWND focus = nullptr;             // gets keys and text, when on the screen
    BOOL (*softKeys)(int) = nullptr;  // the shell's soft-key handler
    bool stylusDown = false;          // between a press and a release
    bool inStrip = false;             // the stroke began in the title strip
    int stripButton = 0;              // the title-strip button pressed, 0 for none
    HWND stripOwner = nullptr;        // the window that button belongs to
};

InputState& Input() {
    static InputState* s = new InputState;  // outlives static destructors and input threads
    return *s;
}

// The top-left corner of hwnd's client area in screen coordinates.
bool ClientOrigin(HWND hwnd, POINT* origin) {
    RECT r;
    if (!hwnd || !GetWindowRect(hwnd, &r)) return false;
    *origin = POINT{r.left, r.top};
    return true;
}

LPARAM PointParam(LONG x, LONG y) {
    return MAKELPARAM(static_cast<WORD>(static_cast<int16_t>(x)),
                      static_cast<WORD>(static_cast<int16_t>(y)));
}

// Where keys and text go: the focus window while it is on the screen, enabled, and in the
// foreground window or a window above it; else the foreground window; null for none.
HWND KeyTarget() {
    HWND focus;
    {
        InputState& in = Input();
        std::lock_guard<std::mutex> g(in.lock);
        focus = in.focus;
    }
    screen::WindowTree tree;
    HWND fg = GetForegroundWindow();
    const bool fgUsable = fg && tree.OnScreen(fg) && tree.Enabled(fg);
    if (focus && tree.OnScreen(focus) && tree.Enabled(focus)) {
        HWND top = tree.TopLevelOf(focus);
        if (!fgUsable || top == fg || tree.Above(top, fg)) return focus;
    }
    return fgUsable ? fg : nullptr;
}

// Every key of the device: its name in requests and its virtual key.
struct KeyInfo {
    ScreenKey key;     // the key
    const char* name;  // as the screen service names it
    UINT vk;           // what WM_KEYDOWN / WM_KEYUP carry
};
constexpr KeyInfo kKeys[] = {{ScreenKey::SoftLeft, "softleft", VK_F1},
                             {ScreenKey::SoftRight, "softright", VK_F2},
                             {ScreenKey::Up, "up", VK_UP},
                             {ScreenKey::Down, "down", VK_DOWN},
                             {ScreenKey::Left, "left", VK_LEFT},
                             {ScreenKey::Right, "right", VK_RIGHT},
                             {ScreenKey::Enter, "enter", VK_RETURN},
                             {ScreenKey::Back, "back", VK_ESCAPE}};

const KeyInfo* FindKey(ScreenKey key) {
    for (const KeyInfo& k : kKeys) {
        if (k.key == key) return &k;
    }
    return nullptr;
}

// A stylus action inside the title strip: a press and a release on the same button post
// the button's command to its window.
BOOL StripStylus(StylusAction action, POINT pt) {
    HWND owner = nullptr;
    const int button = screen::StripButtonAt(pt, &owner);
    InputState& in = Input();
    int pressed = 0;
    HWND pressedOwner = nullptr;
    {
        std::lock_guard<std::mutex> g(in.lock);
        if (action == StylusAction::Press) {
            in.inStrip = in.stylusDown = true;
            in.stripButton = button;
            in.stripOwner = owner;
            return TRUE;
        }
        if (action == StylusAction::Move) return TRUE;
        pressed = in.stripButton;
        pressedOwner = in.stripOwner;
        in.inStrip = in.stylusDown = false;
        in.stripButton = 0;
        in.stripOwner = nullptr;
    }
    if (button && button == pressed && owner == pressedOwner) {
        if (!IsWindowEnabled(owner)) {
            Trace("[Screen] title strip button %d: window %p is disabled", button,
                  static_cast<void*>(owner));
            return TRUE;
        }
        PostMessageW(owner, WM_COMMAND, MAKEWPARAM(static_cast<WORD>(button), 0), 0);
    }
    return TRUE;
}

}  // namespace

namespace screen {

const char* KeyName(ScreenKey key) {
    const KeyInfo* k = FindKey(key);
    return k ? k->name : nullptr;
}

bool KeyFromName(const std::string& name, ScreenKey* key) {
    for (const KeyInfo& k : kKeys) {
        if (name == k.name) {
            *key = k.key;
            return true;
        }
    }
    return false;
}

std::string KeyNames() {
    std::string out;
    for (const KeyInfo& k : kKeys) out += (out.empty() ? "" : ", ") + std::string(k.name);
    return out;
}

void ForgetInputWindow(HWND hwnd) {
    InputState& in = Input();
    std::lock_guard<std::mutex> g(in.lock);
    if (in.capture == hwnd) in.capture = nullptr;
    if (in.focus == hwnd) in.focus = nullptr;
    if (in.stripOwner == hwnd) {
        in.stripOwner = nullptr;
        in.stripButton = 0;
    }
}

}  // namespace screen

// ---- coordinates -------------------------------------------------------------------------

HWND WindowFromPoint(POINT pt) {
    return screen::WindowTree().HitTest(pt);
}

BOOL ClientToScreen(HWND hwnd, POINT* pt) {
    POINT o;
    if (!pt || !ClientOrigin(hwnd, &o)) return FALSE;
    pt->x += o.x;
    pt->y += o.y;
    return TRUE;
}

BOOL ScreenToClient(HWND hwnd, POINT* pt) {
    POINT o;
    if (!pt || !ClientOrigin(hwnd, &o)) return FALSE;
    pt->x -= o.x;
    pt->y -= o.y;
    return TRUE;
}

int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count) {
    POINT a{0, 0};
    POINT b{0, 0};
    if ((from && !ClientOrigin(from, &a)) || (to && !ClientOrigin(to, &b))) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    const LONG dx = a.x - b.x;
    const LONG dy = a.y - b.y;
    for (UINT i = 0; points && i < count; ++i) {
        points[i].x += dx;
        points[i].y += dy;
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<int>(MAKELPARAM(static_cast<WORD>(static_cast<int16_t>(dx)),
                                       static_cast<WORD>(static_cast<int16_t>(dy))));
}

// ---- capture and focus -------------------------------------------------------------------

HWND SetCapture(HWND hwnd) {
    if (!IsLocalWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    InputState& in = Input();
    std::lock_guard<std::mutex> g(in.lock);
    HWND previous = in.capture;
    in.capture = hwnd;
    return previous;
}

BOOL ReleaseCapture() {
    InputState& in = Input();
    std::lock_guard<std::mutex> g(in.lock);
    in.capture = nullptr;
    return TRUE;
}

HWND GetCapture() {
    InputState& in = Input();
    std::lock_guard<std::mutex> g(in.lock);
    return in.capture;
}

HWND SetFocus(HWND hwnd) {
    if (hwnd && (!IsLocalWindow(hwnd) || !IsWindowEnabled(hwnd))) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    HWND previous;
    {
        InputState& in = Input();
        std::lock_guard<std::mutex> g(in.lock);
        previous = in.focus;
        if (previous == hwnd) return previous;
        in.focus = hwnd;
    }
    if (previous) Notify(previous, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hwnd), 0);
    if (hwnd) Notify(hwnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(previous), 0);
    return previous;
}

HWND GetFocus() {
    InputState& in = Input();
    std::lock_guard<std::mutex> g(in.lock);
    return in.focus;
}

// ---- injection ---------------------------------------------------------------------------

void ScreenSetSoftKeyHandler(BOOL (*handler)(int key)) {
    InputState& in = Input();
    std::lock_guard<std::mutex> g(in.lock);
    in.softKeys = handler;
}

BOOL ScreenInjectStylus(StylusAction action, int x, int y) {
    const ScreenSize size = GetScreenSize();
    if (x < 0 || y < 0 || x >= size.width || y >= size.height) {
        Trace("[Screen] stylus at (%d, %d) refused: off the %dx%d screen", x, y, size.width,
              size.height);
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (action != StylusAction::Press && action != StylusAction::Move &&
        action != StylusAction::Release) {
        Trace("[Screen] stylus action %d refused: unknown", static_cast<int>(action));
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    screen::Activate();
    const POINT pt{x, y};
    InputState& in = Input();
    HWND capture;
    bool down;
    bool strip;
    {
        std::lock_guard<std::mutex> g(in.lock);
        capture = in.capture;
        down = in.stylusDown;
        strip = action == StylusAction::Press ? y < screen::StripHeight() : in.inStrip;
    }
    if (!capture && strip) return StripStylus(action, pt);
    HWND target = capture ? capture : WindowFromPoint(pt);
    {
        std::lock_guard<std::mutex> g(in.lock);
        in.stylusDown = action != StylusAction::Release;
        in.inStrip = false;
        in.stripButton = 0;
    }
    if (!target) {
        Trace("[Screen] stylus at (%d, %d): no window there", x, y);
        return TRUE;
    }
    screen::WindowTree tree;
    if (!tree.Enabled(target)) {
        Trace("[Screen] stylus at (%d, %d): window %p is disabled", x, y,
              static_cast<void*>(target));
        return TRUE;
    }
    POINT client = pt;
    ScreenToClient(target, &client);
    UINT msg = WM_MOUSEMOVE;
    WPARAM keys = down ? MK_LBUTTON : 0;
    if (action == StylusAction::Press) {
        msg = WM_LBUTTONDOWN;
        keys = MK_LBUTTON;
    } else if (action == StylusAction::Release) {
        msg = WM_LBUTTONUP;
        keys = 0;
    }
    PostMessageW(target, msg, keys, PointParam(client.x, client.y));
    return TRUE;
}

BOOL ScreenInjectKey(ScreenKey key) {
    const KeyInfo* info = FindKey(key);
    if (!info) {
        Trace("[Screen] key %d refused: unknown", static_cast<int>(key));
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    screen::Activate();
    if (key == ScreenKey::SoftLeft || key == ScreenKey::SoftRight) {
        BOOL (*handler)(int);
        {
            InputState& in = Input();
            std::lock_guard<std::mutex> g(in.lock);
            handler = in.softKeys;
        }
        if (handler && handler(key == ScreenKey::SoftLeft ? 0 : 1)) return TRUE;
    }
    HWND target = KeyTarget();
    if (!target) {
        Trace("[Screen] key %s: no window takes keys", info->name);
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    PostMessageW(target, WM_KEYDOWN, info->vk, 1);
    PostMessageW(target, WM_KEYUP, info->vk, static_cast<LPARAM>(0xC0000001u));
    return TRUE;
}

BOOL ScreenInjectText(LPCWSTR text) {
    if (!text || !*text) {
        Trace("[Screen] text refused: nothing to type");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    screen::Activate();
    HWND target = KeyTarget();
    if (!target) {
        Trace("[Screen] text: no window takes keys");
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    for (LPCWSTR p = text; *p; ++p) PostMessageW(target, WM_CHAR, *p, 1);
    return TRUE;
}
