// Windows across processes. The wire format on its own: frames packed and cut out of a byte
// stream however it is split, every kind of broken stream refused, and the window entry files.
// Then a real peer process (vantlo-ipc-peer) owns a window; this test process finds it, posts
// and sends to it, hands it a reply window of its own, talks to its socket with raw bytes,
// kills it, and shares a named mutex with it.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "platform/ipc.h"
#include "platform/ipc_os.h"
#include "platform/ipc_wire.h"
#include "platform/sync.h"
#include "platform/window.h"
#include "platform/wstr.h"
#include "tests/ipc_peer.h"
#include "tests/support/child_process.h"
#include "tests/support/test_env.h"
#include "tests/support/wait.h"

// Frames below name only the members their kind carries; the others stay zero.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using ipc::Frame;
using ipc::FrameReader;
using ipc::Kind;
using ipc::ReadStatus;

// A frame of kind to window hwnd; the other members zero.
Frame To(Kind kind, uint32_t callId, uint32_t hwnd, uint32_t msg = 0, uint64_t wParam = 0,
         int64_t lParam = 0, uint32_t timeoutMs = 0) {
    return {.kind = kind,
            .callId = callId,
            .hwnd = hwnd,
            .msg = msg,
            .wParam = wParam,
            .lParam = lParam,
            .timeoutMs = timeoutMs};
}

// One frame of every kind, with values that fill their fields.
std::vector<Frame> SampleFrames() {
    const uint64_t all = 0xFFFFFFFFFFFFFFFFull;
    std::vector<Frame> frames = {
        To(Kind::Post, 1, 0x00050004, 2115, all, -2),
        To(Kind::Send, 2, 0x00050004, 2115, all, -2, 10000),
        To(Kind::CopyData, 3, 0x00050004, 0x004A, 0x00060008, 0, 5000),
        To(Kind::CopyData, 4, 0x00050004, 0x004A, 0x00060008, 0, 5000),
        To(Kind::WindowInfo, 5, 0x7FFF0004),
        To(Kind::ShowWindow, 6, 0x00050005),
        To(Kind::SetForeground, 7, 0x7FFF0004),
        {.kind = Kind::Reply, .callId = 8, .status = 1460, .result = -123456789012345ll},
    };
    frames[2].dwData = frames[3].dwData = 2069;
    frames[2].data = {1, 2, 3, 0, 255};
    frames[5].cmd = -3;
    return frames;
}

void ExpectSame(const Frame& a, const Frame& b) {
    auto fields = [](const Frame& f) {
        return std::tie(f.kind, f.callId, f.hwnd, f.msg, f.wParam, f.lParam, f.timeoutMs, f.dwData,
                        f.cmd, f.status, f.result, f.data);
    };
    EXPECT_TRUE(fields(a) == fields(b)) << "frame " << a.callId << " / " << b.callId;
}

// Feeds bytes in pieces of chunk bytes and collects the frames; Bad stops it.
ReadStatus ReadAll(const std::vector<uint8_t>& bytes, size_t chunk, std::vector<Frame>* out,
                   std::string* why) {
    FrameReader r;
    for (size_t at = 0; at < bytes.size(); at += chunk) {
        r.Feed(bytes.data() + at, std::min(chunk, bytes.size() - at));
        for (;;) {
            Frame f;
            ReadStatus st = r.Next(&f, why);
            if (st == ReadStatus::Bad) return st;
            if (st == ReadStatus::NeedMore) break;
            out->push_back(std::move(f));
        }
    }
    return r.Pending() == 0 ? ReadStatus::Frame : ReadStatus::NeedMore;
}

std::vector<uint8_t> RawHeader(uint8_t kind, uint32_t length, uint32_t callId, uint8_t version = 1,
                               uint16_t reserved = 0) {
    const uint8_t lo = reserved & 0xFF, hi = reserved >> 8;
    std::vector<uint8_t> h = {'V', 'N', 'T', 'W', version, kind, lo, hi};
    for (uint32_t v : {length, callId}) {
        for (int i = 0; i < 4; ++i) h.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    return h;
}

std::string Refusal(std::vector<uint8_t> bytes) {
    FrameReader r;
    r.Feed(bytes.data(), bytes.size());
    Frame f;
    std::string why;
    EXPECT_EQ(r.Next(&f, &why), ReadStatus::Bad);
    // Once broken, always broken, whatever comes next.
    auto more = ipc::Pack(SampleFrames()[0]);
    r.Feed(more.data(), more.size());
    std::string again;
    EXPECT_EQ(r.Next(&f, &again), ReadStatus::Bad);
    return why;
}

}  // namespace

TEST(IpcWire, EveryKindCrossesWholeHoweverTheStreamIsCut) {
    std::vector<Frame> frames = SampleFrames();
    std::vector<uint8_t> stream;
    for (const Frame& f : frames) {
        auto bytes = ipc::Pack(f);
        ASSERT_FALSE(bytes.empty());
        stream.insert(stream.end(), bytes.begin(), bytes.end());
    }
    for (size_t chunk : {size_t{1}, size_t{3}, size_t{16}, size_t{17}, stream.size()}) {
        std::vector<Frame> got;
        std::string why;
        EXPECT_EQ(ReadAll(stream, chunk, &got, &why), ReadStatus::Frame) << chunk << " " << why;
        ASSERT_EQ(got.size(), frames.size()) << chunk;
        for (size_t i = 0; i < frames.size(); ++i) ExpectSame(got[i], frames[i]);
    }
}

TEST(IpcWire, TheLayoutIsTheDocumentedOne) {
    // The example of docs/protocol.md, byte for byte.
    const Frame example{.kind = Kind::Post,
                        .callId = 0x51,
                        .hwnd = 0x3C5EC730,
                        .msg = 0x0403,
                        .wParam = 5,
                        .lParam = 6};
    EXPECT_EQ(ipc::Pack(example),
              (std::vector<uint8_t>{0x56, 0x4e, 0x54, 0x57, 0x01, 0x01, 0x00, 0x00, 0x18, 0x00,
                                    0x00, 0x00, 0x51, 0x00, 0x00, 0x00, 0x30, 0xc7, 0x5e, 0x3c,
                                    0x03, 0x04, 0x00, 0x00, 0x05, 0,    0,    0,    0,    0,
                                    0,    0,    0x06, 0,    0,    0,    0,    0,    0,    0}));
    EXPECT_EQ(
        ipc::Pack(Frame{.kind = Kind::Reply, .callId = 0x51, .result = 1}),
        (std::vector<uint8_t>{0x56, 0x4e, 0x54, 0x57, 0x01, 0x07, 0x00, 0x00, 0x10, 0x00, 0x00,
                              0x00, 0x51, 0x00, 0x00, 0x00, 0,    0,    0,    0,    0,    0,
                              0,    0,    0x01, 0,    0,    0,    0,    0,    0,    0}));
}

