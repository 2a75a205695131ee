// The screen service: a Unix socket in the runtime folder taking one-line requests (a
// screenshot, stylus actions, keys, text) and answering each with one line, "ok" or
// "error: <why>"; and the client's side of it. The service thread only copies the
// framebuffer and posts messages, so it never waits for a window's thread.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/display.h"
#include "platform/ipc_host.h"
#include "platform/screen.h"
#include "platform/screen_internal.h"
#include "platform/screen_size.h"
#include "platform/trace.h"

namespace {

constexpr char kSocketName[] = "vantlo-screen.sock";
constexpr size_t kMaxRequest = 4096;  // bytes in one request line, its newline included
constexpr int kIdleClientMs = 5000;   // a client silent this long is let go

struct Service {
    std::mutex lock;                   // over the members below, for start and stop
    std::thread thread;                // runs Serve
    int listenFd = -1;                 // the listening socket
    int wakeFd = -1;                   // eventfd: StopScreenService was called
    std::string path;                  // the socket's path
    std::unique_ptr<Display> display;  // the display back-end in use
};

Service& TheService() {
    static Service* s = new Service;  // outlives static destructors
    return *s;
}

std::string SocketPathIn(const std::string& dir) {
    return dir + "/" + kSocketName;
}

// A socket connected to path, or -1 with errno set.
int ConnectTo(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    int r;
    do {
        r = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    } while (r != 0 && errno == EINTR);
    if (r != 0) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Waits until fd is ready for events or wakeFd (>= 0) is signalled; false on time-out,
// stop or error.
bool WaitFor(int fd, short events, int wakeFd, int timeoutMs) {
    pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    int r;
    do {
        r = poll(fds, wakeFd >= 0 ? 2 : 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0 && !(wakeFd >= 0 && fds[1].revents) && (fds[0].revents & (events | POLLHUP));
}

bool SendAll(int fd, const std::string& bytes, int wakeFd, int timeoutMs) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
        if (!WaitFor(fd, POLLOUT, wakeFd, timeoutMs)) return false;
    }
    return true;
}

// Reads one line (without its newline) into *line; false on time-out, end, error, stop,
// or a line longer than the limit (*tooLong set). buffer keeps what follows the line.
bool ReadLine(int fd, std::string* buffer, std::string* line, int wakeFd, int timeoutMs,
              bool* tooLong) {
    *tooLong = false;
    for (;;) {
        size_t nl = buffer->find('\n');
        if (nl != std::string::npos) {
            *line = buffer->substr(0, nl);
            buffer->erase(0, nl + 1);
            return true;
        }
        if (buffer->size() >= kMaxRequest) {
            *tooLong = true;
            return false;
        }
        if (!WaitFor(fd, POLLIN, wakeFd, timeoutMs)) return false;
        char chunk[1024];
        ssize_t n = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n == 0) return false;
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
            return false;
        }
        buffer->append(chunk, static_cast<size_t>(n));
    }
}

// At most limit bytes of text for a trace or an answer, every byte outside printable ASCII
// shown as '?'.
std::string Printable(const std::string& text, size_t limit = 40) {
    std::string out;
    for (unsigned char c : text.substr(0, limit)) out += c >= 0x20 && c < 0x7F ? char(c) : '?';
    return text.size() > limit ? out + "..." : out;
}

bool ParseCoordinate(const std::string& text, int* out) {
    if (text.empty() || text.size() > 6) return false;
    size_t i = text[0] == '-' ? 1 : 0;
    if (i == text.size()) return false;
    int v = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (text[i] - '0');
    }
    *out = text[0] == '-' ? -v : v;
    return true;
}

std::string StylusRequest(const std::string& command, const std::string& args) {
    const size_t sp = args.find(' ');
    int x = 0;
    int y = 0;
    if (sp == std::string::npos || !ParseCoordinate(args.substr(0, sp), &x) ||
        !ParseCoordinate(args.substr(sp + 1), &y)) {
        return "error: " + command + " wants X Y, two whole numbers";
    }
    const ScreenSize size = GetScreenSize();
    if (x < 0 || y < 0 || x >= size.width || y >= size.height) {
        return "error: (" + std::to_string(x) + ", " + std::to_string(y) + ") is off the " +
               std::to_string(size.width) + "x" + std::to_string(size.height) + " screen";
    }
    bool ok;
    if (command == "tap") {
        ok = ScreenInjectStylus(StylusAction::Press, x, y) &&
             ScreenInjectStylus(StylusAction::Release, x, y);
    } else {
        ok = ScreenInjectStylus(command == "press"  ? StylusAction::Press
                                : command == "move" ? StylusAction::Move
                                                    : StylusAction::Release,
                                x, y);
    }
    return ok ? "ok" : "error: the stylus action was refused";
}

std::string KeyRequest(const std::string& name) {
    ScreenKey key;
    if (!screen::KeyFromName(name, &key))
        return "error: unknown key '" + Printable(name) + "' (" + screen::KeyNames() + ")";
    return ScreenInjectKey(key) ? "ok" : "error: no window takes keys";
}

