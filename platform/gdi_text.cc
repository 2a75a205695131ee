// GDI text: DrawTextW and GetTextExtentPoint32W, laid out by Pango in the DC's font.
#include <algorithm>
#include <cmath>

#include "platform/gdi_state.h"
#include "platform/trace.h"

using namespace gdi;

namespace {

// A Pango layout of one text in one font, measured on a scratch surface whose font options
// are those of every bitmap and of the framebuffer, so measuring and drawing agree.
class TextLayout {
  public:
    TextLayout(const Font& font, WStringView text, bool prefixes) {
        scratch_ = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
        cr_ = cairo_create(scratch_);
        layout_ = pango_cairo_create_layout(cr_);
        pango_layout_set_font_description(layout_, font.desc);

        // '&' marks the next character as the mnemonic (underlined); "&&" is one '&'.
        WString shown;
        size_t mnemonic = WString::npos;
        for (size_t i = 0; i < text.size(); ++i) {
            if (prefixes && text[i] == u'&' && i + 1 < text.size()) {
                ++i;
                if (text[i] != u'&' && mnemonic == WString::npos) mnemonic = shown.size();
            }
            shown.push_back(text[i]);
        }
        std::string utf8 = ToUtf8(shown);
        pango_layout_set_text(layout_, utf8.data(), static_cast<int>(utf8.size()));

        PangoAttrList* attrs = pango_attr_list_new();
        if (font.logFont.lfUnderline) {
            pango_attr_list_insert(attrs, pango_attr_underline_new(PANGO_UNDERLINE_SINGLE));
        }
        if (font.logFont.lfStrikeOut) {
            pango_attr_list_insert(attrs, pango_attr_strikethrough_new(TRUE));
        }
        if (mnemonic != WString::npos) {
            PangoAttribute* u = pango_attr_underline_new(PANGO_UNDERLINE_SINGLE);
            u->start_index =
                static_cast<guint>(ToUtf8(WStringView(shown).substr(0, mnemonic)).size());
            u->end_index =
                static_cast<guint>(ToUtf8(WStringView(shown).substr(0, mnemonic + 1)).size());
            pango_attr_list_insert(attrs, u);
        }
        pango_layout_set_attributes(layout_, attrs);
        pango_attr_list_unref(attrs);
    }
    ~TextLayout() {
        g_object_unref(layout_);
        cairo_destroy(cr_);
        cairo_surface_destroy(scratch_);
    }
    TextLayout(const TextLayout&) = delete;
    TextLayout& operator=(const TextLayout&) = delete;

    PangoLayout* get() const { return layout_; }
    PangoRectangle Logical() const {
        PangoRectangle logical;
        pango_layout_get_pixel_extents(layout_, nullptr, &logical);
        return logical;
    }

