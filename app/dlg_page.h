// One page of a dialog flow: a modal full-screen dialog named by its template, run on the dialog
// thread with the main window as owner. Constructing a page fills the shared PageContext; running
// it returns the page's result, the number of the next page.
#pragma once

#include "platform/types.h"
#include "platform/window.h"

class DlgPage {
  public:
    DlgPage(HWND owner, HINSTANCE instance, LONG service, LONG page);
    ~DlgPage() = default;  // the list pages leave nothing behind yet
    DlgPage(const DlgPage&) = delete;
    DlgPage& operator=(const DlgPage&) = delete;

    // Shows the page until it ends; its result. A page without a dialog gives 4999.
    LONG Run();

  private:
    HWND owner_;          // the main window
    HINSTANCE instance_;  // the module whose template is shown
    LONG page_;           // the page = its dialog template
};

// The menu bar of page: a later (page, menu bar) pair wins; previous when page has none.
LONG MenuBarOfPage(LONG page, LONG previous);
// Every page's WM_INITDIALOG, after it recorded its window: full-screen set-up, its menu bar, the
// title "Vantlo", and the main window hidden (by a post: the main thread may be waiting).
void InitPageDialog();
