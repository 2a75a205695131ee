#include "services/engines/core/outbox_upload.h"

#include <algorithm>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/trace.h"
#include "services/engines/core/engine_common.h"
#include "services/engines/core/engine_files.h"
#include "services/engines/core/engine_settings.h"

namespace {

// Gives up looking for a free copy name after this many.
constexpr int kMaxNameCounter = 10000;
// Gives up looking for a free ".part" name after this many.
constexpr int kMaxPartCounter = 100;
// A throttled copy moves about this many chunks per second, so that it reacts quickly.
constexpr DWORD kThrottledChunksPerSecond = 10;

// The name of the n-th copy of name: "clip.mp4", "clip (2).mp4", "clip (3).mp4" ...
WString CopyName(const WString& name, int n) {
    if (n < 2) return name;
    size_t dot = name.find_last_of(u'.');
    if (dot == 0 || dot == WString::npos) dot = name.size();
    std::string counter = " (" + std::to_string(n) + ")";
    return name.substr(0, dot) + FromUtf8(counter) + name.substr(dot);
}

}  // namespace

// One upload from its start to its end, on the worker thread.
class COutboxUploader::Copy {
  public:
    Copy(COutboxUploader& owner, const WString& source)
        : owner_(owner), svc_(owner.service_), source_(source) {}
    ~Copy() { End(S_OK); }  // an upload cut short by a failure still loses its partial copy
    Copy(const Copy&) = delete;
    Copy& operator=(const Copy&) = delete;

    Outcome Run() {
        const EngineSettings settings = ReadEngineSettings(svc_.settingsKey, svc_.tag);
        faultArmed_ = settings.failCode != S_OK && settings.failAtPercent <= 100;
        if (faultArmed_) {
            Trace("[%s] upload %s: limit %u bytes/s, fault 0x%08x injected at %u%%", svc_.tag,
                  source_, static_cast<unsigned>(settings.bytesPerSecond),
                  static_cast<unsigned>(settings.failCode),
                  static_cast<unsigned>(settings.failAtPercent));
        } else if (settings.bytesPerSecond != 0) {
            Trace("[%s] upload %s: limit %u bytes/s", svc_.tag, source_,
                  static_cast<unsigned>(settings.bytesPerSecond));
        }
        if (!OpenSource()) return End(svc_.sourceFailed);
        if (!OpenPart()) return End(svc_.outboxFailed);
        if (faultArmed_ && settings.failAtPercent == 0) {
            return Fail(settings.failCode, 0);
        }
        owner_.report_(owner_.context_, S_OK, 0, 0);

        const DWORD chunk =
            settings.bytesPerSecond == 0
                ? OUTBOX_CHUNK_BYTES
                : std::clamp<DWORD>(settings.bytesPerSecond / kThrottledChunksPerSecond, 1,
                                    OUTBOX_CHUNK_BYTES);
        std::vector<BYTE>& buffer = owner_.buffer_;
        if (buffer.size() < chunk) buffer.resize(chunk);
        const auto started = std::chrono::steady_clock::now();
        // At full speed the bytes stay within the system; should that fail, reading and
        // writing take over, which also tells which side failed.
        bool inSystem = settings.bytesPerSecond == 0;
        for (;;) {
            if (owner_.CancelRequested()) return Fail(svc_.cancelled, percent_);
            DWORD got = 0;
            if (inSystem && !CopyFileBytes(in_.get(), out_.get(), chunk, &got)) {
                inSystem = false;
                if (got == 0) continue;
            } else if (!inSystem) {
                if (!ReadFile(in_.get(), buffer.data(), chunk, &got, nullptr)) {
                    Trace("[%s] reading %s failed (error %u)", svc_.tag, source_,
                          static_cast<unsigned>(GetLastError()));
                    return Fail(svc_.sourceFailed, percent_);
                }
                if (got == 0) break;
                DWORD written = 0;
                if (!WriteFile(out_.get(), buffer.data(), got, &written, nullptr)) {
                    Trace("[%s] writing %s failed (error %u)", svc_.tag, part_,
                          static_cast<unsigned>(GetLastError()));
                    return Fail(svc_.outboxFailed, percent_);
                }
            }
            if (got == 0) break;
            done_ += got;
            // The file may have grown since its size was taken: count it as nearly done.
            const LONG reached =
                total_ == 0 ? 100
                            : static_cast<LONG>(std::min<uint64_t>(done_ * 100 / total_, 100));
            if (faultArmed_ && reached >= static_cast<LONG>(settings.failAtPercent)) {
                return Fail(settings.failCode, static_cast<LONG>(settings.failAtPercent));
            }
            // 100 is said only once the copy has its final name.
            const LONG percent = std::min<LONG>(reached, 99);
            if (percent != percent_) {
                percent_ = percent;
                owner_.report_(owner_.context_, S_OK, percent_, done_);
            }
            if (settings.bytesPerSecond != 0) {
                const auto due =
                    started + std::chrono::microseconds(done_ * 1000000 / settings.bytesPerSecond);
                if (!owner_.WaitUntil(due)) return Fail(svc_.cancelled, percent_);
            }
        }
        in_.Close();
        // An empty file, or one that shrank, reaches the fault only at its end.
        if (faultArmed_) return Fail(settings.failCode, static_cast<LONG>(settings.failAtPercent));
        if (!FlushFileBuffers(out_.get()) || !out_.Close()) {
            Trace("[%s] %s could not be flushed (error %u)", svc_.tag, part_,
                  static_cast<unsigned>(GetLastError()));
            return Fail(svc_.outboxFailed, percent_);
        }
        if (owner_.CancelRequested()) return Fail(svc_.cancelled, percent_);
        if (!Commit()) return Fail(svc_.outboxFailed, percent_);
        return End(S_OK, 100);
    }

