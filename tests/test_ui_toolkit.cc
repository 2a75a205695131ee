// The dialogs' drawing toolkit: off-screen surfaces copied onto a device context, text in
// the four font kinds, and the size and number texts.
#include <gtest/gtest.h>

#include "platform/gdi.h"
#include "tests/screen_test_util.h"
#include "tests/support/test_env.h"
#include "ui/bitmap_surface.h"
#include "ui/fonts.h"
#include "ui/size_text.h"

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
