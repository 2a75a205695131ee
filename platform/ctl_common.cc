// Helpers the control classes share, and the registration of the classes.
#include <algorithm>
#include <mutex>

#include "platform/ctl_internal.h"
#include "platform/screen_size.h"
#include "platform/trace.h"

BOOL CtlRegisterClass(LPCWSTR name, WNDPROC proc, int extraBytes) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = proc;
    wc.cbWndExtra = extraBytes;
    wc.lpszClassName = name;
    if (RegisterClassW(&wc)) return TRUE;
    WNDCLASSW existing{};
    if (GetClassInfoW(nullptr, name, &existing)) return TRUE;  // registered before
    Trace("[Platform] control class %s could not be registered (error %u)", name,
          static_cast<unsigned>(GetLastError()));
    return FALSE;
}

BOOL RegisterControlClasses() {
    static std::once_flag once;
    static BOOL ok = FALSE;
    std::call_once(once, [] {
        const int extra = kCtlExtraBytes;
        ok = CtlRegisterClass(WC_STATIC, StaticWndProc, extra) &&
             CtlRegisterClass(WC_EDIT, EditWndProc, extra) &&
             CtlRegisterClass(WC_BUTTON, ButtonWndProc, extra) &&
             CtlRegisterClass(WC_COMBOBOX, ComboWndProc, extra) &&
             CtlRegisterClass(kComboListClass, ComboListWndProc, extra);
    });
    return ok;
}

void CtlNotify(HWND ctl, WORD code) {
    HWND parent = GetParent(ctl);
    if (!parent) return;
    WORD id = static_cast<WORD>(GetWindowLongW(ctl, GWL_ID));
    SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(ctl));
}

DWORD CtlStyle(HWND hwnd) {
    return static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE));
}

WString CtlText(HWND hwnd) {
    WString text(static_cast<size_t>(GetWindowTextLengthW(hwnd)) + 1, u'\0');
    int n = GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()));
    text.resize(static_cast<size_t>(std::max(n, 0)));
    return text;
}

void CtlStoreText(HWND hwnd, const WString& text) {
    DefWindowProcW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

int CtlScaleX() {
    return std::max(1, GetScreenSize().width / 240);
}

int CtlScaleY() {
    return std::max(1, GetScreenSize().height / 320);
}

HFONT CtlFont() {
    return static_cast<HFONT>(GetStockObject(SYSTEM_FONT));
}

int CtlLineHeight() {
    static const int height = [] {
        HDC dc = CreateCompatibleDC(nullptr);
        SelectObject(dc, CtlFont());
        SIZE size{0, 0};
        BOOL ok = GetTextExtentPoint32W(dc, u"Ag", 2, &size);
        DeleteDC(dc);
        return ok && size.cy > 0 ? static_cast<int>(size.cy) : 14 * CtlScaleY();
    }();
    return height;
}

int CtlFieldHeight() {
    return 12 * 13 * CtlScaleY() / 8;
}

LRESULT CtlDefault(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_ERASEBKGND:
            return TRUE;
        case WM_SETTEXT: {
            LRESULT r = DefWindowProcW(hwnd, msg, wParam, lParam);
            InvalidateRect(hwnd, nullptr, FALSE);
            return r;
        }
        case WM_ENABLE:
            InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        default:
            return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
}

CtlPaint::CtlPaint(HWND hwnd, COLORREF fill) : dc(nullptr), client{0, 0, 0, 0}, hwnd_(hwnd) {
    dc = BeginPaint(hwnd, &ps_);
    GetClientRect(hwnd, &client);
    if (dc) CtlFill(dc, client, fill);
}

CtlPaint::~CtlPaint() {
    if (dc) EndPaint(hwnd_, &ps_);
}

CtlMeasure::CtlMeasure() : dc_(CreateCompatibleDC(nullptr)) {
    if (dc_) SelectObject(dc_, CtlFont());
}

CtlMeasure::~CtlMeasure() {
    if (dc_) DeleteDC(dc_);
}

int CtlMeasure::Width(const WCHAR* text, int count) {
    if (!dc_ || !text || count <= 0) return 0;
    SIZE size{0, 0};
    return GetTextExtentPoint32W(dc_, text, count, &size) ? static_cast<int>(size.cx) : 0;
}

void CtlDrawText(HDC dc, const WCHAR* text, int count, RECT rect, UINT format, COLORREF color) {
    if (!text || count == 0) return;
    HGDIOBJ oldFont = SelectObject(dc, CtlFont());
    int oldMode = SetBkMode(dc, TRANSPARENT);
    COLORREF oldColor = SetTextColor(dc, color);
    DrawTextW(dc, text, count, &rect, format | DT_NOPREFIX);
    SetTextColor(dc, oldColor);
    SetBkMode(dc, oldMode);
    if (oldFont) SelectObject(dc, oldFont);
}

void CtlFill(HDC dc, const RECT& rect, COLORREF color) {
    HBRUSH brush = CreateSolidBrush(color);
    FillRect(dc, &rect, brush);
    DeleteObject(brush);
}

void CtlFrame(HDC dc, const RECT& rect, int width, COLORREF color) {
    const LONG w = width;
    CtlFill(dc, RECT{rect.left, rect.top, rect.right, rect.top + w}, color);
    CtlFill(dc, RECT{rect.left, rect.bottom - w, rect.right, rect.bottom}, color);
    CtlFill(dc, RECT{rect.left, rect.top, rect.left + w, rect.bottom}, color);
    CtlFill(dc, RECT{rect.right - w, rect.top, rect.right, rect.bottom}, color);
}

COLORREF CtlTextColor(HWND hwnd) {
    return IsWindowEnabled(hwnd) ? GetSysColor(COLOR_WINDOWTEXT) : GetSysColor(COLOR_GRAYTEXT);
}

WCHAR CtlFoldCase(WCHAR c) {
    if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);     // Latin-1
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<WCHAR>(c - 0x20);  // Greek
    if (c >= 0x430 && c <= 0x44F) return static_cast<WCHAR>(c - 0x20);                // Cyrillic
    if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 0x50);
    return c;
}
