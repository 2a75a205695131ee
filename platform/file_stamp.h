// How long after its last change a file's time stamps tell any later change apart. Stamps
// come from the coarse system clock, which moves in ticks (a few milliseconds); a change in
// the same tick as the one before may leave the stamp as it was. Two ticks after the last
// change, every further change shows. A file system that keeps whole seconds only (or two,
// on FAT) needs more: kCoarseFileStampSettleNs.
#pragma once

#include <time.h>

#include <algorithm>
#include <cstdint>

// For stamps with a nanosecond part.
inline int64_t FileStampSettleNs() {
    static const int64_t settle = [] {
        timespec res{};
        if (clock_getres(CLOCK_REALTIME_COARSE, &res) != 0) return int64_t{50'000'000};
        const int64_t tick = int64_t{res.tv_sec} * 1'000'000'000 + res.tv_nsec;
        return std::max<int64_t>(2 * tick, 2'000'000);
    }();
    return settle;
}

// For stamps of whole seconds.
constexpr int64_t kCoarseFileStampSettleNs = 3'000'000'000;
