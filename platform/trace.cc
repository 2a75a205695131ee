#include "platform/trace.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

DWORD GetTickCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

// Lines go to stderr through one sink per process, written by a thread of its own in
// gathered writes: a write to stderr costs more than forming the line, and the busiest
// threads trace several lines per upload. A line waits at most kGatherMs; a crash loses what
// waited. With VANTLO_TRACE_FILE set every line is written at once, to both, as before.
namespace {

constexpr auto kGatherMs = std::chrono::milliseconds(5);
constexpr size_t kWriteAtBytes = 64 * 1024;  // the writer goes at once from here
constexpr size_t kMaxWaiting = 1024 * 1024;  // beyond, the tracing thread writes itself

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

struct Sink {
    std::mutex writing;           // held from taking lines out until they are written
    std::mutex lock;              // guards the fields below
    std::condition_variable due;  // lines wait
    std::string waiting;          // formed lines not yet written
    bool writerRunning = false;   // the writer thread exists (in this process)
};

Sink& TheSink() {
    static Sink* sink = new Sink;  // kept for the life of the process, threads use it at exit
    return *sink;
}

// Writes what waits; with s.writing held, so that lines leave in the order they came.
void WriteWaiting(Sink& s) {
    std::string out;
    {
        std::lock_guard<std::mutex> g(s.lock);
        out.swap(s.waiting);
    }
    WriteAll(STDERR_FILENO, out.data(), out.size());
}

void WriterMain() {
    Sink& s = TheSink();
    for (;;) {
        {
            std::unique_lock<std::mutex> g(s.lock);
            s.due.wait(g, [&] { return !s.waiting.empty(); });
            s.due.wait_for(g, kGatherMs, [&] { return s.waiting.size() >= kWriteAtBytes; });
        }
        std::lock_guard<std::mutex> w(s.writing);
        WriteWaiting(s);
    }
}

void FlushAtExit() {
    Sink& s = TheSink();
    std::lock_guard<std::mutex> w(s.writing);
    WriteWaiting(s);
}

// A forked child has no writer and must not write its parent's lines again.
void ForkPrepare() {
    TheSink().writing.lock();
    TheSink().lock.lock();
}
void ForkParent() {
    TheSink().lock.unlock();
    TheSink().writing.unlock();
}
void ForkChild() {
    Sink& s = TheSink();
    s.waiting.clear();
    s.writerRunning = false;
    // The parent's writer waits on it and does not exist here: a fresh one, as it would
    // otherwise wait for that writer forever.
    new (&s.due) std::condition_variable;
    s.lock.unlock();
    s.writing.unlock();
}

}  // namespace

// The process's sink; engine libraries, which carry their own copy of this code, find the
// program's through the dynamic linker, so that all lines share one order.
extern "C" __attribute__((visibility("default"))) void VantloTraceSinkWrite(const char* line,
                                                                            size_t n) {
    Sink& s = TheSink();
    if (const char* file = getenv("VANTLO_TRACE_FILE"); file && *file) {
        std::lock_guard<std::mutex> w(s.writing);
        WriteWaiting(s);
        WriteAll(STDERR_FILENO, line, n);
        int fd = open(file, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd >= 0) {
            WriteAll(fd, line, n);
            close(fd);
        }
        return;
    }
    bool writeNow = false;
    {
        std::lock_guard<std::mutex> g(s.lock);
        if (!s.writerRunning) {
            static std::once_flag once;
            std::call_once(once, [] {
                atexit(FlushAtExit);
                pthread_atfork(ForkPrepare, ForkParent, ForkChild);
            });
            try {
                std::thread(WriterMain).detach();
                s.writerRunning = true;
            } catch (const std::system_error&) {
                // No thread: every line is written by its own thread.
            }
        }
        const bool wasEmpty = s.waiting.empty();
        s.waiting.append(line, n);
        writeNow = !s.writerRunning || s.waiting.size() > kMaxWaiting;
        if (wasEmpty || s.waiting.size() >= kWriteAtBytes) s.due.notify_one();
    }
    if (writeNow) {
        std::lock_guard<std::mutex> w(s.writing);
        WriteWaiting(s);
    }
}

namespace trace_detail {
namespace {

using SinkWrite = void (*)(const char* line, size_t n);

SinkWrite ProcessSink() {
    static const SinkWrite sink = [] {
        void* found = dlsym(RTLD_DEFAULT, "VantloTraceSinkWrite");
        return found ? reinterpret_cast<SinkWrite>(found) : &VantloTraceSinkWrite;
    }();
    return sink;
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
    ProcessSink()(line.data(), line.size());
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
