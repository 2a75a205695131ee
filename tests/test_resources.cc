// The program's resources as the dialogs find them (templates, soft-key bars, menus, strings),
// the resource calls on a module of the test's own, and the images of the device image.
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/device_image.h"
#include "platform/dialog.h"
#include "platform/gdi.h"
#include "platform/menu.h"
#include "platform/resource.h"
#include "platform/wstr.h"
#include "res/app_resources.h"
#include "tests/screen_test_util.h"
#include "tests/support/test_env.h"

namespace fs = std::filesystem;

namespace {

using Resources = DeviceTest;

// The data of the program's resource, and its size; null (failing the test) when missing.
const void* Data(UINT id, LPCWSTR type, DWORD* size) {
    HRSRC r = FindResourceW(nullptr, MAKEINTRESOURCEW(id), type);
    EXPECT_NE(r, nullptr) << "resource " << id;
    *size = r ? SizeofResource(nullptr, r) : 0;
    return r ? LockResource(LoadResource(nullptr, r)) : nullptr;
}

// A control as the dialog table gives it; x -1 for an anchor the template's author placed.
struct Control {
    WORD id;              // control identifier
    const char16_t* cls;  // window class
    DWORD style;          // WS_ and control styles
    short x, y, cx, cy;   // dialog units
};
constexpr DWORD kAnchor = 0x50020000;
Control Anchor(WORD id, short x = -1, short y = -1) {
    return {id, u"STATIC", kAnchor, x, y, 0, 0};
}

void ExpectTemplate(UINT id, DWORD style, DWORD exStyle, const char16_t* caption,
                    const std::vector<Control>& controls) {
    SCOPED_TRACE("template " + std::to_string(id));
    DWORD size = 0;
    const auto* t = static_cast<const DialogTemplate*>(Data(id, RT_DIALOG, &size));
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(size, sizeof(DialogTemplate));
    EXPECT_EQ(t->style, style);
    EXPECT_EQ(t->exStyle, exStyle);
    EXPECT_EQ((std::vector<int>{t->x, t->y, t->cx, t->cy}), (std::vector<int>{0, 0, 200, 180}));
    EXPECT_EQ(std::u16string(caption ? caption : u""), t->caption ? t->caption : u"");
    ASSERT_EQ(t->itemCount, static_cast<int>(controls.size()));
    for (size_t i = 0; i < controls.size(); ++i) {
        const DialogItem& got = t->items[i];
        const Control& want = controls[i];
        EXPECT_EQ(got.id, want.id) << "control " << i;
        EXPECT_EQ(std::u16string(got.className), want.cls) << want.id;
        EXPECT_EQ(got.style, want.style) << want.id;
        if (want.x != -1) {
            EXPECT_EQ((std::vector<int>{got.x, got.y, got.cx, got.cy}),
                      (std::vector<int>{want.x, want.y, want.cx, want.cy}))
                << want.id;
        }
    }
}

// The commands of a menu's items, 0 for a pop-up, separators left out; every item has a text.
std::vector<UINT> Commands(HMENU menu) {
    std::vector<UINT> ids;
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
        if (GetMenuState(menu, static_cast<UINT>(i), MF_BYPOSITION) & MF_SEPARATOR) continue;
        WCHAR text[64] = {};
        EXPECT_GT(GetMenuStringW(menu, static_cast<UINT>(i), text, 64, MF_BYPOSITION), 0);
        ids.push_back(GetSubMenu(menu, i) ? 0 : GetMenuItemID(menu, i));
    }
    return ids;
}

// The commands of the first pop-up of the program's menu id.
std::vector<UINT> PopupCommands(UINT id) {
    HMENU menu = LoadMenuW(nullptr, MAKEINTRESOURCEW(id));
    EXPECT_NE(menu, nullptr) << "menu " << id;
    const std::vector<UINT> ids = menu ? Commands(GetSubMenu(menu, 0)) : std::vector<UINT>{};
    DestroyMenu(menu);
    return ids;
}

}  // namespace

