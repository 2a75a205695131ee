// The screen as the dialogs and a person use it: windows painting through clipped window
// DCs, repaints of what a change uncovers, stylus, keys and text reaching the right window,
// the title strip's buttons, the screen service driven by the real vantlo-client over its
// socket, and the SDL2 display under SDL's dummy video driver.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <tuple>
#include <vector>

#include "platform/display.h"
#include "platform/gdi.h"
#include "platform/screen.h"
#include "tests/child_process.h"
#include "tests/screen_test_util.h"
#include "tests/support/test_env.h"

namespace {

constexpr COLORREF kRed = RGB(255, 0, 0);
constexpr COLORREF kGreen = RGB(0, 255, 0);
constexpr COLORREF kBlue = RGB(0, 0, 255);
constexpr COLORREF kYellow = RGB(255, 255, 0);
constexpr COLORREF kDesktop = RGB(0, 0, 0);
constexpr UINT kSentinel = WM_APP + 1;  // posted last: everything before it has arrived
const WCHAR kClass[] = u"ScreenTestWnd";

// An input or focus message as (window, message, wParam, x, y); x and y only for the stylus.
using Arrival = std::tuple<HWND, UINT, WPARAM, int, int>;
std::vector<Arrival> g_arrivals;  // input and focus messages, in order
std::vector<int> g_softKeys;      // what the soft-key handler was given

LRESULT TestProc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_PAINT) {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(h, &ps);
        HBRUSH brush = CreateSolidBrush(static_cast<COLORREF>(GetWindowLongPtrW(h, GWLP_USERDATA)));
        FillRect(dc, &ps.rcPaint, brush);
        DeleteObject(brush);
        EndPaint(h, &ps);
        return 0;
    }
    if ((msg >= WM_KEYDOWN && msg <= WM_CHAR) || (msg >= WM_MOUSEMOVE && msg <= WM_LBUTTONUP) ||
        msg == WM_COMMAND || msg == WM_SETFOCUS || msg == WM_KILLFOCUS || msg == kSentinel) {
        const bool stylus = msg >= WM_MOUSEMOVE && msg <= WM_LBUTTONUP;
        const auto at = static_cast<uintptr_t>(lp);
        g_arrivals.emplace_back(h, msg, wp, stylus ? static_cast<int16_t>(LOWORD(at)) : 0,
                                stylus ? static_cast<int16_t>(HIWORD(at)) : 0);
        return 0;
    }
    return DefWindowProcW(h, msg, wp, lp);
}

class ScreenTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        WNDCLASSW wc{};
        wc.lpfnWndProc = TestProc;
        wc.lpszClassName = kClass;
        RegisterClassW(&wc);
        ReleaseDC(nullptr, GetDC(nullptr));  // the screen starts with its first DC
    }

    // A window painting itself in color; parent null makes a top-level window.
    HWND Make(HWND parent, int x, int y, int w, int h, COLORREF color, bool visible = true) {
        DWORD style = (parent ? WS_CHILD : WS_POPUP) | (visible ? WS_VISIBLE : 0);
        HWND hwnd =
            CreateWindowExW(0, kClass, u"", style, x, y, w, h, parent, nullptr, nullptr, nullptr);
        EXPECT_NE(hwnd, nullptr);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, static_cast<LONG_PTR>(color));
        return hwnd;
    }

    // Posts the sentinel to hwnd and dispatches until it arrives; returns what arrived
    // before it and forgets it all.
    static std::vector<Arrival> Arrived(HWND hwnd) {
        PostMessageW(hwnd, kSentinel, 0, 0);
        EXPECT_TRUE(PumpUntil([] {
            return !g_arrivals.empty() && std::get<1>(g_arrivals.back()) == kSentinel;
        })) << "watchdog: the sentinel never arrived";
        std::vector<Arrival> out = std::move(g_arrivals);
        g_arrivals.clear();
        if (!out.empty()) out.pop_back();  // the sentinel
        return out;
    }

    static COLORREF Pixel(int x, int y) {
        HDC dc = GetDC(nullptr);
        COLORREF c = GetPixel(dc, x, y);
        ReleaseDC(nullptr, dc);
        return c;
    }
};

// The device's smallest screen, 240x320, for the service's cases.
class SmallScreenTest : public ScreenTest {
  protected:
    void SetUp() override {
        setenv("VANTLO_SCREEN", "240x320", 1);
        ScreenTest::SetUp();
    }
};

