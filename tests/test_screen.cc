// The screen as the dialogs and a person use it: windows painting through clipped window
// DCs, repaints of what a change uncovers, stylus, keys and text reaching the right window,
// the title strip's buttons, the screen service driven by the real vantlo-client over its
// socket, and the SDL2 display under SDL's dummy video driver; then dialogs from in-memory
// templates and their controls driven on it by stylus, keys and text: modal loops and their
// ends, nesting, the dialog manager's keys, edit, check box and combo box input, and a
// dialog's own scroll bar.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <tuple>
#include <vector>

#include "platform/controls.h"
#include "platform/dialog.h"
#include "platform/display.h"
#include "platform/gdi.h"
#include "platform/screen.h"
#include "platform/sync.h"
#include "platform/wstr.h"
#include "tests/screen_test_util.h"
#include "tests/support/child_process.h"
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
int Client(const std::vector<std::string>& args, std::string* err) {
    std::vector<std::string> argv{BinPath("vantlo-client")};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = RunToEnd(argv);
    *err = r.err;
    return r.exitCode;
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
    ASSERT_EQ(Client({"screenshot", shot}, &err), 0) << err;
    const Pixels png(u"\\shot.png");
    ASSERT_TRUE(png.Loaded());
    EXPECT_EQ(Corners(png.All()), (std::vector<LONG>{0, 0, 240, 320}));
    EXPECT_EQ(png.At(10, 60), kRed);
    EXPECT_EQ(png.At(30, 80), kGreen);

    EXPECT_EQ(Client({"tap", "30", "80"}, &err), 0) << err;
    EXPECT_EQ(Client({"key", "enter"}, &err), 0) << err;
    EXPECT_EQ(Client({"type", "a", "b"}, &err), 0) << err;
    EXPECT_EQ(Arrived(top), (std::vector<Arrival>{{edit, WM_LBUTTONDOWN, MK_LBUTTON, 10, 8},
                                                  {edit, WM_LBUTTONUP, 0, 10, 8},
                                                  {edit, WM_KEYDOWN, VK_RETURN, 0, 0},
                                                  {edit, WM_KEYUP, VK_RETURN, 0, 0},
                                                  {edit, WM_CHAR, u'a', 0, 0},
                                                  {edit, WM_CHAR, u' ', 0, 0},
                                                  {edit, WM_CHAR, u'b', 0, 0}}));

    // Bad requests get a clear error and change nothing, also after a client that left
    // halfway through a line.
    EXPECT_EQ(Client({"tap", "240", "10"}, &err), 5);
    EXPECT_THAT(err, HasSubstr("off the 240x320 screen"));
    EXPECT_EQ(Client({"press", "1", "two"}, &err), 5);
    EXPECT_EQ(Client({"key", "jump"}, &err), 5);
    EXPECT_THAT(err, HasSubstr("unknown key 'jump'"));
    EXPECT_EQ(Client({"screenshot", root_ + "/none/shot.png"}, &err), 5);
    EXPECT_THAT(err, HasSubstr("cannot write the screenshot"));
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
    EXPECT_EQ(Client({"key", "up"}, &err), 3);  // nobody listens any more
    EXPECT_THAT(err, HasSubstr("no screen service"));
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

namespace {

constexpr UINT WM_STEP = WM_APP + 1;
constexpr UINT_PTR kWatchdogTimer = 77;

// A test dialog's script. Every step runs on the dialog's thread once everything the step
// before it queued (injected input included) has been handled; the dialog must end by the
// last step, or the watchdog fails the test and ends it.
using Handler = std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)>;

struct Script {
    std::vector<std::function<void(HWND)>> steps;  // run in order
    Handler on;                                    // further handling, may be empty
    size_t next = 0;                               // the next step
    HWND dlg = nullptr;                            // the dialog window
    HWND initFocus = nullptr;                      // wParam of WM_INITDIALOG
    std::vector<std::pair<int, int>> commands;     // WM_COMMAND (id, code), in order
    std::vector<int> scrolls;                      // WM_VSCROLL codes, in order
};

INT_PTR ScriptProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* s = reinterpret_cast<Script*>(GetWindowLongPtrW(dlg, DWLP_USER));
    if (msg == WM_INITDIALOG) {
        s = reinterpret_cast<Script*>(lParam);
        SetWindowLongPtrW(dlg, DWLP_USER, lParam);
        s->dlg = dlg;
        s->initFocus = reinterpret_cast<HWND>(wParam);
        SetTimer(dlg, kWatchdogTimer, 10000, nullptr);
        PostMessageW(dlg, WM_STEP, 0, 0);
    } else if (!s) {
        return FALSE;
    } else if (msg == WM_TIMER && wParam == kWatchdogTimer) {
        ADD_FAILURE() << "the script stalled before step " << s->next;
        EndDialog(dlg, -2);
        return TRUE;
    } else if (msg == WM_STEP) {
        if (s->next < s->steps.size()) s->steps[s->next++](dlg);
        PostMessageW(dlg, WM_STEP, 0, 0);
        return TRUE;
    } else if (msg == WM_COMMAND) {
        s->commands.emplace_back(LOWORD(wParam), HIWORD(wParam));
    } else if (msg == WM_VSCROLL) {
        s->scrolls.push_back(LOWORD(wParam));
    }
    return s->on ? s->on(dlg, msg, wParam, lParam) : (msg == WM_INITDIALOG);
}

