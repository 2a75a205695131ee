// The endpoint of this process: its slot and listening socket, its connections to other
// processes, the calls awaiting replies, and the receiving thread that serves them all.
//
// Nothing a peer does can stall the receiving thread: every socket is non-blocking, bytes a
// peer does not read are queued (up to a bound, then the connection is dropped), a frame
// that stops arriving halfway is dropped after kStallMs, and the bytes held for unfinished
// frames over all connections stay within kReadBudget.
#include "platform/ipc_transport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "platform/ipc_host.h"
#include "platform/ipc_os.h"
#include "platform/sync.h"
#include "platform/time.h"
#include "platform/trace.h"
#include "platform/win_internal.h"

namespace ipc {

namespace {

constexpr int kBacklog = 64;
constexpr size_t kMaxInbound = 64;               // connections from other processes at once
constexpr uint64_t kStallMs = 10000;             // an unfinished frame may rest this long
constexpr size_t kReadBudget = 64u << 20;        // unfinished frames over all connections
constexpr size_t kMaxOutQueued = 2 * kMaxFrame;  // bytes queued for a peer that does not read
constexpr size_t kReadChunk = 64 * 1024;         // one recv
constexpr size_t kReadPerWake = 1u << 20;        // per connection and wake-up, for fairness
constexpr uint64_t kConnectRetryMs = 1000;       // a full backlog is retried this long

long SysSend(int fd, const void* buf, size_t n) {
    return send(fd, buf, n, MSG_NOSIGNAL | MSG_DONTWAIT);
}

long SysRecv(int fd, void* buf, size_t n) {
    return recv(fd, buf, n, MSG_DONTWAIT);
}

int SysConnect(int fd, const char* path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    strcpy(addr.sun_path, path);
    return connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

int SysAccept(int listenFd) {
    return accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

const IpcOsCalls kDefaults = {SysSend, SysRecv, SysConnect, SysAccept};

// The peer's process and user, false when the system cannot tell.
bool PeerCredentials(int fd, uint32_t* pid, uint32_t* uid) {
    ucred cred{};
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) return false;
    *pid = static_cast<uint32_t>(cred.pid);
    *uid = static_cast<uint32_t>(cred.uid);
    return true;
}

std::atomic<int> g_signalWriteFd{-1};      // written by the signal handler
std::atomic<uintptr_t> g_signalTarget{0};  // window that gets WM_CLOSE

void OnSignal(int sig) {
    int saved = errno;
    unsigned char b = static_cast<unsigned char>(sig);
    int fd = g_signalWriteFd.load(std::memory_order_relaxed);
    if (fd >= 0 && write(fd, &b, 1) < 0) {
        // The pipe is full: a signal is already on its way.
    }
    errno = saved;
}

}  // namespace

}  // namespace ipc

IpcOsCalls& IpcOs() {
    static IpcOsCalls* table = new IpcOsCalls(ipc::kDefaults);
    return *table;
}

const IpcOsCalls& IpcOsDefaults() {
    return ipc::kDefaults;
}

namespace ipc {

// ---- connections -----------------------------------------------------------------------

class Connection {
  public:
    Connection(int fd, bool inbound, uint32_t slot, uint32_t pid)
        : fd(fd), inbound(inbound), slot(slot), pid(pid) {}
    ~Connection() { close(fd); }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    const int fd;                     // the socket
    const bool inbound;               // accepted: requests come in, replies go out
    const uint32_t slot;              // outbound: the slot it reaches
    const uint32_t pid;               // the process at the other end
    std::atomic<bool> broken{false};  // writes fail; the receiving thread drops it

    // Queues a whole frame and sends what the socket takes now; false when the connection
    // is broken or its peer has left too much unread.
    bool Write(std::vector<uint8_t>&& bytes) {
        std::lock_guard<std::mutex> g(lock_);
        if (broken) return false;
        if (queued_ + bytes.size() > kMaxOutQueued) {
            Trace("[Platform] connection with process %u: %zu bytes already wait unread; dropped",
                  pid, queued_.load());
            Break();
            return false;
        }
        queued_ += bytes.size();
        out_.push_back(std::move(bytes));
        if (!FlushLocked()) {
            Break();
            return false;
        }
        return true;
    }
    // Sends queued bytes the socket takes now; false when the connection broke.
    bool Flush() {
        std::lock_guard<std::mutex> g(lock_);
        if (broken) return false;
        if (!FlushLocked()) {
            Break();
            return false;
        }
        return true;
    }
    bool WantsWrite() const { return queued_.load() > 0; }

