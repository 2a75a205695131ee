// GDI on bitmaps and on a caller's surface: pixels, blits, text placement, PNG files, clipping
// and the date and time texts; and the dialogs' drawing toolkit on top of it: off-screen
// surfaces copied onto a device context, text in the four font kinds, size and number texts.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/datetime_format.h"
#include "platform/gdi.h"
#include "platform/gdi_internal.h"
#include "platform/wstr.h"
#include "tests/screen_test_util.h"
#include "tests/support/test_env.h"
#include "ui/bitmap_surface.h"
#include "ui/fonts.h"
#include "ui/size_text.h"

namespace {

constexpr COLORREF kRed = RGB(200, 10, 10);
constexpr COLORREF kBlue = RGB(10, 10, 200);
constexpr COLORREF kGreen = RGB(10, 200, 10);

using Box = std::vector<LONG>;  // a rectangle's corners

class Gdi : public DeviceTest {};

TEST_F(Gdi, PixelsFillsAndBlitsLandWhereTheyShould) {
    // A new bitmap is white; a fill leaves out its right and bottom edges.
    Pixels c(40, 30);
    RECT none = c.Ink();
    EXPECT_TRUE(IsRectEmpty(&none));
    EXPECT_EQ(c.At(40, 0), CLR_INVALID);
    c.Fill({5, 5, 15, 10}, kRed);
    EXPECT_EQ(Corners(c.Ink()), (Box{5, 5, 15, 10}));
    EXPECT_EQ(SetPixel(c.Dc(), 20, 20, kGreen), kGreen);
    EXPECT_EQ(Corners(c.Ink()), (Box{5, 5, 21, 21}));
    EXPECT_EQ(c.At(14, 9), kRed);
    EXPECT_EQ(c.At(20, 20), kGreen);

    // A 10 x 10 blue source with a green corner, copied and stretched four times.
    Pixels src(10, 10, kBlue), copy(40, 30), big(20, 20);
    SetPixel(src.Dc(), 0, 0, kGreen);
    ASSERT_TRUE(BitBlt(copy.Dc(), 30, 20, 10, 10, src.Dc(), 0, 0, SRCCOPY));
    EXPECT_EQ(Corners(copy.Ink()), (Box{30, 20, 40, 30}));
    EXPECT_EQ(copy.At(30, 20), kGreen);
    EXPECT_EQ(copy.At(39, 29), kBlue);
    ASSERT_TRUE(StretchBlt(big.Dc(), 0, 0, 20, 20, src.Dc(), 0, 0, 5, 5, SRCCOPY));
    EXPECT_EQ(Corners(big.Ink(kBlue)), (Box{0, 0, 4, 4}));
    EXPECT_EQ(big.At(3, 3), kGreen);

    // A copy within one bitmap that overlaps itself (a scroll by one row).
    Pixels strip(4, 6);
    for (int y = 0; y < 6; ++y) SetPixel(strip.Dc(), 0, y, RGB(0, 0, static_cast<BYTE>(40 * y)));
    ASSERT_TRUE(BitBlt(strip.Dc(), 0, 1, 4, 5, strip.Dc(), 0, 0, SRCCOPY));
    for (int y = 1; y < 6; ++y) EXPECT_EQ(strip.At(0, y), RGB(0, 0, 40 * (y - 1)));

    // Rectangle: a one-pixel outline in the stock black pen around the selected brush.
    Pixels frame(20, 20);
    SelectObject(frame.Dc(), GetStockObject(GRAY_BRUSH));
    ASSERT_TRUE(Rectangle(frame.Dc(), 0, 12, 6, 18));
    EXPECT_EQ(Corners(frame.Ink()), (Box{0, 12, 6, 18}));
    EXPECT_EQ(frame.At(0, 12), kBlack);
    EXPECT_EQ(frame.At(5, 17), kBlack);
    EXPECT_EQ(frame.At(3, 15), RGB(128, 128, 128));
}

TEST_F(Gdi, ObjectsFollowSelectionRulesAndBadHandlesFailCleanly) {
    HDC dc = CreateCompatibleDC(nullptr);
    HBITMAP bmp = CreateCompatibleBitmap(dc, 8, 8);
    HGDIOBJ old = SelectObject(dc, bmp);
    ASSERT_NE(old, nullptr);
    EXPECT_FALSE(DeleteObject(bmp));  // still selected
    HDC other = CreateCompatibleDC(dc);
    EXPECT_EQ(SelectObject(other, bmp), nullptr);  // one DC at a time
    SetPixel(dc, 3, 3, kRed);

    // Deleting the DC releases the bitmap with its pixels.
    ASSERT_TRUE(DeleteDC(dc));
    EXPECT_NE(SelectObject(other, bmp), nullptr);
    EXPECT_EQ(GetPixel(other, 3, 3), kRed);
    BITMAP info{};
    ASSERT_EQ(GetObjectW(bmp, sizeof(info), &info), static_cast<int>(sizeof(info)));
    EXPECT_EQ(info.bmWidth, 8);
    EXPECT_EQ(info.bmHeight, 8);

    // The deleted DC and deleted objects are refused everywhere.
    RECT r{0, 0, 2, 2};
    EXPECT_EQ(FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH))), 0);
    EXPECT_EQ(GetPixel(dc, 0, 0), CLR_INVALID);
    EXPECT_FALSE(DeleteDC(dc));
    EXPECT_EQ(FillRect(nullptr, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH))), 0);
    HBRUSH brush = CreateSolidBrush(kBlue);
    ASSERT_TRUE(DeleteObject(brush));
    EXPECT_EQ(FillRect(other, &r, brush), 0);
    EXPECT_EQ(SelectObject(other, brush), nullptr);
    EXPECT_EQ(DrawTextW(nullptr, u"x", -1, &r, 0), 0);
    EXPECT_FALSE(BitBlt(other, 0, 0, 2, 2, nullptr, 0, 0, SRCCOPY));
    EXPECT_EQ(GetPixel(other, 0, 0), kWhite);  // nothing was drawn by any of them

    // Sizes no bitmap can have, and stock objects that outlive DeleteObject.
    EXPECT_EQ(CreateCompatibleBitmap(other, 0, 5), nullptr);
    EXPECT_EQ(CreateCompatibleBitmap(other, -3, 5), nullptr);
    EXPECT_EQ(Err(CreateCompatibleBitmap(other, 100000, 100000)), ERROR_INVALID_PARAMETER);
    EXPECT_TRUE(DeleteObject(GetStockObject(WHITE_BRUSH)));
    EXPECT_EQ(FillRect(other, &r, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH))), 1);

    // The system font: DejaVu Sans, 12 pixels on a 240 x 320 screen, scaled with the screen.
    LOGFONTW lf{};
    ASSERT_GT(GetObjectW(GetStockObject(SYSTEM_FONT), sizeof(lf), &lf), 0);
    EXPECT_EQ(lf.lfHeight, -12 * (GetDeviceCaps(other, VERTRES) / 320));
    EXPECT_EQ(lf.lfWeight, FW_NORMAL);
    EXPECT_EQ(WString(lf.lfFaceName), u"DejaVu Sans");

    SelectObject(other, old);
    EXPECT_TRUE(DeleteObject(bmp));
    EXPECT_TRUE(DeleteDC(other));
}

