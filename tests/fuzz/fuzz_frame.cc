// libFuzzer target over everything that reads bytes from another process: the frame reader
// (the stream cut at every size from 1 to 64 bytes, chosen by the first input byte) and the
// window entry parser. Nothing may crash them, hold more than one frame plus the last bytes
// fed, or yield a frame or entry that does not pack back to itself.
//
// Built on its own: clang++ -std=c++20 -fsanitize=fuzzer,address,undefined -I. \
//     tests/fuzz/fuzz_frame.cc platform/ipc_wire.cc
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/ipc_wire.h"

namespace {

bool Same(const ipc::Frame& a, const ipc::Frame& b) {
    return a.kind == b.kind && a.callId == b.callId && a.hwnd == b.hwnd && a.msg == b.msg &&
           a.wParam == b.wParam && a.lParam == b.lParam && a.timeoutMs == b.timeoutMs &&
           a.dwData == b.dwData && a.cmd == b.cmd && a.status == b.status && a.result == b.result &&
           a.data == b.data;
}

void FuzzFrames(const uint8_t* data, size_t size) {
    if (size == 0) return;
    const size_t chunk = data[0] % 64 + 1;
    ipc::FrameReader reader;
    for (size_t at = 1; at < size; at += chunk) {
        const size_t n = std::min(chunk, size - at);
        reader.Feed(data + at, n);
        for (;;) {
            ipc::Frame f;
            std::string why;
            ipc::ReadStatus st = reader.Next(&f, &why);
            if (st == ipc::ReadStatus::Bad && why.empty()) abort();  // a refusal says why
            if (st != ipc::ReadStatus::Frame) break;
            std::vector<uint8_t> bytes = ipc::Pack(f);
            if (bytes.empty() || bytes.size() > ipc::kMaxFrame) abort();
            ipc::FrameReader again;
            again.Feed(bytes.data(), bytes.size());
            ipc::Frame g;
            if (again.Next(&g, &why) != ipc::ReadStatus::Frame || !Same(f, g) || again.Pending())
                abort();
        }
        if (reader.Pending() > ipc::kMaxFrame + n) abort();
    }
}

void FuzzEntry(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    ipc::HandleOfEntryFileName(text);
    ipc::WindowEntry e;
    if (!ipc::ParseEntry(text, &e)) return;
    std::string formatted = ipc::FormatEntry(e);
    if (formatted.size() > ipc::kMaxEntryFile) return;  // numbers may grow when made canonical
    ipc::WindowEntry back;
    if (!ipc::ParseEntry(formatted, &back) || back.hwnd != e.hwnd || back.pid != e.pid ||
        back.thread != e.thread || back.created != e.created || back.cls != e.cls ||
        back.title != e.title)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzFrames(data, size);
    FuzzEntry(data, size);
    return 0;
}
