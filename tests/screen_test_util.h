// Shared by the drawing, screen, dialog, menu, shell and page tests: pixels of a bitmap, a
// PNG file or a window, stylus taps, message pumps with a deadline, an owner window that
// records what it is told, code on a thread of its own, and a driver that acts on a pop-up
// menu once it shows (the menu's own loop runs on the test thread meanwhile).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <vector>

#include "platform/gdi.h"
#include "platform/menu.h"
#include "platform/screen.h"
#include "platform/sync.h"
#include "platform/time.h"
#include "tests/support/wait.h"

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);

inline bool Dark(COLORREF c) {
    return GetRValue(c) < 100 && GetGValue(c) < 100 && GetBValue(c) < 100;
}
inline bool Bright(COLORREF c) {
    return c != CLR_INVALID && GetRValue(c) > 200 && GetGValue(c) > 200 && GetBValue(c) > 200;
}

// The rectangle as one comparable value: left, top, right, bottom.
inline std::vector<LONG> Corners(const RECT& r) {
    return {r.left, r.top, r.right, r.bottom};
}

// Whether some pixel of dc inside r satisfies test.
inline bool AnyPixel(HDC dc, const RECT& r, const std::function<bool(COLORREF)>& test) {
    for (LONG y = r.top; y < r.bottom; ++y) {
        for (LONG x = r.left; x < r.right; ++x) {
            if (test(GetPixel(dc, x, y))) return true;
        }
    }
    return false;
}

// A memory DC holding a bitmap: a new one (white as created, or filled), or a PNG file
// loaded by its device path.
class Pixels {
  public:
    Pixels(int width, int height, COLORREF fill = CLR_INVALID) : dc_(CreateCompatibleDC(nullptr)) {
        Select(CreateCompatibleBitmap(dc_, width, height));
        if (fill != CLR_INVALID) Fill(All(), fill);
    }
    explicit Pixels(LPCWSTR pngPath) : dc_(CreateCompatibleDC(nullptr)) {
        Select(GdiLoadPngFile(pngPath));
    }
    ~Pixels() {
        if (old_) SelectObject(dc_, old_);
        if (bitmap_) DeleteObject(bitmap_);
        DeleteDC(dc_);
    }
    Pixels(const Pixels&) = delete;
    Pixels& operator=(const Pixels&) = delete;

    bool Loaded() const { return old_ != nullptr; }
    HDC Dc() const { return dc_; }
    HBITMAP Bitmap() const { return bitmap_; }
    RECT All() const { return RECT{0, 0, size_.cx, size_.cy}; }
    COLORREF At(int x, int y) const { return GetPixel(dc_, x, y); }
    void Fill(const RECT& r, COLORREF colour) const {
        HBRUSH brush = CreateSolidBrush(colour);
        FillRect(dc_, &r, brush);
        DeleteObject(brush);
    }
    bool Any(const RECT& r, const std::function<bool(COLORREF)>& test) const {
        return AnyPixel(dc_, r, test);
    }
    bool Has(COLORREF c) const {
        return Any(All(), [c](COLORREF p) { return p == c; });
    }
    // The smallest rectangle holding every pixel other than background; empty when none.
    RECT Ink(COLORREF background = kWhite) const {
        RECT box{size_.cx, size_.cy, 0, 0};
        for (LONG y = 0; y < size_.cy; ++y) {
            for (LONG x = 0; x < size_.cx; ++x) {
                if (At(x, y) != background) {
                    box = RECT{std::min(box.left, x), std::min(box.top, y),
                               std::max(box.right, x + 1), std::max(box.bottom, y + 1)};
                }
            }
        }
        return box;
    }

  private:
    void Select(HBITMAP bitmap) {
        BITMAP info{};
        bitmap_ = bitmap;
        if (!bitmap || GetObjectW(bitmap, sizeof info, &info) != static_cast<int>(sizeof info)) {
            return;
        }
        size_ = SIZE{info.bmWidth, info.bmHeight};
        old_ = SelectObject(dc_, bitmap);
    }

