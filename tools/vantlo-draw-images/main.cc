// vantlo-draw-images: draws the dialogs' PNG images (icons, row buttons, header bands, the
// row selector and divider) for a 480 x 640 screen into a folder. Their committed copies live
// in res/images, from where the device image installs them into \Windows.
//
// Usage: vantlo-draw-images FOLDER
#include <cstdio>
#include <string>

#include "platform/device_image.h"
#include "platform/devpath.h"
#include "platform/gdi.h"

namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kRed = RGB(205, 32, 31);
constexpr COLORREF kBlue = RGB(59, 89, 152);

// One bitmap being drawn.
class Canvas {
  public:
    Canvas(int width, int height)
        : width_(width),
          height_(height),
          dc_(CreateCompatibleDC(nullptr)),
          bitmap_(CreateCompatibleBitmap(dc_, width, height)) {
        old_ = SelectObject(dc_, bitmap_);
    }
    ~Canvas() {
        SelectObject(dc_, old_);
        DeleteDC(dc_);
        DeleteObject(bitmap_);
    }
    Canvas(const Canvas&) = delete;
    Canvas& operator=(const Canvas&) = delete;

    bool Ok() const { return dc_ && bitmap_ && old_; }
    int Width() const { return width_; }
    int Height() const { return height_; }

    void Fill(int left, int top, int right, int bottom, COLORREF color) {
        const RECT r{left, top, right, bottom};
        HBRUSH brush = CreateSolidBrush(color);
        FillRect(dc_, &r, brush);
        DeleteObject(brush);
    }

    // Rows top to bottom - 1 shade from one colour to the other.
    void Gradient(int left, int top, int right, int bottom, COLORREF from, COLORREF to) {
        const int rows = bottom - top;
        for (int i = 0; i < rows; ++i) {
            auto mix = [&](BYTE a, BYTE b) {
                return static_cast<BYTE>(a + (b - a) * i / (rows > 1 ? rows - 1 : 1));
            };
            Fill(left, top + i, right, top + i + 1,
                 RGB(mix(GetRValue(from), GetRValue(to)), mix(GetGValue(from), GetGValue(to)),
                     mix(GetBValue(from), GetBValue(to))));
        }
    }

    // A one-pixel outline just inside the rectangle.
    void Frame(int left, int top, int right, int bottom, COLORREF color) {
        Fill(left, top, right, top + 1, color);
        Fill(left, bottom - 1, right, bottom, color);
        Fill(left, top, left + 1, bottom, color);
        Fill(right - 1, top, right, bottom, color);
    }

    void Text(RECT rect, LPCWSTR text, int pixels, COLORREF color, UINT format) {
        LOGFONTW lf{};
        lf.lfHeight = -pixels;
        lf.lfWeight = FW_BOLD;
        HFONT font = CreateFontIndirectW(&lf);
        HGDIOBJ oldFont = SelectObject(dc_, font);
        SetTextColor(dc_, color);
        SetBkMode(dc_, TRANSPARENT);
        DrawTextW(dc_, text, -1, &rect, format);
        SelectObject(dc_, oldFont);
        DeleteObject(font);
    }

    bool Save(const std::string& path) { return GdiSaveBitmapPng(bitmap_, path) != FALSE; }

  private:
    int width_;       // pixels
    int height_;      // pixels
    HDC dc_;          // memory DC the bitmap is selected into
    HBITMAP bitmap_;  // the image
    HGDIOBJ old_;     // the DC's bitmap before
};

// The site icons: 40 x 40, so that they fit the white band of the login and setting pages.
void DrawYouTubeIcon(Canvas& c) {
    c.Fill(2, 6, 38, 34, kRed);
    for (int corner : {2, 37}) {  // rounded off by one pixel
        c.Fill(corner, 6, corner + 1, 7, kWhite);
        c.Fill(corner, 33, corner + 1, 34, kWhite);
    }
    for (int dy = -8; dy <= 8; ++dy) {  // the play triangle, pointing right
        const int length = (8 - (dy < 0 ? -dy : dy)) * 3 / 2;
        c.Fill(16, 20 + dy, 16 + length + 1, 21 + dy, kWhite);
    }
}

void DrawFacebookIcon(Canvas& c) {
    c.Fill(2, 2, 38, 38, kBlue);
    c.Text({12, 6, 38, 42}, u"f", 32, kWhite, DT_CENTER | DT_BOTTOM | DT_SINGLELINE);
}

