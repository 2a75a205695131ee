#include "services/engines/core/engine_files.h"

#include "platform/trace.h"

WString FileNameOf(const WString& path) {
    size_t cut = path.find_last_of(u"\\/");
    return cut == WString::npos ? path : path.substr(cut + 1);
}

WString ParentOf(const WString& path) {
    size_t cut = path.find_last_of(u"\\/");
    return cut == WString::npos || cut == 0 ? WString() : path.substr(0, cut);
}

bool EnsureDeviceFolder(const WString& folder, const char* tag) {
    if (folder.empty()) return true;  // the root is always there
    if (CreateDirectoryW(folder.c_str(), nullptr)) return true;
    DWORD attrs = GetFileAttributesW(folder.c_str());
    if (attrs != INVALID_FILE_ATTRIBUTES && (attrs & FILE_ATTRIBUTE_DIRECTORY)) return true;
    Trace("[%s] cannot create folder %s (error %u)", tag, folder,
          static_cast<unsigned>(GetLastError()));
    return false;
}

bool WriteWholeFile(const WString& path, const std::string& bytes, const char* tag) {
    if (!EnsureDeviceFolder(ParentOf(path), tag)) return false;
    const WString temp = path + u".tmp";
    FileHandle out(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    if (!out.valid()) {
        Trace("[%s] cannot create %s (error %u)", tag, temp, static_cast<unsigned>(GetLastError()));
        return false;
    }
    DWORD written = 0;
    bool ok =
        WriteFile(out.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        FlushFileBuffers(out.get());
    ok = out.Close() && ok;
    if (ok && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
        ok = DeleteFileW(path.c_str()) != FALSE;
    }
    ok = ok && MoveFileW(temp.c_str(), path.c_str());
    if (!ok) {
        Trace("[%s] cannot write %s (error %u)", tag, path, static_cast<unsigned>(GetLastError()));
        DeleteFileW(temp.c_str());
        return false;
    }
    return true;
}