TEST(IpcWire, CopyDataUpToTheLimitCrossesAndNoMoreIsPacked) {
    Frame copy = SampleFrames()[2];
    copy.data.assign(ipc::kMaxCopyData, 0x5A);
    auto bytes = ipc::Pack(copy);
    ASSERT_EQ(bytes.size(), ipc::kMaxFrame);
    std::vector<Frame> got;
    std::string why;
    EXPECT_EQ(ReadAll(bytes, 65536, &got, &why), ReadStatus::Frame) << why;
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].data.size(), ipc::kMaxCopyData);
    copy.data.push_back(0);
    EXPECT_TRUE(ipc::Pack(copy).empty());
}

TEST(IpcWire, BrokenStreamsAreRefusedAsSoonAsTheyShow) {
    EXPECT_THAT(Refusal({'G'}), HasSubstr("bad magic"));  // one byte suffices
    EXPECT_THAT(Refusal({'V', 'N', 'X'}), HasSubstr("bad magic"));
    EXPECT_THAT(Refusal(RawHeader(1, 24, 1, 2)), HasSubstr("unknown version 2"));
    EXPECT_THAT(Refusal(RawHeader(0, 24, 1)), HasSubstr("unknown frame kind 0"));
    EXPECT_THAT(Refusal(RawHeader(8, 24, 1)), HasSubstr("unknown frame kind 8"));
    EXPECT_THAT(Refusal(RawHeader(1, 24, 1, 1, 5)), HasSubstr("reserved"));
    EXPECT_THAT(Refusal(RawHeader(1, 24, 0)), HasSubstr("call id 0"));
    // Over the limit: refused from the header alone, before any body is waited for.
    EXPECT_THAT(Refusal(RawHeader(3, 0xFFFFFFF0, 1)), HasSubstr("over the limit"));
    EXPECT_THAT(Refusal(RawHeader(3, ipc::kMaxFrame - 15, 1)), HasSubstr("over the limit"));
    EXPECT_THAT(Refusal(RawHeader(1, 23, 1)), HasSubstr("body of 23 bytes"));
    EXPECT_THAT(Refusal(RawHeader(7, 17, 1)), HasSubstr("body of 17 bytes"));
    EXPECT_THAT(Refusal(RawHeader(3, 31, 1)), HasSubstr("body of 31 bytes"));
    // The copy data's own size must agree with its frame.
    auto copy = ipc::Pack(SampleFrames()[2]);
    copy[16 + 24] = 9;
    EXPECT_THAT(Refusal(copy), HasSubstr("does not match"));
    auto reply = ipc::Pack(SampleFrames()[7]);
    reply[16 + 4] = 1;  // its reserved field
    EXPECT_THAT(Refusal(reply), HasSubstr("reserved body field"));
}

TEST(IpcWire, AnUnfinishedFrameHoldsOnlyWhatArrived) {
    FrameReader r;
    auto h = RawHeader(3, static_cast<uint32_t>(ipc::kMaxFrame - 16), 1);
    r.Feed(h.data(), h.size());
    Frame f;
    std::string why;
    EXPECT_EQ(r.Next(&f, &why), ReadStatus::NeedMore);
    EXPECT_EQ(r.Pending(), 16u);
    // After whole frames are taken nothing stays behind.
    auto bytes = ipc::Pack(SampleFrames()[0]);
    FrameReader s;
    for (int i = 0; i < 1000; ++i) {
        s.Feed(bytes.data(), bytes.size());
        ASSERT_EQ(s.Next(&f, &why), ReadStatus::Frame);
    }
    EXPECT_EQ(s.Next(&f, &why), ReadStatus::NeedMore);
    EXPECT_EQ(s.Pending(), 0u);
}

TEST(IpcWire, WindowEntriesRoundTripWithTheirAwkwardCharacters) {
    static const char kTitle[] = "Line\none \\ tab\r and nul \0 end \xC3\xA9";
    ipc::WindowEntry e{0x00050004,          4242,     4097,
                       1718000000123456ull, "VANTLO", std::string(kTitle, sizeof kTitle - 1)};
    std::string text = ipc::FormatEntry(e);
    EXPECT_EQ(text.substr(0, 16), "vantlo-window 1\n");
    EXPECT_THAT(text, HasSubstr("hwnd 0x00050004\n"));
    EXPECT_THAT(text, HasSubstr("title Line\\none \\\\ tab\\r and nul \\0 end \xC3\xA9\n"));
    ipc::WindowEntry back;
    ASSERT_TRUE(ipc::ParseEntry(text, &back));
    EXPECT_EQ(back.hwnd, e.hwnd);
    EXPECT_EQ(back.pid, e.pid);
    EXPECT_EQ(back.thread, e.thread);
    EXPECT_EQ(back.created, e.created);
    EXPECT_EQ(back.cls, e.cls);
    EXPECT_EQ(back.title, e.title);
    // A key of a later revision is ignored; the empty title is a title.
    ASSERT_TRUE(ipc::ParseEntry(
        "vantlo-window 1\nhwnd 0x7fff0004\npid 1\nthread 0\ncreated 0\nclass C\ncolour blue\n"
        "title \n",
        &back));
    EXPECT_EQ(back.title, "");
    EXPECT_EQ(back.hwnd, 0x7FFF0004u);
}

