// The shell's dialog services other than the soft-key bar: full-screen set-up, the title and
// caption buttons, the activation handlers, PNG loading, tap-and-hold recognition and the input
// panel, which this device does not have.
#include "platform/shell.h"

#include <algorithm>
#include <cstdlib>

#include "platform/gdi.h"
#include "platform/menu.h"
#include "platform/screen.h"
#include "platform/trace.h"

namespace {

constexpr DWORD kCaptionOkExStyle = 0x80000000;  // a dialog's extended style asking for "ok"
constexpr DWORD kDeviceActivateInfoSize = 12;    // SHACTIVATEINFO on the device
constexpr DWORD kHoldMs = 600;                   // a press held this long is a tap-and-hold
constexpr int kHoldSlop = 6;                     // pixels it may wander (240-wide screen)

bool CheckWindow(HWND hwnd, const char* caller) {
    if (IsWindow(hwnd)) return true;
    Trace("[Shell] %s: %p is not a window", caller, static_cast<void*>(hwnd));
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

// Whether the stylus point of a mouse message lies within slop pixels of pt.
bool NearPoint(LPARAM lParam, POINT pt, int slop) {
    const int x = static_cast<short>(LOWORD(static_cast<uintptr_t>(lParam)));
    const int y = static_cast<short>(HIWORD(static_cast<uintptr_t>(lParam)));
    return std::abs(x - pt.x) <= slop && std::abs(y - pt.y) <= slop;
}

bool CheckActivateInfo(const SHACTIVATEINFO* info, const char* caller) {
    if (info && (info->cbSize == sizeof(SHACTIVATEINFO) ||
                 info->cbSize == kDeviceActivateInfoSize || info->cbSize == 0)) {
        return true;
    }
    Trace("[Shell] %s: a bad SHACTIVATEINFO record", caller);
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

}  // namespace

BOOL SHInitDialog(PSHINITDLGINFO info) {
    if (!info) {
        Trace("[Shell] SHInitDialog: no SHINITDLGINFO record");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!CheckWindow(info->hDlg, "SHInitDialog")) return FALSE;
    if (!(info->dwMask & SHIDIM_FLAGS)) return TRUE;  // nothing asked for
    const DWORD flags = info->dwFlags;
    if (flags & (SHIDIF_SIZEDLG | SHIDIF_SIZEDLGFULLSCREEN | SHIDIF_FULLSCREENNOMENUBAR)) {
        RECT area;
        if (!SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0)) {
            Trace("[Shell] SHInitDialog: no work area");
            return FALSE;
        }
        if (flags & SHIDIF_FULLSCREENNOMENUBAR) area.bottom = GetSystemMetrics(SM_CYSCREEN);
        MoveWindow(info->hDlg, area.left, area.top, area.right - area.left, area.bottom - area.top,
                   TRUE);
    }
    DWORD exStyle = static_cast<DWORD>(GetWindowLongW(info->hDlg, GWL_EXSTYLE));
    BOOL ok = (flags & SHIDIF_DONEBUTTON) || (exStyle & kCaptionOkExStyle) ? TRUE : FALSE;
    ScreenSetCaptionButtons(info->hDlg, ok, (flags & SHIDIF_CANCELBUTTON) ? TRUE : FALSE);
    return TRUE;
}

BOOL SHSetNavBarText(HWND hwnd, LPCWSTR text) {
    if (!CheckWindow(hwnd, "SHSetNavBarText")) return FALSE;
    ScreenSetTitle(hwnd, text);
    return TRUE;
}

BOOL SHDoneButton(HWND hwnd, DWORD state) {
    if (!CheckWindow(hwnd, "SHDoneButton")) return FALSE;
    switch (state) {
        case SHDB_SHOW:
            ScreenSetCaptionButtons(hwnd, TRUE, FALSE);
            return TRUE;
        case SHDB_SHOWCANCEL:
            ScreenSetCaptionButtons(hwnd, FALSE, TRUE);
            return TRUE;
        case SHDB_HIDE:
            ScreenSetCaptionButtons(hwnd, FALSE, FALSE);
            return TRUE;
        default:
            Trace("[Shell] SHDoneButton: unknown state 0x%x", static_cast<unsigned>(state));
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
}

BOOL SHFullScreen(HWND hwnd, DWORD state) {
    if (!CheckWindow(hwnd, "SHFullScreen")) return FALSE;
    Trace("[Shell] SHFullScreen %p 0x%x: the title strip stays", static_cast<void*>(hwnd),
          static_cast<unsigned>(state));
    return TRUE;
}

BOOL SHHandleWMActivate(HWND hwnd, WPARAM wParam, LPARAM, PSHACTIVATEINFO info, DWORD) {
    if (!CheckWindow(hwnd, "SHHandleWMActivate") ||
        !CheckActivateInfo(info, "SHHandleWMActivate")) {
        return FALSE;
    }
    if (LOWORD(wParam) == WA_INACTIVE) {
        HWND focus = GetFocus();
        if (focus && IsChild(hwnd, focus)) info->hwndLastFocus = focus;
        info->fActive = 0;
        return TRUE;
    }
    info->fActive = 1;
    if (info->hwndLastFocus && IsChild(hwnd, info->hwndLastFocus)) SetFocus(info->hwndLastFocus);
    return TRUE;
}

BOOL SHHandleWMSettingChange(HWND hwnd, WPARAM, LPARAM, PSHACTIVATEINFO info) {
    if (!CheckWindow(hwnd, "SHHandleWMSettingChange") ||
        !CheckActivateInfo(info, "SHHandleWMSettingChange")) {
        return FALSE;
    }
    return TRUE;
}

HBITMAP SHLoadImageFile(LPCWSTR fileName) {
    if (!fileName || !*fileName) {
        Trace("[Shell] SHLoadImageFile: no file name");
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return GdiLoadPngFile(fileName);
}

DWORD SHRecognizeGesture(PSHRGINFO info) {
    if (!info || (info->cbSize != sizeof(SHRGINFO) && info->cbSize != SHRGINFO_DEVICE_SIZE)) {
        Trace("[Shell] SHRecognizeGesture: a bad SHRGINFO record");
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const HWND hwnd = info->hwndClient;
    if (!CheckWindow(hwnd, "SHRecognizeGesture")) return 0;
    const int slop = kHoldSlop * std::max(1, GetSystemMetrics(SM_CXSCREEN) / 240);
    const DWORD holdMs = (info->dwFlags & SHRG_LONGDELAY) ? 2 * kHoldMs : kHoldMs;
    const DWORD start = GetTickCount();
    for (;;) {
        MSG msg;
        if (PeekMessageW(&msg, hwnd, WM_MOUSEMOVE, WM_LBUTTONUP, PM_NOREMOVE)) {
            if (msg.message != WM_MOUSEMOVE || !NearPoint(msg.lParam, info->ptDown, slop)) {
                return 0;  // released, pressed again or dragged: no hold
            }
            PeekMessageW(&msg, hwnd, WM_MOUSEMOVE, WM_MOUSEMOVE, PM_REMOVE);
            DispatchMessageW(&msg);
            continue;
        }
        DWORD waited = GetTickCount() - start;
        if (!IsWindow(hwnd)) return 0;
        if (waited >= holdMs) break;
        // Everything but the stylus goes on meanwhile (timers, paints, posted work).
        if (PeekMessageW(&msg, nullptr, 0, WM_MOUSEMOVE - 1, PM_REMOVE) ||
            PeekMessageW(&msg, nullptr, WM_LBUTTONUP + 1, 0xFFFFFFFFu, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(msg.wParam));
                return 0;
            }
            DispatchMessageW(&msg);
            continue;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, holdMs - waited, QS_ALLINPUT);
    }
    POINT screen = info->ptDown;
    ClientToScreen(hwnd, &screen);
    PostMessageW(hwnd, WM_CONTEXTMENU, reinterpret_cast<WPARAM>(hwnd),
                 MAKELPARAM(static_cast<WORD>(screen.x), static_cast<WORD>(screen.y)));
    return GN_CONTEXTMENU;
}

BOOL SHSipPreference(HWND hwnd, SIPSTATE state) {
    Trace("[Shell] SHSipPreference %p %d: there is no input panel", static_cast<void*>(hwnd),
          static_cast<int>(state));
    return TRUE;
}
