// Small file helpers the engines share, over the platform's file calls.
#pragma once

#include <string>

#include "platform/files.h"
#include "platform/types.h"
#include "platform/wstr.h"

// An open file, closed when it goes.
class FileHandle {
  public:
    explicit FileHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    ~FileHandle() { Close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle& operator=(HANDLE h) {
        Close();
        h_ = h;
        return *this;
    }
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    // True when the file was closed cleanly (or was not open).
    bool Close() {
        if (!valid()) return true;
        HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return CloseHandle(h) != FALSE;
    }

  private:
    HANDLE h_;  // the file, or INVALID_HANDLE_VALUE
};

// The last component of a device or host path.
WString FileNameOf(const WString& path);
// The folder of a device or host path ("\Outbox\YouTube" -> "\Outbox"); empty at the top.
WString ParentOf(const WString& path);
// Creates folder unless it is there; false (traced) when it cannot be had.
bool EnsureDeviceFolder(const WString& folder, const char* tag);
// Replaces the file at path with bytes: written beside it, flushed, then renamed, so the
// path never holds a half-written file. Creates the file's folder when missing. False
// (traced, nothing left behind) on failure.
bool WriteWholeFile(const WString& path, const std::string& bytes, const char* tag);
