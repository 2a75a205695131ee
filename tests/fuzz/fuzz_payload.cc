// libFuzzer target over the decoding of the main window's WM_COPYDATA payloads: the batch's
// path slots with any count a sender can claim, the single path and the status records, on
// blocks of every size and alignment. Nothing may read outside the block, crash, or yield a
// path that is longer than 259 characters, holds a NUL, or does not encode back to itself.
//
// Built on its own: clang++ -std=c++20 -fsanitize=fuzzer,address,undefined -I. \
//     tests/fuzz/fuzz_payload.cc app/payload.cc platform/wstr.cc
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "app/payload.h"
#include "platform/trace.h"

// Tracing formats every line, as it does in the system, but writes nothing: refused and cut
// payloads are traced on every run.
DWORD GetTickCount() {
    return 0;
}
namespace trace_detail {
namespace {
void EmitLine(const char* fmt, va_list ap) {
    char line[1024];
    vsnprintf(line, sizeof line, fmt, ap);
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

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

bool WellFormed(const WString& path) {
    return path.size() <= MAX_PAYLOAD_PATH_CHARS && path.find(u'\0') == WString::npos;
}

void FuzzSlots(PayloadView block, WPARAM count) {
    std::vector<WString> paths;
    if (!DecodePathSlots(block, count, &paths)) {
        Check(paths.empty());
        return;
    }
    Check(paths.size() <= count && paths.size() <= block.size / PATH_SLOT_BYTES);
    for (const WString& p : paths) Check(WellFormed(p));
    const std::vector<BYTE> again = EncodePathSlots(paths);
    std::vector<WString> decoded;
    Check(DecodePathSlots(PayloadView{again.data(), again.size()}, paths.size(), &decoded));
    Check(decoded == paths);
}

void FuzzSinglePath(PayloadView block) {
    const WString path = DecodeSinglePath(block);
    Check(WellFormed(path));
    const std::vector<BYTE> again = EncodeSinglePath(path);
    Check(DecodeSinglePath(PayloadView{again.data(), again.size()}) == path);
}

void FuzzRecords(PayloadView block) {
    std::vector<UploadStatusRecord> records;
    if (!DecodeStatusRecords(block, &records)) {
        Check(records.empty() && block.size / STATUS_RECORD_BYTES > MAX_STATUS_RECORDS);
        return;
    }
    Check(records.size() == block.size / STATUS_RECORD_BYTES);
    for (const UploadStatusRecord& r : records) Check(WellFormed(r.path));
    const std::vector<BYTE> again = EncodeStatusRecords(records);
    Check(again.size() == records.size() * STATUS_RECORD_BYTES);
    std::vector<UploadStatusRecord> decoded;
    Check(DecodeStatusRecords(PayloadView{again.data(), again.size()}, &decoded));
    Check(decoded.size() == records.size());
    Check(again.empty() || std::memcmp(decoded.data(), records.data(), again.size()) == 0);
}

}  // namespace

// Input: one byte choosing the block's alignment, eight bytes of the sender's wParam (any
// value, negative ones too), then the block, which ends where the input ends.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 9) return 0;
    const size_t offset = 9 + (data[0] & 1);
    if (size < offset) return 0;
    uint64_t count;
    std::memcpy(&count, data + 1, sizeof count);
    const PayloadView block{size > offset ? data + offset : nullptr, size - offset};
    FuzzSlots(block, static_cast<WPARAM>(count));
    FuzzSinglePath(block);
    FuzzRecords(block);
    CopyDataKindName(static_cast<ULONG_PTR>(count));
    return 0;
}
