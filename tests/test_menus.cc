// Menus: a menu resource loaded and edited through the menu calls, and pop-up menus tracked
// modally and chosen by stylus and keys on the device's screen.
#include <gtest/gtest.h>

#include "platform/menu.h"
#include "platform/resource.h"
#include "platform/screen.h"
#include "platform/wstr.h"
#include "tests/screen_test_util.h"
#include "tests/support/test_env.h"

namespace {

const HINSTANCE kModule = reinterpret_cast<HINSTANCE>(0x4D31);

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
const ResourceEntry kResources[] = {{RT_MENU, 300, kMenu, sizeof kMenu},
                                    {RT_MENU, 301, kNoEnd, sizeof kNoEnd}};

using Menus = DeviceTest;

TEST_F(Menus, ResourceMenuKeepsItsShapeThroughEdits) {
    ASSERT_TRUE(RegisterModuleResources(kModule, kResources, 2));
    HMENU bar = LoadMenuW(kModule, MAKEINTRESOURCEW(300));
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
    EXPECT_EQ(LoadMenuW(kModule, MAKEINTRESOURCEW(301)), nullptr);
    EXPECT_EQ(LoadMenuW(kModule, MAKEINTRESOURCEW(999)), nullptr);
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
