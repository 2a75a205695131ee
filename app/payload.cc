#include "app/payload.h"

#include <algorithm>
#include <cstring>

#include "platform/trace.h"

namespace {

// The characters of a UTF-16 text of at most maxChars characters that starts at data and
// may not reach beyond bytes; it ends at its NUL or where it must be cut.
WString TextAt(const BYTE* data, size_t bytes, size_t maxChars, bool* cut) {
    const size_t chars = bytes / sizeof(WCHAR);
    const size_t limit = chars < maxChars ? chars : maxChars;
    WString text;
    text.reserve(limit);
    for (size_t i = 0; i < limit; i++) {
        WCHAR c;
        std::memcpy(&c, data + i * sizeof(WCHAR), sizeof c);  // the block may be unaligned
        if (c == 0) {
            *cut = false;
            return text;
        }
        text.push_back(c);
    }
    *cut = true;
    return text;
}

}  // namespace

PayloadView ViewOf(const COPYDATASTRUCT* cds) {
    if (!cds || !cds->lpData || cds->cbData == 0) return PayloadView{nullptr, 0};
    return PayloadView{static_cast<const BYTE*>(cds->lpData), cds->cbData};
}

const char* CopyDataKindName(ULONG_PTR kind) {
    switch (kind) {
        case CD_PREPARE_YOUTUBE:
            return "CD_PREPARE_YOUTUBE";
        case CD_START_VIDEO:
            return "CD_START_VIDEO";
        case CD_VIDEO_ITEMS:
            return "CD_VIDEO_ITEMS";
        case CD_CLEAR_VIDEO_LIST:
            return "CD_CLEAR_VIDEO_LIST";
        case CD_SHOW_VIDEO_LIST:
            return "CD_SHOW_VIDEO_LIST";
        case CD_ADD_VIDEO:
            return "CD_ADD_VIDEO";
        case CD_PREPARE_FACEBOOK:
            return "CD_PREPARE_FACEBOOK";
        case CD_START_PHOTO:
            return "CD_START_PHOTO";
        case CD_PHOTO_ITEMS:
            return "CD_PHOTO_ITEMS";
        case CD_CLEAR_PHOTO_LIST:
            return "CD_CLEAR_PHOTO_LIST";
        case CD_SHOW_PHOTO_LIST:
            return "CD_SHOW_PHOTO_LIST";
        case CD_ADD_PHOTO:
            return "CD_ADD_PHOTO";
        case CD_GET_UPLOAD_STATUS:
            return "CD_GET_UPLOAD_STATUS";
        case CD_GET_UPLOAD_STATUS_MULTI:
            return "CD_GET_UPLOAD_STATUS_MULTI";
        default:
            return nullptr;
    }
}

bool DecodePathSlots(PayloadView block, WPARAM count, std::vector<WString>* paths) {
    paths->clear();
    const auto asked = static_cast<intptr_t>(count);
    if (asked < 0) {
        Trace("[Vantlo] batch refused: negative slot count %lld", static_cast<long long>(asked));
        return false;
    }
    if (static_cast<size_t>(asked) > MAX_BATCH_SLOTS) {
        Trace("[Vantlo] batch refused: %llu slots asked, at most %u taken",
              static_cast<unsigned long long>(asked), static_cast<unsigned>(MAX_BATCH_SLOTS));
        return false;
    }
    const size_t present = block.size / PATH_SLOT_BYTES;
    size_t n = static_cast<size_t>(asked);
    if (n > present) {
        Trace("[Vantlo] batch of %u slots carries only %u whole slots (%u bytes): using those",
              static_cast<unsigned>(n), static_cast<unsigned>(present),
              static_cast<unsigned>(block.size));
        n = present;
    }
    paths->reserve(n);
    for (size_t i = 0; i < n; i++) {
        bool cut = false;
        paths->push_back(TextAt(block.data + i * PATH_SLOT_BYTES, PATH_SLOT_BYTES,
                                MAX_PAYLOAD_PATH_CHARS, &cut));
        if (cut) {
            Trace("[Vantlo] batch slot %u has no NUL: path cut at %u characters",
                  static_cast<unsigned>(i), static_cast<unsigned>(MAX_PAYLOAD_PATH_CHARS));
        }
    }
    return true;
}

WString DecodeSinglePath(PayloadView block) {
    if (block.size == 0) return WString();
    bool cut = false;
    WString path = TextAt(block.data, block.size, MAX_PAYLOAD_PATH_CHARS, &cut);
    if (cut) {
        Trace("[Vantlo] path of %u bytes has no NUL within reach: cut at %u characters",
              static_cast<unsigned>(block.size), static_cast<unsigned>(path.size()));
    }
    return path;
}

bool DecodeStatusRecords(PayloadView block, std::vector<UploadStatusRecord>* records) {
    records->clear();
    const size_t n = block.size / STATUS_RECORD_BYTES;
    if (n > MAX_STATUS_RECORDS) {
        Trace("[Vantlo] status query refused: %u records, at most %u answered",
              static_cast<unsigned>(n), static_cast<unsigned>(MAX_STATUS_RECORDS));
        return false;
    }
    if (block.size % STATUS_RECORD_BYTES != 0) {
        Trace("[Vantlo] status query of %u bytes: %u trailing bytes ignored",
              static_cast<unsigned>(block.size),
              static_cast<unsigned>(block.size % STATUS_RECORD_BYTES));
    }
    records->resize(n);
    for (size_t i = 0; i < n; i++) {
        UploadStatusRecord& r = (*records)[i];
        std::memcpy(&r, block.data + i * STATUS_RECORD_BYTES, STATUS_RECORD_BYTES);
        const WCHAR* end = r.path + MAX_PAYLOAD_PATH_CHARS;
        if (std::find(static_cast<const WCHAR*>(r.path), end, u'\0') == end) {
            Trace("[Vantlo] status record %u has no NUL: path cut at %u characters",
                  static_cast<unsigned>(i), static_cast<unsigned>(MAX_PAYLOAD_PATH_CHARS));
        }
        r.path[MAX_PAYLOAD_PATH_CHARS] = 0;
    }
    return true;
}

std::vector<BYTE> EncodePathSlots(const std::vector<WString>& paths) {
    std::vector<BYTE> block(paths.size() * PATH_SLOT_BYTES, 0);
    for (size_t i = 0; i < paths.size(); i++) {
        const size_t chars =
            paths[i].size() < MAX_PAYLOAD_PATH_CHARS ? paths[i].size() : MAX_PAYLOAD_PATH_CHARS;
        std::memcpy(block.data() + i * PATH_SLOT_BYTES, paths[i].data(), chars * sizeof(WCHAR));
    }
    return block;
}

std::vector<BYTE> EncodeSinglePath(const WString& path) {
    std::vector<BYTE> block((path.size() + 1) * sizeof(WCHAR), 0);
    std::memcpy(block.data(), path.data(), path.size() * sizeof(WCHAR));
    return block;
}

std::vector<BYTE> EncodeStatusRecords(const std::vector<UploadStatusRecord>& records) {
    std::vector<BYTE> block(records.size() * STATUS_RECORD_BYTES);
    if (!records.empty()) std::memcpy(block.data(), records.data(), block.size());
    return block;
}
