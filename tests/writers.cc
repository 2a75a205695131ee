// The writer processes of the store, property database and registry tests. Each writes in a
// loop and reports on stdout, one flushed line per write once it returned, so that a test may
// run several at once or kill one at any moment and know what it was told.
//
//   vantlo-test-writer cedb VOLUME TAG COUNT
//       Records into the database "Log" (Seq: unsigned 32-bit, Tag: text; sorted by Tag, then
//       Seq) of the volume, created when missing, several writers racing; "<record> <seq>".
//   vantlo-test-writer registry PREFIX COUNT
//       Once stdin ends (the start signal), sets PREFIX_<i> below HKLM\SOFTWARE\Velmar\Vantlo
//       for i below COUNT (even i: REG_DWORD i, odd i: REG_SZ "PREFIX value <i>") and
//       PREFIX_last to i after each, and every tenth i the key PREFIX\<i> holding "Index" = i.
//       Exits 0 when every call succeeded, 1 after the first failure (told on stderr).
//   vantlo-test-writer records FIRST
//       "READY", then history and pending records from number FIRST on: "H <n>", "P <n>".
//   vantlo-test-writer batches RUN PER_BATCH
//       Batches of PER_BATCH pending entries, each in one transaction: the batch's number.
//       Entry i of batch b of run r is "\r<r>\b<b>\<i>.jpg".
// The loops are bounded or end with the test, so that a writer whose test died ends too.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/cedb.h"
#include "platform/handle.h"
#include "platform/registry.h"
#include "platform/wstr.h"
#include "store/upload_db.h"
#include "tests/store_keys.h"

namespace {

void Say(const std::string& line) {
    printf("%s\n", line.c_str());
    fflush(stdout);
}

int Cedb(const WString& volume, const WString& tag, unsigned long count) {
    constexpr CEPROPID kIndex = MakePropId(0, CEVT_AUTO_I4);
    constexpr CEPROPID kSeq = MakePropId(1, CEVT_UI4);
    constexpr CEPROPID kTag = MakePropId(2, CEVT_LPWSTR);
    CEGUID guid{};
    if (!CeMountDBVolEx(&guid, volume.c_str(), nullptr, OPEN_ALWAYS)) return 1;
    CEDBASEINFOEX info{};
    info.wVersion = 2;
    info.dwFlags = CEDB_VALIDNAME | CEDB_VALIDTYPE | CEDB_VALIDSORTSPEC;
    WStrCopyN(info.szDbaseName, u"Log", CEDB_MAXDBASENAMELEN);
    info.wNumSortOrder = 1;
    info.rgSortSpecs[0] = SORTORDERSPECEX{2, 2, 0, 0, {kTag, kSeq}, {0, 0}};
    WCHAR index[] = u"Index", seq[] = u"Seq", tagName[] = u"Tag";
    CEPROPSPEC props[3] = {
        {1, kIndex, 0, index, 6}, {1, kSeq, 0, seq, 4}, {1, kTag, 0, tagName, 4}};
    if (!CeCreateDatabaseWithProps(&guid, &info, 3, props) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
        return 1;
    }
    CEOID oid = 0;
    HANDLE db = CeOpenDatabaseInSession(nullptr, &guid, &oid, u"Log", nullptr, 0, nullptr);
    if (db == INVALID_HANDLE_VALUE) return 1;
    for (unsigned long n = 0; n < count; ++n) {
        CEPROPVAL values[2] = {};
        values[0].propid = kSeq;
        values[0].val.ulVal = static_cast<uint32_t>(n);
        values[1].propid = kTag;
        values[1].val.lpwstr = const_cast<LPWSTR>(tag.c_str());
        CEOID id = CeWriteRecordProps(db, 0, 2, values);
        if (id == 0) return 1;
        Say(std::to_string(id) + " " + std::to_string(n));
    }
    CloseHandle(db);
    CeUnmountDBVol(&guid);
    return 0;
}

bool Check(LONG rc, const char* what, const std::string& name) {
    if (rc != ERROR_SUCCESS) {
        fprintf(stderr, "writer: %s %s failed with %d\n", what, name.c_str(), static_cast<int>(rc));
    }
    return rc == ERROR_SUCCESS;
}

bool SetValue(HKEY key, const std::string& name, DWORD type, const void* data, size_t size) {
    return Check(RegSetValueExW(key, FromUtf8(name).c_str(), 0, type,
                                static_cast<const BYTE*>(data), static_cast<DWORD>(size)),
                 "set", name);
}

int Registry(const std::string& prefix, int count) {
    while (fgetc(stdin) != EOF) {
    }
    HKEY key;
    bool ok = Check(RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"SOFTWARE\\Velmar\\Vantlo", 0, nullptr, 0,
                                    KEY_ALL_ACCESS, nullptr, &key, nullptr),
                    "create", "the key");
    for (DWORD i = 0; ok && i < static_cast<DWORD>(count); ++i) {
        const std::string name = prefix + "_" + std::to_string(i);
        const WString text = FromUtf8(prefix + " value " + std::to_string(i));
        ok = i % 2 ? SetValue(key, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(WCHAR))
                   : SetValue(key, name, REG_DWORD, &i, sizeof i);
        ok = ok && SetValue(key, prefix + "_last", REG_DWORD, &i, sizeof i);
        if (ok && i % 10 == 0) {
            const std::string sub = prefix + "\\" + std::to_string(i);
            HKEY child;
            ok = Check(RegCreateKeyExW(key, FromUtf8(sub).c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                       nullptr, &child, nullptr),
                       "create", sub) &&
                 SetValue(child, "Index", REG_DWORD, &i, sizeof i);
            if (ok) RegCloseKey(child);
        }
    }
    if (ok) RegCloseKey(key);
    return ok ? 0 : 1;
}

