// The shell's services: soft-key bars from bar definitions and from menu resources, driven by
// taps and the soft keys; full-screen dialog set-up with its caption buttons; image loading;
// and menus, a menu resource edited through the menu calls and pop-up menus tracked modally
// and chosen by stylus and keys on the device's screen.
#include <gtest/gtest.h>

#include "platform/devpath.h"
#include "platform/menu.h"
#include "platform/resource.h"
#include "platform/screen.h"
#include "platform/shell.h"
#include "platform/wstr.h"
#include "tests/screen_test_util.h"
#include "tests/support/test_env.h"

namespace {

const HINSTANCE kModule = reinterpret_cast<HINSTANCE>(0x5E11);

// Bar definitions: menu id, button count, then image, command, state, style, label, 0, pop-up.
const WORD kUploadBar[] = {278, 2, 0xFFFE, 254, 4, 0, 133, 0, 0xFFFF, 0xFFFE, 269, 4, 8, 106, 0, 0};
const WORD kHiddenLeftBar[] = {0,      2,      0xFFFE, 1003, 8,  0,   134, 0,
                               0xFFFF, 0xFFFE, 1002,   4,    16, 102, 0,   0xFFFF};
const WORD kShort[] = {278};
const WORD kWrongCount[] = {278,    3,      0xFFFE, 254, 4, 0,   133, 0,
                            0xFFFF, 0xFFFE, 269,    4,   8, 106, 0,   0};
const WORD kNoSuchMenu[] = {999, 1, 0xFFFE, 269, 4, 8, 106, 0, 0};
const MenuTemplateItem kListMenu[] = {{MF_POPUP | MF_END, 0, u""},
                                      {MF_STRING, 400, u"Settings"},
                                      {MF_STRING, 401, u"Exit"},
                                      {MF_END, 402, u"Remove"}};
const MenuTemplateItem kDetailMenu[] = {{MF_STRING, 253, u"Done"},
                                        {MF_POPUP | MF_END, 0, u"Menu"},
                                        {MF_STRING, 406, u"Retry"},
                                        {MF_END, 412, u"Cancel"}};
const ResourceEntry kResources[] = {{RT_RCDATA, 268, kUploadBar, sizeof kUploadBar},
                                    {RT_RCDATA, 282, kHiddenLeftBar, sizeof kHiddenLeftBar},
                                    {RT_RCDATA, 291, kShort, sizeof kShort},
                                    {RT_RCDATA, 292, kWrongCount, sizeof kWrongCount},
                                    {RT_RCDATA, 293, kNoSuchMenu, sizeof kNoSuchMenu},
                                    {RT_MENU, 278, kListMenu, sizeof kListMenu},
                                    {RT_MENU, 520, kDetailMenu, sizeof kDetailMenu},
                                    {RT_STRING, 133, u"Upload", 12},
                                    {RT_STRING, 106, u"Menu", 8},
                                    {RT_STRING, 134, u"Hide", 8},
                                    {RT_STRING, 102, u"Cancel", 12}};

class Shell : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        g_owner = OwnerLog{};
        ASSERT_TRUE(RegisterModuleResources(kModule, kResources, std::size(kResources)));
        dialog_ = MakeOwner();
        ASSERT_NE(dialog_, nullptr);
    }
    void TearDown() override {
        DestroyWindow(dialog_);
        DeviceTest::TearDown();
    }
    // The bar made from resource id with flags; null when it fails.
    HWND MakeBar(UINT id, DWORD flags, DWORD size = SHMENUBARINFO_DEVICE_SIZE) {
        SHMENUBARINFO mbi{};
        mbi.cbSize = size;
        mbi.hwndParent = dialog_;
        mbi.dwFlags = flags;
        mbi.nToolBarId = id;
        mbi.hInstRes = kModule;
        return SHCreateMenuBar(&mbi) ? mbi.hwndMB : nullptr;
    }
    // Whether key i of 2 shows a label (bright on the dark bar), after painting.
    static bool Labelled(HWND bar, int i) {
        PumpPending();
        RECT c;
        GetClientRect(bar, &c);
        HDC dc = GetDC(bar);
        bool any = AnyPixel(dc, RECT{c.right * i / 2, 2, c.right * (i + 1) / 2, c.bottom}, Bright);
        ReleaseDC(bar, dc);
        return any;
    }
    // The centre of key i of 2, in screen coordinates.
    static POINT KeyCentre(HWND bar, int i) {
        RECT r;
        GetWindowRect(bar, &r);
        return POINT{r.left + (r.right - r.left) * (2 * i + 1) / 4, (r.top + r.bottom) / 2};
    }
    static bool Commands(size_t n) {
        return PumpUntil([n] { return g_owner.commands.size() >= n; });
    }
    HWND dialog_ = nullptr;
};