TEST(IpcWire, MalformedWindowEntriesAreRefused) {
    const std::string good =
        "vantlo-window 1\nhwnd 0x00050004\npid 7\nthread 1\ncreated 5\nclass C\ntitle T\n";
    ipc::WindowEntry e;
    ASSERT_TRUE(ipc::ParseEntry(good, &e));
    auto with = [&](const std::string& from, const std::string& to) {
        std::string s = good;
        s.replace(s.find(from), from.size(), to);
        return s;
    };
    for (const std::string& bad : {
             with("vantlo-window 1", "vantlo-window 2"),
             with("hwnd 0x00050004", "hwnd 0x00050005"),    // the owned-windows bit
             with("hwnd 0x00050004", "hwnd 0x00000004"),    // no slot
             with("hwnd 0x00050004", "hwnd 0x80050004"),    // bit 31
             with("hwnd 0x00050004", "hwnd 0x00050000"),    // no index
             with("hwnd 0x00050004", "hwnd 0x1000050004"),  // beyond 32 bits
             with("pid 7", "pid 0"),
             with("pid 7", "pid 2147483648"),
             with("pid 7", "pid -7"),
             with("pid 7", "pid 7x"),
             with("thread 1\n", ""),               // a key missing
             with("class C", "class C\nclass D"),  // a key twice
             with("class C", "class "),            // no class
             with("title T", "title T\\q"),        // unknown escape
             with("title T", "title T\\"),         // escape cut off
             with("created 5", "created 99999999999999999999"),
             good.substr(0, good.size() - 1),  // last line unfinished
             std::string("garbage"),
             std::string(),
             good + std::string(ipc::kMaxEntryFile, 'x') + "\n",
         }) {
        EXPECT_FALSE(ipc::ParseEntry(bad, &e)) << bad;
    }
}

TEST(IpcWire, EntryFileNamesNameTheirWindow) {
    EXPECT_EQ(ipc::EntryFileName(0x0005000C), "w-0005000c.win");
    EXPECT_EQ(ipc::HandleOfEntryFileName("w-0005000c.win"), 0x0005000Cu);
    for (const char* bad :
         {"w-0005000d.win", "w-0000000c.win", "w-0005000c.tmp", "w-0005000c.win.123.tmp",
          "w-5000c.win", "s5.sock", "w-0005000g.win", "w-8005000c.win"}) {
        EXPECT_EQ(ipc::HandleOfEntryFileName(bad), 0u) << bad;
    }
}

namespace {

using Clock = std::chrono::steady_clock;
// Long enough that a wait which should end never reaches it; it only guards against a hang.
constexpr int kWatchdogMs = 20000;

uint32_t Fnv(const std::string& s) {
    uint32_t h = 2166136261u;
    for (unsigned char c : s) h = (h ^ c) * 16777619u;
    return h;
}
HWND Handle(uintptr_t value) {
    return reinterpret_cast<HWND>(value);
}
uint32_t SlotOf(HWND h) {
    return static_cast<uint32_t>((reinterpret_cast<uintptr_t>(h) >> 16) & 0x7FFF);
}
std::string EntryOf(HWND h) {
    char buf[24];
    snprintf(buf, sizeof buf, "/w-%08x.win", static_cast<unsigned>(reinterpret_cast<uintptr_t>(h)));
    return buf;
}

// A peer process and what it said so far.
class Peer {
  public:
    explicit Peer(std::vector<std::string> args) {
        args.insert(args.begin(), BinPath("vantlo-ipc-peer"));
        proc_.Start(args);
    }

    // The next line starting with prefix after those looked at before; "" when none came.
    std::string Expect(const std::string& prefix) {
        for (;;) {
            const std::vector<std::string> lines = proc_.Lines();
            while (seen_ < lines.size()) {
                const std::string& line = lines[seen_++];
                if (line.rfind(prefix, 0) == 0) return line;
            }
            if (!proc_.ReadLines(lines.size() + 1) || proc_.Lines().size() == lines.size()) {
                return "";
            }
        }
    }
    // Reads "ready <hwnd> <pid>"; false when the peer never got so far.
    bool WaitReady() {
        const std::string line = Expect("ready ");
        if (line.empty()) return false;
        char* end = nullptr;
        hwnd = Handle(strtoull(line.c_str() + 6, &end, 16));
        pid = static_cast<pid_t>(strtol(end, nullptr, 10));
        return hwnd && pid > 0;
    }
    void Signal(int sig) { kill(pid, sig); }
    void Kill() { proc_.Kill(); }
    // Its exit code, or 128 + the signal that ended it.
    int Wait() { return proc_.Wait(); }

    HWND hwnd = nullptr;  // its window, once ready
    pid_t pid = 0;        // its process, once ready

  private:
    ChildProcess proc_;
    size_t seen_ = 0;  // lines before it were looked at by Expect
};

// What the test's own reply window received.
struct ReplyLog {
    std::vector<std::string> copies;               // WM_COPYDATA bytes
    std::vector<ULONG_PTR> kinds;                  // their dwData
    std::vector<bool> inSend;                      // InSendMessage while handling each
    std::vector<std::pair<WPARAM, LPARAM>> posts;  // kPeerPostedBack
};
ReplyLog g_reply;

LRESULT ReplyProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    if (msg == WM_COPYDATA) {
        auto* cds = reinterpret_cast<COPYDATASTRUCT*>(lParam);
        g_reply.copies.emplace_back(static_cast<const char*>(cds->lpData), cds->cbData);
        g_reply.kinds.push_back(cds->dwData);
        g_reply.inSend.push_back(InSendMessage() != FALSE);
        return 77;
    }
    if (msg == kPeerPostedBack) {
        g_reply.posts.emplace_back(wParam, lParam);
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wParam, lParam);
}

// A top-level window of this thread, of a class registered once.
HWND MakeWindow(LPCWSTR cls, LPCWSTR title) {
    WNDCLASSW wc{};
    wc.lpfnWndProc = ReplyProc;
    wc.lpszClassName = cls;
    RegisterClassW(&wc);  // fails harmlessly when registered already
    return CreateWindowExW(0, cls, title, 0, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0, nullptr, nullptr,
                           nullptr, nullptr);
}

// A frame header as another client would write it, for frames the packer never makes.
std::string Header(uint8_t kind, uint32_t length, uint32_t callId) {
    const std::vector<uint8_t> h = RawHeader(kind, length, callId);
    return std::string(h.begin(), h.end());
}
// A Post, or a Send with a 5 s time-out, of msg to h as it goes on the wire.
std::string Message(Kind kind, uint32_t callId, HWND h, uint32_t msg, uint64_t wParam,
                    int64_t lParam) {
    const std::vector<uint8_t> bytes =
        ipc::Pack(To(kind, callId, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(h)), msg,
                     wParam, lParam, kind == Kind::Send ? 5000u : 0u));
    return std::string(bytes.begin(), bytes.end());
}

// A raw connection to a process's socket; -1 when it cannot be made.
int RawConnect(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool WriteRaw(int fd, const std::string& bytes) {
    return send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
}

// Reads exactly n bytes within the watchdog; "" when the other side closed or stalled.
std::string ReadRaw(int fd, size_t n) {
    std::string out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWatchdogMs);
    while (out.size() < n && Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char buf[4096];
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - out.size()));
        if (r <= 0) return "";
        out.append(buf, static_cast<size_t>(r));
    }
    return out.size() == n ? out : "";
}

