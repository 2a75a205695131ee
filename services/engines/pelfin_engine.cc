// Pelfin.dll, the photo engine: an upload copies the photo into the device's
// \Outbox\Facebook folder on the engine's own thread and reports (hr, bytes, percent)
// through the registered sink; an album list request writes the albums named in the
// registry (or a few demo albums) as the album list file and reports it from a thread of
// its own, so that a running upload does not hold it up.
#include <mutex>

#include "platform/engine_abi.h"
#include "platform/trace.h"
#include "services/engines/core/album_list_file.h"
#include "services/engines/core/engine_common.h"
#include "services/engines/core/engine_files.h"
#include "services/engines/core/engine_settings.h"
#include "services/engines/core/job_thread.h"
#include "services/engines/core/outbox_upload.h"
#include "services/engines/core/sink_gate.h"

namespace {

constexpr char kTag[] = "Pelfin";
constexpr char kAlbumTag[] = "Pelfin albums";
// Album list requests allowed to wait behind the one being written.
constexpr size_t kMaxQueuedAlbumRequests = 4;

const UploadService kPhotoUploads = {
    kTag,
    PELFIN_SETTINGS_KEY,
    u"\\Outbox\\Facebook",
    PHOTO_ENGINE_SOURCE_FAILED,
    PHOTO_ENGINE_OUTBOX_FAILED,
    PHOTO_ENGINE_CANCELLED,
};

class CPelfinEngine : public PhotoEngine {
  public:
    CPelfinEngine();

    // Writes the album list file at path; the outcome goes to the sink.
    void WriteAlbumList(const WString& session, const WString& path);