INT_PTR RunScript(const DialogTemplate& t, HWND owner, Script& s) {
    return DialogBoxIndirectParamW(nullptr, &t, owner, ScriptProc, reinterpret_cast<LPARAM>(&s));
}

int Count(const Script& s, int id, int code) {
    return static_cast<int>(std::count(s.commands.begin(), s.commands.end(), std::pair{id, code}));
}

// A dialog procedure's further handling: msg (with command, that WM_COMMAND) ends the
// dialog with result, answering answer.
Handler EndOn(UINT msg, INT_PTR result, LONG_PTR answer = 0, int command = -1) {
    return [=](HWND dlg, UINT m, WPARAM wParam, LPARAM) -> INT_PTR {
        if (m != msg || (command >= 0 && LOWORD(wParam) != command)) return m == WM_INITDIALOG;
        EndDialog(dlg, result);
        SetWindowLongPtrW(dlg, DWLP_MSGRESULT, answer);  // last: other messages reset it
        return TRUE;
    };
}
Handler EndOnCommand(int command, INT_PTR result) {
    return EndOn(WM_COMMAND, result, 0, command);
}

WString Text(HWND dlg, int id) {
    WCHAR buf[64];
    GetDlgItemTextW(dlg, id, buf, 64);
    return buf;
}

// Controls at known places: with the 480 x 640 screen a dialog unit is 3 x 3.25 pixels.
const DialogItem kItems[] = {
    {100, WC_STATIC, WS_VISIBLE, 6, -8, 0, 0, nullptr},
    {101, WC_EDIT, WS_VISIBLE | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL, 10, 10, 100, 12, u"x"},
    {102, WC_BUTTON, WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 10, 30, 9, 9, nullptr},
    {103, WC_COMBOBOX, WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWNLIST, 10, 50, 100, 60, nullptr},
    {104, WC_COMBOBOX, WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWN, 10, 70, 100, 60, nullptr},
    {105, WC_BUTTON, WS_VISIBLE | BS_PUSHBUTTON, 110, 10, 30, 14, u"go"},
};
const DialogTemplate kDialog{WS_POPUP | DS_ABSALIGN, 0, 0, 40, 150, 120, u"test", kItems, 6};
const DialogTemplate kPlain{WS_POPUP, 0, 0, 0, 50, 50, nullptr, nullptr, 0};
const DialogItem kScrolled[] = {{101, WC_EDIT, WS_VISIBLE | WS_BORDER, 10, 10, 100, 12, nullptr}};
const DialogTemplate kScrolling{
    WS_POPUP | WS_VSCROLL | DS_ABSALIGN, 0, 0, 40, 150, 120, nullptr, kScrolled, 1};

class Dialogs : public DeviceTest {};