// Whether the other side closes the connection within ms.
bool ClosedByPeer(int fd, int ms = kWatchdogMs) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buf[256];
        if (read(fd, buf, sizeof buf) <= 0) return true;
    }
    return false;
}

uint32_t Le32(const std::string& s, size_t at) {
    uint32_t v;
    memcpy(&v, s.data() + at, 4);
    return v;
}

class IpcTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        UseTraceFile();
        g_reply = ReplyLog{};
    }

    std::string PeerTrace(const std::string& name) const { return base_ + "/" + name + ".trace"; }
    std::string Socket(HWND h) const {
        return runtime_ + "/s" + std::to_string(SlotOf(h)) + ".sock";
    }

    // A peer owning a window of class cls, its trace in PeerTrace(name); more holds
    // VAR=value settings and "--signals". Its hwnd stays null when it did not start.
    std::unique_ptr<Peer> StartPeer(const std::string& cls = "IpcPeer",
                                    const std::string& title = "Peer",
                                    const std::string& name = "peer",
                                    const std::vector<std::string>& more = {}) {
        std::vector<std::string> args{"VANTLO_TRACE_FILE=" + PeerTrace(name)};
        std::vector<std::string> flags;
        for (const std::string& m : more)
            (m.find('=') != std::string::npos ? args : flags).push_back(m);
        args.insert(args.end(), {"window", cls, title});
        args.insert(args.end(), flags.begin(), flags.end());
        auto p = std::make_unique<Peer>(args);
        p->WaitReady();
        return p;
    }
};

}  // namespace

// ---- finding ---------------------------------------------------------------------------

// A process may reuse its last listing of the runtime folder while the folder stands still:
// a window published or gone since must be seen all the same.
TEST_F(IpcTest, ALookupSeesAWindowPublishedOrGoneSinceTheLastOne) {
    // The folder has stood still long enough for its listing to be kept.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_EQ(FindWindowW(u"IpcLate", nullptr), nullptr);
    ASSERT_EQ(FindWindowW(u"IpcLate", nullptr), nullptr);
    auto late = StartPeer("IpcLate", "Late", "late", {"--signals"});
    ASSERT_NE(late->hwnd, nullptr);
    EXPECT_EQ(FindWindowW(u"IpcLate", nullptr), late->hwnd);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(FindWindowW(u"IpcLate", nullptr), late->hwnd);
    late->Signal(SIGTERM);  // it closes its window and ends
    EXPECT_EQ(late->Wait(), 0);
    EXPECT_EQ(FindWindowW(u"IpcLate", nullptr), nullptr);
}

TEST_F(IpcTest, AnotherProcesssWindowsAreFoundAndHandlesThatNameNoWindowFailAtOnce) {
    auto p1 = StartPeer("IpcPeer", "Peer One", "one");
    const HWND one = p1->hwnd;
    ASSERT_NE(one, nullptr);
    EXPECT_EQ(FindWindowW(u"IpcPeer", nullptr), one);
    EXPECT_EQ(FindWindowW(u"ipcpeer", u"PEER ONE"), one);  // without regard to case
    EXPECT_EQ(FindWindowW(nullptr, u"Peer One"), one);
    EXPECT_EQ(FindWindowW(u"IpcPeer", u"Peer Two"), nullptr);
    EXPECT_EQ(FindWindowW(u"NoSuchClass", nullptr), nullptr);
    EXPECT_TRUE(IsWindow(one));
    DWORD pid = 0;
    EXPECT_NE(GetWindowThreadProcessId(one, &pid), 0u);
    EXPECT_EQ(pid, static_cast<DWORD>(p1->pid));

    // The newest window of a class comes first; its title tells the two apart.
    auto p2 = StartPeer("IpcPeer", "Peer Two", "two");
    const HWND two = p2->hwnd;
    ASSERT_NE(two, nullptr);
    EXPECT_NE(SlotOf(one), SlotOf(two));
    EXPECT_EQ(FindWindowW(u"IpcPeer", nullptr), two);
    EXPECT_EQ(FindWindowW(u"IpcPeer", u"Peer One"), one);

    // A window of this process is found before those of others; once destroyed it is not
    // looked for elsewhere.
    HWND mine = MakeWindow(u"IpcPeer", u"Mine");
    ASSERT_NE(mine, nullptr);
    EXPECT_EQ(FindWindowW(u"IpcPeer", nullptr), mine);
    EXPECT_EQ(FindWindowW(u"IpcPeer", u"Peer One"), one);
    DestroyWindow(mine);
    EXPECT_FALSE(IsWindow(mine));
    EXPECT_EQ(SendMessageW(mine, kPeerDouble, 1, 0), 0);

    // A window closed by its process is found no more.
    EXPECT_TRUE(PostMessageW(one, WM_CLOSE, 0, 0));
    EXPECT_EQ(p1->Wait(), 0);
    EXPECT_EQ(FindWindowW(u"IpcPeer", u"Peer One"), nullptr);
    EXPECT_EQ(FindWindowW(u"IpcPeer", nullptr), two);
    EXPECT_FALSE(IsWindow(one));

    // The peer's process but no window of it; a slot nobody holds; not a handle at all.
    for (HWND h :
         {Handle(reinterpret_cast<uintptr_t>(two) ^ 0x4), Handle(0x7FF00004), Handle(0x80001234)}) {
        SetLastError(0);
        EXPECT_EQ(Err(SendMessageW(h, kPeerDouble, 1, 0)), ERROR_INVALID_WINDOW_HANDLE);
        EXPECT_EQ(Err(PostMessageW(h, kPeerRecord, 1, 0)), ERROR_INVALID_WINDOW_HANDLE);
        EXPECT_FALSE(IsWindow(h));
        EXPECT_EQ(GetWindowThreadProcessId(h, nullptr), 0u);
    }
    EXPECT_EQ(SendMessageW(two, kPeerDouble, 1, 0), 2);
}

// ---- posting and sending ---------------------------------------------------------------

