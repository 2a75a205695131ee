// What the page dialogs of the dialog thread share with the application that runs them: the record
// of the page being shown, the page numbers that chain the pages of a flow, and the host block
// through which a page reaches the application's windows and services.
#pragma once

#include "platform/gdi.h"
#include "platform/types.h"
#include "platform/window.h"
#include "res/resource_ids.h"
#include "ui/login_service.h"

class CAlbumList;

// Page numbers: a page is named by its dialog template, and ends with the next page's number or
// with one of the results below.
enum PageId : LONG {
    PAGE_USER_CANCELLED = 4999,            // the user cancelled, or the page has no dialog
    PAGE_BEFORE_LOGIN = IDD_BEFORE_LOGIN,  // 5000: asks whether to sign in
    PAGE_LOGIN = IDD_LOGIN,                // 5001: waits for the sign-in
    PAGE_LOGIN_FAILED = IDD_LOGIN_FAILED,  // 5002: offers a retry
    PAGE_YT_LIST = IDD_YT_LIST,            // 5003: the videos to upload
    PAGE_FB_LIST = IDD_FB_LIST,            // 5004: the photos to upload
    PAGE_UPLOAD = 5009,                    // the flow ended with the upload command
    PAGE_CANCELLED_BY_OTHERS = 5010,       // MSG_CANCEL_TASK, or the page was minimised
};

// The page being shown, rewritten at the start of every page.
struct PageContext {
    LONG nPageService;  // the flow's service: 0 YouTube, 1 Facebook
    LONG nPageId;       // the page = its dialog template
    HWND hPageDlg;      // the page's dialog window, null until it initialised
    HWND hPageOwner;    // the owner window (the main window)
    LONG nMenuBarId;    // the page's menu bar resource
    DWORD state;        // the list pages' state word, 0 when the page starts
};

// Lent by the application before the first page runs; read and written by the pages on the dialog
// thread only.
struct PageHost {
    HINSTANCE hInstance;       // the resource module: templates, menu bars, texts
    LONG nScaleX;              // screen width / 240: horizontal layout factor
    LONG nScaleY;              // screen height / 320: vertical layout factor
    PageContext* pContext;     // the page being shown
    HWND* phCurDlg;            // where a page records itself as the dialog on screen
    ILoginService* pAccount;   // the account service
    CAlbumList* pAlbumList;    // the Facebook album list
    void (*InitPageDialog)();  // full screen, menu bar, title; hides the main window
    HBITMAP hServiceIcon[2];   // the login pages' icons by service, loaded when painted
};

// The block the pages use from now on (null: none; the pages then end at once).
void SetPageHost(PageHost* host);
PageHost* GetPageHost();
