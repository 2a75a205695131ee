// The wire format between processes on its own: frames packed and cut out of a byte stream
// however it is split, every kind of broken stream refused, and the window entry files.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "platform/ipc_wire.h"

// Frames below name only the members their kind carries; the others stay zero.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using ipc::Frame;
using ipc::FrameReader;
using ipc::Kind;
using ipc::ReadStatus;

// One frame of every kind, with values that fill their fields.
std::vector<Frame> SampleFrames() {
    const uint64_t all = 0xFFFFFFFFFFFFFFFFull;
    return {
        {.kind = Kind::Post,
         .callId = 1,
         .hwnd = 0x00050004,
         .msg = 2115,
         .wParam = all,
         .lParam = -2},
        {.kind = Kind::Send,
         .callId = 2,
         .hwnd = 0x00050004,
         .msg = 2115,
         .wParam = all,
         .lParam = -2,
         .timeoutMs = 10000},
        {.kind = Kind::CopyData,
         .callId = 3,
         .hwnd = 0x00050004,
         .msg = 0x004A,
         .wParam = 0x00060008,
         .timeoutMs = 5000,
         .dwData = 2069,
         .data = {1, 2, 3, 0, 255}},
        {.kind = Kind::CopyData,
         .callId = 4,
         .hwnd = 0x00050004,
         .msg = 0x004A,
         .wParam = 0x00060008,
         .timeoutMs = 5000,
         .dwData = 2069},
        {.kind = Kind::WindowInfo, .callId = 5, .hwnd = 0x7FFF0004},
        {.kind = Kind::ShowWindow, .callId = 6, .hwnd = 0x00050005, .cmd = -3},
        {.kind = Kind::SetForeground, .callId = 7, .hwnd = 0x7FFF0004},
        {.kind = Kind::Reply, .callId = 8, .status = 1460, .result = -123456789012345ll},
    };
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

std::vector<uint8_t> Header(uint8_t kind, uint32_t length, uint32_t callId, uint8_t version = 1,
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
    EXPECT_NE(Refusal({'G'}).find("bad magic"), std::string::npos);  // one byte suffices
    EXPECT_NE(Refusal({'V', 'N', 'X'}).find("bad magic"), std::string::npos);
    EXPECT_NE(Refusal(Header(1, 24, 1, 2)).find("unknown version 2"), std::string::npos);
    EXPECT_NE(Refusal(Header(0, 24, 1)).find("unknown frame kind 0"), std::string::npos);
    EXPECT_NE(Refusal(Header(8, 24, 1)).find("unknown frame kind 8"), std::string::npos);
    EXPECT_NE(Refusal(Header(1, 24, 1, 1, 5)).find("reserved"), std::string::npos);
    EXPECT_NE(Refusal(Header(1, 24, 0)).find("call id 0"), std::string::npos);
    // Over the limit: refused from the header alone, before any body is waited for.
    EXPECT_NE(Refusal(Header(3, 0xFFFFFFF0, 1)).find("over the limit"), std::string::npos);
    EXPECT_NE(Refusal(Header(3, ipc::kMaxFrame - 15, 1)).find("over the limit"), std::string::npos);
    EXPECT_NE(Refusal(Header(1, 23, 1)).find("body of 23 bytes"), std::string::npos);
    EXPECT_NE(Refusal(Header(7, 17, 1)).find("body of 17 bytes"), std::string::npos);
    EXPECT_NE(Refusal(Header(3, 31, 1)).find("body of 31 bytes"), std::string::npos);
    // The copy data's own size must agree with its frame.
    auto copy = ipc::Pack(SampleFrames()[2]);
    copy[16 + 24] = 9;
    EXPECT_NE(Refusal(copy).find("does not match"), std::string::npos);
    auto reply = ipc::Pack(SampleFrames()[7]);
    reply[16 + 4] = 1;  // its reserved field
    EXPECT_NE(Refusal(reply).find("reserved body field"), std::string::npos);
}

TEST(IpcWire, AnUnfinishedFrameHoldsOnlyWhatArrived) {
    FrameReader r;
    auto h = Header(3, static_cast<uint32_t>(ipc::kMaxFrame - 16), 1);
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
    EXPECT_NE(text.find("hwnd 0x00050004\n"), std::string::npos);
    EXPECT_NE(text.find("title Line\\none \\\\ tab\\r and nul \\0 end \xC3\xA9\n"),
              std::string::npos);
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