TEST_F(Resources, ProgramHoldsThePagesTemplatesBarsMenusAndStrings) {
    RegisterAppResources(nullptr);
    for (UINT id : {5000u, 5001u, 5002u})
        ExpectTemplate(id, 0x80C80000, 0, nullptr,
                       {Anchor(519, 6, -8), Anchor(2001, 20, -8), Anchor(2000, 10, 16)});
    for (UINT id : {5003u, 5004u})
        ExpectTemplate(id, 0x80C80000, 0, nullptr, {Anchor(2001, 30, -20), Anchor(2002, 10, 4)});
    ExpectTemplate(5005, 0x80E80000, 0x80000000, u"setting",
                   {Anchor(519),
                    Anchor(2001),
                    Anchor(500),
                    {508, u"EDIT", 0x50A10004, 10, 38, 112, 12},
                    {509, u"BUTTON", 0x50010003, 10, 54, 9, 9},
                    Anchor(505),
                    Anchor(501),
                    {512, u"EDIT", 0x50A10004, 10, 80, 112, 40},
                    Anchor(502),
                    {507, u"COMBOBOX", 0x50010003, 10, 134, 112, 400},
                    Anchor(503),
                    {511, u"EDIT", 0x50A10000, 10, 160, 112, 12},
                    {506, u"STATIC", kAnchor, -1, 0, 0, 0},
                    {504, u"STATIC", kAnchor, -1, 0, 0, 0},
                    {510, u"COMBOBOX", 0x50210002, 10, 204, 112, 100}});
    ExpectTemplate(5006, 0x80C80000, 0, nullptr,
                   {Anchor(2001, 6, -8), {513, u"EDIT", 0x50A10004, 6, 20, 125, 40}});
    ExpectTemplate(5008, 0x80C80000, 0x80000000, u"album",
                   {Anchor(519),
                    Anchor(2001),
                    {517, u"COMBOBOX", 0x50010002, 32, 28, 92, 100},
                    Anchor(2002),
                    Anchor(518)});
    ExpectTemplate(5009, 0x80C00000, 0x80000000, nullptr,
                   {Anchor(519, 10, 5),
                    {409, u"BUTTON", 0x50010000, 20, 8, 24, 16},
                    {410, u"BUTTON", 0x50010000, 20, 32, 24, 16}});
    ExpectTemplate(6000, 0x80C80000, 0, u"task view", {});
    ExpectTemplate(6001, 0x80C80000, 0, nullptr, {});
    EXPECT_EQ(Err(FindResourceW(nullptr, MAKEINTRESOURCEW(5007), RT_DIALOG)),
              ERROR_RESOURCE_NAME_NOT_FOUND);

    // The soft-key bars: menu, then per key: image, command, state, style, string, 0, sub-menu.
    const std::vector<std::vector<WORD>> bars = {
        {264, 264, 2, 0xFFFE, 265, 4, 16, 103, 0, 0xFFFF, 0xFFFE, 266, 4, 16, 104, 0, 0xFFFF},
        {268, 278, 2, 0xFFFE, 254, 4, 0, 133, 0, 0xFFFF, 0xFFFE, 269, 4, 8, 106, 0, 0},
        {277, 279, 2, 0xFFFE, 254, 4, 16, 133, 0, 0xFFFF, 0xFFFE, 270, 4, 8, 106, 0, 0},
        {280, 280, 2, 0xFFFE, 281, 4, 0, 107, 0, 0xFFFF, 0xFFFE, 1002, 4, 0, 102, 0, 0xFFFF},
        {282, 283, 2, 0xFFFE, 1003, 8, 0, 134, 0, 0xFFFF, 0xFFFE, 275, 4, 8, 106, 0, 0},
        {284, 285, 2, 0xFFFE, 1003, 8, 0, 134, 0, 0xFFFF, 0xFFFE, 275, 4, 8, 106, 0, 0},
        {286, 287, 2, 0xFFFE, 1003, 8, 0, 134, 0, 0xFFFF, 0xFFFE, 275, 4, 8, 106, 0, 0},
        {288, 289, 2, 0xFFFE, 1003, 8, 0, 134, 0, 0xFFFF, 0xFFFE, 275, 4, 8, 106, 0, 0},
        {1000, 1000, 2, 0xFFFE, 1001, 4, 16, 135, 0, 0xFFFF, 0xFFFE, 1002, 4, 16, 102, 0, 0xFFFF},
        {1003, 1003, 2, 0xFFFE, 1001, 4, 16, 134, 0, 0xFFFF, 0xFFFE, 1002, 4, 16, 134, 0, 0xFFFF},
    };
    for (const auto& bar : bars) {
        DWORD size = 0;
        const auto* words = static_cast<const WORD*>(Data(bar[0], RT_RCDATA, &size));
        ASSERT_EQ(size, 16 * sizeof(WORD)) << bar[0];
        EXPECT_EQ(std::vector<WORD>(words, words + 16),
                  std::vector<WORD>(bar.begin() + 1, bar.end()))
            << "bar " << bar[0];
    }
    // A menu key opens the first pop-up of its bar's menu.
    using V = std::vector<UINT>;
    EXPECT_EQ(PopupCommands(278), (V{400, 401}));
    EXPECT_EQ(PopupCommands(279), (V{402, 407, 401}));
    EXPECT_EQ(PopupCommands(283), (V{401, 403, 411}));
    EXPECT_EQ(PopupCommands(285), (V{414, 412}));
    EXPECT_EQ(PopupCommands(287), (V{414, 412}));
    EXPECT_EQ(PopupCommands(289), (V{413, 412, 406}));
    // The detail page's bar comes from menu 520: a close key and a menu with retry and cancel.
    HMENU detail = LoadMenuW(nullptr, MAKEINTRESOURCEW(520));
    ASSERT_NE(detail, nullptr);
    EXPECT_EQ(Commands(detail), (V{253, 0}));
    EXPECT_EQ(Commands(GetSubMenu(detail, 1)), (V{406, 412}));
    DestroyMenu(detail);

    // Every string the pages use has a text.
    std::vector<UINT> ids = {1,   2,   102, 103, 104, 106, 107, 110, 111, 121,  133,  134, 135, 136,
                             138, 139, 140, 142, 143, 144, 302, 304, 305, 306,  307,  310, 321, 322,
                             323, 325, 326, 327, 328, 329, 700, 701, 702, 1000, 1001, 1002};
    for (UINT id = 113; id <= 118; ++id) ids.push_back(id);
    for (UINT id = 123; id <= 132; ++id) ids.push_back(id);
    for (UINT id = 600; id <= 606; ++id) ids.push_back(id);
    for (UINT id = 801; id <= 806; ++id) ids.push_back(id);
    WCHAR text[300];
    for (UINT id : ids) EXPECT_GT(LoadStringW(nullptr, id, text, 300), 0) << "string " << id;
    ASSERT_EQ(LoadStringW(nullptr, 2, text, 100), 6);
    EXPECT_EQ(std::u16string(text), u"VANTLO");
}