TEST_F(ScreenTest, WindowDcsDrawOnlyWhatIsOnTheScreen) {
    HWND a = Make(nullptr, 0, 20, 300, 360, kRed);  // reaches into the title strip
    HWND child = Make(a, 10, 60, 50, 50, kGreen);   // screen (10,80)-(60,130)
    Make(nullptr, 200, 200, 200, 200, kBlue);       // above a
    HWND hidden = Make(nullptr, 0, 450, 100, 100, kYellow, false);
    PumpPending();
    // a repaints alone, then the hidden window is made to paint: neither may spill over.
    InvalidateRect(a, nullptr, FALSE);
    UpdateWindow(a);
    SendMessageW(hidden, WM_PAINT, 0, 0);
    EXPECT_EQ(Pixel(5, 60), kRed);
    EXPECT_EQ(Pixel(30, 100), kGreen);  // children are cut out of the parent
    EXPECT_EQ(Pixel(250, 250), kBlue);  // so are the top-level windows above
    EXPECT_NE(Pixel(5, 30), kRed);      // and the title strip
    EXPECT_EQ(Pixel(50, 500), kDesktop);
    RECT r, work;
    ASSERT_TRUE(GetWindowRect(child, &r));
    EXPECT_EQ(Corners(r), (std::vector<LONG>{10, 80, 60, 130}));
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETWORKAREA, 0, &work, 0));
    EXPECT_EQ(Corners(work), (std::vector<LONG>{0, 52, 480, 640 - 52}));
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 480);
}

TEST_F(ScreenTest, ChangesRepaintWhatTheyUncover) {
    HWND below = Make(nullptr, 0, 100, 480, 300, kRed);
    HWND above = Make(nullptr, 100, 150, 100, 100, kBlue);
    auto shown = [](int x, int y) {  // once the repaints are done
        PumpPending();
        return Pixel(x, y);
    };
    EXPECT_EQ(shown(150, 200), kBlue);
    ShowWindow(above, SW_HIDE);
    EXPECT_EQ(shown(150, 200), kRed);
    ShowWindow(above, SW_SHOW);
    EXPECT_EQ(shown(150, 200), kBlue);
    SetForegroundWindow(below);  // raised over the other
    EXPECT_EQ(shown(150, 200), kRed);
    DestroyWindow(below);
    EXPECT_EQ(shown(150, 200), kBlue);
    EXPECT_EQ(shown(10, 110), kDesktop);
    MoveWindow(above, 300, 450, 100, 100, TRUE);
    EXPECT_EQ(shown(150, 200), kDesktop);
    EXPECT_EQ(shown(350, 500), kBlue);
}

TEST_F(ScreenTest, StylusReachesTheDeepestEnabledWindowOrTheCapture) {
    HWND top = Make(nullptr, 0, 100, 480, 400, kRed);
    HWND child = Make(top, 100, 100, 100, 100, kGreen);  // screen (100,200)-(200,300)
    HWND grand = Make(child, 10, 10, 20, 20, kBlue);     // screen (110,210)-(130,230)
    EXPECT_EQ(WindowFromPoint(POINT{115, 215}), grand);
    ASSERT_TRUE(ScreenInjectStylus(StylusAction::Press, 115, 215));
    ASSERT_TRUE(ScreenInjectStylus(StylusAction::Release, 115, 215));
    ASSERT_TRUE(ScreenInjectStylus(StylusAction::Press, 150, 250));
    ASSERT_TRUE(ScreenInjectStylus(StylusAction::Move, 160, 260));
    SetCapture(child);
    ASSERT_TRUE(ScreenInjectStylus(StylusAction::Move, 400, 600));
    ASSERT_TRUE(ScreenInjectStylus(StylusAction::Release, 5, 120));
    ReleaseCapture();
    EXPECT_EQ(Arrived(top), (std::vector<Arrival>{{grand, WM_LBUTTONDOWN, MK_LBUTTON, 5, 5},
                                                  {grand, WM_LBUTTONUP, 0, 5, 5},
                                                  {child, WM_LBUTTONDOWN, MK_LBUTTON, 50, 50},
                                                  {child, WM_MOUSEMOVE, MK_LBUTTON, 60, 60},
                                                  {child, WM_MOUSEMOVE, MK_LBUTTON, 300, 400},
                                                  {child, WM_LBUTTONUP, 0, -95, -80}}));

    // A disabled window and everything in it gets nothing; a point off the screen is refused.
    EnableWindow(top, FALSE);
    EXPECT_TRUE(ScreenInjectStylus(StylusAction::Press, 150, 250));
    EXPECT_TRUE(ScreenInjectStylus(StylusAction::Release, 150, 250));
    EXPECT_FALSE(ScreenInjectStylus(StylusAction::Press, 480, 10));
    EXPECT_FALSE(ScreenInjectStylus(StylusAction::Press, 10, -1));
    EXPECT_TRUE(Arrived(top).empty());

    // The title strip: "X" at the right edge, "ok" beside it; a press on one and a release
    // on the other is no tap.
    EnableWindow(top, TRUE);
    ScreenSetTitle(top, u"Vantlo");
    ScreenSetCaptionButtons(top, TRUE, TRUE);
    const int taps[][4] = {{456, 20, 456, 20}, {408, 20, 408, 20}, {408, 20, 456, 20}};
    for (auto& t : taps) {
        ASSERT_TRUE(ScreenInjectStylus(StylusAction::Press, t[0], t[1]));
        ASSERT_TRUE(ScreenInjectStylus(StylusAction::Release, t[2], t[3]));
    }
    EXPECT_EQ(Arrived(top), (std::vector<Arrival>{{top, WM_COMMAND, IDCANCEL, 0, 0},
                                                  {top, WM_COMMAND, IDOK, 0, 0}}));
}