TEST_F(IpcTest, PostsKeepTheirOrderAndSendsFromAnyThreadGetTheirOwnAnswersAndBytes) {
    auto p = StartPeer();
    const HWND peer = p->hwnd;
    ASSERT_NE(peer, nullptr);
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(PostMessageW(peer, kPeerRecord, static_cast<WPARAM>(i), -i)) << i;
    }
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(p->Expect("posted "), "posted " + std::to_string(i) + " " + std::to_string(-i));
    }
    DWORD_PTR result = 0;
    EXPECT_TRUE(
        SendMessageTimeoutW(peer, kPeerDouble, 1000000000000ull, -7, SMTO_NORMAL, 5000, &result));
    EXPECT_EQ(static_cast<LRESULT>(result), 1999999999993ll);  // 64-bit parameters cross whole
    // Messages with a pointer in lParam cannot cross; a null one is just a value.
    SetLastError(0);
    EXPECT_EQ(Err(SendMessageW(peer, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(u"x"))),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Err(PostMessageW(peer, WM_TIMER, 1, 0x1234)), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(Err(PostMessageW(peer, WM_COPYDATA, 0, 0)), ERROR_MESSAGE_SYNC_ONLY);
    EXPECT_TRUE(PostMessageW(peer, kPeerRecord, 7, 0));
    EXPECT_EQ(p->Expect("posted "), "posted 7 0");

    // Senders on eight threads at once each get their own answers.
    static std::atomic<int> wrong{0};
    static HWND s_peer;
    s_peer = peer;
    std::vector<HANDLE> threads;
    for (uintptr_t t = 0; t < 8; ++t) {
        threads.push_back(CreateThread(
            nullptr, 0,
            [](LPVOID param) -> DWORD {
                const int base = static_cast<int>(reinterpret_cast<uintptr_t>(param)) * 1000;
                for (int i = base; i < base + 50; ++i) {
                    if (SendMessageW(s_peer, kPeerDouble, static_cast<WPARAM>(i), 1) != 2 * i + 1)
                        ++wrong;
                }
                return 0;
            },
            reinterpret_cast<LPVOID>(t), 0, nullptr));
    }
    EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(threads.size()), threads.data(), TRUE,
                                     kWatchdogMs),
              WAIT_OBJECT_0);
    for (HANDLE t : threads) CloseHandle(t);
    EXPECT_EQ(wrong.load(), 0);

    // WM_COPYDATA: empty, one byte, three path slots, and the multi-status block of 10000
    // records arrive intact; too big to cross is refused before anything leaves.
    for (size_t size : {size_t{0}, size_t{1}, size_t{1560}, size_t{5240000}}) {
        std::string data(size, '\0');
        for (size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + size) & 0xFF);
        COPYDATASTRUCT cds{2069, static_cast<DWORD>(size), size ? data.data() : nullptr};
        LRESULT hash = SendMessageW(peer, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds));
        EXPECT_EQ(static_cast<uint32_t>(hash), Fnv(data)) << size;
        char expected[64];
        snprintf(expected, sizeof expected, "copydata 2069 %zu %08x", size, Fnv(data));
        EXPECT_EQ(p->Expect("copydata "), expected);
    }
    std::string huge(ipc::kMaxCopyData + 1, 'x');
    COPYDATASTRUCT big{1, static_cast<DWORD>(huge.size()), huge.data()};
    SetLastError(0);
    EXPECT_EQ(Err(SendMessageW(peer, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&big))),
              ERROR_NOT_ENOUGH_QUOTA);
    EXPECT_EQ(SendMessageW(peer, kPeerDouble, 4, 0), 8);

    // ShowWindow and SetForegroundWindow reach the other process.
    EXPECT_FALSE(ShowWindow(peer, SW_SHOW));  // it was hidden
    EXPECT_EQ(p->Expect("show "), "show 1");
    EXPECT_TRUE(SetForegroundWindow(Handle(reinterpret_cast<uintptr_t>(peer) | 1)));
    EXPECT_EQ(p->Expect("activate "), "activate 1");
    EXPECT_TRUE(ShowWindow(peer, SW_HIDE));
    EXPECT_EQ(p->Expect("show "), "show 0");

    // A reply window in wParam is answered during the send: the peer's answer reaches our
    // window before our own send returns.
    HWND reply = MakeWindow(u"IpcReply", u"Reply");
    ASSERT_NE(reply, nullptr);
    std::string query = "status of \\My Documents\\clip.mp4";
    COPYDATASTRUCT cds{2069, static_cast<DWORD>(query.size()), query.data()};
    LRESULT r = SendMessageW(peer, WM_COPYDATA, reinterpret_cast<WPARAM>(reply),
                             reinterpret_cast<LPARAM>(&cds));
    EXPECT_EQ(static_cast<uint32_t>(r), Fnv(query));
    ASSERT_EQ(g_reply.copies.size(), 1u);
    EXPECT_EQ(g_reply.copies[0], std::string(query.rbegin(), query.rend()));
    EXPECT_EQ(g_reply.kinds[0], 2070u);
    EXPECT_TRUE(g_reply.inSend[0]);
    EXPECT_EQ(p->Expect("nested "), "nested 1 77");
    // The handle works for posts from the other side too, and for IsWindow there.
    EXPECT_TRUE(PostMessageW(peer, kPeerPostBack, reinterpret_cast<WPARAM>(reply), 9));
    ASSERT_TRUE(PumpUntil([] { return !g_reply.posts.empty(); }));
    EXPECT_EQ(g_reply.posts[0].first, 9u);
    EXPECT_EQ(g_reply.posts[0].second, static_cast<LPARAM>(p->pid));
    EXPECT_EQ(SendMessageW(peer, kPeerIsWindow, reinterpret_cast<WPARAM>(reply), 0), TRUE);
    DestroyWindow(reply);
    EXPECT_EQ(SendMessageW(peer, kPeerIsWindow, reinterpret_cast<WPARAM>(reply), 0), FALSE);
    // A send back to a window that is gone fails there and costs nothing here.
    SendMessageW(peer, WM_COPYDATA, reinterpret_cast<WPARAM>(reply),
                 reinterpret_cast<LPARAM>(&cds));
    EXPECT_EQ(p->Expect("nested "), "nested 0 0");
}