TEST_F(Resources, ModuleCallsTruncateRefuseAndReportWhatIsMissing) {
    static const char tag = 0;
    HINSTANCE module = reinterpret_cast<HINSTANCE>(const_cast<char*>(&tag));
    static const WCHAR kText[] = u"abcdef";
    static const WCHAR kIcon[] = u"\\Windows\\icon_youtube.png";
    static const ResourceEntry table[] = {{RT_STRING, 7, kText, 12},
                                          {RT_ICON, 101, kIcon, sizeof kIcon}};
    EXPECT_EQ(Err(FindResourceW(module, MAKEINTRESOURCEW(7), RT_STRING)),
              ERROR_RESOURCE_DATA_NOT_FOUND);
    ASSERT_TRUE(RegisterModuleResources(module, table, 2));

    WCHAR buf[8] = u"zzzzzzz";
    EXPECT_EQ(LoadStringW(module, 7, buf, 4), 3);
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(LoadStringW(module, 7, buf, 1), 0);
    EXPECT_EQ(buf[0], 0);
    LPCWSTR direct = nullptr;
    EXPECT_EQ(LoadStringW(module, 7, reinterpret_cast<LPWSTR>(&direct), 0), 6);
    EXPECT_EQ(direct, kText);
    EXPECT_EQ(LoadStringW(module, 7, buf, 8), 6);
    EXPECT_EQ(LoadStringW(module, 8, buf, 8), 0);
    EXPECT_EQ(Err(buf[0]), ERROR_RESOURCE_NAME_NOT_FOUND);
    EXPECT_EQ(LoadStringW(nullptr, 7, buf, 8), 0) << "the program's module has none of these";

    EXPECT_NE(FindResourceW(module, u"#7", RT_STRING), nullptr);
    EXPECT_EQ(FindResourceW(module, u"seven", RT_STRING), nullptr);
    EXPECT_EQ(Err(FindResourceW(module, MAKEINTRESOURCEW(7), RT_MENU)),
              ERROR_RESOURCE_TYPE_NOT_FOUND);
    EXPECT_NE(LoadIconW(module, MAKEINTRESOURCEW(101)), nullptr);
    EXPECT_EQ(LoadIconW(module, MAKEINTRESOURCEW(102)), nullptr);

    // A made-up handle, or one of another module, is refused without being read.
    EXPECT_EQ(Err(LoadResource(module, reinterpret_cast<HRSRC>(&buf))), ERROR_INVALID_HANDLE);
    HRSRC string7 = FindResourceW(module, MAKEINTRESOURCEW(7), RT_STRING);
    EXPECT_EQ(SizeofResource(nullptr, string7), 0u);
    EXPECT_EQ(SizeofResource(module, string7), 12u);

    // A bad table is refused whole and the module keeps the one it had.
    const ResourceEntry twice[] = {{RT_STRING, 9, kText, 12}, {RT_STRING, 9, kText, 12}};
    const ResourceEntry oddSize[] = {{RT_STRING, 9, kText, 5}};
    const ResourceEntry noData[] = {{RT_RCDATA, 9, nullptr, 4}};
    const ResourceEntry bigId[] = {{RT_RCDATA, 70000, kText, 4}};
    for (const ResourceEntry* bad : {twice, oddSize, noData, bigId})
        EXPECT_FALSE(RegisterModuleResources(module, bad, bad == twice ? 2 : 1));
    EXPECT_FALSE(RegisterModuleResources(module, nullptr, 3));
    EXPECT_EQ(LoadStringW(module, 7, buf, 8), 6);
    ASSERT_TRUE(RegisterModuleResources(module, nullptr, 0));
    EXPECT_EQ(Err(LoadStringW(module, 7, buf, 8)), ERROR_RESOURCE_DATA_NOT_FOUND);
}

