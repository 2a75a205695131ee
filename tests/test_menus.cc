// Menus: a menu resource loaded and edited through the menu calls, and pop-up menus tracked
// modally and chosen by stylus and keys on the device's screen.
#include <gtest/gtest.h>

#include "platform/menu.h"
#include "platform/resource.h"
#include "platform/screen.h"
#include "platform/wstr.h"
#include "tests/menu_test_util.h"
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

class Menus : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        g_owner = OwnerLog{};
        owner_ = MakeOwner();
        ASSERT_NE(owner_, nullptr);
        menu_ = CreatePopupMenu();
        AppendMenuW(menu_, MF_STRING, 401, u"Open");
        AppendMenuW(menu_, MF_GRAYED, 402, u"Save");
        AppendMenuW(menu_, MF_STRING, 403, u"Close");
        AppendMenuW(menu_, MF_STRING, 404, u"Extra");
    }
    void TearDown() override {
        DestroyMenu(menu_);
        DestroyWindow(owner_);
        DeviceTest::TearDown();
    }
    HWND owner_ = nullptr;
    HMENU menu_ = nullptr;
};

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

TEST_F(Menus, TappedItemIsReturnedAfterTheOwnerEditedTheMenu) {
    g_owner.onInitPopup = [](HMENU m) {
        DeleteMenu(m, 404, MF_BYCOMMAND);
        EnableMenuItem(m, 403, MF_GRAYED);
        EnableMenuItem(m, 402, MF_ENABLED);
    };
    RECT shown{};
    {
        // Three rows are left: a tap on the greyed one chooses nothing, the next one counts.
        PopupDriver driver([&](HWND, RECT r) {
            shown = r;
            Tap(RowCentre(r, 2, 3));
            Tap(RowCentre(r, 1, 3));
        });
        EXPECT_EQ(TrackPopupMenuEx(menu_, TPM_RETURNCMD, 50, 100, owner_, nullptr), 402);
        EXPECT_TRUE(driver.Shown());
        EXPECT_FALSE(driver.TimedOut());
    }
    EXPECT_EQ(shown.left, 50);
    EXPECT_EQ(shown.top, 100);
    EXPECT_EQ(g_owner.initPopups, std::vector<HMENU>{menu_});
    PumpPending();
    EXPECT_TRUE(g_owner.commands.empty());  // returned, not posted
    EXPECT_EQ(GetMenuItemCount(menu_), 3);
}

TEST_F(Menus, KeysSkipGreyedItemsAndPostTheChoice) {
    RECT shown{};
    {
        PopupDriver driver([&](HWND, RECT r) {
            shown = r;
            for (ScreenKey k : {ScreenKey::Down, ScreenKey::Down, ScreenKey::Enter}) {
                ScreenInjectKey(k);
            }
        });
        EXPECT_TRUE(
            TrackPopupMenuEx(menu_, TPM_RIGHTALIGN | TPM_BOTTOMALIGN, 200, 300, owner_, nullptr));
        EXPECT_FALSE(driver.TimedOut());
    }
    EXPECT_EQ(shown.right, 200);
    EXPECT_EQ(shown.bottom, 300);
    ASSERT_TRUE(PumpUntil([] { return !g_owner.commands.empty(); }));
    EXPECT_EQ(g_owner.commands, std::vector<UINT>{403});
}

TEST_F(Menus, TapOutsideBackEndMenuAndALostOwnerChooseNothing) {
    const int width = GetSystemMetrics(SM_CXSCREEN);
    const int height = GetSystemMetrics(SM_CYSCREEN);
    const std::function<void(HWND, RECT)> closers[] = {
        [&](HWND, RECT) {
            Tap(POINT{width - 2, height - 2});
        },
        [](HWND, RECT) { ScreenInjectKey(ScreenKey::Back); },
        [](HWND, RECT) { EndMenu(); },
    };
    for (const auto& close : closers) {
        PopupDriver driver(close);
        EXPECT_EQ(TrackPopupMenuEx(menu_, TPM_RETURNCMD, 10, 60, owner_, nullptr), 0);
        EXPECT_TRUE(driver.Shown());
        EXPECT_FALSE(driver.TimedOut());
    }
    {
        PopupDriver driver([&](HWND, RECT) { PostMessageW(owner_, WM_CLOSE, 0, 0); });
        EXPECT_EQ(TrackPopupMenuEx(menu_, TPM_RETURNCMD, 10, 60, owner_, nullptr), 0);
        EXPECT_FALSE(driver.TimedOut());
    }
    EXPECT_FALSE(IsWindow(owner_));
    EXPECT_TRUE(IsMenu(menu_));
    EXPECT_FALSE(TrackPopupMenuEx(menu_, 0, 10, 60, owner_, nullptr));  // no owner any more
    PumpPending();
    EXPECT_TRUE(g_owner.commands.empty());
}

}  // namespace
