// Test helper: writes records into a property database volume and reports each one on
// stdout as "<record id> <sequence>" once its write has returned.
//
//   cedb_writer <volume device path> <tag> <count>   (count 0: until killed)
//
// The database "Log" (Seq: unsigned 32-bit, Tag: text; sorted by Tag, then Seq) is created
// when the volume lacks it; several writers may race to create it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/cedb.h"
#include "platform/handle.h"
#include "platform/wstr.h"

namespace {

constexpr CEPROPID kSeq = MakePropId(1, CEVT_UI4);
constexpr CEPROPID kTag = MakePropId(2, CEVT_LPWSTR);
constexpr CEPROPID kIndex = MakePropId(0, CEVT_AUTO_I4);

bool EnsureLog(CEGUID* guid) {
    CEDBASEINFOEX info{};
    info.wVersion = 2;
    info.dwFlags = CEDB_VALIDNAME | CEDB_VALIDTYPE | CEDB_VALIDSORTSPEC;
    WStrCopyN(info.szDbaseName, u"Log", CEDB_MAXDBASENAMELEN);
    info.wNumSortOrder = 1;
    info.rgSortSpecs[0].wVersion = 2;
    info.rgSortSpecs[0].wNumProps = 2;
    info.rgSortSpecs[0].rgPropID[0] = kTag;
    info.rgSortSpecs[0].rgPropID[1] = kSeq;
    WCHAR index[] = u"Index", seq[] = u"Seq", tag[] = u"Tag";
    CEPROPSPEC props[3] = {{1, kIndex, 0, index, 6}, {1, kSeq, 0, seq, 4}, {1, kTag, 0, tag, 4}};
    if (CeCreateDatabaseWithProps(guid, &info, 3, props) != 0) return true;
    return GetLastError() == ERROR_ALREADY_EXISTS;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: cedb_writer <volume> <tag> <count>\n");
        return 2;
    }
    WString volume = FromUtf8(argv[1]);
    WString tag = FromUtf8(argv[2]);
    unsigned long count = std::strtoul(argv[3], nullptr, 10);

    CEGUID guid{};
    if (!CeMountDBVolEx(&guid, volume.c_str(), nullptr, OPEN_ALWAYS) || !EnsureLog(&guid)) {
        return 1;
    }
    CEOID oid = 0;
    HANDLE db = CeOpenDatabaseInSession(nullptr, &guid, &oid, u"Log", nullptr, 0, nullptr);
    if (db == INVALID_HANDLE_VALUE) return 1;
    for (unsigned long seq = 0; count == 0 || seq < count; ++seq) {
        CEPROPVAL values[2] = {};
        values[0].propid = kSeq;
        values[0].val.ulVal = static_cast<uint32_t>(seq);
        values[1].propid = kTag;
        values[1].val.lpwstr = tag.data();
        CEOID id = CeWriteRecordProps(db, 0, 2, values);
        if (id == 0) return 1;
        std::printf("%u %lu\n", id, seq);
        std::fflush(stdout);
    }
    CloseHandle(db);
    CeUnmountDBVol(&guid);
    return 0;
}
