// The WM_COPYDATA payloads of the client protocol, as they cross between processes: the
// kinds (dwData), the 520-byte path slots of a batch, the single NUL-terminated path, and
// the 524-byte UploadStatusRecord of the status queries. Every decoder reads only the bytes
// the record's cbData covers, whatever the sender claims: nothing a client sends can make it
// read past the block, and every refusal or repair is traced.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/types.h"
#include "platform/window.h"
#include "platform/wstr.h"
#include "upload/agent_notice.h"

// Copy-data kinds from client applications.
constexpr ULONG_PTR CD_PREPARE_YOUTUBE = 2025;          // minimise, ensure the video list
constexpr ULONG_PTR CD_START_VIDEO = 2026;              // kick the queue
constexpr ULONG_PTR CD_VIDEO_ITEMS = 2027;              // wParam slots of videos to upload
constexpr ULONG_PTR CD_CLEAR_VIDEO_LIST = 2035;         // empty VideoList
constexpr ULONG_PTR CD_SHOW_VIDEO_LIST = 2036;          // start the video flow with UI
constexpr ULONG_PTR CD_ADD_VIDEO = 2037;                // one path for VideoList
constexpr ULONG_PTR CD_PREPARE_FACEBOOK = 2045;         // ensure the photo list
constexpr ULONG_PTR CD_START_PHOTO = 2046;              // kick the queue
constexpr ULONG_PTR CD_PHOTO_ITEMS = 2047;              // wParam slots of photos to upload
constexpr ULONG_PTR CD_CLEAR_PHOTO_LIST = 2055;         // empty PhotoList
constexpr ULONG_PTR CD_SHOW_PHOTO_LIST = 2056;          // start the photo flow with UI
constexpr ULONG_PTR CD_ADD_PHOTO = 2057;                // one path for PhotoList
constexpr ULONG_PTR CD_GET_UPLOAD_STATUS = 2065;        // one path; wParam = reply window
constexpr ULONG_PTR CD_GET_UPLOAD_STATUS_MULTI = 2069;  // records; wParam = reply window
// Copy-data kind of the answer to CD_GET_UPLOAD_STATUS_MULTI: wParam = record count.
constexpr ULONG_PTR CD_UPLOAD_STATUS_MULTI = 2070;

constexpr size_t PATH_SLOT_BYTES = 520;  // one slot of a batch: MAX_PATH UTF-16 characters
constexpr size_t STATUS_RECORD_BYTES = sizeof(UploadStatusRecord);
static_assert(PATH_SLOT_BYTES == MAX_PATH * sizeof(WCHAR));
static_assert(STATUS_RECORD_BYTES == 524);
// A received path keeps at most this many characters (a slot's last one is its NUL).
constexpr size_t MAX_PAYLOAD_PATH_CHARS = MAX_PATH - 1;
// A batch asks for at most this many slots (the pending queue's capacity); more is refused.
constexpr size_t MAX_BATCH_SLOTS = 10000;
// A status query carries at most this many records; a bigger block is refused.
constexpr size_t MAX_STATUS_RECORDS = 10000;

// The bytes of a received WM_COPYDATA: empty for a null record or a null data pointer.
struct PayloadView {
    const BYTE* data;  // first byte, null when size is 0
    size_t size;       // bytes at data
};
PayloadView ViewOf(const COPYDATASTRUCT* cds);

// The protocol name of a client kind ("CD_VIDEO_ITEMS"), or null for a kind not served.
const char* CopyDataKindName(ULONG_PTR kind);

// The paths of a batch: count slots as the sender's wParam says, taken from the whole
// slots present in block only. A slot without its NUL gives its first 259 characters.
// False, with nothing decoded, when the count is negative or larger than MAX_BATCH_SLOTS.
bool DecodePathSlots(PayloadView block, WPARAM count, std::vector<WString>* paths);
// The NUL-terminated path at the start of block, cut at the block's end and at 259 characters.
WString DecodeSinglePath(PayloadView block);
// The whole records of a status query (cbData / 524 of them, a remainder ignored), each
// path cut at 259 characters. False, with nothing decoded, when the block holds more than
// MAX_STATUS_RECORDS records.
bool DecodeStatusRecords(PayloadView block, std::vector<UploadStatusRecord>* records);

// What a client sends: one 520-byte slot per path (cut at 259 characters, zero-filled).
std::vector<BYTE> EncodePathSlots(const std::vector<WString>& paths);
// One path and its NUL.
std::vector<BYTE> EncodeSinglePath(const WString& path);
// The records as they travel, back to back.
std::vector<BYTE> EncodeStatusRecords(const std::vector<UploadStatusRecord>& records);