    // The receiving thread's own:
    FrameReader reader;           // frames coming in
    uint64_t lastProgressMs = 0;  // when bytes last arrived
    size_t counted = 0;           // its share of the read budget

  private:
    void Break() {
        broken = true;
        shutdown(fd, SHUT_RDWR);  // the receiving thread sees it and drops the connection
    }
    bool FlushLocked() {
        while (!out_.empty()) {
            std::vector<uint8_t>& front = out_.front();
            long n = IpcOs().Send(fd, front.data() + offset_, front.size() - offset_);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
            if (n < 0) return false;
            if (n == 0) return true;  // nothing taken now; the receiving thread tries again
            offset_ += static_cast<size_t>(n);
            queued_ -= static_cast<size_t>(n);
            if (offset_ == front.size()) {
                out_.pop_front();
                offset_ = 0;
            }
        }
        return true;
    }

    std::mutex lock_;
    std::deque<std::vector<uint8_t>> out_;  // whole frames, oldest first
    size_t offset_ = 0;                     // bytes of out_.front() already sent
    std::atomic<size_t> queued_{0};         // bytes in out_ not yet sent
};

namespace {

struct PendingCall {
    EventObject done{true, false};     // set once the fields below are final
    const Connection* conn = nullptr;  // where the reply is due
    uint32_t status = 0;               // from the reply
    int64_t result = 0;                // from the reply
    bool lost = false;                 // the connection went before the reply came
};

struct Endpoint {
    explicit Endpoint(uint32_t pid) : pid(pid) {}
    const uint32_t pid;  // the process it belongs to (a forked child makes its own)