BOOL SoftKeyHandler(int key) {
    g_softKeys.push_back(key);
    return key == 0;  // takes the left soft key only
}

TEST_F(ScreenTest, KeysGoToTheFocusWindowAndSoftKeysToTheShell) {
    HWND top = Make(nullptr, 0, 52, 480, 536, kRed);
    HWND edit = Make(top, 10, 10, 200, 40, kGreen);
    SetForegroundWindow(top);
    ASSERT_TRUE(ScreenInjectKey(ScreenKey::Up));  // no focus: the foreground window
    EXPECT_EQ(SetFocus(edit), nullptr);
    ASSERT_TRUE(ScreenInjectKey(ScreenKey::Enter));
    ASSERT_TRUE(ScreenInjectText(u"h\u00e9"));
    ScreenSetSoftKeyHandler(SoftKeyHandler);
    ASSERT_TRUE(ScreenInjectKey(ScreenKey::SoftLeft));
    ASSERT_TRUE(ScreenInjectKey(ScreenKey::SoftRight));
    ScreenSetSoftKeyHandler(nullptr);
    EXPECT_EQ(g_softKeys, (std::vector<int>{0, 1}));
    // The focus change is sent at once, ahead of the posted keys; the shell refused the
    // right soft key, which arrives as VK_F2.
    EXPECT_EQ(Arrived(top), (std::vector<Arrival>{{edit, WM_SETFOCUS, 0, 0, 0},
                                                  {top, WM_KEYDOWN, VK_UP, 0, 0},
                                                  {top, WM_KEYUP, VK_UP, 0, 0},
                                                  {edit, WM_KEYDOWN, VK_RETURN, 0, 0},
                                                  {edit, WM_KEYUP, VK_RETURN, 0, 0},
                                                  {edit, WM_CHAR, u'h', 0, 0},
                                                  {edit, WM_CHAR, 0xE9, 0, 0},
                                                  {edit, WM_KEYDOWN, VK_F2, 0, 0},
                                                  {edit, WM_KEYUP, VK_F2, 0, 0}}));

    // A window in front takes the keys from a focus window behind it, until it hides.
    HWND front = Make(nullptr, 0, 52, 480, 100, kBlue);
    SetForegroundWindow(front);
    ASSERT_TRUE(ScreenInjectKey(ScreenKey::Back));
    ShowWindow(front, SW_HIDE);
    ASSERT_TRUE(ScreenInjectKey(ScreenKey::Down));
    EnableWindow(top, FALSE);
    EXPECT_FALSE(ScreenInjectKey(ScreenKey::Left));  // nobody enabled takes keys
    EXPECT_FALSE(ScreenInjectText(u"x"));
    EXPECT_EQ(Arrived(top), (std::vector<Arrival>{{front, WM_KEYDOWN, VK_ESCAPE, 0, 0},
                                                  {front, WM_KEYUP, VK_ESCAPE, 0, 0},
                                                  {edit, WM_KEYDOWN, VK_DOWN, 0, 0},
                                                  {edit, WM_KEYUP, VK_DOWN, 0, 0}}));
}

// Runs vantlo-client with args; its exit code, and its stderr in *err.
int Client(const std::string& root, const std::vector<std::string>& args, std::string* err) {
    std::vector<std::string> argv{BinPath("vantlo-client")};
    argv.insert(argv.end(), args.begin(), args.end());
    const std::string errPath = root + "/client.err";
    ChildProcess child(argv, -1, errPath);
    int rc = child.Wait();
    *err = ReadHostFile(errPath);
    return rc;
}

