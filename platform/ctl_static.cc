// The static control: its text on the dialog's white background.
#include "platform/ctl_internal.h"

namespace {

void PaintStatic(HWND hwnd) {
    CtlPaint paint(hwnd, GetSysColor(COLOR_WINDOW));
    if (!paint.dc) return;
    const DWORD style = CtlStyle(hwnd);
    UINT format = DT_TOP;
    switch (style & 0x0F) {
        case SS_CENTER:
            format |= DT_CENTER | DT_WORDBREAK;
            break;
        case SS_RIGHT:
            format |= DT_RIGHT | DT_WORDBREAK;
            break;
        case SS_LEFTNOWORDWRAP:
            format |= DT_LEFT | DT_SINGLELINE;
            break;
        default:
            format |= DT_LEFT | DT_WORDBREAK;
            break;
    }
    WString text = CtlText(hwnd);
    CtlDrawText(paint.dc, text.c_str(), static_cast<int>(text.size()), paint.client, format,
                CtlTextColor(hwnd));
}

}  // namespace

LRESULT StaticWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
        case WM_PAINT:
            PaintStatic(hwnd);
            return 0;
        case WM_LBUTTONUP:
            if (CtlStyle(hwnd) & SS_NOTIFY) CtlNotify(hwnd, STN_CLICKED);
            return 0;
        case WM_GETDLGCODE:
            return DLGC_STATIC;
        default:
            return CtlDefault(hwnd, msg, wParam, lParam);
    }
}
