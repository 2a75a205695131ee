#include "ui/fonts.h"

#include "platform/trace.h"

namespace {

constexpr LONG kFontWeight = 400;  // every kind is of normal weight

}  // namespace

HFONT CreateFontByKind(int kind) {
    if (kind < 0 || kind > 3) return nullptr;
    LOGFONTW font{};
    if (!GetObjectW(GetStockObject(SYSTEM_FONT), sizeof(font), &font)) {
        Trace("[Toolkit] the system font cannot be described: no font of kind %d", kind);
        return nullptr;
    }
    // Heights are negative (character heights); the products truncate toward zero.
    if (kind == 0) font.lfHeight = font.lfHeight * 12 / 10;
    if (kind == 3) font.lfHeight = font.lfHeight * 9 / 10;
    font.lfWidth = 0;
    font.lfWeight = kFontWeight;
    return CreateFontIndirectW(&font);
}