TEST_F(Gdi, TextIsPlacedMeasuredAndKeptInsideItsRectangle) {
    // In either size the glyphs have the font's size and stay inside the rectangle.
    int previousHeight = 0;
    for (LONG size : {-12L, -28L}) {
        Pixels c(240, 120);
        LOGFONTW lf{};
        ASSERT_GT(GetObjectW(GetStockObject(SYSTEM_FONT), sizeof(lf), &lf), 0);
        lf.lfHeight = size;
        HFONT font = CreateFontIndirectW(&lf);
        HGDIOBJ oldFont = SelectObject(c.Dc(), font);
        RECT r{20, 30, 220, 90};
        int height = DrawTextW(c.Dc(), u"Photos & videos", -1, &r, DT_LEFT | DT_TOP | DT_NOPREFIX);
        EXPECT_GT(height, previousHeight);
        RECT ink = c.Ink(), inside{};
        ASSERT_FALSE(IsRectEmpty(&ink)) << size;
        IntersectRect(&inside, &ink, &r);
        EXPECT_TRUE(EqualRect(&inside, &ink)) << size;
        EXPECT_GT(ink.bottom - ink.top, -size / 2);
        EXPECT_LE(ink.bottom - ink.top, height);
        previousHeight = height;
        SelectObject(c.Dc(), oldFont);
        DeleteObject(font);
    }

    // The format flags place it in its rectangle.
    Pixels c(200, 60);
    auto inkOf = [&](LPCWSTR text, UINT format) {
        RECT r = c.All();
        c.Fill(r, kWhite);
        DrawTextW(c.Dc(), text, -1, &r, format);
        return c.Ink();
    };
    RECT left = inkOf(u"Hi", DT_LEFT | DT_TOP | DT_SINGLELINE);
    EXPECT_LT(left.left, 5);
    EXPECT_LT(left.top, 12);
    RECT center = inkOf(u"Hi", DT_CENTER | DT_SINGLELINE);
    EXPECT_NEAR((center.left + center.right) / 2.0, 100, 3);
    RECT right = inkOf(u"Hi", DT_RIGHT | DT_SINGLELINE);
    EXPECT_GT(right.right, 193);
    RECT middle = inkOf(u"Hi", DT_VCENTER | DT_SINGLELINE);
    EXPECT_NEAR((middle.top + middle.bottom) / 2.0, 30, 4);

    // DT_CALCRECT measures as GetTextExtentPoint32W does and draws nothing.
    c.Fill(c.All(), kWhite);
    SIZE extent{};
    ASSERT_TRUE(GetTextExtentPoint32W(c.Dc(), u"Hello world", -1, &extent));
    RECT calc{10, 10, 11, 11};
    int h = DrawTextW(c.Dc(), u"Hello world", -1, &calc, DT_CALCRECT | DT_SINGLELINE);
    EXPECT_EQ(calc.right - calc.left, extent.cx);
    EXPECT_EQ(calc.bottom - calc.top, extent.cy);
    EXPECT_EQ(h, extent.cy);
    RECT none = c.Ink();
    EXPECT_TRUE(IsRectEmpty(&none));

    // DT_WORDBREAK wraps inside the width; DT_CALCRECT reports the lines' height.
    LPCWSTR words = u"one two three four five";
    RECT narrow{0, 0, 70, 200};
    int wrapped = DrawTextW(c.Dc(), words, -1, &narrow, DT_CALCRECT | DT_WORDBREAK);
    EXPECT_GE(wrapped, 3 * extent.cy);
    EXPECT_LE(narrow.right, 70);
    c.Fill(c.All(), kWhite);
    RECT box{0, 0, 70, 60};
    DrawTextW(c.Dc(), words, -1, &box, DT_WORDBREAK);
    RECT ink = c.Ink();
    EXPECT_LE(ink.right, 70);
    EXPECT_GT(ink.bottom - ink.top, extent.cy);

    // OPAQUE fills behind the text with the background colour; TRANSPARENT leaves it.
    SetBkColor(c.Dc(), kBlue);
    SetTextColor(c.Dc(), kRed);
    SetBkMode(c.Dc(), TRANSPARENT);
    inkOf(u"Hi", DT_SINGLELINE);
    EXPECT_FALSE(c.Has(kBlue));
    EXPECT_TRUE(c.Has(kRed));
    SetBkMode(c.Dc(), OPAQUE);
    inkOf(u"Hi", DT_SINGLELINE);
    EXPECT_TRUE(c.Has(kBlue));
    EXPECT_EQ(GetPixel(c.Dc(), 199, 59), kWhite);
}