    HDC dc_;                    // the memory DC
    HBITMAP bitmap_ = nullptr;  // the bitmap it holds, null when none could be made
    HGDIOBJ old_ = nullptr;     // what dc_ held before
    SIZE size_{0, 0};           // the bitmap's size in pixels
};

inline void Tap(POINT pt) {
    EXPECT_TRUE(ScreenInjectStylus(StylusAction::Press, pt.x, pt.y));
    EXPECT_TRUE(ScreenInjectStylus(StylusAction::Release, pt.x, pt.y));
}

// The centre of a window, in screen coordinates.
inline POINT Centre(HWND hwnd) {
    RECT r;
    GetWindowRect(hwnd, &r);
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

// The centre of row i of n equal rows of a pop-up menu (1-pixel border).
inline POINT RowCentre(const RECT& menu, int i, int n) {
    LONG rowHeight = (menu.bottom - menu.top - 2) / n;
    return POINT{(menu.left + menu.right) / 2, menu.top + 1 + rowHeight * i + rowHeight / 2};
}

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
    } else if (msg == WM_CONTEXTMENU) {
        g_owner.contextMenus.push_back(lParam);
    } else if (msg == WM_INITMENUPOPUP) {
        g_owner.initPopups.push_back(reinterpret_cast<HMENU>(wParam));
        if (g_owner.onInitPopup) g_owner.onInitPopup(reinterpret_cast<HMENU>(wParam));
    } else {
        return DefWindowProcW(hwnd, msg, wParam, lParam);
    }
    return 0;
}

// A visible top-level window over the work area, recording into g_owner; it stands for a
// dialog or for a dialog's owner.
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

// Runs fn on a thread of its own; Wait and the destructor wait for it (watchdog: 10 s).
class OnThread {
  public:
    explicit OnThread(std::function<void()> fn) : fn_(std::move(fn)) {
        auto start = [](LPVOID p) -> DWORD {
            (*static_cast<std::function<void()>*>(p))();
            return 0;
        };
        thread_ = CreateThread(nullptr, 0, start, &fn_, 0, nullptr);
    }
    ~OnThread() {
        EXPECT_TRUE(Wait()) << "watchdog: a helper thread did not end";
        CloseHandle(thread_);
    }
    OnThread(const OnThread&) = delete;
    OnThread& operator=(const OnThread&) = delete;
    bool Wait() const { return WaitForSingleObject(thread_, 10000) == WAIT_OBJECT_0; }

  private:
    std::function<void()> fn_;  // what the thread runs
    HANDLE thread_;             // the thread
};

// Once a pop-up menu shows, runs script(its screen rectangle) on a thread of its own; a menu
// still open 5 s later is closed by EndMenu so that the test fails instead of hanging.
class PopupDriver {
  public:
    explicit PopupDriver(std::function<void(RECT)> script)
        : thread_([this, script] {
              RECT r;
              if (!WaitForMenu(true, &r)) return;
              shown_ = true;
              script(r);
              if (!WaitForMenu(false, &r)) {
                  stuck_ = true;
                  EndMenu();
              }
          }) {}
    bool Shown() const { return shown_; }     // a menu showed
    bool TimedOut() const { return stuck_; }  // it had to be closed by force

  private:
    // Waits until a pop-up menu shows (its rectangle in *r) or, with open false, until none
    // does; false after 5 s.
    static bool WaitForMenu(bool open, RECT* r) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        do {
            HWND h = FindWindowW(u"#32768", nullptr);
            if ((h && IsWindowVisible(h)) == open) return !open || GetWindowRect(h, r);
            Sleep(5);
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    std::atomic<bool> shown_{false};  // a menu showed
    std::atomic<bool> stuck_{false};  // it was closed by force
    OnThread thread_;                 // last: it starts once the flags exist
};
