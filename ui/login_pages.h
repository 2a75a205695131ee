// The login pages of the dialog thread: before-login (5000) asks whether to sign in, login (5001)
// waits while the account service signs the user in, login-failed (5002) offers a retry. Each ends
// with the number of the next page or a flow result (ui/page_host.h) and tells the companion agent
// of the outcome where the user decided it.
#pragma once

#include "platform/dialog.h"
#include "platform/gdi.h"
#include "platform/types.h"
#include "platform/window.h"

INT_PTR DlgBeforeLoginProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR DlgLoginProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR DlgLoginFailedProc(HWND hDlg, UINT message, WPARAM wParam, LPARAM lParam);

// Paints a login page into dc: the grey page below the header, the service's icon, the title and
// the page's body text, placed by the page's anchor controls.
void PaintLoginPage(HDC dc, HWND hDlg, LONG service, LONG page);