TEST_F(Shell, BarDefinitionShowsBothKeysPostsCommandsAndOpensItsMenu) {
    HWND bar = MakeBar(268, 0);
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(SHFindMenuBar(dialog_), bar);
    RECT area, r;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    GetWindowRect(bar, &r);
    EXPECT_EQ(r.top, area.bottom);
    EXPECT_EQ(r.bottom, GetSystemMetrics(SM_CYSCREEN));
    EXPECT_TRUE(Labelled(bar, 0));
    EXPECT_TRUE(Labelled(bar, 1));

    Tap(KeyCentre(bar, 0));
    ASSERT_TRUE(Commands(1));
    ScreenInjectKey(ScreenKey::SoftLeft);
    ASSERT_TRUE(Commands(2));

    // The menu key: the dialog edits the pop-up first, then it opens above the key.
    g_owner.onInitPopup = [](HMENU m) {
        DeleteMenu(m, 402, MF_BYCOMMAND);
        EnableMenuItem(m, 400, MF_GRAYED);
    };
    RECT shown{};
    {
        PopupDriver driver([&](RECT menu) {
            shown = menu;
            Tap(RowCentre(menu, 0, 2));  // greyed: nothing
            Tap(RowCentre(menu, 1, 2));
        });
        ScreenInjectKey(ScreenKey::SoftRight);
        ASSERT_TRUE(Commands(3));
        EXPECT_FALSE(driver.TimedOut());
    }
    EXPECT_EQ(g_owner.commands, (std::vector<UINT>{254, 254, 401}));
    ASSERT_EQ(g_owner.initPopups.size(), 1u);
    EXPECT_EQ(g_owner.initPopups[0],
              reinterpret_cast<HMENU>(SendMessageW(bar, SHCMBM_GETSUBMENU, 0, 269)));
    EXPECT_EQ(shown.bottom, r.top);
    EXPECT_EQ(shown.right, r.right);
}

TEST_F(Shell, HiddenAndDisabledKeysDoNothingUntilShownAndEnabled) {
    HWND bar = MakeBar(282, 0);
    ASSERT_NE(bar, nullptr);
    EXPECT_FALSE(Labelled(bar, 0));
    EXPECT_TRUE(Labelled(bar, 1));
    Tap(KeyCentre(bar, 0));
    ScreenInjectKey(ScreenKey::SoftLeft);
    EXPECT_TRUE(SendMessageW(bar, TB_ENABLEBUTTON, 1002, FALSE));
    Tap(KeyCentre(bar, 1));
    ScreenInjectKey(ScreenKey::SoftRight);
    PumpPending();
    EXPECT_TRUE(SendMessageW(bar, TB_ENABLEBUTTON, 1002, TRUE));
    ScreenInjectKey(ScreenKey::SoftRight);
    ASSERT_TRUE(Commands(1));
    EXPECT_EQ(g_owner.commands, std::vector<UINT>{1002});

    EXPECT_TRUE(SendMessageW(bar, TB_HIDEBUTTON, 1003, FALSE));  // state 8: hidden, not enabled
    EXPECT_TRUE(SendMessageW(bar, TB_ENABLEBUTTON, 1003, TRUE));
    EXPECT_TRUE(Labelled(bar, 0));
    ScreenInjectKey(ScreenKey::SoftLeft);
    ASSERT_TRUE(Commands(2));
    EXPECT_EQ(g_owner.commands[1], 1003u);
}