TEST_F(Gdi, PngFilesRoundTripAndBadFilesGiveNull) {
    Pixels c(30, 20);
    c.Fill({0, 0, 15, 20}, kRed);
    SetPixel(c.Dc(), 29, 19, kGreen);
    std::string path = root_ + "/Windows/saved.png";
    ASSERT_TRUE(GdiSaveBitmapPng(c.Bitmap(), path));

    Pixels loaded(u"\\Windows\\saved.png");
    ASSERT_TRUE(loaded.Loaded());
    EXPECT_EQ(Corners(loaded.All()), Corners(c.All()));
    int differences = 0;
    for (int y = 0; y < 20; ++y)
        for (int x = 0; x < 30; ++x) differences += loaded.At(x, y) != c.At(x, y);
    EXPECT_EQ(differences, 0);

    std::string good = ReadHostFile(path);
    WriteHostFile(root_ + "/Windows/garbage.png", "not a picture at all, just text");
    WriteHostFile(root_ + "/Windows/truncated.png", good.substr(0, good.size() / 2));
    std::string huge = good;  // a header claiming 100000 x 100000 pixels
    huge.replace(16, 8, std::string("\x00\x01\x86\xA0\x00\x01\x86\xA0", 8));
    WriteHostFile(root_ + "/Windows/huge.png", huge);
    for (LPCWSTR bad : {u"\\Windows\\missing.png", u"\\Windows\\garbage.png",
                        u"\\Windows\\truncated.png", u"\\Windows\\huge.png", u""}) {
        EXPECT_EQ(GdiLoadPngFile(bad), nullptr) << ToUtf8(bad);
    }
    EXPECT_FALSE(GdiSaveBitmapPng(nullptr, root_ + "/x.png"));
    EXPECT_FALSE(GdiSaveBitmapPng(c.Bitmap(), "/proc/vantlo/none.png"));
}

