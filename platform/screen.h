// The device's screen: one framebuffer that every window of this process draws on through
// its window DC, the title strip at the top, stylus and key input, and the screen service
// through which a person or a test drives the device from outside.
//
// A window DC draws only on the parts of its window that are on the screen: inside its
// parents, outside its visible children and outside the visible top-level windows above it.
// When a top-level window is shown, hidden, moved, raised or destroyed, the windows it
// uncovers are invalidated and repaint through WM_PAINT.
#pragma once

#include <string>

#include "platform/gdi.h"

struct PAINTSTRUCT {
    HDC hdc;               // the window DC to paint with
    BOOL fErase;           // the background still needs erasing (WM_ERASEBKGND said no)
    RECT rcPaint;          // the area to paint: the whole client area
    BOOL fRestore;         // reserved
    BOOL fIncUpdate;       // reserved
    BYTE rgbReserved[32];  // reserved
};

// GetSystemMetrics indexes.
constexpr int SM_CXSCREEN = 0;
constexpr int SM_CYSCREEN = 1;
// SystemParametersInfo actions.
constexpr UINT SPI_GETWORKAREA = 0x0030;

// Virtual keys the device's keys send.
constexpr UINT VK_BACK = 0x08;
constexpr UINT VK_RETURN = 0x0D;
constexpr UINT VK_ESCAPE = 0x1B;
constexpr UINT VK_LEFT = 0x25;
constexpr UINT VK_UP = 0x26;
constexpr UINT VK_RIGHT = 0x27;
constexpr UINT VK_DOWN = 0x28;
constexpr UINT VK_F1 = 0x70;  // left soft key
constexpr UINT VK_F2 = 0x71;  // right soft key
constexpr WPARAM MK_LBUTTON = 0x0001;

// Height of the title strip and of the soft-key bar in pixels on a 240 x 320 screen; both
// scale with the screen height / 320.
constexpr int SCREEN_BAND_HEIGHT = 26;

// ---- Device contexts and painting ------------------------------------------------------

// A DC on the window's client area (null: the whole screen); release it with ReleaseDC.
HDC GetDC(HWND hwnd);
HDC GetWindowDC(HWND hwnd);        // the same as GetDC: windows have no frame
int ReleaseDC(HWND hwnd, HDC dc);  // 1 when released
// Validates the window, sends WM_ERASEBKGND when the background is due to be erased, and
// returns the window DC; EndPaint releases it.
HDC BeginPaint(HWND hwnd, PAINTSTRUCT* ps);
BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* ps);

int GetSystemMetrics(int index);  // the screen size; 0 for other indexes
// SPI_GETWORKAREA: the band between the title strip and the soft-key bar.
BOOL SystemParametersInfoW(UINT action, UINT param, void* data, UINT winIni);
inline BOOL SystemParametersInfo(UINT a, UINT p, void* d, UINT w) {
    return SystemParametersInfoW(a, p, d, w);
}

// ---- Coordinates -----------------------------------------------------------------------

// The deepest visible window of this process under the point, null for none.
HWND WindowFromPoint(POINT pt);
BOOL ClientToScreen(HWND hwnd, POINT* pt);
BOOL ScreenToClient(HWND hwnd, POINT* pt);
// Maps points from one window's client coordinates to another's (null: the screen);
// returns the horizontal offset in the low word and the vertical in the high word.
int MapWindowPoints(HWND from, HWND to, POINT* points, UINT count);

// ---- Capture and focus -----------------------------------------------------------------

// Every stylus action goes to the capture window until it is released; returns the
// previous capture window.
HWND SetCapture(HWND hwnd);
BOOL ReleaseCapture();
HWND GetCapture();
// Keys and text go to the focus window. WM_KILLFOCUS goes to the old, WM_SETFOCUS to the
// new one (sent on their own threads, posted from others). Returns the previous focus
// window; null (and nothing changes) for a window that does not exist or is disabled.
HWND SetFocus(HWND hwnd);
HWND GetFocus();

// ---- The title strip -------------------------------------------------------------------

// The strip shows the title of the topmost visible top-level window that set one (null
// forgets it) and that window's "ok" and "X" buttons, which post it WM_COMMAND IDOK and
// IDCANCEL when tapped.
void ScreenSetTitle(HWND top, LPCWSTR title);
void ScreenSetCaptionButtons(HWND top, BOOL ok, BOOL cancel);

// ---- Input -----------------------------------------------------------------------------

enum class StylusAction { Press, Move, Release };
enum class ScreenKey { SoftLeft, SoftRight, Up, Down, Left, Right, Enter, Back };

// The soft keys go first to this handler (key 0 left, 1 right), on the thread that injects
// them; when it returns FALSE (or there is none) they arrive as VK_F1 / VK_F2. Null removes it.
void ScreenSetSoftKeyHandler(BOOL (*handler)(int key));

// Stylus actions at screen coordinates post WM_LBUTTONDOWN, WM_MOUSEMOVE or WM_LBUTTONUP (in
// client coordinates) to the capture window, else to the deepest visible window under the
// point; a disabled window gets nothing. FALSE (traced) for a point off the screen.
BOOL ScreenInjectStylus(StylusAction action, int x, int y);
// WM_KEYDOWN and WM_KEYUP to the focus window, else the foreground window. FALSE (traced)
// when no enabled window takes keys.
BOOL ScreenInjectKey(ScreenKey key);
// WM_CHAR for each UTF-16 unit, as for keys; FALSE for an empty or null text.
BOOL ScreenInjectText(LPCWSTR text);
// Writes the screen as a PNG file at a host path; FALSE (traced) when it cannot.
BOOL ScreenSavePng(const std::string& hostPath);

// ---- The screen service ----------------------------------------------------------------

// Starts the display (VANTLO_DISPLAY) and the screen service on
// $VANTLO_RUNTIME_DIR/vantlo-screen.sock, on threads of their own: one-line requests
// ("screenshot FILE", "tap X Y", "press X Y", "move X Y", "release X Y", "key NAME",
// "type TEXT"), each answered by one line, "ok" or "error: <why>". TRUE when listening.
BOOL StartScreenService();
// Stops the service and the display (joins their threads); nothing when not started.
void StopScreenService();
// The client's side: sends one request line to the running screen service and puts its
// answer line in *answer. FALSE, with the reason in *answer, when no service listens
// (ERROR_FILE_NOT_FOUND) or no answer came within timeoutMs (ERROR_TIMEOUT).
BOOL ScreenServiceRequest(const std::string& request, std::string* answer, DWORD timeoutMs);
