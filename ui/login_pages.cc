#include "ui/login_pages.h"

#include "platform/resource.h"
#include "platform/screen.h"
#include "platform/shell.h"
#include "platform/trace.h"
#include "store/album_list.h"
#include "ui/dialog_messages.h"
#include "ui/fonts.h"
#include "ui/page_host.h"
#include "upload/agent_notice.h"

namespace {

constexpr LONG kYouTube = 0;
constexpr LONG kFacebook = 1;
constexpr UINT_PTR kLoginTimer = 2001;  // retries a result that came while the page was behind
constexpr UINT kLoginTimerMs = 200;
constexpr LPARAM kSignedIn = 0;  // AGENT_LOGIN_RESULT outcomes
constexpr LPARAM kNotSignedIn = 1;

constexpr COLORREF kPageGrey = RGB(220, 220, 220);
constexpr LONG kHeaderHeight = 40;  // base units above the grey page
constexpr LONG kTitleWidth = 160;   // base units the title reaches right of its anchor
constexpr LONG kTitleHeight = 20;
constexpr LONG kScreenWidth = 240;  // base units
constexpr LONG kBodyHeight = 300;
constexpr int kTitleChars = 40;  // text buffers, terminator included
constexpr int kBodyChars = 260;
constexpr LPCWSTR kServiceIcons[2] = {u"\\Windows\\icon_youtube.png",
                                      u"\\Windows\\icon_facebook.png"};

// ---- Shared by the three pages --------------------------------------------------------------

bool g_firstPaint = false;  // the page on screen has not painted yet (dialog thread only)

LONG Service() {
    PageHost* host = GetPageHost();
    return host ? host->pContext->nPageService : -1;
}

// Tells the agent, when one runs, whether the user is now signed in to service.
void PostLoginOutcome(LONG service, LPARAM outcome) {
    if (service != kYouTube && service != kFacebook) return;
    if (HWND agent = FindAgentWindow()) {
        PostMessageW(agent, AGENT_LOGIN_RESULT, static_cast<WPARAM>(service), outcome);
    }
}

// Starts the sign-in of the page's service; its outcome arrives at the login page.
void StartSignIn(const char* command) {
    PageHost* host = GetPageHost();
    if (Service() == kYouTube) {
        Trace("%s: login youtube", command);
        host->pAccount->YTLogin(0);
    } else if (Service() == kFacebook) {
        Trace("%s: login facebook", command);
        host->pAccount->FBLogin();
    }
}

// WM_INITDIALOG: the page records itself and sets itself up as a full-screen page.
INT_PTR InitLoginPage(HWND hDlg, bool waitsForSignIn) {
    PageHost* host = GetPageHost();
    if (!host) {
        Trace("[Login] no page host: the page ends at once");
        EndDialog(hDlg, PAGE_USER_CANCELLED);
        return TRUE;
    }
    host->pContext->hPageDlg = hDlg;
    *host->phCurDlg = hDlg;
    g_firstPaint = true;
    if (waitsForSignIn) host->pAccount->SetCallbackWindow(hDlg);
    host->InitPageDialog();
    return TRUE;
}

INT_PTR PaintPage(HWND hDlg) {
    PageHost* host = GetPageHost();
    PAINTSTRUCT ps{};
    HDC dc = BeginPaint(hDlg, &ps);
    if (dc && host) PaintLoginPage(dc, hDlg, host->pContext->nPageService, host->pContext->nPageId);
    EndPaint(hDlg, &ps);
    if (dc && host && g_firstPaint) {
        g_firstPaint = false;
        Trace("[Login] page %d on screen", static_cast<int>(host->pContext->nPageId));
    }
    return TRUE;
}

// The window rectangle of an anchor control, which the page uses as drawing coordinates.
RECT AnchorRect(HWND hDlg, int id) {
    RECT rect{};
    HWND anchor = GetDlgItem(hDlg, id);
    if (!anchor || !GetWindowRect(anchor, &rect)) {
        Trace("[Login] anchor %d of the page is missing", id);
    }
    return rect;
}

void DrawServiceIcon(HDC dc, HWND hDlg, PageHost* host, LONG service) {
    if (service != kYouTube && service != kFacebook) return;
    HBITMAP& icon = host->hServiceIcon[service];
    if (!icon) icon = SHLoadImageFile(kServiceIcons[service]);  // tried again next paint
    BITMAP info{};
    if (!icon || !GetObjectW(icon, sizeof(info), &info)) return;
    const RECT anchor = AnchorRect(hDlg, IDC_ICON);
    HDC source = CreateCompatibleDC(dc);
    if (!source) return;
    HGDIOBJ old = SelectObject(source, icon);
    BitBlt(dc, anchor.left, anchor.top, info.bmWidth, info.bmHeight, source, 0, 0, SRCCOPY);
    SelectObject(source, old);
    DeleteDC(source);
}

// Draws resource text id with a font of fontKind into rect.
void DrawPageText(HDC dc, PageHost* host, UINT id, int chars, RECT rect, UINT format,
                  int fontKind) {
    WCHAR text[kBodyChars] = {};
    LoadStringW(host->hInstance, id, text, chars);
    HFONT font = CreateFontByKind(fontKind);
    HGDIOBJ old = font ? SelectObject(dc, font) : nullptr;
    DrawTextW(dc, text, -1, &rect, format);
    if (old) SelectObject(dc, old);
    if (font) DeleteObject(font);
}

// Draws the page into dc, whose (0, 0) is the client area's.
void DrawLoginPage(HDC dc, HWND hDlg, PageHost* host, LONG service, LONG page, const RECT& client) {
    const LONG sx = host->nScaleX;
    const LONG sy = host->nScaleY;

    HBRUSH grey = CreateSolidBrush(kPageGrey);
    HGDIOBJ oldBrush = SelectObject(dc, grey);
    HGDIOBJ oldPen = SelectObject(dc, GetStockObject(NULL_PEN));
    // On the device a rectangle without an outline stops one pixel short of right and bottom.
    Rectangle(dc, client.left, sy * kHeaderHeight, client.right + 1, client.bottom + 1);
    SelectObject(dc, oldPen);
    SelectObject(dc, oldBrush);
    DeleteObject(grey);

    DrawServiceIcon(dc, hDlg, host, service);

    RECT title = AnchorRect(hDlg, IDC_TITLE);
    title.right += sx * kTitleWidth;
    title.bottom += sy * kTitleHeight;
    DrawPageText(dc, host, service == kFacebook ? IDS_LOGIN_TITLE_FB : IDS_LOGIN_TITLE_YT,
                 kTitleChars, title, DT_LEFT | DT_TOP, 0);

    RECT body = AnchorRect(hDlg, IDC_BODY);
    body.right = sx * kScreenWidth - body.left;
    body.bottom += sy * kBodyHeight;
    UINT text = IDS_LOGIN_FAILED_BODY;
    if (page == PAGE_BEFORE_LOGIN) {
        text = service == kFacebook ? IDS_BEFORE_LOGIN_FB : IDS_BEFORE_LOGIN_YT;
    } else if (page == PAGE_LOGIN) {
        text = IDS_LOGIN_BODY;
    }
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0, 0, 0));
    DrawPageText(dc, host, text, kBodyChars, body, DT_LEFT | DT_TOP | DT_WORDBREAK, 1);
}