  private:
    bool OpenSource() {
        name_ = FileNameOf(source_);
        if (name_.empty() || name_ == u"." || name_ == u"..") {
            Trace("[%s] %s names no file", svc_.tag, source_);
            return false;
        }
        in_ = CreateFileW(source_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                          nullptr);
        if (!in_.valid()) {
            Trace("[%s] cannot open %s (error %u)", svc_.tag, source_,
                  static_cast<unsigned>(GetLastError()));
            return false;
        }
        DWORD high = 0;
        SetLastError(ERROR_SUCCESS);
        DWORD low = GetFileSize(in_.get(), &high);
        if (low == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
            Trace("[%s] cannot size %s (error %u)", svc_.tag, source_,
                  static_cast<unsigned>(GetLastError()));
            return false;
        }
        total_ = (static_cast<uint64_t>(high) << 32) | low;
        return true;
    }

    // Creates a fresh ".part" file in the outbox; another writer's part is never reused.
    bool OpenPart() {
        const WString folder(svc_.outboxFolder);
        bool foldersMade = false;
        for (int n = 1; n <= kMaxPartCounter; ++n) {
            WString candidate = folder + u"\\" + name_;
            if (n > 1) candidate += u"." + FromUtf8(std::to_string(n));
            candidate += u".part";
            out_ =
                CreateFileW(candidate.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
            if (out_.valid()) {
                part_ = candidate;
                return true;
            }
            DWORD err = GetLastError();
            // The outbox is made when it is missing (first use, or removed since), not
            // looked for before every upload.
            if (err == ERROR_PATH_NOT_FOUND && !foldersMade) {
                if (!EnsureDeviceFolder(ParentOf(folder), svc_.tag) ||
                    !EnsureDeviceFolder(folder, svc_.tag)) {
                    return false;
                }
                foldersMade = true;
                --n;
                continue;
            }
            if (err != ERROR_FILE_EXISTS && err != ERROR_ALREADY_EXISTS) {
                Trace("[%s] cannot create %s (error %u)", svc_.tag, candidate,
                      static_cast<unsigned>(err));
                return false;
            }
        }
        Trace("[%s] no free name for the partial copy of %s", svc_.tag, name_);
        return false;
    }

    // Gives the flushed copy its final name, the first one not taken.
    bool Commit() {
        const WString folder(svc_.outboxFolder);
        for (int n = 1; n <= kMaxNameCounter; ++n) {
            WString target = folder + u"\\" + CopyName(name_, n);
            if (MoveFileW(part_.c_str(), target.c_str())) {
                Trace("[%s] %s uploaded as %s (%llu bytes)", svc_.tag, source_, target,
                      static_cast<unsigned long long>(done_));
                part_.clear();
                return true;
            }
            if (GetLastError() != ERROR_ALREADY_EXISTS && GetLastError() != ERROR_FILE_EXISTS) {
                Trace("[%s] cannot name the copy %s (error %u)", svc_.tag, target,
                      static_cast<unsigned>(GetLastError()));
                return false;
            }
        }
        Trace("[%s] no free name for the copy of %s", svc_.tag, name_);
        return false;
    }

    // Ends the upload with hr at percent, removing the partial copy.
    Outcome Fail(HRESULT hr, LONG percent) {
        Trace("[%s] upload %s ends with 0x%08x at %d%%", svc_.tag, source_,
              static_cast<unsigned>(hr), static_cast<int>(percent));
        return End(hr, percent);
    }

    Outcome End(HRESULT hr, LONG percent = 0) {
        in_.Close();
        out_.Close();
        if (!part_.empty() && !DeleteFileW(part_.c_str())) {
            Trace("[%s] cannot remove the partial copy %s (error %u)", svc_.tag, part_,
                  static_cast<unsigned>(GetLastError()));
        }
        part_.clear();
        return Outcome{hr, percent, done_};
    }

    COutboxUploader& owner_;    // the uploader: reports, cancel requests, throttle waits
    const UploadService& svc_;  // the engine's constants
    const WString source_;      // the file being uploaded
    WString name_;              // its file name
    WString part_;              // the partial copy while it exists
    FileHandle in_;             // the source
    FileHandle out_;            // the partial copy
    uint64_t total_ = 0;        // the source's size when it was opened
    uint64_t done_ = 0;         // bytes copied
    LONG percent_ = 0;          // the last percent reported
    bool faultArmed_ = false;   // an injected fault waits for its percent
};

COutboxUploader::COutboxUploader(const UploadService& service, UploadReportFn report, void* context)
    : service_(service), report_(report), context_(context), worker_(service.tag, 1) {}

HRESULT COutboxUploader::Begin() {
    return worker_.Start();
}

HRESULT COutboxUploader::Start(const WString& source) {
    {
        std::lock_guard<std::mutex> g(lock_);
        if (busy_) {
            Trace("[%s] upload of %s refused: %s has not ended", service_.tag, source, current_);
            return ENGINE_E_BUSY;
        }
        busy_ = true;
        cancel_ = false;
        current_ = source;
    }
    HRESULT hr = worker_.Post([this, source] { Run(source); });
    if (FAILED(hr)) {
        std::lock_guard<std::mutex> g(lock_);
        busy_ = false;
        current_.clear();
    }
    return hr;
}

HRESULT COutboxUploader::Cancel(LPCWSTR path) {
    std::lock_guard<std::mutex> g(lock_);
    if (!busy_) {
        Trace("[%s] cancel of %s: no upload is running", service_.tag, path);
        return S_FALSE;
    }
    if (path && *path && WStrICmp(path, current_.c_str()) != 0) {
        Trace("[%s] cancel of %s: the running upload is %s", service_.tag, path, current_);
        return S_FALSE;
    }
    Trace("[%s] cancel of %s", service_.tag, current_);
    cancel_ = true;
    wake_.notify_all();
    return S_OK;
}

bool COutboxUploader::End() {
    if (worker_.OnWorker()) {
        Trace("[%s] the upload thread cannot end itself", service_.tag);
        return false;
    }
    {
        std::lock_guard<std::mutex> g(lock_);
        silent_ = true;
        cancel_ = true;
        wake_.notify_all();
    }
    return worker_.Stop();
}

void COutboxUploader::Run(const WString& source) {
    Outcome outcome{E_FAIL, 0, 0};
    HRESULT hr = EngineGuard(service_.tag, [&] {
        outcome = Copy(*this, source).Run();
        return S_OK;
    });
    if (FAILED(hr)) outcome = Outcome{hr, 0, 0};
    bool silent;
    {
        // The upload has ended before its last report goes out, so that the receiver may
        // start the next one from inside that report.
        std::lock_guard<std::mutex> g(lock_);
        busy_ = false;
        cancel_ = false;
        current_.clear();
        silent = silent_;
    }
    if (!silent) report_(context_, outcome.hr, outcome.percent, outcome.bytes);
}

bool COutboxUploader::CancelRequested() {
    std::lock_guard<std::mutex> g(lock_);
    return cancel_;
}

bool COutboxUploader::WaitUntil(std::chrono::steady_clock::time_point t) {
    std::unique_lock<std::mutex> g(lock_);
    return !wake_.wait_until(g, t, [this] { return cancel_; });
}