TEST_F(Dialogs, ModalDialogStartsWithItsControlsInPlaceAndReturnsItsResult) {
    HWND owner = MakeOwner();
    Script s;
    s.steps.push_back([&](HWND dlg) {
        EXPECT_FALSE(IsWindowEnabled(owner));
        RECT r, edit;
        GetWindowRect(dlg, &r);  // (0, 40) 150 x 120 units
        EXPECT_EQ(Corners(r), (std::vector<LONG>{0, 130, 450, 520}));
        GetWindowRect(GetDlgItem(dlg, 101), &edit);  // (10, 10) 100 x 12 units inside it
        EXPECT_EQ(Corners(edit), (std::vector<LONG>{30, 162, 330, 201}));
        for (const DialogItem& item : kItems) {
            RECT want{item.x, item.y, item.x + item.cx, item.y + item.cy}, got;
            ASSERT_TRUE(MapDialogRect(dlg, &want));
            OffsetRect(&want, r.left, r.top);
            GetWindowRect(GetDlgItem(dlg, item.id), &got);
            EXPECT_EQ(got.left, want.left) << item.id;
            EXPECT_EQ(got.top, want.top) << item.id;
            if (item.className != WC_COMBOBOX) {
                EXPECT_EQ(got.bottom, want.bottom) << item.id;  // a combo box: its field only
            }
        }
        EXPECT_EQ(s.initFocus, GetDlgItem(dlg, 101));  // the first tab stop has the focus
        EXPECT_EQ(GetFocus(), GetDlgItem(dlg, 101));
        EXPECT_EQ(Text(dlg, 101), u"x");
        EXPECT_EQ(GetForegroundWindow(), dlg);
        UpdateWindow(dlg);
        HDC dc = GetDC(dlg);
        EXPECT_EQ(GetPixel(dc, 440, 300), kWhite);  // the dialog's background
        ReleaseDC(dlg, dc);
        EXPECT_TRUE(EndDialog(dlg, 42));
    });
    EXPECT_EQ(RunScript(kDialog, owner, s), 42);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_FALSE(IsWindow(s.dlg));

    // Bad templates and handles are refused without disturbing the owner.
    const DialogItem unknown[] = {{1, u"NOSUCHCLASS", WS_VISIBLE, 0, 0, 5, 5, nullptr}};
    const DialogTemplate broken{WS_POPUP, 0, 0, 0, 10, 10, nullptr, nullptr, 3};
    const DialogTemplate badClass{WS_POPUP, 0, 0, 0, 10, 10, nullptr, unknown, 1};
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, &broken, owner, ScriptProc, 0), -1);
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, &badClass, owner, ScriptProc, 0), -1);
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, nullptr, owner, ScriptProc, 0), -1);
    EXPECT_EQ(DialogBoxParamW(nullptr, reinterpret_cast<LPCWSTR>(5999), owner, ScriptProc, 0), -1);
    EXPECT_TRUE(IsWindowEnabled(owner));
    EXPECT_FALSE(EndDialog(owner, 1));
    RECT r{0, 0, 1, 1};
    EXPECT_FALSE(MapDialogRect(owner, &r));
    DestroyWindow(owner);
}

