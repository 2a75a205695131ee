// Shared by the menu and shell tests: an owner window that records the commands and menu
// notifications it gets, a message pump with a deadline, and a helper thread that acts on a
// pop-up menu once it shows (the menu's own loop runs on the test thread meanwhile).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "platform/menu.h"
#include "platform/screen.h"

struct OwnerLog {
    std::vector<UINT> commands;              // WM_COMMAND identifiers, in order
    std::vector<HMENU> initPopups;           // WM_INITMENUPOPUP menus, in order
    std::vector<LPARAM> contextMenus;        // WM_CONTEXTMENU points, in order
    std::function<void(HMENU)> onInitPopup;  // edits a menu before it shows
};
inline OwnerLog g_owner;

inline LRESULT OwnerProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COMMAND) {
        g_owner.commands.push_back(LOWORD(wParam));
        return 0;
    }
    if (msg == WM_CONTEXTMENU) {
        g_owner.contextMenus.push_back(lParam);
        return 0;
    }
    if (msg == WM_INITMENUPOPUP) {
        g_owner.initPopups.push_back(reinterpret_cast<HMENU>(wParam));
        if (g_owner.onInitPopup) g_owner.onInitPopup(reinterpret_cast<HMENU>(wParam));
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// A visible top-level window over the work area, standing in for a dialog.
inline HWND MakeOwner() {
    ReleaseDC(nullptr, GetDC(nullptr));  // the screen draws windows from its first use on
    WNDCLASSW wc{};
    wc.lpfnWndProc = OwnerProc;
    wc.lpszClassName = u"test_owner";
    RegisterClassW(&wc);
    RECT a;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &a, 0);
    return CreateWindowExW(0, u"test_owner", u"owner", WS_POPUP | WS_VISIBLE, a.left, a.top,
                           a.right - a.left, a.bottom - a.top, nullptr, nullptr, nullptr, nullptr);
}

// Dispatches the thread's messages until done() holds; false after 5 s without.
inline bool PumpUntil(const std::function<bool()>& done) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    }
}

inline void PumpPending() {
    PumpUntil([] { return true; });
}

// The centre of row i of n equal rows of a pop-up menu (1-pixel border).
inline POINT RowCentre(const RECT& menu, int i, int n) {
    LONG rowHeight = (menu.bottom - menu.top - 2) / n;
    return POINT{(menu.left + menu.right) / 2, menu.top + 1 + rowHeight * i + rowHeight / 2};
}

inline void Tap(POINT pt) {
    ScreenInjectStylus(StylusAction::Press, pt.x, pt.y);
    ScreenInjectStylus(StylusAction::Release, pt.x, pt.y);
}

// Once a pop-up menu shows, runs script(menu window, its screen rectangle) on a thread of
// its own; a menu still open 5 s later is closed by EndMenu so the test fails, not hangs.
class PopupDriver {
  public:
    explicit PopupDriver(std::function<void(HWND, RECT)> script)
        : thread_([this, script] { Run(script); }) {}
    ~PopupDriver() { thread_.join(); }
    bool Shown() const { return shown_; }     // a menu showed
    bool TimedOut() const { return stuck_; }  // it had to be closed by force

  private:
    static HWND OpenMenu() {
        HWND h = FindWindowW(u"#32768", nullptr);
        return h && IsWindowVisible(h) ? h : nullptr;
    }
    static bool WaitFor(bool open, HWND* found) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            HWND h = OpenMenu();
            if ((h != nullptr) == open) {
                if (found) *found = h;
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
    void Run(const std::function<void(HWND, RECT)>& script) {
        HWND menu = nullptr;
        if (!WaitFor(true, &menu)) return;
        shown_ = true;
        RECT r;
        GetWindowRect(menu, &r);
        script(menu, r);
        if (!WaitFor(false, nullptr)) {
            stuck_ = true;
            EndMenu();
        }
    }

    std::atomic<bool> shown_{false};
    std::atomic<bool> stuck_{false};
    std::thread thread_;
};
