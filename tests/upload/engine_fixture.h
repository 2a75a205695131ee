// Test side of the recording engine: installs a test library into the device root and
// reaches the recording engine's controls through the same loaded copy the hosts use.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "platform/devpath.h"
#include "platform/module.h"
#include "platform/types.h"
#include "platform/wstr.h"
#include "tests/support/test_env.h"

// Test libraries built into build/bin.
constexpr const char kRecordingEngine[] = "vantlo-test-engine.so";
constexpr const char kEngineWithoutCreate[] = "vantlo-test-engine-nocreate.so";
constexpr const char kEngineWithoutRelease[] = "vantlo-test-engine-norelease.so";
constexpr const char kSampleModule[] = "vantlo-test-module.so";

// Copies a built test library to a device path such as \Windows\Zorvid.dll.
inline void InstallLibrary(const std::string& built, LPCWSTR devicePath) {
    std::string target = HostPath(devicePath);
    std::filesystem::create_directories(std::filesystem::path(target).parent_path());
    std::filesystem::copy_file(BinPath(built), target,
                               std::filesystem::copy_options::overwrite_existing);
}

// The lines a test library appended to <root>/<file> ("loaded", "unloaded").
inline std::vector<std::string> LifecycleEvents(const std::string& root, const std::string& file) {
    std::istringstream in(ReadHostFile(root + "/" + file));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The controls of one loaded copy of the recording engine. Holding it keeps the library
// mapped, so the log can still be read after a host released the engine.
class RecordingEngine {
  public:
    explicit RecordingEngine(LPCWSTR devicePath) : module_(LoadLibraryW(devicePath)) {
        if (!module_) return;
        log_ = GetProcAddressAs<size_t (*)(char16_t*, size_t)>(module_, "RecEngine_Log");
        clear_ = GetProcAddressAs<void (*)()>(module_, "RecEngine_ClearLog");
        setResult_ =
            GetProcAddressAs<void (*)(const char*, HRESULT)>(module_, "RecEngine_SetResult");
        autoProgress_ = GetProcAddressAs<void (*)(int)>(module_, "RecEngine_SetAutoProgress");
        report_ = GetProcAddressAs<HRESULT (*)(HRESULT, DWORD, LONG)>(module_, "RecEngine_Report");
        albums_ =
            GetProcAddressAs<HRESULT (*)(HRESULT, LPCWSTR)>(module_, "RecEngine_ReportAlbumList");
    }
    ~RecordingEngine() {
        if (module_) FreeLibrary(module_);
    }
    RecordingEngine(const RecordingEngine&) = delete;
    RecordingEngine& operator=(const RecordingEngine&) = delete;

    bool Ready() const {
        return module_ && log_ && clear_ && setResult_ && autoProgress_ && report_ && albums_;
    }

    // Every call the engine got, oldest first, as "op|arg|arg".
    std::vector<WString> Log() const {
        std::vector<WString> entries;
        size_t n = log_(nullptr, 0);
        WString all(n, u'\0');
        log_(all.data(), n + 1);
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find(u'\n', start);
            if (end == WString::npos) end = all.size();
            entries.push_back(all.substr(start, end - start));
            start = end + 1;
        }
        return entries;
    }
    // The log entries whose operation is op.
    std::vector<WString> Calls(const std::string& op) const {
        std::vector<WString> hits;
        WString wop = FromUtf8(op);
        for (const WString& e : Log()) {
            if (e == wop || e.rfind(wop + u"|", 0) == 0) hits.push_back(e);
        }
        return hits;
    }
    void ClearLog() { clear_(); }
    void SetResult(const char* op, HRESULT hr) { setResult_(op, hr); }
    void SetAutoProgress(bool on) { autoProgress_(on ? 1 : 0); }
    HRESULT Report(HRESULT hr, DWORD value, LONG percent) { return report_(hr, value, percent); }
    HRESULT ReportAlbumList(HRESULT hr, LPCWSTR path) { return albums_(hr, path); }

  private:
    HMODULE module_;                                     // our own load of the engine library
    size_t (*log_)(char16_t*, size_t) = nullptr;         // RecEngine_Log
    void (*clear_)() = nullptr;                          // RecEngine_ClearLog
    void (*setResult_)(const char*, HRESULT) = nullptr;  // RecEngine_SetResult
    void (*autoProgress_)(int) = nullptr;                // RecEngine_SetAutoProgress
    HRESULT (*report_)(HRESULT, DWORD, LONG) = nullptr;  // RecEngine_Report
    HRESULT (*albums_)(HRESULT, LPCWSTR) = nullptr;      // RecEngine_ReportAlbumList
};