TEST_F(Shell, MenuResourceBarMakesKeysOfTheTopLevelItems) {
    HWND bar = MakeBar(520, SHCMBF_HMENU, sizeof(SHMENUBARINFO));
    ASSERT_NE(bar, nullptr);
    EXPECT_TRUE(Labelled(bar, 0));
    EXPECT_TRUE(Labelled(bar, 1));
    Tap(KeyCentre(bar, 0));
    ASSERT_TRUE(Commands(1));
    g_owner.onInitPopup = [](HMENU m) { EnableMenuItem(m, 406, MF_GRAYED); };
    {
        PopupDriver driver([](RECT) {
            ScreenInjectKey(ScreenKey::Down);
            ScreenInjectKey(ScreenKey::Enter);
        });
        Tap(KeyCentre(bar, 1));
        ASSERT_TRUE(Commands(2));
        EXPECT_FALSE(driver.TimedOut());
    }
    EXPECT_EQ(g_owner.commands, (std::vector<UINT>{253, 412}));
    EXPECT_EQ(g_owner.initPopups.size(), 1u);
}

TEST_F(Shell, BadBarRequestsAndMissingImagesFailCleanly) {
    EXPECT_EQ(MakeBar(268, 0, 20), nullptr);  // neither this size nor the device's
    for (UINT id : {291u, 292u, 293u, 999u}) EXPECT_EQ(MakeBar(id, 0), nullptr) << id;
    EXPECT_EQ(MakeBar(999, SHCMBF_HMENU), nullptr);
    SHMENUBARINFO orphan{SHMENUBARINFO_DEVICE_SIZE, nullptr, 0, 268, kModule, 0, 0, nullptr, 0};
    EXPECT_FALSE(SHCreateMenuBar(&orphan));
    EXPECT_FALSE(SHCreateMenuBar(nullptr));
    EXPECT_EQ(FindWindowW(u"menu_worker", nullptr), nullptr);  // nothing left behind

    EXPECT_EQ(SHLoadImageFile(u"\\Windows\\missing.png"), nullptr);
    WriteHostFile(HostPath(u"\\Windows\\corrupt.png"), "\x89PNG not really");
    EXPECT_EQ(SHLoadImageFile(u"\\Windows\\corrupt.png"), nullptr);
}

TEST_F(Shell, OnlyAPressHeldStillIsATapAndHold) {
    RECT r;
    GetWindowRect(dialog_, &r);
    const POINT at{r.left + 40, r.top + 40};
    SHRGINFO hold{SHRGINFO_DEVICE_SIZE, dialog_, POINT{40, 40}, SHRG_RETURNCMD};
    MSG msg;
    // Released or dragged away: no hold, and the window still gets the stylus message.
    for (POINT end : {at, POINT{at.x + 60, at.y}}) {
        ScreenInjectStylus(StylusAction::Press, at.x, at.y);
        PumpPending();
        ScreenInjectStylus(StylusAction::Move, end.x, end.y);
        ScreenInjectStylus(StylusAction::Release, end.x, end.y);
        EXPECT_EQ(SHRecognizeGesture(&hold), 0u);
        EXPECT_TRUE(PeekMessageW(&msg, dialog_, WM_MOUSEMOVE, WM_LBUTTONUP, PM_NOREMOVE));
        PumpPending();
    }
    // Held with a little jitter: a hold, and the window is asked for its context menu.
    ScreenInjectStylus(StylusAction::Press, at.x, at.y);
    PumpPending();
    ScreenInjectStylus(StylusAction::Move, at.x + 1, at.y);
    EXPECT_EQ(SHRecognizeGesture(&hold), GN_CONTEXTMENU);
    ASSERT_TRUE(PumpUntil([] { return !g_owner.contextMenus.empty(); }));
    EXPECT_EQ(g_owner.contextMenus, std::vector<LPARAM>{MAKELPARAM(40 + r.left, 40 + r.top)});
    ScreenInjectStylus(StylusAction::Release, at.x, at.y);
    EXPECT_TRUE(g_owner.commands.empty());
}

