// Zorvid.dll, the video engine: an upload copies the video into the device's \Outbox\YouTube
// folder on the engine's own thread and reports (hr, percent) through the registered sink.
#include <mutex>

#include "platform/engine_abi.h"
#include "platform/trace.h"
#include "services/engines/core/engine_common.h"
#include "services/engines/core/engine_settings.h"
#include "services/engines/core/outbox_upload.h"
#include "services/engines/core/sink_gate.h"

namespace {

constexpr char kTag[] = "Zorvid";

const UploadService kVideoUploads = {
    kTag,
    ZORVID_SETTINGS_KEY,
    u"\\Outbox\\YouTube",
    VIDEO_ENGINE_SOURCE_FAILED,
    VIDEO_ENGINE_OUTBOX_FAILED,
    VIDEO_ENGINE_CANCELLED,
};

class CZorvidEngine : public VideoEngine {
  public:
    CZorvidEngine();

    CSinkGate gate{kTag};     // the registered sink
    COutboxUploader uploads;  // the upload thread
    std::mutex accountLock;   // guards account
    WString account;          // the account text of the next upload
};

CZorvidEngine* Self(VideoEngine* engine) {
    return static_cast<CZorvidEngine*>(engine);
}

void ReportUpload(void* context, HRESULT hr, LONG percent, uint64_t) {
    static_cast<CZorvidEngine*>(context)->gate.Call([&](void* s) {
        auto* sink = static_cast<VideoEngineSink*>(s);
        if (sink->ops && sink->ops->OnUpload) sink->ops->OnUpload(sink, hr, percent);
    });
}

HRESULT SetAccount(VideoEngine* self, LPCWSTR account) {
    if (!self || !account) return E_POINTER;
    return EngineGuard("Zorvid account", [&] {
        CZorvidEngine* e = Self(self);
        std::lock_guard<std::mutex> g(e->accountLock);
        e->account = account;
        return S_OK;
    });
}

HRESULT StartUpload(VideoEngine* self, const VideoUploadParams* params) {
    if (!self || !params || !params->path) return E_POINTER;
    return EngineGuard("Zorvid start", [&] {
        Trace("[Zorvid] upload %s: title \"%s\", category %s, tags \"%s\", private %u",
              params->path, params->title, params->category, params->tags,
              static_cast<unsigned>(params->privateFlag));
        return Self(self)->uploads.Start(params->path);
    });
}

HRESULT CancelUpload(VideoEngine* self, const VideoUploadParams* params) {
    if (!self || !params) return E_POINTER;
    return EngineGuard("Zorvid cancel", [&] { return Self(self)->uploads.Cancel(params->path); });
}

HRESULT RegisterSink(VideoEngine* self, VideoEngineSink* sink) {
    if (!self) return E_POINTER;
    return EngineGuard("Zorvid sink", [&] { return Self(self)->gate.Register(sink); });
}

HRESULT UnregisterSink(VideoEngine* self, VideoEngineSink* sink) {
    if (!self) return E_POINTER;
    return EngineGuard("Zorvid sink", [&] { return Self(self)->gate.Unregister(sink); });
}

HRESULT Control(VideoEngine* self, LPCWSTR arg) {
    if (!self) return E_POINTER;
    Trace("[Zorvid] control request %s not supported", arg);
    return E_NOTIMPL;
}

const VideoEngineOps kVideoOps = {
    .reserved0 = nullptr,
    .reserved1 = nullptr,
    .SetAccount = SetAccount,
    .StartUpload = StartUpload,
    .reserved4 = nullptr,
    .reserved5 = nullptr,
    .reserved6 = nullptr,
    .reserved7 = nullptr,
    .reserved8 = nullptr,
    .reserved9 = nullptr,
    .RegisterSink = RegisterSink,
    .UnregisterSink = UnregisterSink,
    .Control = Control,
    .CancelUpload = CancelUpload,
};

CZorvidEngine::CZorvidEngine()
    : VideoEngine{&kVideoOps}, uploads(kVideoUploads, ReportUpload, this) {}

}  // namespace

// Creates a video engine with its upload thread running; *engine is null on failure.
ENGINE_EXPORT HRESULT CreateZorvidEngine(VideoEngine** engine) {
    if (!engine) return E_POINTER;
    *engine = nullptr;
    return EngineGuard("CreateZorvidEngine", [&] {
        auto* e = new CZorvidEngine;
        HRESULT hr = e->uploads.Begin();
        if (FAILED(hr)) {
            delete e;
            return hr;
        }
        *engine = e;
        return S_OK;
    });
}

// Stops the engine (a running upload ends without a report, its partial copy removed) and
// destroys it. Refused on the engine's own thread, which cannot wait for its own end.
ENGINE_EXPORT HRESULT ReleaseZorvidEngine(VideoEngine** engine) {
    if (!engine) return E_POINTER;
    if (!*engine) return S_OK;
    CZorvidEngine* e = Self(*engine);
    if (e->uploads.OnWorker()) {
        Trace("[Zorvid] the engine cannot be released from its own thread");
        return ENGINE_E_WRONG_THREAD;
    }
    e->gate.Unregister(nullptr);
    e->uploads.End();
    delete e;
    *engine = nullptr;
    return S_OK;
}
