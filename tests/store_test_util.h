// Helpers shared by the store tests: keys and entries built from numbers, trace capture,
// and direct access to the upload databases through the volume wrapper.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "store/db_volume.h"
#include "store/upload_db.h"
#include "tests/store_keys.h"
#include "tests/support/test_env.h"

// Cases that fill 10000 records put their device root in memory when the host has a memory
// file system: every record is its own flushed transaction, and on a busy disk the flushes
// alone would take minutes. What survives on the real disk is tested separately.
inline void PreferMemoryFolder() {
    std::error_code ec;
    if (std::filesystem::is_directory("/dev/shm", ec)) setenv("TEST_TMPDIR", "/dev/shm/", 1);
}

// Collects the trace lines of the current test in a file of its runtime folder.
class TraceCapture {
  public:
    explicit TraceCapture(const std::string& runtimeDir) : path_(runtimeDir + "/trace.log") {
        setenv("VANTLO_TRACE_FILE", path_.c_str(), 1);
    }
    ~TraceCapture() { unsetenv("VANTLO_TRACE_FILE"); }
    std::string Text() const { return ReadHostFile(path_); }
    bool Contains(const std::string& line) const { return Text().find(line) != std::string::npos; }

  private:
    std::string path_;
};

// Direct access to one database of the upload volume, next to the CUploadDb under test.
class DirectDb {
  public:
    DirectDb(LPCWSTR name, int sortIndex, BOOL autoAdvance = TRUE) : volume_(CreateDbVolume()) {
        if (volume_ && volume_->Mount(UPLOAD_DB_VOLUME)) {
            db_ = volume_->OpenDatabase(name, sortIndex, autoAdvance);
        }
    }
    ~DirectDb() {
        if (volume_) volume_->Release(db_);
        delete volume_;
    }
    DirectDb(const DirectDb&) = delete;
    DirectDb& operator=(const DirectDb&) = delete;
    IDatabase* operator->() const { return db_; }
    IDatabase* get() const { return db_; }

  private:
    IDbVolume* volume_;
    IDatabase* db_ = nullptr;
};
