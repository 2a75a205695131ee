// What crosses a process boundary, byte for byte: the frames on the window sockets and the
// entries of published windows in the runtime folder. All packing and unpacking happens
// here and nowhere else; docs/protocol.md describes the same format for other clients.
//
// Pure code: no system calls and no tracing, so that it can be fuzzed on its own.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ipc {

// Wire structs are copied to and from the stream as they lie in memory.
static_assert(std::endian::native == std::endian::little, "the wire is little-endian");

constexpr uint8_t kMagic[4] = {'V', 'N', 'T', 'W'};
constexpr uint8_t kVersion = 1;
constexpr size_t kMaxFrame = 8u << 20;  // 8 MiB, header included: 10000 path slots fit

// Window handles: bit 31 clear, bits 16-30 the slot of the owning process, bits 2-15 an
// index, bits 0-1 clear (bit 0 set names the window together with its owned windows).
constexpr uint32_t kMaxSlot = 0x7FFF;
constexpr uint32_t SlotOfHandle(uint32_t hwnd) {
    return (hwnd >> 16) & kMaxSlot;
}
// Whether the value has the shape of a window handle (the owned-windows bit allowed).
constexpr bool IsHandleShape(uint32_t hwnd) {
    return (hwnd & 0x80000002u) == 0 && SlotOfHandle(hwnd) != 0 && ((hwnd >> 2) & 0x3FFF) != 0;
}

enum class Kind : uint8_t {
    Post = 1,           // PostMessage
    Send = 2,           // SendMessage / SendMessageTimeout of a plain message
    CopyData = 3,       // SendMessage of WM_COPYDATA with its bytes
    WindowInfo = 4,     // IsWindow / GetWindowThreadProcessId
    ShowWindow = 5,     // ShowWindow
    SetForeground = 6,  // SetForegroundWindow
    Reply = 7,          // the answer to any of the above
};

struct WireHeader {
    uint8_t magic[4];   // kMagic
    uint8_t version;    // kVersion
    uint8_t kind;       // Kind
    uint16_t reserved;  // 0
    uint32_t length;    // bytes of the body that follows the header
    uint32_t callId;    // chosen by the requester (never 0), repeated by the reply
};
static_assert(sizeof(WireHeader) == 16);
static_assert(offsetof(WireHeader, version) == 4 && offsetof(WireHeader, kind) == 5);
static_assert(offsetof(WireHeader, length) == 8 && offsetof(WireHeader, callId) == 12);

struct WirePost {
    uint32_t hwnd;    // target window
    uint32_t msg;     // message number
    uint64_t wParam;  // first parameter
    int64_t lParam;   // second parameter
};
static_assert(sizeof(WirePost) == 24);
static_assert(offsetof(WirePost, wParam) == 8 && offsetof(WirePost, lParam) == 16);

struct WireSend {
    uint32_t hwnd;       // target window
    uint32_t msg;        // message number
    uint64_t wParam;     // first parameter
    int64_t lParam;      // second parameter
    uint32_t timeoutMs;  // the receiver withdraws the message if not taken by then
    uint32_t reserved;   // 0
};
static_assert(sizeof(WireSend) == 32);
static_assert(offsetof(WireSend, timeoutMs) == 24);

struct WireCopyData {
    uint32_t hwnd;       // target window
    uint32_t timeoutMs;  // as WireSend
    uint64_t wParam;     // first parameter
    uint64_t dwData;     // COPYDATASTRUCT.dwData
    uint32_t cbData;     // bytes that follow this struct
    uint32_t reserved;   // 0
};
static_assert(sizeof(WireCopyData) == 32);
static_assert(offsetof(WireCopyData, dwData) == 16 && offsetof(WireCopyData, cbData) == 24);

struct WireWindow {
    uint32_t hwnd;  // the window asked about or raised
};
static_assert(sizeof(WireWindow) == 4);

struct WireShow {
    uint32_t hwnd;  // the window, bit 0 set for it and its owned windows
    int32_t cmd;    // SW_ command
};
static_assert(sizeof(WireShow) == 8);

struct WireReply {
    uint32_t status;    // 0, or the Win32 error code of the failure
    uint32_t reserved;  // 0
    int64_t result;     // the answer (LRESULT, BOOL, or pid << 32 | thread id)
};
static_assert(sizeof(WireReply) == 16);
static_assert(offsetof(WireReply, result) == 8);

constexpr size_t kMaxCopyData = kMaxFrame - sizeof(WireHeader) - sizeof(WireCopyData);

// One frame unpacked. Members its kind does not carry are 0.
struct Frame {
    Kind kind = Kind::Reply;    // what it is
    uint32_t callId = 0;        // pairs a reply with its request
    uint32_t hwnd = 0;          // target window of a request
    uint32_t msg = 0;           // message number (Post, Send; WM_COPYDATA for CopyData)
    uint64_t wParam = 0;        // first parameter
    int64_t lParam = 0;         // second parameter (Post, Send)
    uint32_t timeoutMs = 0;     // Send, CopyData
    uint64_t dwData = 0;        // CopyData
    int32_t cmd = 0;            // ShowWindow
    uint32_t status = 0;        // Reply
    int64_t result = 0;         // Reply
    std::vector<uint8_t> data;  // CopyData bytes
};

bool IsRequest(Kind kind);
// The whole frame as it goes on the wire; empty when it would exceed kMaxFrame or the
// kind is unknown.
std::vector<uint8_t> Pack(const Frame& frame);

enum class ReadStatus {
    Frame,     // *out holds the next frame
    NeedMore,  // no complete frame yet
    Bad,       // the stream is broken (*why says how); nothing more comes out of it
};

// Cuts a byte stream into frames. Memory held is at most one unfinished frame plus the
// last bytes fed; a header is checked as soon as it is complete (a bad magic number as
// soon as the first byte differs), so garbage and oversized frames are refused before
// their bodies are waited for.
class FrameReader {
  public:
    void Feed(const uint8_t* bytes, size_t n);
    ReadStatus Next(Frame* out, std::string* why);
    // Bytes held of a frame not yet complete.
    size_t Pending() const { return buf_.size() - pos_; }

  private:
    static constexpr size_t kKeptCapacity = 256 * 1024;  // room kept between frames

    bool CheckHeader(const WireHeader& h, std::string* why) const;
    void Compact();  // drops consumed bytes

    std::vector<uint8_t> buf_;  // received bytes; those before pos_ are consumed
    size_t pos_ = 0;            // start of the next frame in buf_
    bool bad_ = false;          // a Bad result was given
};

// A published top-level window: the entry file w-<hwnd>.win of the runtime folder.
struct WindowEntry {
    uint32_t hwnd = 0;     // its handle
    uint32_t pid = 0;      // owning process
    uint32_t thread = 0;   // owning thread (GetWindowThreadProcessId)
    uint64_t created = 0;  // microseconds since 1970 when published; newest is found first
    std::string cls;       // class name, UTF-8
    std::string title;     // window text, UTF-8
};

constexpr size_t kMaxEntryFile = 16384;  // longer entry files are not read

std::string FormatEntry(const WindowEntry& entry);
// False for anything but a well-formed entry of this version.
bool ParseEntry(std::string_view text, WindowEntry* entry);
// "w-0005000c.win" for a handle; 0 from a name that is not an entry's.
std::string EntryFileName(uint32_t hwnd);
uint32_t HandleOfEntryFileName(std::string_view name);

}  // namespace ipc
