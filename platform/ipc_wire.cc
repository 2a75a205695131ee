// Packing and unpacking of frames and window entries.
#include "platform/ipc_wire.h"

#include <cstdio>
#include <cstring>

namespace ipc {

namespace {

// Fixed body size of a kind; CopyData gives its fixed part. 0 for an unknown kind.
size_t FixedBody(uint8_t kind) {
    switch (static_cast<Kind>(kind)) {
        case Kind::Post:
            return sizeof(WirePost);
        case Kind::Send:
            return sizeof(WireSend);
        case Kind::CopyData:
            return sizeof(WireCopyData);
        case Kind::WindowInfo:
        case Kind::SetForeground:
            return sizeof(WireWindow);
        case Kind::ShowWindow:
            return sizeof(WireShow);
        case Kind::Reply:
            return sizeof(WireReply);
    }
    return 0;
}

template <class T>
void Append(std::vector<uint8_t>& out, const T& v) {
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    out.insert(out.end(), p, p + sizeof v);
}

template <class T>
T Load(const uint8_t* p) {
    T v;
    memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

bool IsRequest(Kind kind) {
    return kind != Kind::Reply && FixedBody(static_cast<uint8_t>(kind)) != 0;
}

std::vector<uint8_t> Pack(const Frame& f) {
    size_t fixed = FixedBody(static_cast<uint8_t>(f.kind));
    size_t extra = f.kind == Kind::CopyData ? f.data.size() : 0;
    if (fixed == 0 || extra > kMaxCopyData) return {};
    WireHeader h{};
    memcpy(h.magic, kMagic, sizeof kMagic);
    h.version = kVersion;
    h.kind = static_cast<uint8_t>(f.kind);
    h.length = static_cast<uint32_t>(fixed + extra);
    h.callId = f.callId;
    std::vector<uint8_t> out;
    out.reserve(sizeof h + fixed + extra);
    Append(out, h);
    switch (f.kind) {
        case Kind::Post:
            Append(out, WirePost{f.hwnd, f.msg, f.wParam, f.lParam});
            break;
        case Kind::Send:
            Append(out, WireSend{f.hwnd, f.msg, f.wParam, f.lParam, f.timeoutMs, 0});
            break;
        case Kind::CopyData:
            Append(out, WireCopyData{f.hwnd, f.timeoutMs, f.wParam, f.dwData,
                                     static_cast<uint32_t>(f.data.size()), 0});
            out.insert(out.end(), f.data.begin(), f.data.end());
            break;
        case Kind::WindowInfo:
        case Kind::SetForeground:
            Append(out, WireWindow{f.hwnd});
            break;
        case Kind::ShowWindow:
            Append(out, WireShow{f.hwnd, f.cmd});
            break;
        case Kind::Reply:
            Append(out, WireReply{f.status, 0, f.result});
            break;
    }
    return out;
}

// ---- FrameReader -----------------------------------------------------------------------

void FrameReader::Feed(const uint8_t* bytes, size_t n) {
    if (bad_ || n == 0) return;
    buf_.insert(buf_.end(), bytes, bytes + n);
}

void FrameReader::Compact() {
    if (pos_ == 0) return;
    buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(pos_));
    pos_ = 0;
    // A big frame's room is given back once it is done, so an idle stream holds little.
    if (buf_.empty() && buf_.capacity() > kKeptCapacity) std::vector<uint8_t>().swap(buf_);
}

bool FrameReader::CheckHeader(const WireHeader& h, std::string* why) const {
    char text[96];
    if (h.version != kVersion) {
        snprintf(text, sizeof text, "unknown version %u", h.version);
    } else if (FixedBody(h.kind) == 0) {
        snprintf(text, sizeof text, "unknown frame kind %u", h.kind);
    } else if (h.reserved != 0) {
        snprintf(text, sizeof text, "reserved header field is %u, not 0", h.reserved);
    } else if (h.callId == 0) {
        snprintf(text, sizeof text, "call id 0");
    } else if (h.length > kMaxFrame - sizeof(WireHeader)) {
        snprintf(text, sizeof text, "frame of %u bytes is over the limit of %zu", h.length,
                 kMaxFrame);
    } else if (static_cast<Kind>(h.kind) == Kind::CopyData ? h.length < sizeof(WireCopyData)
                                                           : h.length != FixedBody(h.kind)) {
        snprintf(text, sizeof text, "frame kind %u with a body of %u bytes", h.kind, h.length);
    } else {
        return true;
    }
    *why = text;
    return false;
}

ReadStatus FrameReader::Next(Frame* out, std::string* why) {
    if (bad_) {
        *why = "stream already broken";
        return ReadStatus::Bad;
    }
    const size_t avail = buf_.size() - pos_;
    if (avail == 0) {
        Compact();
        return ReadStatus::NeedMore;
    }
    const uint8_t* p = buf_.data() + pos_;
    // The magic number is checked byte by byte, so garbage is refused at once.
    size_t prefix = avail < sizeof kMagic ? avail : sizeof kMagic;
    if (memcmp(p, kMagic, prefix) != 0) {
        bad_ = true;
        *why = "bad magic number (not a frame)";
        return ReadStatus::Bad;
    }
    if (avail < sizeof(WireHeader)) {
        Compact();
        return ReadStatus::NeedMore;
    }
    auto h = Load<WireHeader>(p);
    if (!CheckHeader(h, why)) {
        bad_ = true;
        return ReadStatus::Bad;
    }
    if (avail - sizeof h < h.length) {
        Compact();  // what is held never exceeds one frame plus the last bytes fed
        return ReadStatus::NeedMore;
    }
    const uint8_t* body = p + sizeof h;
    Frame f;
    f.kind = static_cast<Kind>(h.kind);
    f.callId = h.callId;
    bool reservedOk = true;
    switch (f.kind) {
        case Kind::Post: {
            auto b = Load<WirePost>(body);
            f.hwnd = b.hwnd;
            f.msg = b.msg;
            f.wParam = b.wParam;
            f.lParam = b.lParam;
            break;
        }
        case Kind::Send: {
            auto b = Load<WireSend>(body);
            f.hwnd = b.hwnd;
            f.msg = b.msg;
            f.wParam = b.wParam;
            f.lParam = b.lParam;
            f.timeoutMs = b.timeoutMs;
            reservedOk = b.reserved == 0;
            break;
        }
        case Kind::CopyData: {
            auto b = Load<WireCopyData>(body);
            if (b.cbData != h.length - sizeof b) {
                bad_ = true;
                *why = "copy data size " + std::to_string(b.cbData) + " does not match its frame";
                return ReadStatus::Bad;
            }
            f.hwnd = b.hwnd;
            f.msg = 0x004A;  // WM_COPYDATA
            f.timeoutMs = b.timeoutMs;
            f.wParam = b.wParam;
            f.dwData = b.dwData;
            f.data.assign(body + sizeof b, body + sizeof b + b.cbData);
            reservedOk = b.reserved == 0;
            break;
        }
        case Kind::WindowInfo:
        case Kind::SetForeground:
            f.hwnd = Load<WireWindow>(body).hwnd;
            break;
        case Kind::ShowWindow: {
            auto b = Load<WireShow>(body);
            f.hwnd = b.hwnd;
            f.cmd = b.cmd;
            break;
        }
        case Kind::Reply: {
            auto b = Load<WireReply>(body);
            f.status = b.status;
            f.result = b.result;
            reservedOk = b.reserved == 0;
            break;
        }
    }
    if (!reservedOk) {
        bad_ = true;
        *why = "reserved body field is not 0";
        return ReadStatus::Bad;
    }
    pos_ += sizeof h + h.length;
    *out = std::move(f);
    return ReadStatus::Frame;
}

// ---- window entries --------------------------------------------------------------------

namespace {

constexpr std::string_view kEntryHeader = "vantlo-window 1";

void AppendEscaped(std::string& out, std::string_view s) {
    for (char c : s) {
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                out += c;
        }
    }
}

bool Unescape(std::string_view s, std::string* out) {
    out->clear();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            *out += s[i];
            continue;
        }
        if (++i == s.size()) return false;
        switch (s[i]) {
            case '\\':
                *out += '\\';
                break;
            case 'n':
                *out += '\n';
                break;
            case 'r':
                *out += '\r';
                break;
            case '0':
                *out += '\0';
                break;
            default:
                return false;
        }
    }
    return true;
}