  private:
    cairo_surface_t* scratch_;  // 1 x 1, for the font options
    cairo_t* cr_;               // on scratch_
    PangoLayout* layout_;       // the text
};

// Checks a text argument; count -1 means up to the NUL. False (traced) when unusable.
bool TextArg(const char* caller, LPCWSTR text, int* count) {
    if (*count < -1 || (!text && *count != 0)) {
        Trace("%s: bad text (count %d)", caller, *count);
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (*count == -1) *count = static_cast<int>(WStrLen(text));
    return true;
}

}  // namespace

int DrawTextW(HDC dc, LPCWSTR text, int count, RECT* rect, UINT format) {
    if (!rect || !TextArg("DrawTextW", text, &count)) {
        if (!rect) Trace("DrawTextW: null rectangle");
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto d = FindDc(dc, "DrawTextW");
    if (!d) return 0;
    bool calc = (format & DT_CALCRECT) != 0;
    // Measuring touches no pixels and needs only the GDI lock; drawing takes the target's.
    std::unique_ptr<PaintLock> paint;
    std::unique_lock<std::recursive_mutex> gdiOnly;
    if (calc) {
        gdiOnly = std::unique_lock<std::recursive_mutex>(Lock());
    } else {
        paint = std::make_unique<PaintLock>(d.get());
    }
    if (d->deleted) {
        Trace("DrawTextW: device context deleted");
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (count == 0) {
        if (calc) {
            rect->right = rect->left;
            rect->bottom = rect->top;
        }
        return 0;
    }

    bool single = (format & DT_SINGLELINE) != 0;
    bool wrap = (format & DT_WORDBREAK) && !single;
    bool ellipsis = (format & DT_END_ELLIPSIS) && !wrap && !calc;
    int64_t width = std::max<int64_t>(static_cast<int64_t>(rect->right) - rect->left, 1);
    int64_t height = static_cast<int64_t>(rect->bottom) - rect->top;
    TextLayout text16(*d->font, WStringView(text, count), !(format & DT_NOPREFIX));
    PangoLayout* layout = text16.get();
    pango_layout_set_single_paragraph_mode(layout, single);
    bool fixedWidth = wrap || ellipsis;
    if (fixedWidth) {
        pango_layout_set_width(layout,
                               static_cast<int>(std::min<int64_t>(width, 1 << 20) * PANGO_SCALE));
        pango_layout_set_wrap(layout, PANGO_WRAP_WORD_CHAR);
        if (ellipsis) pango_layout_set_ellipsize(layout, PANGO_ELLIPSIZE_END);
    }
    if (!calc) {
        if (format & DT_CENTER) pango_layout_set_alignment(layout, PANGO_ALIGN_CENTER);
        if (format & DT_RIGHT) pango_layout_set_alignment(layout, PANGO_ALIGN_RIGHT);
    }
    PangoRectangle logical = text16.Logical();

    if (calc) {
        rect->right =
            static_cast<LONG>(static_cast<int64_t>(rect->left) + logical.x + logical.width);
        rect->bottom = static_cast<LONG>(static_cast<int64_t>(rect->top) + logical.height);
        return logical.height;
    }

    // Where the layout's origin goes: a layout of fixed width is aligned by Pango itself;
    // otherwise its lines are aligned to its widest one and the whole is placed here.
    double x = rect->left;
    if (!fixedWidth && (format & DT_CENTER)) x += (static_cast<double>(width) - logical.width) / 2;
    if (!fixedWidth && (format & DT_RIGHT) && !(format & DT_CENTER)) x += width - logical.width;
    double y = rect->top;
    if (single && (format & DT_VCENTER)) y += std::floor((height - logical.height) / 2.0);
    if (single && (format & DT_BOTTOM) && !(format & DT_VCENTER)) y += height - logical.height;
    x = std::floor(x);

    cairo_t* cr = StartDrawing(*d);
    if (!(format & DT_NOCLIP)) {
        // Far-off edges are pulled in: Cairo's fixed-point coordinates end at about 2^23.
        RECT near{-(1 << 22), -(1 << 22), 1 << 22, 1 << 22};
        RECT box{};
        IntersectRect(&box, rect, &near);
        cairo_rectangle(cr, box.left, box.top, box.right - box.left, box.bottom - box.top);
        cairo_clip(cr);
    }
    if (d->bkMode == OPAQUE) {
        SetSourceColor(cr, d->bkColor);
        PangoLayoutIter* it = pango_layout_get_iter(layout);
        do {
            PangoRectangle line;
            pango_layout_iter_get_line_extents(it, nullptr, &line);
            pango_extents_to_pixels(&line, nullptr);
            cairo_rectangle(cr, x + line.x, y + line.y, line.width, line.height);
        } while (pango_layout_iter_next_line(it));
        pango_layout_iter_free(it);
        cairo_fill(cr);
    }
    SetSourceColor(cr, d->textColor);
    cairo_move_to(cr, x, y);
    pango_cairo_show_layout(cr, layout);
    cairo_destroy(cr);
    if (single && (format & (DT_VCENTER | DT_BOTTOM))) {
        return static_cast<int>(std::clamp(y - rect->top + logical.height, 0.0, 1e9));
    }
    return logical.height;
}

BOOL GetTextExtentPoint32W(HDC dc, LPCWSTR text, int count, SIZE* size) {
    if (!size || !TextArg("GetTextExtentPoint32W", text, &count)) {
        if (!size) Trace("GetTextExtentPoint32W: null size");
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto d = FindDc(dc, "GetTextExtentPoint32W");
    if (!d) return FALSE;
    std::lock_guard<std::recursive_mutex> g(Lock());
    if (d->deleted) {
        Trace("GetTextExtentPoint32W: device context deleted");
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    TextLayout text16(*d->font, WStringView(text ? text : u"", count), false);
    pango_layout_set_single_paragraph_mode(text16.get(), TRUE);
    PangoRectangle logical = text16.Logical();
    size->cx = count == 0 ? 0 : logical.width;
    size->cy = logical.height;
    return TRUE;
}

// Fontconfig keeps its configuration and its match results for the life of the process and
// Pango never hands them back; the leak checker of sanitizer builds is told so here, where
// every program that lays out text links it in.
extern "C" __attribute__((used)) const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