// ---- The login page's wait for the sign-in --------------------------------------------------

// MSG_LOGIN_RESULT: looked at only while the page is in front; the service is asked itself.
void OnLoginResult(HWND hDlg) {
    PageHost* host = GetPageHost();
    if (GetForegroundWindow() != host->pContext->hPageDlg) {
        SetTimer(hDlg, kLoginTimer, kLoginTimerMs, nullptr);
        return;
    }
    KillTimer(hDlg, kLoginTimer);
    ILoginService* account = host->pAccount;
    const LONG service = Service();
    if (service == kYouTube) {
        Trace("END PROC: WM_ACTIVATE, LOGIN");
        if (account->YTIsLogin()) {
            PostLoginOutcome(kYouTube, kSignedIn);
            EndDialog(hDlg, PAGE_YT_LIST);
        } else {
            EndDialog(hDlg, PAGE_LOGIN_FAILED);
        }
    } else if (service == kFacebook) {
        if (account->FBIsLogin()) {
            const WString key = account->GetFBSession0();
            const WString secret = account->GetFBSession2();
            host->pAlbumList->SetEngineSession(key.c_str(), secret.c_str());
            PostLoginOutcome(kFacebook, kSignedIn);
            EndDialog(hDlg, PAGE_FB_LIST);
        } else {
            Trace("END PROC: WM_ACTIVATE, LOGIN");
            EndDialog(hDlg, PAGE_LOGIN_FAILED);
        }
    }
}

}  // namespace