TEST_F(Dialogs, NestedDialogsEndEveryWayAndTheirOwnersComeBack) {
    HWND owner = MakeOwner();
    Script outer;
    std::vector<INT_PTR> results;
    // Runs a nested dialog whose only step is act, owned by the outer dialog (or by).
    auto nested = [&](std::function<void(HWND)> act, Handler on = nullptr, HWND by = nullptr) {
        Script inner;
        inner.steps.push_back([&](HWND dlg) {
            EXPECT_FALSE(IsWindowEnabled(by ? by : outer.dlg));
            act(dlg);
        });
        inner.on = on;
        results.push_back(RunScript(kPlain, by ? by : outer.dlg, inner));
        EXPECT_FALSE(IsWindow(inner.dlg));
    };
    std::unique_ptr<OnThread> helper;
    LRESULT answer = 0;
    outer.on = EndOn(WM_APP + 20, 77);  // posted to it while a nested dialog runs
    outer.steps.push_back([&](HWND) {
        // A message posted from another thread, and one sent from it, each end a dialog.
        nested(
            [&](HWND dlg) {
                helper = std::make_unique<OnThread>([=] { PostMessageW(dlg, WM_APP, 0, 0); });
            },
            EndOn(WM_APP, 11));
        nested(
            [&](HWND dlg) {
                helper = std::make_unique<OnThread>(
                    [=, &answer] { answer = SendMessageW(dlg, WM_APP, 0, 0); });
            },
            EndOn(WM_APP, 12, 5));
        helper.reset();
        // Escape (back) and WM_CLOSE give IDCANCEL; a posted WM_DESTROY ends a dialog.
        nested([](HWND) { EXPECT_TRUE(ScreenInjectKey(ScreenKey::Back)); },
               EndOnCommand(IDCANCEL, 2));
        nested([](HWND dlg) { PostMessageW(dlg, WM_CLOSE, 0, 0); }, EndOnCommand(IDCANCEL, 2));
        nested([](HWND dlg) { PostMessageW(dlg, WM_DESTROY, 0, 0); });
        // A dialog whose owner is destroyed ends with it.
        HWND spare = MakeOwner();
        nested([&](HWND) { DestroyWindow(spare); }, nullptr, spare);
        // The outer dialog ended from within a nested one ends the nested one first.
        nested([&](HWND) { PostMessageW(outer.dlg, WM_APP + 20, 0, 0); });
    });
    EXPECT_EQ(RunScript(kPlain, owner, outer), 77);
    EXPECT_EQ(results, (std::vector<INT_PTR>{11, 12, 2, 2, 0, 0, 0}));
    EXPECT_EQ(answer, 5);
    EXPECT_TRUE(IsWindowEnabled(owner));

    // A dialog on another thread ends, without a result, when its owner here is destroyed.
    HANDLE shown = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Script s;
    s.steps.push_back([&](HWND) { SetEvent(shown); });
    INT_PTR result = -3;
    OnThread runner([&] { result = RunScript(kPlain, owner, s); });
    ASSERT_EQ(WaitForSingleObject(shown, 10000), WAIT_OBJECT_0);
    EXPECT_FALSE(IsWindowEnabled(owner));
    DestroyWindow(owner);
    ASSERT_TRUE(runner.Wait());
    EXPECT_EQ(result, 0);
    CloseHandle(shown);
}