TEST_F(IpcTest, FramesSurviveOneByteReadsAndWrites) {
    auto p = StartPeer();
    const HWND peer = p->hwnd;
    ASSERT_NE(peer, nullptr);
    // Our side sends and receives one byte per call, with EINTR and EAGAIN in between; the
    // table changes before our receiving thread starts and after it went quiet.
    struct Restore {
        ~Restore() { IpcOs() = IpcOsDefaults(); }
    } restore;
    static std::atomic<int> calls{0};
    IpcOs().Send = [](int fd, const void* buf, size_t n) -> long {
        int c = calls++;
        if (c % 3 == 1) {
            errno = c % 2 ? EAGAIN : EINTR;
            return -1;
        }
        return IpcOsDefaults().Send(fd, buf, n ? 1 : 0);
    };
    IpcOs().Recv = [](int fd, void* buf, size_t n) -> long {
        return IpcOsDefaults().Recv(fd, buf, n ? 1 : 0);
    };
    HWND reply = MakeWindow(u"IpcReply", u"Reply");
    ASSERT_NE(reply, nullptr);
    std::string data(65536, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13);
    COPYDATASTRUCT cds{5, static_cast<DWORD>(data.size()), data.data()};
    LRESULT r = SendMessageW(peer, WM_COPYDATA, reinterpret_cast<WPARAM>(reply),
                             reinterpret_cast<LPARAM>(&cds));
    EXPECT_EQ(SendMessageW(peer, kPeerDouble, 8, 0), 16);
    EXPECT_EQ(static_cast<uint32_t>(r), Fnv(data));
    ASSERT_EQ(g_reply.copies.size(), 1u);
    EXPECT_EQ(g_reply.copies[0], std::string(data.rbegin(), data.rend()));
    EXPECT_GT(calls.load(), 65536);
}

// ---- failures --------------------------------------------------------------------------

TEST_F(IpcTest, SendMessageTimeoutToAHungWindowReturnsAfterItsTimeOut) {
    auto p = StartPeer();
    const HWND peer = p->hwnd;
    ASSERT_NE(peer, nullptr);
    DWORD_PTR result = 0;
    auto start = Clock::now();
    SetLastError(0);
    EXPECT_EQ(Err(SendMessageTimeoutW(peer, kPeerHang, 0, 60000, SMTO_NORMAL, 500, &result)),
              ERROR_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(500));
    ASSERT_EQ(p->Expect("hanging"), "hanging");
    // Its window thread sleeps, yet its process still takes posts and answers questions.
    EXPECT_TRUE(PostMessageW(peer, kPeerRecord, 1, 2));
    EXPECT_TRUE(IsWindow(peer));
    // A send queued behind the hung one times out too, and is withdrawn.
    SetLastError(0);
    EXPECT_EQ(Err(SendMessageTimeoutW(peer, kPeerDouble, 1, 0, SMTO_BLOCK, 300, &result)),
              ERROR_TIMEOUT);
    EXPECT_TRUE(trace_.Contains("no answer within 300 ms"));
}

TEST_F(IpcTest, APeerKilledDuringASendFailsTheSendAtOnce) {
    auto p = StartPeer();
    ASSERT_NE(p->hwnd, nullptr);
    struct Ctx {
        HWND peer;
        LRESULT ok = -1;
        DWORD err = 0;
    } ctx{p->hwnd};
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID param) -> DWORD {
            auto* c = static_cast<Ctx*>(param);
            DWORD_PTR r = 0;
            c->ok = SendMessageTimeoutW(c->peer, kPeerHang, 0, 60000, SMTO_NORMAL, 60000, &r);
            c->err = GetLastError();
            return 0;
        },
        &ctx, 0, nullptr);
    ASSERT_EQ(p->Expect("hanging"), "hanging");
    p->Kill();
    p->Wait();
    ASSERT_EQ(WaitForSingleObject(t, kWatchdogMs), WAIT_OBJECT_0);
    CloseHandle(t);
    EXPECT_EQ(ctx.ok, 0);
    // Not a time-out: the closed connection told the sender.
    EXPECT_EQ(ctx.err, ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(IsWindow(p->hwnd));
    EXPECT_EQ(FindWindowW(u"IpcPeer", nullptr), nullptr);
}

TEST_F(IpcTest, StaleEntriesAndSocketsAreSkippedAndRemoved) {
    auto a = StartPeer("IpcStale", "A", "a");
    const HWND dead = a->hwnd;
    ASSERT_NE(dead, nullptr);
    a->Kill();
    a->Wait();
    // A crash leaves its files behind. Next to them: a hand-made entry of a slot nobody
    // holds, newer than everything, with a socket file nobody listens on; and an entry that
    // is not one.
    const std::vector<std::string> stale = {runtime_ + EntryOf(dead), Socket(dead),
                                            runtime_ + "/w-004d0004.win", runtime_ + "/s77.sock",
                                            runtime_ + "/w-004e0004.win"};
    ASSERT_TRUE(HostFileExists(stale[0]));
    ASSERT_TRUE(HostFileExists(stale[1]));
    int s = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, stale[3].c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(s);
    const ipc::WindowEntry ghost{0x004D0004, 999999, 1, UINT64_MAX, "IpcStale", "Ghost"};
    WriteHostFile(stale[2], ipc::FormatEntry(ghost));
    WriteHostFile(stale[4], "not an entry\n");
    chmod(stale[2].c_str(), 0600);
    chmod(stale[4].c_str(), 0600);

    EXPECT_EQ(FindWindowW(u"IpcStale", nullptr), nullptr);
    for (const std::string& f : stale) EXPECT_FALSE(HostFileExists(f)) << f;
    std::string trace = trace_.Text();
    EXPECT_THAT(trace,
                HasSubstr("(IpcStale \"A\") of process " + std::to_string(a->pid) + " is gone"));
    EXPECT_THAT(trace, HasSubstr("malformed window entry w-004e0004.win removed"));
    // A message to the dead window fails at once.
    SetLastError(0);
    EXPECT_EQ(Err(SendMessageW(dead, kPeerDouble, 1, 0)), ERROR_INVALID_WINDOW_HANDLE);

    // A live window of the class is found past stale ones.
    auto b = StartPeer("IpcStale", "B", "b");
    ASSERT_NE(b->hwnd, nullptr);
    WriteHostFile(stale[2], ipc::FormatEntry(ghost));
    EXPECT_EQ(FindWindowW(u"IpcStale", nullptr), b->hwnd);
    EXPECT_EQ(SendMessageW(b->hwnd, kPeerDouble, 2, 1), 5);
}