TEST_F(SmallScreenTest, ServiceAnswersTheClientOverItsSocket) {
    HWND top = Make(nullptr, 0, 52, 240, 200, kRed);  // the screen is 240x320 here
    HWND edit = Make(top, 20, 20, 100, 30, kGreen);
    SetForegroundWindow(top);
    SetFocus(edit);
    PumpPending();
    Arrived(top);
    ASSERT_TRUE(StartScreenService());
    std::string err;
    const std::string shot = root_ + "/shot.png";
    ASSERT_EQ(Client(root_, {"screenshot", shot}, &err), 0) << err;
    const Pixels png(u"\\shot.png");
    ASSERT_TRUE(png.Loaded());
    EXPECT_EQ(Corners(png.All()), (std::vector<LONG>{0, 0, 240, 320}));
    EXPECT_EQ(png.At(10, 60), kRed);
    EXPECT_EQ(png.At(30, 80), kGreen);

    EXPECT_EQ(Client(root_, {"tap", "30", "80"}, &err), 0) << err;
    EXPECT_EQ(Client(root_, {"key", "enter"}, &err), 0) << err;
    EXPECT_EQ(Client(root_, {"type", "a", "b"}, &err), 0) << err;
    EXPECT_EQ(Arrived(top), (std::vector<Arrival>{{edit, WM_LBUTTONDOWN, MK_LBUTTON, 10, 8},
                                                  {edit, WM_LBUTTONUP, 0, 10, 8},
                                                  {edit, WM_KEYDOWN, VK_RETURN, 0, 0},
                                                  {edit, WM_KEYUP, VK_RETURN, 0, 0},
                                                  {edit, WM_CHAR, u'a', 0, 0},
                                                  {edit, WM_CHAR, u' ', 0, 0},
                                                  {edit, WM_CHAR, u'b', 0, 0}}));

    // Bad requests get a clear error and change nothing, also after a client that left
    // halfway through a line.
    EXPECT_EQ(Client(root_, {"tap", "240", "10"}, &err), 5);
    EXPECT_NE(err.find("off the 240x320 screen"), std::string::npos) << err;
    EXPECT_EQ(Client(root_, {"press", "1", "two"}, &err), 5);
    EXPECT_EQ(Client(root_, {"key", "jump"}, &err), 5);
    EXPECT_NE(err.find("unknown key 'jump'"), std::string::npos) << err;
    EXPECT_EQ(Client(root_, {"screenshot", root_ + "/none/shot.png"}, &err), 5);
    EXPECT_NE(err.find("cannot write the screenshot"), std::string::npos) << err;
    EXPECT_FALSE(HostFileExists(root_ + "/none"));
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s/vantlo-screen.sock", runtime_.c_str());
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(write(fd, "tap 1", 5), 5);
    close(fd);
    std::string answer;
    ASSERT_TRUE(ScreenServiceRequest("\x01\x02garbage", &answer, 5000));
    EXPECT_EQ(answer, "error: the request holds control characters");
    ASSERT_TRUE(ScreenServiceRequest("frobnicate 1 2", &answer, 5000));
    EXPECT_EQ(answer.rfind("error: unknown request 'frobnicate'", 0), 0u) << answer;
    ASSERT_TRUE(ScreenServiceRequest(std::string(5000, 'x'), &answer, 5000));
    EXPECT_EQ(answer, "error: request longer than 4096 bytes");
    EXPECT_TRUE(Arrived(top).empty());
    StopScreenService();
    EXPECT_EQ(Client(root_, {"key", "up"}, &err), 3);  // nobody listens any more
    EXPECT_NE(err.find("no screen service"), std::string::npos) << err;
}

TEST_F(ScreenTest, SdlDisplayShowsFramesUnderTheDummyDriver) {
    setenv("SDL_VIDEODRIVER", "dummy", 1);  // offscreen loads EGL, which leaks
    setenv("VANTLO_DISPLAY", "sdl", 1);
    auto display = CreateDisplayFromEnvironment();
    ASSERT_STREQ(display->Name(), "sdl");
    ASSERT_TRUE(display->Start());
    Make(nullptr, 0, 52, 100, 100, kRed);
    PumpPending();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (display->FramesShown() == 0 && std::chrono::steady_clock::now() < deadline)
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    EXPECT_GT(display->FramesShown(), 0u);
    display->Stop();
    const uint64_t shown = display->FramesShown();
    display->Stop();  // twice is harmless
    EXPECT_EQ(display->FramesShown(), shown);
    setenv("VANTLO_DISPLAY", "headless", 1);
    EXPECT_STREQ(CreateDisplayFromEnvironment()->Name(), "headless");
}

}  // namespace