// A decimal or 0x-prefixed hexadecimal number that fits in max.
bool ParseNumber(std::string_view s, uint64_t max, uint64_t* out) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    if (s.empty() || s.size() > 20) return false;
    uint64_t v = 0;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9') {
            d = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            d = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            d = c - 'A' + 10;
        } else {
            return false;
        }
        if (v > (max - static_cast<uint64_t>(d)) / static_cast<uint64_t>(base)) return false;
        v = v * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
    }
    *out = v;
    return true;
}

}  // namespace

std::string FormatEntry(const WindowEntry& e) {
    char head[160];
    snprintf(head, sizeof head, "%.*s\nhwnd 0x%08x\npid %u\nthread %u\ncreated %llu\nclass ",
             static_cast<int>(kEntryHeader.size()), kEntryHeader.data(), e.hwnd, e.pid, e.thread,
             static_cast<unsigned long long>(e.created));
    std::string out = head;
    AppendEscaped(out, e.cls);
    out += "\ntitle ";
    AppendEscaped(out, e.title);
    out += '\n';
    return out;
}

bool ParseEntry(std::string_view text, WindowEntry* entry) {
    if (text.size() > kMaxEntryFile) return false;
    WindowEntry e;
    unsigned seen = 0;  // one bit per key
    bool first = true;
    while (!text.empty()) {
        size_t nl = text.find('\n');
        if (nl == std::string_view::npos) return false;  // every line ends with a newline
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl + 1);
        if (first) {
            if (line != kEntryHeader) return false;
            first = false;
            continue;
        }
        size_t sp = line.find(' ');
        if (sp == std::string_view::npos) return false;
        std::string_view key = line.substr(0, sp);
        std::string_view value = line.substr(sp + 1);
        static const char* const kKeys[] = {"hwnd", "pid", "thread", "created", "class", "title"};
        unsigned index = 0;
        while (index < 6 && key != kKeys[index]) ++index;
        if (index == 6) continue;  // a key of a later revision: ignored
        if (seen & (1u << index)) return false;
        seen |= 1u << index;
        uint64_t n = 0;
        switch (index) {
            case 0:
                if (!ParseNumber(value, UINT32_MAX, &n) ||
                    !IsHandleShape(static_cast<uint32_t>(n)) || (n & 1))
                    return false;
                e.hwnd = static_cast<uint32_t>(n);
                break;
            case 1:
                if (!ParseNumber(value, INT32_MAX, &n) || n == 0) return false;
                e.pid = static_cast<uint32_t>(n);
                break;
            case 2:
                if (!ParseNumber(value, UINT32_MAX, &n)) return false;
                e.thread = static_cast<uint32_t>(n);
                break;
            case 3:
                if (!ParseNumber(value, UINT64_MAX, &n)) return false;
                e.created = n;
                break;
            case 4:
                if (!Unescape(value, &e.cls) || e.cls.empty()) return false;
                break;
            case 5:
                if (!Unescape(value, &e.title)) return false;
                break;
        }
    }
    if (seen != 0x3F) return false;
    *entry = std::move(e);
    return true;
}

std::string EntryFileName(uint32_t hwnd) {
    char name[32];
    snprintf(name, sizeof name, "w-%08x.win", hwnd);
    return name;
}

uint32_t HandleOfEntryFileName(std::string_view name) {
    if (name.size() != 14 || name.substr(0, 2) != "w-" || name.substr(10) != ".win") return 0;
    uint64_t v = 0;
    std::string hex = "0x" + std::string(name.substr(2, 8));
    if (!ParseNumber(hex, UINT32_MAX, &v)) return 0;
    auto h = static_cast<uint32_t>(v);
    return IsHandleShape(h) && !(h & 1) ? h : 0;
}

}  // namespace ipc