    std::mutex lock;  // guards everything below
    bool dirChecked = false;
    std::string wanted;  // the runtime folder named by the environment when last looked at
    std::string dir;     // that folder checked, "" when unusable
    bool slotTried = false;
    uint32_t slot = 0;                   // our slot, 0 when none
    int lockFd = -1;                     // the slot's lock file, held open
    int listenFd = -1;                   // s<slot>.sock
    bool receiving = false;              // the receiving thread runs
    int wake[2] = {-1, -1};              // a byte on it makes the thread look at its sets again
    int signalReadFd = -1;               // the signal pipe's reading end
    std::vector<int> retired;            // sockets the receiving thread closes at its next turn
    std::map<int, ConnectionRef> conns;  // every connection, by socket
    std::map<uint32_t, ConnectionRef> peers;                 // outbound connections, by slot
    std::map<uint32_t, std::shared_ptr<PendingCall>> calls;  // by call id
    uint32_t nextCallId = 1;
    size_t inbound = 0;   // accepted connections in conns
    size_t readHeld = 0;  // bytes of unfinished frames over all connections
};

std::atomic<Endpoint*> g_endpoint{nullptr};

Endpoint& Ep() {
    const auto pid = static_cast<uint32_t>(GetCurrentProcessId());
    Endpoint* e = g_endpoint.load(std::memory_order_acquire);
    while (!e || e->pid != pid) {
        // First use, or a forked child: it starts afresh and leaves its parent's state alone.
        auto* fresh = new Endpoint(pid);
        if (g_endpoint.compare_exchange_strong(e, fresh, std::memory_order_acq_rel)) {
            e = fresh;
            break;
        }
        delete fresh;
    }
    return *e;
}

void Wake(Endpoint& e) {
    char b = 1;
    if (e.wake[1] >= 0 && write(e.wake[1], &b, 1) < 0) {
        // Full: the thread wakes anyway.
    }
}

DWORD ReceiverMain(LPVOID param);

// Starts the receiving thread once; endpoint lock held.
void StartReceiverLocked(Endpoint& e) {
    if (e.receiving) return;
    if (pipe2(e.wake, O_NONBLOCK | O_CLOEXEC) != 0) {
        Trace("[Platform] cannot start receiving from other processes: pipe: %s", strerror(errno));
        e.wake[0] = e.wake[1] = -1;
        return;
    }
    HANDLE t = CreateThread(nullptr, 0, ReceiverMain, &e, 0, nullptr);
    if (!t) {
        Trace("[Platform] cannot start receiving from other processes: no thread");
        return;
    }
    CloseHandle(t);
    e.receiving = true;
}

void Drop(Endpoint& e, const ConnectionRef& c, const char* why);

// The runtime folder. When the environment names another one (a test case of its own), the
// slot, socket and connections of the previous one are let go first: handles made there
// mean nothing here.
std::string DirOf(Endpoint& e) {
    std::string wanted = RuntimeDirPath();
    std::vector<ConnectionRef> dropped;
    std::string dir;
    {
        std::lock_guard<std::mutex> g(e.lock);
        if (e.dirChecked && wanted == e.wanted) return e.dir;
        if (e.dirChecked) {
            Trace(
                "[Platform] runtime folder changed from %s to %s: windows of this process "
                "made before are out of reach",
                e.wanted.c_str(), wanted.c_str());
            if (e.listenFd >= 0) {
                unlink(SocketPath(e.dir, e.slot).c_str());
                e.retired.push_back(e.listenFd);  // the receiving thread may be polling it
            }
            if (e.lockFd >= 0) close(e.lockFd);
            e.listenFd = e.lockFd = -1;
            e.slot = 0;
            e.slotTried = false;
            for (auto& [fd, c] : e.conns) dropped.push_back(c);
        }
        e.wanted = wanted;
        e.dir = CheckedRuntimeDir();
        e.dirChecked = true;
        dir = e.dir;
    }
    for (auto& c : dropped) Drop(e, c, nullptr);
    Wake(e);
    return dir;
}

void RemoveOwnSocket() {
    Endpoint* e = g_endpoint.load();
    if (!e || e->pid != static_cast<uint32_t>(GetCurrentProcessId())) return;
    std::lock_guard<std::mutex> g(e->lock);
    if (e->listenFd >= 0) unlink(SocketPath(e->dir, e->slot).c_str());
}

// Forgets a connection: pending calls on it fail, its socket closes with its last user.
void Drop(Endpoint& e, const ConnectionRef& c, const char* why) {
    std::vector<std::shared_ptr<PendingCall>> failed;
    {
        std::lock_guard<std::mutex> g(e.lock);
        auto it = e.conns.find(c->fd);
        if (it == e.conns.end() || it->second != c) return;  // dropped already
        e.conns.erase(it);
        if (c->inbound) {
            e.inbound--;
        } else if (auto p = e.peers.find(c->slot); p != e.peers.end() && p->second == c) {
            e.peers.erase(p);
        }
        e.readHeld -= c->counted;
        c->counted = 0;
        for (auto call = e.calls.begin(); call != e.calls.end();) {
            if (call->second->conn == c.get()) {
                failed.push_back(call->second);
                call = e.calls.erase(call);
            } else {
                ++call;
            }
        }
    }
    if (why) {
        Trace("[Platform] connection %s process %u dropped: %s", c->inbound ? "from" : "to", c->pid,
              why);
    }
    c->broken = true;
    shutdown(c->fd, SHUT_RDWR);
    for (auto& call : failed) {
        call->lost = true;
        call->done.Set();
    }
}

void Complete(Endpoint& e, const Connection* c, const Frame& f) {
    std::shared_ptr<PendingCall> call;
    {
        std::lock_guard<std::mutex> g(e.lock);
        auto it = e.calls.find(f.callId);
        if (it == e.calls.end() || it->second->conn != c) return;  // late: its caller gave up
        call = it->second;
        e.calls.erase(it);
    }
    call->status = f.status;
    call->result = f.result;
    call->done.Set();
}

void AcceptAll(Endpoint& e, int listenFd) {
    for (;;) {
        int fd = IpcOs().Accept(listenFd);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                // Out of descriptors, say: a pause keeps this thread from spinning on it.
                Trace("[Platform] accepting a connection failed: %s", strerror(errno));
                Sleep(100);
            }
            return;
        }
        uint32_t pid = 0, uid = 0;
        if (!PeerCredentials(fd, &pid, &uid) || uid != static_cast<uint32_t>(geteuid())) {
            Trace(
                "[Platform] connection from process %u of uid %u refused: only uid %u may "
                "reach our windows",
                pid, uid, static_cast<unsigned>(geteuid()));
            close(fd);
            continue;
        }
        std::lock_guard<std::mutex> g(e.lock);
        if (e.inbound >= kMaxInbound) {
            Trace("[Platform] connection from process %u refused: %zu connections are open", pid,
                  kMaxInbound);
            close(fd);
            continue;
        }
        auto c = std::make_shared<Connection>(fd, true, 0, pid);
        c->lastProgressMs = NowMs();
        e.conns[fd] = c;
        e.inbound++;
    }
}

// Hands a frame on; false when it broke the protocol (the connection is dropped then).
bool Dispatch(Endpoint& e, const ConnectionRef& c, Frame&& f) {
    if (c->inbound) {
        if (!IsRequest(f.kind)) {
            Drop(e, c, "a reply came where only requests may");
            return false;
        }
        HandleRequest(c, std::move(f));
        return true;
    }
    if (f.kind != Kind::Reply) {
        Drop(e, c, "a request came on a connection we opened");
        return false;
    }
    Complete(e, c.get(), f);
    return true;
}

void ReadFrom(Endpoint& e, const ConnectionRef& c) {
    static thread_local uint8_t buf[kReadChunk];
    size_t total = 0;
    while (total < kReadPerWake) {
        long n = IpcOs().Recv(c->fd, buf, sizeof buf);
        if (n == 0) {
            Drop(e, c,
                 c->reader.Pending() ? "it closed the connection in the middle of a frame"
                                     : nullptr);
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            Drop(e, c, strerror(errno));
            return;
        }
        total += static_cast<size_t>(n);
        c->lastProgressMs = NowMs();
        c->reader.Feed(buf, static_cast<size_t>(n));
        for (;;) {
            Frame f;
            std::string why;
            ReadStatus st = c->reader.Next(&f, &why);
            if (st == ReadStatus::NeedMore) break;
            if (st == ReadStatus::Bad) {
                Drop(e, c, ("bad frame: " + why).c_str());
                return;
            }
            if (!Dispatch(e, c, std::move(f))) return;
        }
        bool over;
        {
            std::lock_guard<std::mutex> g(e.lock);
            e.readHeld = e.readHeld - c->counted + c->reader.Pending();
            c->counted = c->reader.Pending();
            over = e.readHeld > kReadBudget;
        }
        if (over) {
            Drop(e, c, "unfinished frames hold more memory than allowed");
            return;
        }
    }
}

void DeliverSignals(int fd) {
    unsigned char sigs[16];
    long n;
    while ((n = read(fd, sigs, sizeof sigs)) > 0) {
        for (long i = 0; i < n; ++i) {
            int sig = sigs[i];
            const char* name = sig == SIGTERM ? "SIGTERM" : sig == SIGINT ? "SIGINT" : "signal";
            auto target = reinterpret_cast<HWND>(g_signalTarget.load());
            if (target && IsLocalWindow(target)) {
                Trace("[Platform] %s: WM_CLOSE posted to window %p", name,
                      static_cast<void*>(target));
                PostMessageW(target, WM_CLOSE, 0, 0);
                continue;
            }
            Trace("[Platform] %s and no window to close: the default action follows", name);
            signal(sig, SIG_DFL);
            kill(getpid(), sig);
        }
    }
}

DWORD ReceiverMain(LPVOID param) {
    Endpoint& e = *static_cast<Endpoint*>(param);
    std::vector<pollfd> fds;
    std::vector<ConnectionRef> polled;
    for (;;) {
        fds.clear();
        polled.clear();
        int signalFd, listenFd;
        {
            std::lock_guard<std::mutex> g(e.lock);
            for (int fd : e.retired) close(fd);
            e.retired.clear();
            signalFd = e.signalReadFd;
            listenFd = e.listenFd;
            for (auto& [fd, c] : e.conns) polled.push_back(c);
        }
        fds.push_back({e.wake[0], POLLIN, 0});
        fds.push_back({signalFd, POLLIN, 0});  // a negative fd is ignored by poll
        fds.push_back({listenFd, POLLIN, 0});
        bool unfinished = false;
        for (auto& c : polled) {
            short events = static_cast<short>(POLLIN | (c->WantsWrite() ? POLLOUT : 0));
            fds.push_back({c->fd, events, 0});
            unfinished = unfinished || c->reader.Pending() > 0;
        }
        int n = poll(fds.data(), fds.size(), unfinished ? 1000 : -1);
        if (n < 0) {
            if (errno != EINTR) {
                Trace("[Platform] receiving thread: poll: %s", strerror(errno));
                Sleep(100);
            }
            continue;
        }
        if (fds[0].revents) {
            char drain[64];
            while (read(e.wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (fds[1].revents) DeliverSignals(signalFd);
        if (fds[2].revents) AcceptAll(e, listenFd);
        for (size_t i = 0; i < polled.size(); ++i) {
            const ConnectionRef& c = polled[i];
            short re = fds[i + 3].revents;
            if ((re & POLLOUT) && !c->Flush()) {
                Drop(e, c, "sending failed");
                continue;
            }
            if (re & (POLLIN | POLLHUP | POLLERR)) ReadFrom(e, c);
            if (c->broken || (re & POLLNVAL)) Drop(e, c, nullptr);
        }
        uint64_t now = NowMs();
        for (auto& c : polled) {
            if (c->reader.Pending() > 0 && now - c->lastProgressMs > kStallMs) {
                Drop(e, c, "a frame stopped arriving halfway");
            }
        }
    }
    return 0;
}

// The connection to the process holding slot, made on first use; null (last error set).
ConnectionRef PeerConnection(Endpoint& e, uint32_t slot) {
    {
        std::lock_guard<std::mutex> g(e.lock);
        auto it = e.peers.find(slot);
        if (it != e.peers.end() && !it->second->broken) return it->second;
    }
    const std::string dir = DirOf(e);
    if (dir.empty()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    std::string path = SocketPath(dir, slot);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Trace("[Platform] cannot reach %s: socket: %s", path.c_str(), strerror(errno));
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const uint64_t deadline = NowMs() + kConnectRetryMs;
    for (;;) {
        if (IpcOs().Connect(fd, path.c_str()) == 0) break;
        int err = errno;
        if (err == EINTR) continue;
        if ((err == EAGAIN || err == EINPROGRESS) && NowMs() < deadline) {
            if (err == EINPROGRESS) {
                pollfd p{fd, POLLOUT, 0};
                poll(&p, 1, static_cast<int>(deadline - NowMs()));
                int soErr = 0;
                socklen_t len = sizeof soErr;
                getsockopt(fd, SOL_SOCKET, SO_ERROR, &soErr, &len);
                if (soErr == 0 && (p.revents & POLLOUT)) break;
            } else {
                Sleep(5);  // its backlog is full: it is busy accepting
            }
            continue;
        }
        close(fd);
        if (err == ENOENT || err == ECONNREFUSED) {
            bool cleared = ClearDeadSlot(dir, slot);
            Trace("[Platform] no process listens on %s (%s)%s", path.c_str(), strerror(err),
                  cleared ? "; its stale socket and window entries are removed" : "");
        } else {
            Trace("[Platform] cannot connect to %s: %s", path.c_str(), strerror(err));
        }
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    uint32_t pid = 0, uid = 0;
    if (!PeerCredentials(fd, &pid, &uid) || uid != static_cast<uint32_t>(geteuid())) {
        Trace("[Platform] %s refused: it is served by uid %u, not by us", path.c_str(), uid);
        close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    auto c = std::make_shared<Connection>(fd, false, slot, pid);
    c->lastProgressMs = NowMs();
    {
        std::lock_guard<std::mutex> g(e.lock);
        auto it = e.peers.find(slot);
        if (it != e.peers.end() && !it->second->broken) return it->second;  // another thread won
        e.peers[slot] = c;
        e.conns[fd] = c;
        StartReceiverLocked(e);
    }
    Wake(e);
    return c;
}

}  // namespace

uint32_t OwnSlot() {
    Endpoint& e = Ep();
    const std::string dir = DirOf(e);
    std::lock_guard<std::mutex> g(e.lock);
    if (e.slotTried || dir != e.dir) return e.slot;
    e.slotTried = true;
    if (dir.empty()) return 0;
    uint32_t slot = AcquireSlot(dir, &e.lockFd);
    if (!slot) return 0;
    e.slot = slot;
    std::string path = SocketPath(dir, slot);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        Trace(
            "[Platform] socket path %s is too long (at most %zu bytes): our windows cannot be "
            "reached from other processes",
            path.c_str(), sizeof addr.sun_path - 1);
        return slot;
    }
    strcpy(addr.sun_path, path.c_str());
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        chmod(path.c_str(), 0600) != 0 || listen(fd, kBacklog) != 0) {
        Trace(
            "[Platform] cannot listen on %s: %s; our windows cannot be reached from other "
            "processes",
            path.c_str(), strerror(errno));
        if (fd >= 0) close(fd);
        return slot;
    }
    e.listenFd = fd;
    StartReceiverLocked(e);
    Wake(e);
    static std::once_flag once;
    std::call_once(once, [] { atexit(RemoveOwnSocket); });
    return slot;
}

uint32_t CurrentSlot() {
    Endpoint& e = Ep();
    std::lock_guard<std::mutex> g(e.lock);
    return e.slot;
}

std::string EndpointDir() {
    return DirOf(Ep());
}

bool Call(uint32_t slot, Frame request, DWORD timeoutMs, bool answerSends, Frame* reply) {
    Endpoint& e = Ep();
    ConnectionRef c = PeerConnection(e, slot);
    if (!c) return false;
    auto call = std::make_shared<PendingCall>();
    call->conn = c.get();
    uint32_t id;
    {
        std::lock_guard<std::mutex> g(e.lock);
        do {
            id = e.nextCallId++;
        } while (id == 0 || e.calls.count(id));
        e.calls[id] = call;
    }
    auto forget = [&] {
        std::lock_guard<std::mutex> g(e.lock);
        e.calls.erase(id);
    };
    request.callId = id;
    std::vector<uint8_t> bytes = Pack(request);
    if (bytes.empty()) {
        forget();
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return false;
    }
    if (!c->Write(std::move(bytes))) {
        forget();
        Wake(e);  // the receiving thread drops the broken connection
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    if (c->WantsWrite()) Wake(e);  // the rest goes out as the peer reads
    DWORD r = WaitAnsweringSends(&call->done, timeoutMs, answerSends);
    forget();
    Waitable* done = &call->done;
    if (r != WAIT_OBJECT_0 && WaitForObjects(1, &done, false, 0) != WAIT_OBJECT_0) {
        SetLastError(ERROR_TIMEOUT);
        return false;
    }
    if (call->lost) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    *reply = Frame{};
    reply->kind = Kind::Reply;
    reply->callId = id;
    reply->status = call->status;
    reply->result = call->result;
    return true;
}

void Reply(const ConnectionRef& conn, uint32_t callId, uint32_t status, int64_t result) {
    Frame f;
    f.kind = Kind::Reply;
    f.callId = callId;
    f.status = status;
    f.result = result;
    bool ok = conn->Write(Pack(f));
    if (!ok || conn->WantsWrite()) Wake(Ep());
}

uint32_t PeerPid(const ConnectionRef& conn) {
    return conn->pid;
}

void RouteSignals(uintptr_t hwnd) {
    Endpoint& e = Ep();
    {
        std::lock_guard<std::mutex> g(e.lock);
        if (e.signalReadFd < 0) {
            int p[2];
            if (pipe2(p, O_NONBLOCK | O_CLOEXEC) != 0) {
                Trace("[Platform] cannot route termination signals: pipe: %s", strerror(errno));
                return;
            }
            e.signalReadFd = p[0];
            g_signalWriteFd = p[1];
        }
        StartReceiverLocked(e);
    }
    Wake(e);
    g_signalTarget = hwnd;
    struct sigaction sa {};
    sa.sa_handler = hwnd ? OnSignal : SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

}  // namespace ipc