TEST_F(Resources, DeviceImageInstallsTheImagesAsPngsOfTheirSizes) {
    ASSERT_TRUE(PrepareDeviceImage());
    struct Size {
        const char16_t* path;  // as the dialogs name it
        LONG width, height;    // pixels
    };
    // Sized for 480 x 640: the list rows and header bands at twice their base units; the
    // icons fit the white band of the login pages; the task pages' images span the width.
    const Size sizes[] = {
        {u"\\Windows\\icon_youtube.png", 40, 40},     {u"\\Windows\\icon_facebook.png", 40, 40},
        {u"\\Windows\\video_frame.png", 144, 144},    {u"\\Windows\\button_nor.png", 200, 50},
        {u"\\Windows\\button_dn.png", 200, 50},       {u"\\Windows\\video_bg_P.png", 480, 100},
        {u"\\Windows\\photo_bg_P.png", 480, 100},     {u"\\windows\\status_bg_P.png", 480, 80},
        {u"\\windows\\selector_P.png", 480, 64},      {u"\\windows\\dividing_p.png", 480, 1},
        {u"\\windows\\detail_header_P.png", 480, 50},
    };
    for (const Size& s : sizes) {
        const Pixels image(s.path);
        EXPECT_EQ(Corners(image.All()), (std::vector<LONG>{0, 0, s.width, s.height}))
            << ToUtf8(s.path);
    }
    // An image gone from both the device and the image folder leaves the device incomplete.
    const std::string empty = root_ + "/../no-images";
    fs::create_directories(empty);
    fs::remove(root_ + "/Windows/button_dn.png");
    setenv("VANTLO_IMAGE_DIR", empty.c_str(), 1);
    EXPECT_FALSE(PrepareDeviceImage());
    unsetenv("VANTLO_IMAGE_DIR");
    EXPECT_TRUE(fs::is_regular_file(root_ + "/Windows/button_nor.png"));
    EXPECT_TRUE(PrepareDeviceImage());
    EXPECT_TRUE(fs::is_regular_file(root_ + "/Windows/button_dn.png"));
}
