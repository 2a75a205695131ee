// Messages the peer program of the tests of windows across processes understands.
#pragma once

#include "platform/window.h"

constexpr UINT kPeerDouble = WM_USER + 1;      // answers wParam * 2 + lParam
constexpr UINT kPeerHang = WM_USER + 2;        // prints "hanging", sleeps lParam ms, answers 1
constexpr UINT kPeerRecord = WM_USER + 3;      // prints "posted <wParam> <lParam>"
constexpr UINT kPeerPostBack = WM_USER + 4;    // posts kPeerPostedBack to the window in wParam
constexpr UINT kPeerPostedBack = WM_USER + 5;  // wParam = lParam of kPeerPostBack, lParam = pid
constexpr UINT kPeerIsWindow = WM_USER + 6;    // answers IsWindow(wParam)