// The answer to one request line.
std::string Answer(std::string line) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) return "error: empty request";
    for (unsigned char c : line) {
        if (c < 0x20 || c == 0x7F) return "error: the request holds control characters";
    }
    if (ToUtf8(FromUtf8(line)) != line) return "error: the request is not UTF-8 text";
    const size_t sp = line.find(' ');
    const std::string command = line.substr(0, sp);
    const std::string args = sp == std::string::npos ? std::string() : line.substr(sp + 1);
    if (command == "screenshot") {
        if (args.empty() || args[0] != '/') return "error: screenshot wants an absolute file path";
        return ScreenSavePng(args)
                   ? "ok"
                   : "error: cannot write the screenshot to " + Printable(args, 400);
    }
    if (command == "tap" || command == "press" || command == "move" || command == "release")
        return StylusRequest(command, args);
    if (command == "key") return KeyRequest(args);
    if (command == "type") {
        if (args.empty()) return "error: type wants a text";
        return ScreenInjectText(FromUtf8(args).c_str()) ? "ok" : "error: no window takes keys";
    }
    return "error: unknown request '" + Printable(command) +
           "' (screenshot, tap, press, move, release, key, type)";
}

// Answers one client's requests until it goes, falls silent or the service stops.
void ServeClient(int fd, int wakeFd) {
    std::string buffer;
    std::string line;
    bool tooLong = false;
    while (ReadLine(fd, &buffer, &line, wakeFd, kIdleClientMs, &tooLong)) {
        const std::string answer = Answer(line);
        if (answer != "ok") Trace("[Screen] service: \"%s\": %s", Printable(line), answer);
        if (!SendAll(fd, answer + "\n", wakeFd, kIdleClientMs)) return;
    }
    if (tooLong) {
        Trace("[Screen] service: a request longer than %zu bytes refused", kMaxRequest);
        SendAll(fd, "error: request longer than " + std::to_string(kMaxRequest) + " bytes\n",
                wakeFd, kIdleClientMs);
    }
}

void Serve(int listenFd, int wakeFd) {
    for (;;) {
        pollfd fds[2] = {{listenFd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        int r = poll(fds, 2, -1);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 || fds[1].revents) return;
        int fd = accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) continue;
        ServeClient(fd, wakeFd);
        close(fd);
    }
}

// The listening socket at path, or -1 (traced).
int Listen(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) {
        Trace("[Screen] service: socket path %s is too long", path.c_str());
        return -1;
    }
    int live = ConnectTo(path);
    if (live >= 0) {
        close(live);
        Trace("[Screen] service: another process already listens on %s", path.c_str());
        return -1;
    }
    unlink(path.c_str());  // left by a process that died
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        chmod(path.c_str(), 0600) != 0 || listen(fd, 8) != 0) {
        Trace("[Screen] service: cannot listen on %s: %s", path.c_str(), strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

BOOL StartScreenService() {
    Service& s = TheService();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.thread.joinable()) return TRUE;
    screen::Activate();
    if (!s.display) {
        s.display = CreateDisplayFromEnvironment();
        if (!s.display->Start()) {
            Trace("[Screen] the %s display cannot start; the screen runs headless",
                  s.display->Name());
            s.display = CreateHeadlessDisplay();
        }
    }
    const std::string dir = ipc::CheckedRuntimeDir();
    if (dir.empty()) {
        Trace("[Screen] service: no runtime folder; the screen cannot be reached from outside");
        return FALSE;
    }
    s.path = SocketPathIn(dir);
    s.listenFd = Listen(s.path);
    if (s.listenFd < 0) return FALSE;
    s.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (s.wakeFd < 0) {
        Trace("[Screen] service: eventfd: %s", strerror(errno));
        close(s.listenFd);
        unlink(s.path.c_str());
        s.listenFd = -1;
        return FALSE;
    }
    s.thread = std::thread(Serve, s.listenFd, s.wakeFd);
    Trace("[Screen] service listening on %s (display %s)", s.path.c_str(), s.display->Name());
    return TRUE;
}

void StopScreenService() {
    Service& s = TheService();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.thread.joinable()) {
        const uint64_t one = 1;
        if (write(s.wakeFd, &one, sizeof one) != sizeof one)
            Trace("[Screen] service: cannot wake its thread: %s", strerror(errno));
        s.thread.join();
        close(s.listenFd);
        close(s.wakeFd);
        unlink(s.path.c_str());
        s.listenFd = s.wakeFd = -1;
        Trace("[Screen] service stopped");
    }
    if (s.display) {
        s.display->Stop();
        s.display.reset();
    }
}

BOOL ScreenServiceRequest(const std::string& request, std::string* answer, DWORD timeoutMs) {
    const std::string path = SocketPathIn(ipc::RuntimeDirPath());
    const int wait = timeoutMs > 0x7FFFFFFF ? -1 : static_cast<int>(timeoutMs);
    int fd = ConnectTo(path);
    if (fd < 0) {
        *answer = "no screen service listens on " + path + " (" + strerror(errno) + ")";
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    std::string buffer;
    bool tooLong = false;
    const bool ok =
        SendAll(fd, request + "\n", -1, wait) && ReadLine(fd, &buffer, answer, -1, wait, &tooLong);
    close(fd);
    if (!ok) {
        *answer = "no answer from the screen service";
        SetLastError(ERROR_TIMEOUT);
        return FALSE;
    }
    return TRUE;
}