TEST_F(Dialogs, ControlsTakeTapsKeysAndText) {
    Script s;
    auto item = [&](int id) { return GetDlgItem(s.dlg, id); };
    auto send = [&](int id, UINT msg, WPARAM w, const WCHAR* text) {
        return SendDlgItemMessageW(s.dlg, id, msg, w, reinterpret_cast<LPARAM>(text));
    };
    auto list = [] { return FindWindowW(u"ComboLBox", nullptr); };
    s.steps = {
        // The drop-down list: a search that ignores case, then a choice from the list.
        [&](HWND dlg) {
            for (auto* t : {u"Music", u"People & Blogs", u"Pets & Animals", u"Comedy"})
                send(103, CB_ADDSTRING, 0, t);
            EXPECT_EQ(send(103, CB_FINDSTRING, static_cast<WPARAM>(-1), u"pe"), 1);
            EXPECT_EQ(send(103, CB_FINDSTRING, 1, u"PE"), 2);  // after the start, wrapping
            EXPECT_EQ(send(103, CB_FINDSTRING, 2, u"pE"), 1);
            EXPECT_EQ(send(103, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), u"COMEDY"), 3);
            EXPECT_EQ(send(103, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), u"Come"), CB_ERR);
            EXPECT_EQ(send(103, CB_GETLBTEXTLEN, 1, nullptr), 14);
            EXPECT_EQ(send(103, CB_SETCURSEL, 0, nullptr), 0);
            EXPECT_EQ(Text(dlg, 103), u"Music");
            Tap(Centre(item(103)));
        },
        [&](HWND) {
            ASSERT_EQ(send(103, CB_GETDROPPEDSTATE, 0, nullptr), TRUE);
            EXPECT_EQ(Count(s, 103, CBN_DROPDOWN), 1);
            RECT r, field;
            GetWindowRect(list(), &r);
            GetWindowRect(item(103), &field);
            EXPECT_EQ(r.top, field.bottom);  // it opens below the field
            Tap(POINT{(r.left + r.right) / 2, r.top + (r.bottom - r.top) * 5 / 8});  // item 2
        },
        [&](HWND dlg) {
            EXPECT_EQ(send(103, CB_GETCURSEL, 0, nullptr), 2);
            EXPECT_EQ(Text(dlg, 103), u"Pets & Animals");
            EXPECT_EQ(Count(s, 103, CBN_SELCHANGE), 1);
            EXPECT_EQ(send(103, CB_GETDROPPEDSTATE, 0, nullptr), FALSE);
            EXPECT_EQ(list(), nullptr);
            // The editable one: typing within its limit, and a list closed by a tap outside.
            send(104, CB_LIMITTEXT, 5, nullptr);
            send(104, CB_ADDSTRING, 0, u"Holidays");
            RECT field;
            GetWindowRect(item(104), &field);
            Tap(POINT{field.left + 10, (field.top + field.bottom) / 2});
        },
        [&](HWND) { EXPECT_TRUE(ScreenInjectText(u"Holiday")); },
        [&](HWND dlg) {
            EXPECT_EQ(Text(dlg, 104), u"Holid");
            EXPECT_EQ(Count(s, 104, CBN_EDITCHANGE), 5);
            EXPECT_EQ(send(104, CB_GETCURSEL, 0, nullptr), CB_ERR);
            send(104, CB_SHOWDROPDOWN, TRUE, nullptr);
            Tap(POINT{440, 500});  // on the dialog, away from the list
        },
        [&](HWND dlg) {
            EXPECT_EQ(send(104, CB_GETDROPPEDSTATE, 0, nullptr), FALSE);
            EXPECT_EQ(Count(s, 104, CBN_SELENDCANCEL), 1);
            EXPECT_EQ(Text(dlg, 104), u"Holid");
            send(104, CB_RESETCONTENT, 0, nullptr);
            EXPECT_EQ(send(104, CB_GETCOUNT, 0, nullptr), 0);
            EXPECT_EQ(send(103, CB_GETLBTEXT, 9, nullptr), CB_ERR);
            // The edit and the check box: each takes the focus when tapped.
            SendDlgItemMessageW(dlg, 101, EM_LIMITTEXT, 8, 0);
            SetDlgItemTextW(dlg, 101, u"");
            Tap(Centre(item(102)));
        },
        [&](HWND) {
            EXPECT_EQ(GetFocus(), item(102));
            Tap(Centre(item(101)));
        },
        [&](HWND) {
            EXPECT_EQ(GetFocus(), item(101));
            EXPECT_TRUE(ScreenInjectText(u"hello world"));
        },
        [&](HWND dlg) {
            EXPECT_EQ(Text(dlg, 101), u"hello wo");
            EXPECT_EQ(Count(s, 101, EN_CHANGE), 1 + 8);  // the WM_SETTEXT, then 8 typed
            EXPECT_EQ(Count(s, 101, EN_MAXTEXT), 3);
            EXPECT_TRUE(ScreenInjectText(u"\bp!"));
        },
        [&](HWND dlg) {
            EXPECT_EQ(Text(dlg, 101), u"hello wp");
            EXPECT_EQ(IsDlgButtonChecked(dlg, 102), BST_CHECKED);
            EXPECT_EQ(Count(s, 102, BN_CLICKED), 1);
            EXPECT_TRUE(ScreenInjectKey(ScreenKey::Down));   // to the check box
            EXPECT_TRUE(ScreenInjectKey(ScreenKey::Enter));  // which it toggles
            EXPECT_TRUE(ScreenInjectKey(ScreenKey::Up));     // back to the edit, all selected
        },
        [&](HWND dlg) {
            EXPECT_EQ(IsDlgButtonChecked(dlg, 102), BST_UNCHECKED);
            EXPECT_EQ(Count(s, 102, BN_CLICKED), 2);
            DWORD a = 1, b = 0;
            SendDlgItemMessageW(dlg, 101, EM_GETSEL, reinterpret_cast<WPARAM>(&a),
                                reinterpret_cast<LPARAM>(&b));
            EXPECT_EQ(a, 0u);
            EXPECT_EQ(b, 8u);
            EXPECT_TRUE(ScreenInjectText(u"ok"));  // replaces the selection
        },
        [&](HWND dlg) {
            EXPECT_EQ(Text(dlg, 101), u"ok");
            EXPECT_TRUE(CheckDlgButton(dlg, 102, BST_CHECKED));
            EXPECT_EQ(IsDlgButtonChecked(dlg, 102), BST_CHECKED);
            EXPECT_TRUE(ScreenInjectKey(ScreenKey::Enter));  // the default command, IDOK
        },
    };
    s.on = EndOnCommand(IDOK, 3);
    EXPECT_EQ(RunScript(kDialog, nullptr, s), 3);
}

