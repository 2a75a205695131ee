// The engines' upload: the file is copied in chunks into the service's outbox folder on the
// engine's own thread, reporting (hr, percent) as it goes. The copy is written under a
// ".part" name, flushed and only then given its final name, so a half-written file never
// carries a final name; an existing file is never overwritten (the copy gets " (2)", " (3)"
// ... before its extension instead).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/types.h"
#include "platform/wstr.h"
#include "services/engines/core/job_thread.h"

// What tells one engine's uploads from the other's.
struct UploadService {
    const char* tag;       // trace prefix and worker name
    LPCWSTR settingsKey;   // registry key of the engine's settings (engine_settings.h)
    LPCWSTR outboxFolder;  // device folder the copies go to
    HRESULT sourceFailed;  // reported when the file is missing or unreadable
    HRESULT outboxFailed;  // reported when the copy cannot be written
    HRESULT cancelled;     // reported when the upload was cancelled
};

// Receives one report of the running upload: hr, percent and the bytes copied so far.
using UploadReportFn = void (*)(void* context, HRESULT hr, LONG percent, uint64_t bytes);

// Copies in chunks of this size at most: a phone photo goes in one read and one write, and a
// large video still reports every percent.
constexpr DWORD OUTBOX_CHUNK_BYTES = 256 * 1024;

class COutboxUploader {
  public:
    COutboxUploader(const UploadService& service, UploadReportFn report, void* context);
    COutboxUploader(const COutboxUploader&) = delete;
    COutboxUploader& operator=(const COutboxUploader&) = delete;

    // Starts the worker thread; E_FAIL when it cannot be had.
    HRESULT Begin();
    // Starts uploading the file at source (device or host path); progress follows through
    // the report function. ENGINE_E_BUSY while the previous upload has not ended.
    HRESULT Start(const WString& source);
    // Cancels the running upload if path is null, empty, or names its file (ignoring ASCII
    // case); it then ends with the cancellation code. Returns at once: S_OK when an upload
    // was told to stop, S_FALSE when none matched.
    HRESULT Cancel(LPCWSTR path);
    // Stops the running upload without a final report (its partial copy is removed) and ends
    // the worker. False, and nothing stopped, when called on the worker itself.
    bool End();
    // True on the worker thread.
    bool OnWorker() const { return worker_.OnWorker(); }

  private:
    struct Outcome {
        HRESULT hr;      // the final report's result
        LONG percent;    // the final report's percent
        uint64_t bytes;  // bytes copied
    };
    class Copy;

    void Run(const WString& source);
    bool CancelRequested();
    // Waits until t; false as soon as a cancel is asked for.
    bool WaitUntil(std::chrono::steady_clock::time_point t);

    const UploadService& service_;  // the engine's constants
    UploadReportFn report_;         // where the reports go
    void* context_;                 // handed back with each report
    std::mutex lock_;               // guards the fields below
    std::condition_variable wake_;  // a cancel was asked for
    bool busy_ = false;             // an upload was accepted and has not ended
    bool cancel_ = false;           // the running upload must stop
    bool silent_ = false;           // the engine is going away: no final report
    WString current_;               // the running upload's source path
    std::vector<BYTE> buffer_;      // the copy buffer, kept between uploads (worker only)
    CJobThread worker_;             // the engine's upload thread; declared last, ends first
};