// The thumbnail slot of a list row: a film frame, 72 x 72 base units.
void DrawVideoFrame(Canvas& c) {
    c.Fill(0, 0, c.Width(), c.Height(), RGB(40, 40, 40));
    c.Gradient(18, 8, c.Width() - 18, c.Height() - 8, RGB(170, 185, 205), RGB(110, 125, 150));
    for (int y = 6; y + 8 <= c.Height() - 4; y += 18) {  // sprocket holes down both edges
        c.Fill(5, y, 13, y + 8, RGB(235, 235, 235));
        c.Fill(c.Width() - 13, y, c.Width() - 5, y + 8, RGB(235, 235, 235));
    }
}

void DrawButton(Canvas& c, COLORREF top, COLORREF bottom, COLORREF border) {
    c.Gradient(0, 0, c.Width(), c.Height(), top, bottom);
    c.Frame(0, 0, c.Width(), c.Height(), border);
}

// The header band of a list page: light, for black text, with the site's colour below.
void DrawListHeader(Canvas& c, COLORREF accent) {
    c.Gradient(0, 0, c.Width(), c.Height() - 4, RGB(248, 248, 248), RGB(214, 214, 214));
    c.Fill(0, c.Height() - 4, c.Width(), c.Height(), accent);
}

// The task viewer's header: a dark title part (60 %) over a light column-label part.
void DrawStatusHeader(Canvas& c) {
    const int split = c.Height() * 6 / 10;
    c.Gradient(0, 0, c.Width(), split, RGB(58, 80, 124), RGB(30, 45, 82));
    c.Gradient(0, split, c.Width(), c.Height() - 1, RGB(236, 236, 236), RGB(212, 212, 212));
    c.Fill(0, c.Height() - 1, c.Width(), c.Height(), RGB(160, 160, 160));
}

void DrawDetailHeader(Canvas& c) {
    c.Gradient(0, 0, c.Width(), c.Height(), RGB(58, 80, 124), RGB(30, 45, 82));
}

void DrawSelector(Canvas& c) {
    c.Gradient(0, 0, c.Width(), c.Height(), RGB(66, 128, 206), RGB(28, 78, 158));
}

void DrawDivider(Canvas& c) {
    c.Fill(0, 0, c.Width(), c.Height(), RGB(200, 200, 200));
}

// One image: its file name, size and how it is drawn.
struct Picture {
    const char* name;         // file name in \Windows
    int width, height;        // pixels on a 480 x 640 screen
    void (*draw)(Canvas& c);  // draws it
};

const Picture kPictures[] = {
    {"icon_youtube.png", 40, 40, DrawYouTubeIcon},
    {"icon_facebook.png", 40, 40, DrawFacebookIcon},
    {"video_frame.png", 144, 144, DrawVideoFrame},
    {"button_nor.png", 200, 50,
     [](Canvas& c) { DrawButton(c, RGB(252, 252, 252), RGB(212, 212, 212), RGB(128, 128, 128)); }},
    {"button_dn.png", 200, 50,
     [](Canvas& c) { DrawButton(c, RGB(48, 100, 180), RGB(22, 62, 132), RGB(16, 40, 96)); }},
    {"video_bg_P.png", 480, 100, [](Canvas& c) { DrawListHeader(c, kRed); }},
    {"photo_bg_P.png", 480, 100, [](Canvas& c) { DrawListHeader(c, kBlue); }},
    {"status_bg_P.png", 480, 80, DrawStatusHeader},
    {"selector_P.png", 480, 64, DrawSelector},
    {"dividing_p.png", 480, 1, DrawDivider},
    {"detail_header_P.png", 480, 50, DrawDetailHeader},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: vantlo-draw-images FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    if (!EnsureFolder(folder)) {
        std::fprintf(stderr, "vantlo-draw-images: cannot create %s\n", folder.c_str());
        return 1;
    }
    int failures = 0;
    for (const char* wanted : DEVICE_IMAGE_PICTURES) {
        const Picture* picture = nullptr;
        for (const Picture& p : kPictures) {
            if (std::string(p.name) == wanted) picture = &p;
        }
        if (!picture) {
            std::fprintf(stderr, "vantlo-draw-images: no drawing for %s\n", wanted);
            ++failures;
            continue;
        }
        Canvas canvas(picture->width, picture->height);
        const std::string path = folder + "/" + picture->name;
        if (!canvas.Ok()) {
            std::fprintf(stderr, "vantlo-draw-images: no bitmap for %s\n", picture->name);
            ++failures;
            continue;
        }
        picture->draw(canvas);
        if (!canvas.Save(path)) {
            std::fprintf(stderr, "vantlo-draw-images: cannot write %s\n", path.c_str());
            ++failures;
            continue;
        }
        std::printf("%s %dx%d\n", path.c_str(), picture->width, picture->height);
    }
    return failures == 0 ? 0 : 1;
}
