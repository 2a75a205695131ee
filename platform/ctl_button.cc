// The button control: push buttons and check boxes. A tap (press and release inside)
// clicks it: an auto check box toggles, and the parent gets BN_CLICKED.
#include <algorithm>

#include "platform/ctl_internal.h"

namespace {

struct ButtonState {
    UINT check = BST_UNCHECKED;  // BST_CHECKED or BST_UNCHECKED
    bool pushed = false;         // drawn pushed: the stylus is down on it, or BM_SETSTATE
    bool tracking = false;       // the stylus went down on it and has the capture
    bool focused = false;        // it has the focus
};

DWORD Kind(HWND hwnd) {
    return CtlStyle(hwnd) & BS_TYPEMASK;
}

bool IsCheckBox(HWND hwnd) {
    DWORD kind = Kind(hwnd);
    return kind == BS_CHECKBOX || kind == BS_AUTOCHECKBOX;
}

void PaintPush(HWND hwnd, HDC dc, const RECT& client, const ButtonState& s) {
    const int sx = CtlScaleX();
    CtlFill(dc, client, s.pushed ? GetSysColor(COLOR_BTNSHADOW) : GetSysColor(COLOR_BTNFACE));
    const bool thick = Kind(hwnd) == BS_DEFPUSHBUTTON || s.focused;
    CtlFrame(dc, client, thick ? 2 * sx : sx, GetSysColor(COLOR_WINDOWTEXT));
    WString text = CtlText(hwnd);
    CtlDrawText(dc, text.c_str(), static_cast<int>(text.size()), client,
                DT_CENTER | DT_VCENTER | DT_SINGLELINE, CtlTextColor(hwnd));
}

void PaintCheckBox(HWND hwnd, HDC dc, const RECT& client, const ButtonState& s) {
    const int sx = CtlScaleX();
    const LONG height = client.bottom - client.top;
    const LONG side = std::min<LONG>(height, CtlLineHeight());
    const LONG top = client.top + (height - side) / 2;
    RECT box{client.left, top, client.left + side, top + side};
    CtlFill(dc, box, s.pushed ? GetSysColor(COLOR_BTNFACE) : GetSysColor(COLOR_WINDOW));
    const COLORREF ink = s.focused ? GetSysColor(COLOR_HIGHLIGHT) : CtlTextColor(hwnd);
    CtlFrame(dc, box, sx, ink);
    if (s.check == BST_CHECKED) {
        // A tick: down from the left third, then up to the top right.
        HPEN pen = CreatePen(PS_SOLID, std::max(1, side / 6), CtlTextColor(hwnd));
        HGDIOBJ old = SelectObject(dc, pen);
        MoveToEx(dc, box.left + side / 5, box.top + side / 2, nullptr);
        LineTo(dc, box.left + side * 2 / 5, box.bottom - side / 4);
        LineTo(dc, box.right - side / 5, box.top + side / 5);
        SelectObject(dc, old);
        DeleteObject(pen);
    }
    WString text = CtlText(hwnd);
    RECT label{box.right + 4 * sx, client.top, client.right, client.bottom};
    CtlDrawText(dc, text.c_str(), static_cast<int>(text.size()), label,
                DT_LEFT | DT_VCENTER | DT_SINGLELINE, CtlTextColor(hwnd));
}

void PaintButton(HWND hwnd, ButtonState& s) {
    CtlPaint paint(hwnd, GetSysColor(COLOR_WINDOW));
    if (!paint.dc) return;
    if (IsCheckBox(hwnd)) {
        PaintCheckBox(hwnd, paint.dc, paint.client, s);
    } else {
        PaintPush(hwnd, paint.dc, paint.client, s);
    }
}

// A click: an auto check box toggles, then the parent hears of it. The window may be gone
// when this returns.
void Click(HWND hwnd, ButtonState& s) {
    if (Kind(hwnd) == BS_AUTOCHECKBOX) {
        s.check = s.check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED;
        InvalidateRect(hwnd, nullptr, FALSE);
    }
    CtlNotify(hwnd, BN_CLICKED);
}

bool Inside(HWND hwnd, LPARAM lParam) {
    RECT client;
    GetClientRect(hwnd, &client);
    POINT pt{static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
    return PtInRect(&client, pt) != FALSE;
}

void SetPushed(HWND hwnd, ButtonState& s, bool pushed) {
    if (s.pushed == pushed) return;
    s.pushed = pushed;
    InvalidateRect(hwnd, nullptr, FALSE);
}

}  // namespace

LRESULT ButtonWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_CREATE) {
        return CtlAttach(hwnd, std::make_unique<ButtonState>()) ? 0 : -1;
    }
    ButtonState* s = CtlState<ButtonState>(hwnd);
    if (!s) return DefWindowProcW(hwnd, msg, wParam, lParam);
    switch (msg) {
        case WM_NCDESTROY:
            CtlDetach<ButtonState>(hwnd);
            return 0;
        case WM_PAINT:
            PaintButton(hwnd, *s);
            return 0;
        case WM_LBUTTONDOWN:
            SetFocus(hwnd);
            SetCapture(hwnd);
            s->tracking = true;
            SetPushed(hwnd, *s, true);
            return 0;
        case WM_MOUSEMOVE:
            if (s->tracking) SetPushed(hwnd, *s, Inside(hwnd, lParam));
            return 0;
        case WM_LBUTTONUP: {
            if (!s->tracking) return 0;  // the press went elsewhere
            s->tracking = false;
            if (GetCapture() == hwnd) ReleaseCapture();
            SetPushed(hwnd, *s, false);
            if (Inside(hwnd, lParam)) Click(hwnd, *s);
            return 0;
        }
        case BM_CLICK:
            Click(hwnd, *s);
            return 0;
        case BM_GETCHECK:
            return IsCheckBox(hwnd) ? s->check : BST_UNCHECKED;
        case BM_SETCHECK:
            if (IsCheckBox(hwnd)) {
                s->check = wParam == BST_CHECKED ? BST_CHECKED : BST_UNCHECKED;
                InvalidateRect(hwnd, nullptr, FALSE);
            }
            return 0;
        case BM_GETSTATE:
            return (IsCheckBox(hwnd) ? s->check : 0) | (s->pushed ? BST_PUSHED : 0) |
                   (s->focused ? BST_FOCUS : 0);
        case BM_SETSTATE:
            SetPushed(hwnd, *s, wParam != 0);
            return 0;
        case WM_SETFOCUS:
        case WM_KILLFOCUS:
            s->focused = msg == WM_SETFOCUS;
            InvalidateRect(hwnd, nullptr, FALSE);
            return 0;
        case WM_GETDLGCODE:
            if (IsCheckBox(hwnd)) return DLGC_BUTTON;
            return DLGC_BUTTON |
                   (Kind(hwnd) == BS_DEFPUSHBUTTON ? DLGC_DEFPUSHBUTTON : DLGC_UNDEFPUSHBUTTON);
        default:
            return CtlDefault(hwnd, msg, wParam, lParam);
    }
}