TEST_F(Dialogs, OwnScrollBarScrollsTheDialogAndItsControls) {
    Script s;
    // The dialog scrolls a page of 20 over a range of 320, and follows the thumb.
    s.on = [](HWND dlg, UINT msg, WPARAM wParam, LPARAM) -> INT_PTR {
        if (msg == WM_INITDIALOG) {
            SCROLLINFO si{sizeof si, SIF_RANGE | SIF_PAGE | SIF_POS, 0, 320, 20, 0, 0};
            SetScrollInfo(dlg, SB_VERT, &si, TRUE);
        }
        const int code = LOWORD(wParam), old = GetScrollPos(dlg, SB_VERT);
        int pos = old;
        if (msg != WM_VSCROLL) {
            return msg == WM_INITDIALOG;
        } else if (code == SB_PAGEDOWN || code == SB_PAGEUP) {
            pos += code == SB_PAGEDOWN ? 20 : -20;
        } else if (code == SB_THUMBTRACK || code == SB_THUMBPOSITION) {
            pos = HIWORD(wParam);
        }
        SetScrollPos(dlg, SB_VERT, std::clamp(pos, 0, 320), TRUE);
        pos = GetScrollPos(dlg, SB_VERT);  // kept within the range less a page
        ScrollWindowEx(dlg, 0, old - pos, nullptr, nullptr, nullptr, nullptr,
                       SW_SCROLLCHILDREN | SW_INVALIDATE | SW_ERASE);
        UpdateWindow(dlg);
        return TRUE;
    };
    auto editTop = [&] {
        RECT r;
        GetWindowRect(GetDlgItem(s.dlg, 101), &r);
        return r.top;
    };
    LONG top = 0;
    RECT r;
    s.steps = {
        [&](HWND dlg) {
            top = editTop();
            GetWindowRect(dlg, &r);
            Tap(POINT{r.right - 4, r.bottom - 10});  // on the bar, below its thumb
        },
        [&](HWND) {
            EXPECT_EQ(s.scrolls, (std::vector<int>{SB_PAGEDOWN, SB_ENDSCROLL}));
            EXPECT_EQ(GetScrollPos(s.dlg, SB_VERT), 20);
            EXPECT_EQ(editTop(), top - 20);
            // Back up a page, then the thumb dragged from the top to the bottom of the bar.
            Tap(POINT{r.right - 4, r.top + 2});
            EXPECT_TRUE(ScreenInjectStylus(StylusAction::Press, r.right - 4, r.top + 2));
            EXPECT_TRUE(ScreenInjectStylus(StylusAction::Move, r.right - 4, r.top + 100));
            EXPECT_TRUE(ScreenInjectStylus(StylusAction::Move, r.right - 4, r.bottom - 1));
            EXPECT_TRUE(ScreenInjectStylus(StylusAction::Release, r.right - 4, r.bottom - 1));
        },
        [&](HWND dlg) {
            ASSERT_GE(s.scrolls.size(), 8u);
            EXPECT_EQ(s.scrolls[2], SB_PAGEUP);
            EXPECT_EQ(std::count(s.scrolls.begin(), s.scrolls.end(), SB_THUMBTRACK), 2);
            EXPECT_EQ(s.scrolls[s.scrolls.size() - 2], SB_THUMBPOSITION);
            SCROLLINFO si{sizeof si, SIF_ALL, 0, 0, 0, 0, 0};
            ASSERT_TRUE(GetScrollInfo(dlg, SB_VERT, &si));
            EXPECT_EQ(si.nPos, 301);  // the last position a page of 20 can start at
            EXPECT_EQ(si.nMax, 320);
            EXPECT_EQ(si.nPage, 20u);
            EXPECT_EQ(editTop(), top - 301);
            EndDialog(dlg, 1);
        },
    };
    EXPECT_EQ(RunScript(kScrolling, nullptr, s), 1);
}

}  // namespace