int Records(long first) {
    CUploadDb history, pending;
    if (!history.InitHistory() || !pending.InitPending()) return 1;
    Say("READY");
    for (long n = first; n < first + 20000; n++) {
        UploadHistoryKey key = KillHistoryKey(n);
        if (history.AddHistory(&key)) Say("H " + std::to_string(n));
        PendingRecord record = KillPendingRecord(n);
        if (pending.AddPending(&record)) Say("P " + std::to_string(n));
    }
    return 0;
}

int Batches(const std::string& run, int perBatch) {
    CUploadDb pending;
    if (!pending.InitPending()) return 3;
    for (int batch = 0; batch < 100000; ++batch) {
        if (!pending.BeginTransaction()) return 4;
        for (int i = 0; i < perBatch; ++i) {
            PendingRecord r{};
            const std::string path =
                "\\r" + run + "\\b" + std::to_string(batch) + "\\" + std::to_string(i) + ".jpg";
            WStrCopyN(r.szFilePath, FromUtf8(path).c_str(), MAX_PATH);
            r.stSubmit = SYSTEMTIME{2024, 5, 0, 11, 8, 0, 0, static_cast<WORD>(i)};
            r.dwType = PENDING_TYPE_PHOTO;
            if (!pending.AddPending(&r)) return 5;
        }
        if (!pending.EndTransaction(TRUE)) return 6;
        Say(std::to_string(batch));
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "cedb" && argc == 5) {
        return Cedb(FromUtf8(argv[2]), FromUtf8(argv[3]), strtoul(argv[4], nullptr, 10));
    }
    if (mode == "registry" && argc == 4) return Registry(argv[2], atoi(argv[3]));
    if (mode == "records" && argc == 3) return Records(atol(argv[2]));
    if (mode == "batches" && argc == 4) return Batches(argv[2], atoi(argv[3]));
    fprintf(stderr,
            "usage: vantlo-test-writer cedb VOLUME TAG COUNT | registry PREFIX COUNT | "
            "records FIRST | batches RUN PER_BATCH\n");
    return 2;
}
