#include "app/dlg_page.h"

#include "app/app_globals.h"
#include "app/messages.h"
#include "platform/dialog.h"
#include "platform/resource.h"
#include "platform/shell.h"
#include "platform/trace.h"
#include "ui/login_pages.h"
#include "ui/page_host.h"

namespace {

constexpr WCHAR kPageTitle[] = u"Vantlo";

// The pages a flow can reach. The list pages (5003, 5004) have no dialog on this build: a flow that
// reaches one ends as if the user cancelled.
struct PageEntry {
    LONG page;     // the dialog template
    DLGPROC proc;  // its dialog procedure
};
constexpr PageEntry kPageTable[] = {
    {PAGE_BEFORE_LOGIN, DlgBeforeLoginProc},
    {PAGE_LOGIN, DlgLoginProc},
    {PAGE_LOGIN_FAILED, DlgLoginFailedProc},
};

// (page, menu bar) pairs, scanned to the end: the login page gets the second of its two.
struct MenuBarPair {
    LONG page;     // the dialog template
    LONG menuBar;  // its soft-key bar definition
};
constexpr MenuBarPair kMenuBars[] = {
    {PAGE_BEFORE_LOGIN, IDR_BAR_OK_CANCEL},
    {PAGE_LOGIN, IDR_BAR_OK_CANCEL},
    {PAGE_LOGIN, IDR_BAR_LOGIN},
    {PAGE_LOGIN_FAILED, IDR_BAR_YES_NO},
    {PAGE_YT_LIST, IDR_BAR_YT_LIST},
    {PAGE_FB_LIST, IDR_BAR_FB_LIST},
    {IDD_SETTING, IDR_BAR_OK_CANCEL},
    {IDD_CAPTION, IDR_BAR_OK_CANCEL},
};

DLGPROC ProcOfPage(LONG page) {
    for (const PageEntry& entry : kPageTable) {
        if (entry.page == page) return entry.proc;
    }
    return nullptr;
}

}  // namespace

LONG MenuBarOfPage(LONG page, LONG previous) {
    LONG menuBar = previous;
    for (const MenuBarPair& pair : kMenuBars) {
        if (pair.page == page) menuBar = pair.menuBar;
    }
    return menuBar;
}

DlgPage::DlgPage(HWND owner, HINSTANCE instance, LONG service, LONG page)
    : owner_(owner), instance_(instance), page_(page) {
    PageContext& context = g_App.pageContext;
    context.state = 0;
    context.hPageDlg = nullptr;
    context.hPageOwner = owner;
    context.nPageService = service;
    context.nPageId = page;
    context.nMenuBarId = MenuBarOfPage(page, context.nMenuBarId);
}

LONG DlgPage::Run() {
    DLGPROC proc = ProcOfPage(page_);
    if (!proc) {
        Trace("[ShowDlgThread] page %d has no dialog: the flow ends", static_cast<int>(page_));
        return PAGE_USER_CANCELLED;
    }
    Trace("start proc:: %d", static_cast<int>(page_));
    const INT_PTR result = DialogBoxParamW(instance_, MAKEINTRESOURCEW(page_), owner_, proc, 0);
    g_App.hCurDlg = nullptr;
    if (result == -1) {
        // A template that cannot be shown must not keep the flow going round.
        Trace("[ShowDlgThread] page %d cannot be shown (error %u): the flow ends",
              static_cast<int>(page_), static_cast<unsigned>(GetLastError()));
        return PAGE_USER_CANCELLED;
    }
    return static_cast<LONG>(result);
}

void InitPageDialog() {
    const PageContext& context = g_App.pageContext;
    SHINITDLGINFO init{};
    init.dwMask = SHIDIM_FLAGS;
    init.hDlg = context.hPageDlg;
    init.dwFlags = SHIDIF_SIZEDLGFULLSCREEN;
    if (!SHInitDialog(&init))
        Trace("[ShowDlgThread] page %d: no full-screen set-up", static_cast<int>(context.nPageId));

    SHMENUBARINFO bar{};
    bar.cbSize = sizeof(bar);
    bar.hwndParent = context.hPageDlg;
    bar.dwFlags = 0;
    bar.nToolBarId = static_cast<UINT>(context.nMenuBarId);
    bar.hInstRes = g_App.hInstance;
    if (!SHCreateMenuBar(&bar)) {  // the bar is owned by the page and goes with it
        Trace("[ShowDlgThread] page %d: menu bar %d cannot be created",
              static_cast<int>(context.nPageId), static_cast<int>(context.nMenuBarId));
    }

    SHSetNavBarText(context.hPageDlg, kPageTitle);
    PostMessageW(context.hPageOwner, MSG_HIDE_MAINWND, 0, 0);
}