TEST_F(IpcTest, BadFramesAndConnectionsBeyondTheLimitsCostTheReceiverOnlyATrace) {
    auto p = StartPeer();
    const HWND peer = p->hwnd;
    ASSERT_NE(peer, nullptr);
    const std::string sock = Socket(peer);
    // Garbage, a header announcing more than may come (no body follows), an unknown kind,
    // and a reply where only requests may come: each connection is closed.
    for (const std::string& bad :
         {std::string("GET / HTTP/1.0\r\n\r\n"), Header(3, 0x7FFFFFF0, 1),
          Header(99, 4, 1) + std::string(4, '\0'), Header(7, 16, 1) + std::string(16, '\0')}) {
        int fd = RawConnect(sock);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(WriteRaw(fd, bad));
        EXPECT_TRUE(ClosedByPeer(fd)) << bad;
        close(fd);
    }
    // Half a frame on an open connection blocks nobody; its end costs a trace.
    int half = RawConnect(sock);
    ASSERT_GE(half, 0);
    EXPECT_TRUE(WriteRaw(half, Message(ipc::Kind::Post, 1, peer, kPeerRecord, 5, 6).substr(0, 26)));
    EXPECT_EQ(SendMessageW(peer, kPeerDouble, 3, 0), 6);
    close(half);

    // A well-formed request written one byte at a time gets its reply, read here by hand.
    int raw = RawConnect(sock);
    ASSERT_GE(raw, 0);
    const std::string post = Message(ipc::Kind::Post, 0x51, peer, kPeerRecord, 5, 6);
    for (char c : post) ASSERT_TRUE(WriteRaw(raw, std::string(1, c)));
    std::string reply = ReadRaw(raw, 32);
    ASSERT_EQ(reply.size(), 32u);
    EXPECT_EQ(reply.substr(0, 4), "VNTW");
    EXPECT_EQ(reply[4], 1);  // version
    EXPECT_EQ(reply[5], 7);  // a reply
    EXPECT_EQ(Le32(reply, 8), 16u);
    EXPECT_EQ(Le32(reply, 12), 0x51u);
    EXPECT_EQ(Le32(reply, 16), 0u);  // status
    EXPECT_EQ(Le32(reply, 24), 1u);  // PostMessage's TRUE
    EXPECT_EQ(p->Expect("posted "), "posted 5 6");
    // A pointer it cannot have is refused, not followed; a window it does not have is none.
    const HWND missing = Handle(reinterpret_cast<uintptr_t>(peer) ^ 0x4);
    for (const auto& [callId, h, msg, lParam, status] :
         {std::tuple{0x52u, peer, UINT{WM_SETTEXT}, LPARAM{0x1234}, DWORD{ERROR_INVALID_PARAMETER}},
          std::tuple{0x53u, missing, kPeerDouble, LPARAM{0}, DWORD{ERROR_INVALID_WINDOW_HANDLE}}}) {
        ASSERT_TRUE(WriteRaw(raw, Message(ipc::Kind::Send, callId, h, msg, 1, lParam)));
        reply = ReadRaw(raw, 32);
        ASSERT_EQ(reply.size(), 32u);
        EXPECT_EQ(Le32(reply, 12), callId);
        EXPECT_EQ(Le32(reply, 16), status);
    }
    close(raw);

    // It serves on, and said what happened.
    EXPECT_EQ(SendMessageW(peer, kPeerDouble, 10, 1), 21);
    EXPECT_TRUE(PostMessageW(peer, WM_CLOSE, 0, 0));
    EXPECT_EQ(p->Wait(), 0);
    const std::string trace = ReadHostFile(PeerTrace("peer"));
    for (const char* line :
         {"bad frame: bad magic number", "is over the limit", "unknown frame kind 99",
          "a reply came where only requests may", "in the middle of a frame",
          "refused: its lParam would be a pointer", "no such window here"}) {
        EXPECT_THAT(trace, HasSubstr(line));
    }

    // 64 connections at a time; the ones after them are closed at once. Unfinished frames
    // may hold 64 MiB in all: the connection that goes beyond is dropped. (Each limit on a
    // peer of its own, which has seen no connection go before.)
    auto many = StartPeer("IpcPeer", "Many", "many");
    auto big = StartPeer("IpcPeer", "Big", "big");
    ASSERT_NE(many->hwnd, nullptr);
    ASSERT_NE(big->hwnd, nullptr);
    std::vector<int> conns;
    for (int i = 0; i < 70; ++i) {
        conns.push_back(RawConnect(Socket(many->hwnd)));
        ASSERT_GE(conns.back(), 0) << i;
    }
    for (int i = 64; i < 70; ++i) EXPECT_TRUE(ClosedByPeer(conns[i])) << i;
    const std::string part = Header(3, ipc::kMaxFrame - 16, 1) + std::string(7u << 20, 'x');
    int dropped = -1;
    for (int i = 0; i < 12 && dropped < 0; ++i) {
        int fd = RawConnect(Socket(big->hwnd));
        ASSERT_GE(fd, 0);
        conns.push_back(fd);
        size_t sent = 0;
        while (sent < part.size()) {
            ssize_t n = send(fd, part.data() + sent, part.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<size_t>(n);
        }
        if (sent < part.size() || ClosedByPeer(fd, 200)) dropped = i;
    }
    EXPECT_EQ(dropped, 9);  // ten times 7 MiB is more than 64 MiB
    for (int fd : conns) close(fd);
    EXPECT_EQ(SendMessageW(big->hwnd, kPeerDouble, 5, 0), 10);
    EXPECT_THAT(ReadHostFile(PeerTrace("many")), HasSubstr("connections are open"));
    EXPECT_THAT(ReadHostFile(PeerTrace("big")),
                HasSubstr("unfinished frames hold more memory than allowed"));
}

// ---- who may reach us ------------------------------------------------------------------

TEST_F(IpcTest, TheRuntimeFolderAndItsFilesAreForTheirUserOnly) {
    auto p = StartPeer();
    const HWND peer = p->hwnd;
    ASSERT_NE(peer, nullptr);
    auto mode = [](const std::string& path) {
        struct stat st {};
        EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
        return st.st_mode;
    };
    const std::string lock = runtime_ + "/s" + std::to_string(SlotOf(peer)) + ".lock";
    EXPECT_EQ(mode(runtime_) & 07777, 0700u);
    EXPECT_TRUE(S_ISSOCK(mode(Socket(peer))));
    for (const std::string& f : {Socket(peer), lock, runtime_ + EntryOf(peer)}) {
        EXPECT_EQ(mode(f) & 0777, 0600u) << f;
    }

    // A folder of ours left open to others is closed before use.
    const std::string loose = base_ + "/loose";
    ASSERT_EQ(mkdir(loose.c_str(), 0700), 0);
    ASSERT_EQ(chmod(loose.c_str(), 0755), 0);
    auto q = StartPeer("IpcLoose", "Loose", "loose", {"VANTLO_RUNTIME_DIR=" + loose});
    ASSERT_NE(q->hwnd, nullptr);
    EXPECT_EQ(mode(loose) & 07777, 0700u);
    EXPECT_THAT(ReadHostFile(PeerTrace("loose")), HasSubstr("had mode 0755; set to 0700"));
    EXPECT_TRUE(HostFileExists(loose + EntryOf(q->hwnd)));

    if (geteuid() != 0) GTEST_SKIP() << "another user's folder and socket need root to set up";
    // A folder of another user is refused: nothing of ours goes into it.
    const std::string foreign = base_ + "/foreign";
    ASSERT_EQ(mkdir(foreign.c_str(), 0700), 0);
    ASSERT_EQ(chown(foreign.c_str(), 65534, 65534), 0);
    auto f = StartPeer("IpcForeign", "Foreign", "foreign", {"VANTLO_RUNTIME_DIR=" + foreign});
    ASSERT_NE(f->hwnd, nullptr);  // it runs, unreachable
    EXPECT_THAT(ReadHostFile(PeerTrace("foreign")), HasSubstr("belongs to uid 65534, not to us"));
    EXPECT_TRUE(std::filesystem::is_empty(foreign));

    // A process of another user that reaches the socket anyway is turned away.
    const std::string sock = Socket(peer);
    const std::string post = Message(ipc::Kind::Post, 1, peer, kPeerRecord, 1, 1);
    pid_t child = fork();
    if (child == 0) {
        // Another user, who keeps just enough privilege to open the path.
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 0) != 0 ||
            setresuid(65534, 65534, 0) != 0)
            _exit(3);
        setfsuid(0);
        int fd = RawConnect(sock);
        if (fd < 0) _exit(4);
        WriteRaw(fd, post);
        _exit(ClosedByPeer(fd) ? 0 : 5);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_THAT(ReadHostFile(PeerTrace("peer")), HasSubstr("of uid 65534 refused"));
    EXPECT_EQ(SendMessageW(peer, kPeerDouble, 1, 1), 3);
}