TEST_F(Shell, FullScreenDialogFillsTheWorkAreaWithItsCaptionButtons) {
    MoveWindow(dialog_, 10, 40, 100, 100, TRUE);
    SHINITDLGINFO init{SHIDIM_FLAGS, dialog_, SHIDIF_SIZEDLGFULLSCREEN | SHIDIF_CANCELBUTTON};
    ASSERT_TRUE(SHInitDialog(&init));
    ASSERT_TRUE(SHSetNavBarText(dialog_, u"Vantlo"));
    RECT area, r;
    SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
    GetWindowRect(dialog_, &r);
    EXPECT_TRUE(EqualRect(&r, &area));

    // The outermost caption button at the strip's right end: "X", then "ok" alone.
    const POINT corner{GetSystemMetrics(SM_CXSCREEN) - 2, area.top / 2};
    Tap(corner);
    ASSERT_TRUE(Commands(1));
    ASSERT_TRUE(SHDoneButton(dialog_, SHDB_SHOW));
    Tap(corner);
    ASSERT_TRUE(Commands(2));
    EXPECT_EQ(g_owner.commands, (std::vector<UINT>{IDCANCEL, IDOK}));

    SHINITDLGINFO bad{SHIDIM_FLAGS, nullptr, SHIDIF_SIZEDLGFULLSCREEN};
    EXPECT_FALSE(SHInitDialog(&bad));
    EXPECT_FALSE(SHInitDialog(nullptr));
}

}  // namespace

