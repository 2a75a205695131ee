// Test side of the recording engine: installs a test library into the device root and
// reaches the recording engine's controls through the same loaded copy the hosts use.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
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
    explicit RecordingEngine(LPCWSTR devicePath) : module_(LoadLibraryW(devicePath)) {}
    ~RecordingEngine() {
        if (module_) FreeLibrary(module_);
    }
    RecordingEngine(const RecordingEngine&) = delete;
    RecordingEngine& operator=(const RecordingEngine&) = delete;

    // Whether the library loaded with every control.
    bool Ready() const {
        for (const char* name : {"RecEngine_Log", "RecEngine_ClearLog", "RecEngine_SetResult",
                                 "RecEngine_Report", "RecEngine_ReportAlbumList"}) {
            if (!module_ || !GetProcAddress(module_, name)) return false;
        }
        return true;
    }

    // Every call the engine got, oldest first, as "op|arg|arg".
    std::vector<WString> Log() const {
        auto log = Fn<size_t (*)(char16_t*, size_t)>("RecEngine_Log");
        WString all(log(nullptr, 0), u'\0');
        log(all.data(), all.size() + 1);
        std::vector<WString> entries;
        for (size_t start = 0; start < all.size();) {
            size_t end = std::min(all.find(u'\n', start), all.size());
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
    void ClearLog() { Fn<void (*)()>("RecEngine_ClearLog")(); }
    void SetResult(const char* op, HRESULT hr) {
        Fn<void (*)(const char*, HRESULT)>("RecEngine_SetResult")(op, hr);
    }
    HRESULT Report(HRESULT hr, DWORD value, LONG percent) {
        return Fn<HRESULT (*)(HRESULT, DWORD, LONG)>("RecEngine_Report")(hr, value, percent);
    }
    HRESULT ReportAlbumList(HRESULT hr, LPCWSTR path) {
        return Fn<HRESULT (*)(HRESULT, LPCWSTR)>("RecEngine_ReportAlbumList")(hr, path);
    }

  private:
    template <class F>
    F Fn(const char* name) const {
        return GetProcAddressAs<F>(module_, name);
    }

    HMODULE module_;  // our own load of the engine library
};