void PaintLoginPage(HDC dc, HWND hDlg, LONG service, LONG page) {
    PageHost* host = GetPageHost();
    RECT client{};
    if (!dc || !host || !GetClientRect(hDlg, &client)) return;
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    // Drawn off screen and copied in one step; straight into dc when memory is short.
    HDC back = CreateCompatibleDC(dc);
    HBITMAP bitmap = back ? CreateCompatibleBitmap(dc, width, height) : nullptr;
    HGDIOBJ old = bitmap ? SelectObject(back, bitmap) : nullptr;
    if (old) {
        FillRect(back, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
        DrawLoginPage(back, hDlg, host, service, page, client);
        BitBlt(dc, 0, 0, width, height, back, 0, 0, SRCCOPY);
        SelectObject(back, old);
    } else {
        DrawLoginPage(dc, hDlg, host, service, page, client);
    }
    if (bitmap) DeleteObject(bitmap);
    if (back) DeleteDC(back);
}

INT_PTR DlgBeforeLoginProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return InitLoginPage(hDlg, false);
        case WM_PAINT:
            return PaintPage(hDlg);
        case MSG_CANCEL_TASK:
            Trace("On MSG_CANCEL_TASK : DlgBeforeLoginProc");
            EndDialog(hDlg, PAGE_CANCELLED_BY_OTHERS);
            return TRUE;
        case WM_SIZE:
            if (wParam == SIZE_MINIMIZED) {
                Trace("On WM_SIZE : DlgBLProc");
                PostLoginOutcome(Service(), kNotSignedIn);
                EndDialog(hDlg, PAGE_CANCELLED_BY_OTHERS);
            }
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDM_OK:
                    StartSignIn("IDM_OK");
                    EndDialog(hDlg, PAGE_LOGIN);
                    break;
                case IDCANCEL:
                case IDM_CANCEL:
                    Trace("END PROC: CANCEL, BEFORELOGIN");
                    PostLoginOutcome(Service(), kNotSignedIn);
                    EndDialog(hDlg, PAGE_USER_CANCELLED);
                    break;
                default:
                    break;
            }
            return TRUE;
        default:
            return FALSE;
    }
}

INT_PTR DlgLoginProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return InitLoginPage(hDlg, true);
        case WM_PAINT:
            return PaintPage(hDlg);
        case MSG_CANCEL_TASK:
            Trace("On MSG_CANCEL_TASK : DlgLoginProc");
            KillTimer(hDlg, kLoginTimer);
            EndDialog(hDlg, PAGE_CANCELLED_BY_OTHERS);
            return TRUE;
        case MSG_LOGIN_RESULT:
            if (GetPageHost()) OnLoginResult(hDlg);
            return TRUE;
        case WM_TIMER:
            if (GetPageHost() && GetForegroundWindow() == GetPageHost()->pContext->hPageDlg) {
                PostMessageW(hDlg, MSG_LOGIN_RESULT, 0, 0);
            }
            return TRUE;
        case WM_SIZE:
            Trace("On WM_SIZE : DlgLoginProc");
            if (wParam == SIZE_MINIMIZED) {
                Trace("MINIMIZED : DlgLoginProc");
                EndDialog(hDlg, PAGE_FB_LIST);
                KillTimer(hDlg, kLoginTimer);
            }
            return TRUE;
        case WM_DESTROY:
            // Results that come after the page ended have no receiver.
            if (GetPageHost()) GetPageHost()->pAccount->SetCallbackWindow(nullptr);
            return FALSE;
        default:
            return FALSE;  // the page is left only by the sign-in's outcome, never by
                           // its keys
    }
}

INT_PTR DlgLoginFailedProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            return InitLoginPage(hDlg, false);
        case WM_PAINT:
            return PaintPage(hDlg);
        case MSG_CANCEL_TASK:
            Trace("On MSG_CANCEL_TASK : DlgLoginFailedProc");
            EndDialog(hDlg, PAGE_CANCELLED_BY_OTHERS);
            return TRUE;
        case WM_SIZE:
            if (wParam == SIZE_MINIMIZED) {
                Trace("On WM_SIZE : DlgLoginFailedProc");
                EndDialog(hDlg, PAGE_CANCELLED_BY_OTHERS);
            }
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDCANCEL:
                    Trace("END PROC: IDCANCEL, LOGINFAILED");
                    EndDialog(hDlg, PAGE_USER_CANCELLED);
                    return FALSE;
                case IDM_YES:
                    StartSignIn("IDM_YES");
                    EndDialog(hDlg, PAGE_LOGIN);
                    return TRUE;
                case IDM_NO:
                    Trace("END PROC: IDM_NO, LOGINFAILED");
                    EndDialog(hDlg, PAGE_USER_CANCELLED);
                    return TRUE;
                case IDM_CANCEL:
                    Trace("END PROC: IDM_CANCEL, LOGINFAILED");
                    EndDialog(hDlg, PAGE_USER_CANCELLED);
                    return TRUE;
                default:
                    return FALSE;
            }
        default:
            return FALSE;
    }
}