TEST_F(Gdi, TargetDcDrawsOnlyInsideItsClipFromAnyThread) {
    Pixels screen(60, 60);
    std::recursive_mutex lock;
    std::vector<RECT> clip{{10, 10, 30, 30}, {35, 35, 45, 45}};
    HDC target = CreateTargetDC(GdiBitmapSurface(screen.Bitmap()), POINT{10, 10}, clip, &lock);
    ASSERT_NE(target, nullptr);
    RECT all{-50, -50, 100, 100};
    FillRect(target, &all, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    SetBkMode(target, TRANSPARENT);  // black on black: any ink outside the clip shows
    DrawTextW(target, u"clipped text everywhere", -1, &all, DT_WORDBREAK);
    for (int y = 0; y < 60; ++y) {
        for (int x = 0; x < 60; ++x) {
            bool visible = PtInRect(&clip[0], POINT{x, y}) || PtInRect(&clip[1], POINT{x, y});
            ASSERT_EQ(GetPixel(screen.Dc(), x, y), visible ? RGB(0, 0, 0) : kWhite)
                << x << "," << y;
        }
    }
    EXPECT_EQ(GetPixel(target, 0, 0), RGB(0, 0, 0));   // target (10, 10)
    EXPECT_EQ(GetPixel(target, 22, 22), CLR_INVALID);  // target (32, 32): clipped away

    // Two threads paint their own halves through their own target DCs on the one surface
    // while this thread blits from it; each half ends up in its own colour.
    std::atomic<bool> ok{true};
    auto painter = [&](LONG top, COLORREF color) {
        HDC half = CreateTargetDC(GdiBitmapSurface(screen.Bitmap()), POINT{0, top},
                                  {RECT{0, top, 60, top + 30}}, &lock);
        HBRUSH brush = CreateSolidBrush(color);
        for (int i = 0; i < 200 && ok; ++i) {
            RECT r{0, 0, 60, 30};
            if (!DrawTextW(half, u"x", -1, &r, 0) || !FillRect(half, &r, brush)) ok = false;
        }
        DeleteObject(brush);
        DeleteDC(half);
    };
    std::thread a(painter, 0, kRed);
    std::thread b(painter, 30, kBlue);
    Pixels copy(60, 60);
    for (int i = 0; i < 50; ++i)
        EXPECT_TRUE(BitBlt(copy.Dc(), 0, 0, 60, 60, target, -10, -10, SRCCOPY));
    a.join();
    b.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(GetPixel(screen.Dc(), 5, 5), kRed);
    EXPECT_EQ(GetPixel(screen.Dc(), 55, 55), kBlue);
    EXPECT_TRUE(DeleteDC(target));
}

TEST(DateTimeFormat, FixedTimeInTheDefaultLocaleAndInPictures) {
    SYSTEMTIME st{2024, 3, 0, 5, 14, 7, 9, 0};  // Tuesday
    WCHAR buf[64];
    auto date = [&](DWORD flags, LPCWSTR picture) {
        return GetDateFormatW(LOCALE_USER_DEFAULT, flags, &st, picture, buf, 64)
                   ? WString(buf)
                   : WString(u"<fail>");
    };
    auto time = [&](DWORD flags, LPCWSTR picture) {
        return GetTimeFormatW(LOCALE_USER_DEFAULT, flags, &st, picture, buf, 64)
                   ? WString(buf)
                   : WString(u"<fail>");
    };
    EXPECT_EQ(date(DATE_SHORTDATE, nullptr), u"3/5/2024");
    EXPECT_EQ(date(DATE_LONGDATE, nullptr), u"Tuesday, March 5, 2024");
    EXPECT_EQ(date(0, u"dd MMM yy, ddd"), u"05 Mar 24, Tue");
    EXPECT_EQ(date(0, u"'day' d 'o''clock'"), u"day 5 o'clock");
    EXPECT_EQ(time(0, nullptr), u"2:07:09 PM");
    EXPECT_EQ(time(TIME_NOSECONDS, nullptr), u"2:07 PM");
    EXPECT_EQ(time(0, u"HH'h'mm"), u"14h07");
    st.wHour = 0;
    EXPECT_EQ(time(0, u"hh:mm tt"), u"12:07 AM");

    // Sizes, short buffers and impossible dates.
    EXPECT_EQ(GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, nullptr, 0), 9);
    EXPECT_EQ(Err(GetDateFormatW(LOCALE_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, buf, 8)),
              ERROR_INSUFFICIENT_BUFFER);
    st.wMonth = 2;
    st.wDay = 30;
    EXPECT_EQ(date(DATE_SHORTDATE, nullptr), u"<fail>");
    st.wDay = 29;  // 2024 is a leap year
    EXPECT_EQ(date(DATE_SHORTDATE, nullptr), u"2/29/2024");
    st.wHour = 24;
    EXPECT_EQ(time(0, nullptr), u"<fail>");
}

}  // namespace