// ---- named mutex and signals -----------------------------------------------------------

TEST_F(IpcTest, ANamedMutexIsSharedWithOtherProcesses) {
    const std::string name = "{900A9DF7-04ED-49a1-90AA-83F1B7B8B04C}";
    auto mutexPeer = [&](const char* waitMs, const char* holdMs) {
        return std::make_unique<Peer>(std::vector<std::string>{
            "VANTLO_TRACE_FILE=" + PeerTrace("mutex"), "mutex", name, waitMs, holdMs});
    };
    HANDLE m = CreateMutexW(nullptr, TRUE, FromUtf8(name).c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // nobody had it

    // It exists there, and we own it.
    auto p = mutexPeer("300", "0");
    EXPECT_EQ(p->Expect("existed"), "existed 1");
    EXPECT_EQ(p->Expect("timeout"), "timeout");
    EXPECT_EQ(p->Wait(), 0);
    // Once we let go, the waiting process owns it; while it does, we cannot; an owner that
    // dies lets go of it.
    p = mutexPeer("20000", "60000");
    EXPECT_EQ(p->Expect("existed"), "existed 1");
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_EQ(p->Expect("owned"), "owned");
    EXPECT_EQ(WaitForSingleObject(m, 100), WAIT_TIMEOUT);
    p->Kill();
    p->Wait();
    EXPECT_EQ(WaitForSingleObject(m, kWatchdogMs), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));

    // Case does not matter in its name, here or there.
    HANDLE again = CreateMutexW(nullptr, FALSE, u"{900a9df7-04ed-49A1-90aa-83f1b7b8b04c}");
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(again);
    CloseHandle(m);
    // Closed here, it exists nowhere.
    p = mutexPeer("1000", "0");
    EXPECT_EQ(p->Expect("existed"), "existed 0");
    EXPECT_EQ(p->Expect("owned"), "owned");
    EXPECT_EQ(p->Wait(), 0);
}

TEST_F(IpcTest, SigtermAndSigintArriveAsWmCloseToTheWindow) {
    for (int sig : {SIGTERM, SIGINT}) {
        const std::string name = "sig" + std::to_string(sig);
        auto p = StartPeer("IpcPeer", "Peer", name, {"--signals"});
        ASSERT_NE(p->hwnd, nullptr);
        p->Signal(sig);
        EXPECT_EQ(p->Expect("close"), "close");
        EXPECT_EQ(p->Expect("exit "), "exit 0");
        EXPECT_EQ(p->Wait(), 0) << sig;
        EXPECT_THAT(ReadHostFile(PeerTrace(name)),
                    HasSubstr(sig == SIGTERM ? "SIGTERM: WM_CLOSE posted to window"
                                             : "SIGINT: WM_CLOSE posted to window"));
    }
    // Without a window to close, a signal keeps its default action.
    auto p = StartPeer("IpcPeer", "Peer", "plain");
    ASSERT_NE(p->hwnd, nullptr);
    p->Signal(SIGTERM);
    EXPECT_EQ(p->Wait(), 128 + SIGTERM);
    EXPECT_FALSE(RouteTerminationSignalsTo(p->hwnd));  // not a window of this process
}

// ---- long: each waits out a ten-second limit (ctest -E IpcLong leaves them out) ---------

using IpcLongTest = IpcTest;

TEST_F(IpcLongTest, SendMessageToAHungWindowGivesUpAfterTenSeconds) {
    auto p = StartPeer();
    ASSERT_NE(p->hwnd, nullptr);
    auto start = Clock::now();
    SetLastError(0);
    EXPECT_EQ(Err(SendMessageW(p->hwnd, kPeerHang, 0, 60000)), ERROR_TIMEOUT);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(10000));
    EXPECT_TRUE(trace_.Contains("no answer within 10000 ms, given up"));
}

TEST_F(IpcLongTest, AFrameThatStopsArrivingHalfwayIsDropped) {
    auto p = StartPeer();
    const HWND peer = p->hwnd;
    ASSERT_NE(peer, nullptr);
    int half = RawConnect(Socket(peer));
    ASSERT_GE(half, 0);
    EXPECT_TRUE(WriteRaw(half, Message(ipc::Kind::Post, 1, peer, kPeerRecord, 5, 6).substr(0, 20)));
    EXPECT_EQ(SendMessageW(peer, kPeerDouble, 3, 0), 6);  // nobody waits for it meanwhile
    EXPECT_TRUE(ClosedByPeer(half));
    close(half);
    EXPECT_THAT(ReadHostFile(PeerTrace("peer")), HasSubstr("a frame stopped arriving halfway"));
    EXPECT_EQ(SendMessageW(peer, kPeerDouble, 4, 0), 8);
}
