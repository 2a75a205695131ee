// What the control classes (ctl_*.cc) share: their state pointer, notifications to the
// parent, the system font and its metrics, and case folding for the combo box's searches.
#pragma once

#include <memory>

#include "platform/controls.h"
#include "platform/gdi.h"
#include "platform/screen.h"
#include "platform/wstr.h"

// Each control keeps its state behind a pointer in its first window extra bytes.
constexpr int kCtlExtraBytes = static_cast<int>(sizeof(void*));

template <class T>
T* CtlState(HWND hwnd) {
    return reinterpret_cast<T*>(GetWindowLongPtrW(hwnd, 0));
}
// Stores a new state on WM_CREATE; false (traced) when it cannot be kept.
template <class T>
bool CtlAttach(HWND hwnd, std::unique_ptr<T> state) {
    SetWindowLongPtrW(hwnd, 0, reinterpret_cast<LONG_PTR>(state.get()));
    if (CtlState<T>(hwnd) != state.get()) return false;
    state.release();  // owned by the window until CtlDetach
    return true;
}
// Frees the state on WM_NCDESTROY.
template <class T>
void CtlDetach(HWND hwnd) {
    delete CtlState<T>(hwnd);
    SetWindowLongPtrW(hwnd, 0, 0);
}

// Registers one window class of this module; TRUE when it exists afterwards.
BOOL CtlRegisterClass(LPCWSTR name, WNDPROC proc, int extraBytes);

// The window procedures of the classes (ctl_<class>.cc).
LRESULT StaticWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT EditWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT ButtonWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT ComboWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT ComboListWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
// The class of a combo box's pop-up list.
inline constexpr WCHAR kComboListClass[] = u"ComboLBox";

// Sends WM_COMMAND (the control's id, code) to its parent.
void CtlNotify(HWND ctl, WORD code);
DWORD CtlStyle(HWND hwnd);
WString CtlText(HWND hwnd);
// Replaces the window text without the control's own WM_SETTEXT handling.
void CtlStoreText(HWND hwnd, const WString& text);

// Screen scale factors (width / 240, height / 320), never below 1.
int CtlScaleX();
int CtlScaleY();
HFONT CtlFont();       // the system font (a stock object)
int CtlLineHeight();   // the height of one line of it in pixels
int CtlFieldHeight();  // a one-line field: 12 vertical dialog units

// A memory DC with the system font selected, for measuring text.
class CtlMeasure {
  public:
    CtlMeasure();
    ~CtlMeasure();
    CtlMeasure(const CtlMeasure&) = delete;
    CtlMeasure& operator=(const CtlMeasure&) = delete;
    int Width(const WCHAR* text, int count);  // pixels; 0 for no text

  private:
    HDC dc_;
};

// The default handling of every control: the background is left to its painting, a new
// text or enabled state repaints it; anything else goes to DefWindowProc.
LRESULT CtlDefault(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// BeginPaint with the client area filled in a colour; EndPaint when it goes.
class CtlPaint {
  public:
    CtlPaint(HWND hwnd, COLORREF fill);
    ~CtlPaint();
    CtlPaint(const CtlPaint&) = delete;
    CtlPaint& operator=(const CtlPaint&) = delete;

    HDC dc;       // null when the window cannot be painted
    RECT client;  // its client area

  private:
    HWND hwnd_;
    PAINTSTRUCT ps_;
};

// Draws text in the system font, transparent, in colour within rect.
void CtlDrawText(HDC dc, const WCHAR* text, int count, RECT rect, UINT format, COLORREF color);
// A frame of the given width inside rect.
void CtlFrame(HDC dc, const RECT& rect, int width, COLORREF color);
void CtlFill(HDC dc, const RECT& rect, COLORREF color);
// The text colour of an enabled or disabled control.
COLORREF CtlTextColor(HWND hwnd);

// Case folding for comparisons: Latin (ASCII and Latin-1), Greek and Cyrillic letters.
WCHAR CtlFoldCase(WCHAR c);