namespace {

using UiToolkitTest = DeviceTest;

TEST_F(UiToolkitTest, UntouchedSurfaceDrawsWhiteExactlyWhereItIsPlaced) {
    Pixels canvas(80, 60, kBlack);
    CBitmapSurface surface;
    EXPECT_FALSE(surface.Draw(canvas.Dc(), 0, 0, 0, 0, SRCCOPY));  // nothing to draw yet
    EXPECT_FALSE(surface.LoadPng(u"\\Windows\\no_such_image.png"));
    EXPECT_EQ(surface.GetSize().cx, 0);

    ASSERT_TRUE(surface.CreateSurface(canvas.Dc(), 20, 10));
    EXPECT_EQ(surface.GetSize().cx, 20);
    EXPECT_EQ(surface.GetSize().cy, 10);
    EXPECT_FALSE(surface.Draw(nullptr, 0, 0, 0, 0, SRCCOPY));
    ASSERT_TRUE(surface.Draw(canvas.Dc(), 5, 7, 0, 0, SRCCOPY));
    EXPECT_EQ(Corners(canvas.Ink(kBlack)), (std::vector<LONG>{5, 7, 25, 17}));
    EXPECT_EQ(canvas.At(5, 7), kWhite);
    EXPECT_EQ(canvas.At(24, 16), kWhite);

    // Stretched, it covers the whole target rectangle and nothing else.
    Pixels stretched(80, 60, kBlack);
    ASSERT_TRUE(surface.StretchDraw(stretched.Dc(), 30, 20, 40, 30, 0, 0, SRCCOPY));
    EXPECT_EQ(Corners(stretched.Ink(kBlack)), (std::vector<LONG>{30, 20, 70, 50}));
    EXPECT_EQ(stretched.At(50, 35), kWhite);
}

TEST_F(UiToolkitTest, TextOfEachFontKindLandsInsideItsRectangle) {
    EXPECT_EQ(CreateFontByKind(4), nullptr);
    EXPECT_EQ(CreateFontByKind(-1), nullptr);

    const RECT box{20, 10, 220, 90};
    LONG heights[4] = {};
    for (int kind = 0; kind < 4; kind++) {
        SCOPED_TRACE(kind);
        Pixels canvas(240, 100, kWhite);
        CBitmapSurface surface;
        ASSERT_TRUE(surface.CreateSurface(canvas.Dc(), 240, 100));
        ASSERT_TRUE(
            surface.DrawText(canvas.Dc(), u"Wg Vantlo", box, DT_LEFT | DT_TOP, kBlack, kind));
        ASSERT_TRUE(surface.Draw(canvas.Dc(), 0, 0, 0, 0, SRCCOPY));
        RECT ink = canvas.Ink(), inside{};
        ASSERT_LT(ink.left, ink.right) << "no text drawn";
        IntersectRect(&inside, &ink, &box);
        EXPECT_TRUE(EqualRect(&inside, &ink));
        heights[kind] = ink.bottom - ink.top;
    }
    // Kind 0 is the largest, 1 and 2 are the system font's size, 3 the smallest.
    EXPECT_GT(heights[0], heights[1]);
    EXPECT_EQ(heights[1], heights[2]);
    EXPECT_GT(heights[2], heights[3]);
}

TEST(UiToolkit, SizeAndNumberTexts) {
    const struct {
        DWORD size;        // bytes
        const char* text;  // as shown
    } sizes[] = {{0, "0 B"},
                 {1023, "1,023 B"},
                 {1024, "1 KB"},
                 {1536, "1.50 KB"},
                 {1048575, "1,023.99 KB"},
                 {1048576, "1 MB"},
                 {157286400, "150 MB"},
                 {1073741824, "1 GB"},
                 {4294967295u, "3.99 GB"}};
    for (const auto& s : sizes) EXPECT_EQ(ToUtf8(FormatSizeText(s.size)), s.text) << s.size;
    EXPECT_EQ(ToUtf8(FormatNumber(1000)), "1,000");
    EXPECT_EQ(ToUtf8(FormatNumber(999)), "999");
    EXPECT_EQ(ToUtf8(FormatNumber(1234567)), "1,234,567");
}

}  // namespace