namespace {

const HINSTANCE kMenuModule = reinterpret_cast<HINSTANCE>(0x4D31);

const MenuTemplateItem kMenu[] = {
    {MF_POPUP, 0, u"Menu"},           //
    {MF_STRING, 401, u"Open"},        //
    {MF_SEPARATOR, 0, nullptr},       //
    {MF_GRAYED, 402, u"Save"},        //
    {MF_POPUP | MF_END, 0, u"More"},  //
    {MF_END, 403, u"About"},          //
    {MF_END, 253, u"Done"},
};
const MenuTemplateItem kNoEnd[] = {{MF_POPUP | MF_END, 0, u"Menu"}, {MF_STRING, 401, u"Open"}};
const ResourceEntry kMenuResources[] = {{RT_MENU, 300, kMenu, sizeof kMenu},
                                        {RT_MENU, 301, kNoEnd, sizeof kNoEnd}};

using Menus = DeviceTest;

TEST_F(Menus, ResourceMenuKeepsItsShapeThroughEdits) {
    ASSERT_TRUE(RegisterModuleResources(kMenuModule, kMenuResources, 2));
    HMENU bar = LoadMenuW(kMenuModule, MAKEINTRESOURCEW(300));
    ASSERT_NE(bar, nullptr);
    ASSERT_EQ(GetMenuItemCount(bar), 2);
    EXPECT_EQ(GetMenuItemID(bar, 1), 253u);
    EXPECT_EQ(GetMenuItemID(bar, 0), 0xFFFFFFFFu);  // a pop-up item has no command
    EXPECT_EQ(GetMenuState(bar, 0, MF_BYPOSITION), (4u << 8) | MF_POPUP);
    HMENU popup = GetSubMenu(bar, 0);
    HMENU more = GetSubMenu(popup, 3);
    ASSERT_NE(more, nullptr);
    EXPECT_EQ(GetMenuState(popup, 1, MF_BYPOSITION), MF_SEPARATOR);
    WCHAR text[16];
    EXPECT_EQ(GetMenuStringW(popup, 402, text, 16, MF_BYCOMMAND), 4);
    EXPECT_EQ(WString(text), u"Save");

    // Items are found by command through the pop-up menus.
    EXPECT_EQ(EnableMenuItem(bar, 402, MF_ENABLED), MF_GRAYED);
    EXPECT_EQ(GetMenuState(bar, 402, MF_BYCOMMAND), MF_STRING);
    EXPECT_EQ(CheckMenuItem(bar, 403, MF_CHECKED), MF_UNCHECKED);
    EXPECT_EQ(GetMenuState(more, 0, MF_BYPOSITION), MF_CHECKED);
    EXPECT_TRUE(InsertMenuW(bar, 403, MF_BYCOMMAND, 404, u"Help"));
    EXPECT_EQ(GetMenuItemID(more, 0), 404u);
    EXPECT_TRUE(DeleteMenu(bar, 401, MF_BYCOMMAND));
    EXPECT_EQ(GetMenuState(bar, 401, MF_BYCOMMAND), 0xFFFFFFFFu);
    EXPECT_EQ(GetMenuItemCount(popup), 3);
    EXPECT_FALSE(AppendMenuW(more, MF_POPUP, reinterpret_cast<UINT_PTR>(bar), u"Loop"));

    // Destroying the menu takes its pop-up menus with it; their handles are refused after.
    EXPECT_TRUE(DestroyMenu(bar));
    EXPECT_FALSE(IsMenu(popup));
    EXPECT_FALSE(IsMenu(more));
    EXPECT_EQ(GetMenuItemCount(bar), -1);
    EXPECT_EQ(EnableMenuItem(popup, 402, MF_GRAYED), 0xFFFFFFFFu);

    // A pop-up list without MF_END and a missing resource give no menu.
    EXPECT_EQ(LoadMenuW(kMenuModule, MAKEINTRESOURCEW(301)), nullptr);
    EXPECT_EQ(LoadMenuW(kMenuModule, MAKEINTRESOURCEW(999)), nullptr);
}

TEST_F(Menus, PopupIsChosenByKeysAndTapsOrClosedWithoutAChoice) {
    g_owner = OwnerLog{};
    HWND owner = MakeOwner();
    ASSERT_NE(owner, nullptr);
    HMENU menu = CreatePopupMenu();
    AppendMenuW(menu, MF_STRING, 401, u"Open");
    AppendMenuW(menu, MF_GRAYED, 402, u"Save");
    AppendMenuW(menu, MF_STRING, 403, u"Close");
    AppendMenuW(menu, MF_STRING, 404, u"Extra");
    RECT shown{};

    // Keys skip the greyed item; the choice is posted, the menu placed by its corner.
    {
        PopupDriver driver([&](RECT r) {
            shown = r;
            for (ScreenKey k : {ScreenKey::Down, ScreenKey::Down, ScreenKey::Enter}) {
                ScreenInjectKey(k);
            }
        });
        EXPECT_TRUE(
            TrackPopupMenuEx(menu, TPM_RIGHTALIGN | TPM_BOTTOMALIGN, 200, 300, owner, nullptr));
        EXPECT_FALSE(driver.TimedOut());
    }
    EXPECT_EQ(shown.right, 200);
    EXPECT_EQ(shown.bottom, 300);
    ASSERT_TRUE(PumpUntil([] { return !g_owner.commands.empty(); }));
    EXPECT_EQ(g_owner.commands, std::vector<UINT>{403});

    // The owner edits the menu as it opens; three rows are left: a tap on the greyed one
    // chooses nothing, the next one is returned.
    g_owner.onInitPopup = [](HMENU m) {
        DeleteMenu(m, 404, MF_BYCOMMAND);
        EnableMenuItem(m, 403, MF_GRAYED);
        EnableMenuItem(m, 402, MF_ENABLED);
    };
    {
        PopupDriver driver([&](RECT r) {
            shown = r;
            Tap(RowCentre(r, 2, 3));
            Tap(RowCentre(r, 1, 3));
        });
        EXPECT_EQ(TrackPopupMenuEx(menu, TPM_RETURNCMD, 50, 100, owner, nullptr), 402);
        EXPECT_TRUE(driver.Shown());
        EXPECT_FALSE(driver.TimedOut());
    }
    EXPECT_EQ(shown.left, 50);
    EXPECT_EQ(shown.top, 100);
    EXPECT_EQ(g_owner.initPopups, (std::vector<HMENU>{menu, menu}));
    EXPECT_EQ(GetMenuItemCount(menu), 3);
    g_owner.onInitPopup = nullptr;

    // A tap outside, back, EndMenu and a lost owner choose nothing.
    const std::function<void(RECT)> closers[] = {
        [](RECT) {
            Tap(POINT{GetSystemMetrics(SM_CXSCREEN) - 2, GetSystemMetrics(SM_CYSCREEN) - 2});
        },
        [](RECT) { ScreenInjectKey(ScreenKey::Back); },
        [](RECT) { EndMenu(); },
        [&](RECT) { PostMessageW(owner, WM_CLOSE, 0, 0); },
    };
    for (const auto& close : closers) {
        PopupDriver driver(close);
        EXPECT_EQ(TrackPopupMenuEx(menu, TPM_RETURNCMD, 10, 60, owner, nullptr), 0);
        EXPECT_TRUE(driver.Shown());
        EXPECT_FALSE(driver.TimedOut());
    }
    EXPECT_FALSE(IsWindow(owner));
    EXPECT_TRUE(IsMenu(menu));
    EXPECT_FALSE(TrackPopupMenuEx(menu, 0, 10, 60, owner, nullptr));  // no owner any more
    PumpPending();
    EXPECT_EQ(g_owner.commands, std::vector<UINT>{403});  // returned choices are not posted
    DestroyMenu(menu);
}

}  // namespace
