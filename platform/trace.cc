#include "platform/trace.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

DWORD GetTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

namespace trace_detail {
namespace {

void WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            return;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void EmitLine(const char* fmt, va_list ap) {
    char prefix[48];
    int pn =
        snprintf(prefix, sizeof prefix, "[Orbel] [%u] ", static_cast<unsigned>(GetTickCount()));
    std::string line(prefix, pn > 0 ? static_cast<size_t>(pn) : 0);
    va_list ap2;
    va_copy(ap2, ap);
    char buf[512];
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    if (n >= static_cast<int>(sizeof buf)) {
        std::string big(static_cast<size_t>(n) + 1, '\0');
        vsnprintf(big.data(), big.size(), fmt, ap2);
        big.resize(static_cast<size_t>(n));
        line += big;
    } else if (n > 0) {
        line.append(buf, static_cast<size_t>(n));
    }
    va_end(ap2);
    line += '\n';
    // One write per line so that lines of concurrent threads and processes never interleave.
    WriteAll(STDERR_FILENO, line.data(), line.size());
    if (const char* file = getenv("VANTLO_TRACE_FILE"); file && *file) {
        int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            WriteAll(fd, line.data(), line.size());
            close(fd);
        }
    }
}

}  // namespace

void Emit(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    EmitLine(fmt, ap);
    va_end(ap);
}

void EmitV(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    EmitLine(fmt, ap);
    va_end(ap);
}

}  // namespace trace_detail
