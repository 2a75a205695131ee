#include "platform/screen_size.h"

#include <cstdlib>
#include <cstring>

#include "platform/trace.h"

bool ParseScreenSize(const char* text, ScreenSize* size) {
    if (!text || !size) return false;
    char* end = nullptr;
    long w = strtol(text, &end, 10);
    if (end == text || (*end != 'x' && *end != 'X')) return false;
    const char* second = end + 1;
    long h = strtol(second, &end, 10);
    if (end == second || *end != 0) return false;
    if (w < MIN_SCREEN_SIDE || h < MIN_SCREEN_SIDE || w > MAX_SCREEN_SIDE || h > MAX_SCREEN_SIDE)
        return false;
    size->width = static_cast<int>(w);
    size->height = static_cast<int>(h);
    return true;
}

ScreenSize GetScreenSize() {
    static const ScreenSize size = [] {
        ScreenSize s{DEFAULT_SCREEN_WIDTH, DEFAULT_SCREEN_HEIGHT};
        const char* env = getenv("VANTLO_SCREEN");
        if (env && *env && !ParseScreenSize(env, &s)) {
            Trace("screen: VANTLO_SCREEN \"%s\" is not WIDTHxHEIGHT (%d..%d); using %dx%d", env,
                  MIN_SCREEN_SIDE, MAX_SCREEN_SIDE, DEFAULT_SCREEN_WIDTH, DEFAULT_SCREEN_HEIGHT);
            s = {DEFAULT_SCREEN_WIDTH, DEFAULT_SCREEN_HEIGHT};
        }
        return s;
    }();
    return size;
}