    CSinkGate gate{kTag};                                   // the registered sink
    COutboxUploader uploads;                                // the upload thread
    CJobThread albums{kAlbumTag, kMaxQueuedAlbumRequests};  // the album list thread
    std::mutex sessionLock;                                 // guards the session texts
    WString sessionFirst;                                   // first session text
    WString sessionThird;                                   // third session text
};

CPelfinEngine* Self(PhotoEngine* engine) {
    return static_cast<CPelfinEngine*>(engine);
}

void ReportUpload(void* context, HRESULT hr, LONG percent, uint64_t bytes) {
    const DWORD value = bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<DWORD>(bytes);
    static_cast<CPelfinEngine*>(context)->gate.Call([&](void* s) {
        auto* sink = static_cast<PhotoEngineSink*>(s);
        if (sink->ops && sink->ops->OnUpload) sink->ops->OnUpload(sink, hr, value, percent);
    });
}

void CPelfinEngine::WriteAlbumList(const WString& session, const WString& path) {
    std::vector<AlbumEntry> list;
    WString setting;
    if (ReadEngineString(PELFIN_SETTINGS_KEY, u"Albums", &setting, kTag)) {
        list = ParseAlbumSetting(setting, kTag);
    } else {
        list = DefaultAlbums();
    }
    HRESULT hr = WriteWholeFile(path, BuildAlbumListXml(list), kTag) ? S_OK : E_FAIL;
    DWORD injected = 0;
    if (SUCCEEDED(hr) &&
        ReadEngineDword(PELFIN_SETTINGS_KEY, u"AlbumListFailCode", &injected, kTag)) {
        hr = static_cast<HRESULT>(injected);
    }
    Trace("[Pelfin] album list of %s: %u albums in %s, 0x%08x", session,
          static_cast<unsigned>(list.size()), path, static_cast<unsigned>(hr));
    gate.Call([&](void* s) {
        auto* sink = static_cast<PhotoEngineSink*>(s);
        if (sink->ops && sink->ops->OnAlbumList) sink->ops->OnAlbumList(sink, hr, path.c_str());
    });
}

HRESULT SetSession(PhotoEngine* self, LPCWSTR first, LPCWSTR third) {
    if (!self) return E_POINTER;
    return EngineGuard("Pelfin session", [&] {
        CPelfinEngine* e = Self(self);
        std::lock_guard<std::mutex> g(e->sessionLock);
        e->sessionFirst = first ? first : u"";
        e->sessionThird = third ? third : u"";
        return S_OK;
    });
}

HRESULT StartUpload(PhotoEngine* self, LPCWSTR path, LPCWSTR, LPCWSTR) {
    if (!self || !path) return E_POINTER;
    return EngineGuard("Pelfin start", [&] {
        Trace("[Pelfin] upload %s", path);
        return Self(self)->uploads.Start(path);
    });
}

HRESULT FetchAlbumList(PhotoEngine* self, LPCWSTR session, LPCWSTR path) {
    if (!self) return E_POINTER;
    return EngineGuard("Pelfin albums", [&] {
        CPelfinEngine* e = Self(self);
        WString owner = session ? session : u"";
        WString file = path && *path ? path : ALBUM_LIST_RESULT_FILE;
        return e->albums.Post([e, owner, file] { e->WriteAlbumList(owner, file); });
    });
}

HRESULT CancelUpload(PhotoEngine* self, LPCWSTR path, LPCWSTR, LPCWSTR) {
    if (!self) return E_POINTER;
    return EngineGuard("Pelfin cancel", [&] { return Self(self)->uploads.Cancel(path); });
}

HRESULT RegisterSink(PhotoEngine* self, PhotoEngineSink* sink) {
    if (!self) return E_POINTER;
    return EngineGuard("Pelfin sink", [&] { return Self(self)->gate.Register(sink); });
}

HRESULT UnregisterSink(PhotoEngine* self, PhotoEngineSink* sink) {
    if (!self) return E_POINTER;
    return EngineGuard("Pelfin sink", [&] { return Self(self)->gate.Unregister(sink); });
}

HRESULT Control(PhotoEngine* self, LPCWSTR a, LPCWSTR) {
    if (!self) return E_POINTER;
    Trace("[Pelfin] control request %s not supported", a);
    return E_NOTIMPL;
}

const PhotoEngineOps kPhotoOps = {
    .reserved0 = nullptr,
    .reserved1 = nullptr,
    .reserved2 = nullptr,
    .reserved3 = nullptr,
    .Control4 = Control,
    .StartUpload = StartUpload,
    .FetchAlbumList = FetchAlbumList,
    .Control7 = Control,
    .CancelUpload = CancelUpload,
    .SetSession = SetSession,
    .reserved10 = nullptr,
    .reserved11 = nullptr,
    .reserved12 = nullptr,
    .reserved13 = nullptr,
    .reserved14 = nullptr,
    .reserved15 = nullptr,
    .reserved16 = nullptr,
    .reserved17 = nullptr,
    .reserved18 = nullptr,
    .reserved19 = nullptr,
    .RegisterSink = RegisterSink,
    .UnregisterSink = UnregisterSink,
};

CPelfinEngine::CPelfinEngine()
    : PhotoEngine{&kPhotoOps}, uploads(kPhotoUploads, ReportUpload, this) {}

}  // namespace

// Creates a photo engine with its threads running; *engine is null on failure.
ENGINE_EXPORT HRESULT CreatePelfinEngine(PhotoEngine** engine) {
    if (!engine) return E_POINTER;
    *engine = nullptr;
    return EngineGuard("CreatePelfinEngine", [&] {
        auto* e = new CPelfinEngine;
        HRESULT hr = e->uploads.Begin();
        if (SUCCEEDED(hr)) hr = e->albums.Start();
        if (FAILED(hr)) {
            e->uploads.End();
            delete e;
            return hr;
        }
        *engine = e;
        return S_OK;
    });
}

// Stops the engine (a running upload ends without a report, its partial copy removed;
// album requests not yet begun are dropped) and destroys it. Refused on the engine's own
// threads, which cannot wait for their own end.
ENGINE_EXPORT HRESULT ReleasePelfinEngine(PhotoEngine** engine) {
    if (!engine) return E_POINTER;
    if (!*engine) return S_OK;
    CPelfinEngine* e = Self(*engine);
    if (e->uploads.OnWorker() || e->albums.OnWorker()) {
        Trace("[Pelfin] the engine cannot be released from its own thread");
        return ENGINE_E_WRONG_THREAD;
    }
    e->gate.Unregister(nullptr);
    e->uploads.End();
    e->albums.Stop();
    delete e;
    *engine = nullptr;
    return S_OK;
}
