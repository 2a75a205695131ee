#include "upload/engine_host.h"

#include <atomic>
#include <new>

#include "platform/trace.h"

namespace {

VideoEngineHost* g_pVideoEngineHost = nullptr;  // the process-wide video host
PhotoEngineHost* g_pPhotoEngineHost = nullptr;  // the process-wide photo host

// The sinks' targets are set on the main thread and read on the engine's thread.
void* LoadTarget(void* const& slot) {
    return std::atomic_ref<void*>(const_cast<void*&>(slot)).load();
}
void StoreTarget(void*& slot, void* value) {
    std::atomic_ref<void*>(slot).store(value);
}

// An engine operation the library left out.
HRESULT Missing(const char* host, const char* op) {
    Trace("[EngineHost] %s engine has no %s operation", host, op);
    return E_NOTIMPL;
}

// ---- Video sink: only the progress report is passed on --------------------------------

void VideoSinkIgnore(VideoEngineSink*) {}

void VideoSinkOnUpload(VideoEngineSink* self, HRESULT hr, LONG percent) {
    auto* target = static_cast<CVideoEngineSink*>(self)->Target();
    if (target) target->OnUploadVideo(hr, percent);
}

const VideoEngineSinkOps kVideoSinkOps = {
    VideoSinkIgnore, VideoSinkOnUpload, VideoSinkIgnore, VideoSinkIgnore,
    VideoSinkIgnore, VideoSinkIgnore,   VideoSinkIgnore, VideoSinkIgnore,
};

// ---- Photo sink: every notice goes to the target's matching operation -----------------

IPhotoUploadCallback* PhotoTarget(PhotoEngineSink* self) {
    return static_cast<CPhotoEngineSink*>(self)->Target();
}

void PhotoSinkNotice0(PhotoEngineSink* self, HRESULT hr, LPCWSTR text) {
    if (auto* target = PhotoTarget(self)) target->OnPhotoNotice0(hr, text);
}
void PhotoSinkOnUpload(PhotoEngineSink* self, HRESULT hr, DWORD value, LONG percent) {
    if (auto* target = PhotoTarget(self)) target->OnUploadPhoto(hr, value, percent);
}
void PhotoSinkOnAlbumList(PhotoEngineSink* self, HRESULT hr, LPCWSTR path) {
    if (auto* target = PhotoTarget(self)) target->OnAlbumListResult(hr, path);
    if (auto* albums = static_cast<CPhotoEngineSink*>(self)->AlbumTarget()) {
        albums->OnAlbumListResult(hr, path);
    }
}
void PhotoSinkNotice3(PhotoEngineSink* self, HRESULT hr, LPCWSTR text) {
    if (auto* target = PhotoTarget(self)) target->OnPhotoNotice3(hr, text);
}

const PhotoEngineSinkOps kPhotoSinkOps = {
    PhotoSinkNotice0,
    PhotoSinkOnUpload,
    PhotoSinkOnAlbumList,
    PhotoSinkNotice3,
};

// ---- Loading and unloading ------------------------------------------------------------

// Loads the video engine into host; the host stays without engine on any failure.
HRESULT LoadVideoEngine(VideoEngineHost* host) {
    host->library = LoadLibraryW(VIDEO_ENGINE_LIBRARY);
    if (!host->library) {
        Trace("[EngineHost] video engine library %s not loaded (error %u)", VIDEO_ENGINE_LIBRARY,
              static_cast<unsigned>(GetLastError()));
        return S_OK;
    }
    auto create =
        GetProcAddressAs<PFN_CREATE_VIDEO_ENGINE>(host->library, VIDEO_ENGINE_CREATE_EXPORT);
    if (!create) {
        Trace("[EngineHost] video engine library has no %s", VIDEO_ENGINE_CREATE_EXPORT);
        return S_OK;
    }
    VideoEngine* engine = nullptr;
    HRESULT hr = create(&engine);
    if (FAILED(hr) || !engine || !engine->ops) {
        Trace("[EngineHost] %s failed: 0x%08x", VIDEO_ENGINE_CREATE_EXPORT,
              static_cast<unsigned>(hr));
        return FAILED(hr) ? hr : E_POINTER;
    }
    host->engineIf = engine;
    auto* sink = new (std::nothrow) CVideoEngineSink;
    if (!sink) return E_OUTOFMEMORY;
    host->sink.reset(sink);
    host->sink->SetTarget(host->target);
    if (!engine->ops->RegisterSink) return Missing("video", "register-sink");
    hr = engine->ops->RegisterSink(engine, sink);
    if (FAILED(hr))
        Trace("[EngineHost] video engine refused the sink: 0x%08x", static_cast<unsigned>(hr));
    return S_OK;
}

void UnloadVideoEngine(VideoEngineHost* host) {
    if (!host->library) return;
    auto release =
        GetProcAddressAs<PFN_RELEASE_VIDEO_ENGINE>(host->library, VIDEO_ENGINE_RELEASE_EXPORT);
    if (release) {
        if (host->sink && host->engineIf && host->engineIf->ops->UnregisterSink) {
            host->engineIf->ops->UnregisterSink(host->engineIf, host->sink.get());
        }
        host->sink.reset();
        if (host->engineIf) release(&host->engineIf);
    } else {
        Trace("[EngineHost] video engine library has no %s", VIDEO_ENGINE_RELEASE_EXPORT);
    }
    host->engineIf = nullptr;
    FreeLibrary(host->library);
    host->library = nullptr;
}

HRESULT LoadPhotoEngine(PhotoEngineHost* host) {
    host->library = LoadLibraryW(PHOTO_ENGINE_LIBRARY);
    if (!host->library) {
        Trace("[EngineHost] photo engine library %s not loaded (error %u)", PHOTO_ENGINE_LIBRARY,
              static_cast<unsigned>(GetLastError()));
        return S_OK;
    }
    auto create =
        GetProcAddressAs<PFN_CREATE_PHOTO_ENGINE>(host->library, PHOTO_ENGINE_CREATE_EXPORT);
    if (!create) {
        Trace("[EngineHost] photo engine library has no %s", PHOTO_ENGINE_CREATE_EXPORT);
        return S_OK;
    }
    PhotoEngine* engine = nullptr;
    HRESULT hr = create(&engine);
    if (FAILED(hr) || !engine || !engine->ops) {
        Trace("[EngineHost] %s failed: 0x%08x", PHOTO_ENGINE_CREATE_EXPORT,
              static_cast<unsigned>(hr));
        return FAILED(hr) ? hr : E_POINTER;
    }
    host->engineIf = engine;
    auto* sink = new (std::nothrow) CPhotoEngineSink;
    if (!sink) return E_OUTOFMEMORY;
    host->sink.reset(sink);
    if (!engine->ops->RegisterSink) return Missing("photo", "register-sink");
    hr = engine->ops->RegisterSink(engine, sink);
    if (FAILED(hr))
        Trace("[EngineHost] photo engine refused the sink: 0x%08x", static_cast<unsigned>(hr));
    return S_OK;
}

void UnloadPhotoEngine(PhotoEngineHost* host) {
    if (!host->library) return;
    auto release =
        GetProcAddressAs<PFN_RELEASE_PHOTO_ENGINE>(host->library, PHOTO_ENGINE_RELEASE_EXPORT);
    if (release) {
        if (host->sink && host->engineIf && host->engineIf->ops->UnregisterSink) {
            host->engineIf->ops->UnregisterSink(host->engineIf, host->sink.get());
        }
        host->sink.reset();
        if (host->engineIf) release(&host->engineIf);
    } else {
        Trace("[EngineHost] photo engine library has no %s", PHOTO_ENGINE_RELEASE_EXPORT);
    }
    host->engineIf = nullptr;
    FreeLibrary(host->library);
    host->library = nullptr;
}

}  // namespace

// ---- Sinks ----------------------------------------------------------------------------

CVideoEngineSink::CVideoEngineSink() : VideoEngineSink{&kVideoSinkOps, nullptr} {}

void CVideoEngineSink::SetTarget(IVideoUploadCallback* t) {
    StoreTarget(target, t);
}

IVideoUploadCallback* CVideoEngineSink::Target() const {
    return static_cast<IVideoUploadCallback*>(LoadTarget(target));
}

CPhotoEngineSink::CPhotoEngineSink() : PhotoEngineSink{&kPhotoSinkOps, nullptr} {}

void CPhotoEngineSink::SetTarget(IPhotoUploadCallback* t) {
    StoreTarget(target, t);
}

IPhotoUploadCallback* CPhotoEngineSink::Target() const {
    return static_cast<IPhotoUploadCallback*>(LoadTarget(target));
}

void CPhotoEngineSink::SetAlbumTarget(IAlbumListNotify* t) {
    albumTarget.store(t);
}

IAlbumListNotify* CPhotoEngineSink::AlbumTarget() const {
    return albumTarget.load();
}

// ---- Video host -----------------------------------------------------------------------

HRESULT VideoEngineHost::SetAccount(LPCWSTR account) {
    if (!engineIf) return E_POINTER;
    if (!engineIf->ops->SetAccount) return Missing("video", "account");
    return engineIf->ops->SetAccount(engineIf, account);
}

HRESULT VideoEngineHost::Control(LPCWSTR arg) {
    if (!engineIf) return E_POINTER;
    if (!engineIf->ops->Control) return Missing("video", "control");
    return engineIf->ops->Control(engineIf, arg);
}

HRESULT VideoEngineHost::StartUpload(const VideoUploadParams* params) {
    if (!params || !engineIf) return E_POINTER;
    if (!engineIf->ops->StartUpload) return Missing("video", "start");
    return engineIf->ops->StartUpload(engineIf, params);
}

HRESULT VideoEngineHost::CancelUpload(const VideoUploadParams* params) {
    if (!params || !engineIf) return E_POINTER;
    if (!engineIf->ops->CancelUpload) return Missing("video", "cancel");
    return engineIf->ops->CancelUpload(engineIf, params);
}

HRESULT VideoEngineHost::SetCallback(IVideoUploadCallback* callback) {
    target = callback;
    if (sink) sink->SetTarget(callback);
    return S_OK;
}

HRESULT VideoEngineHost::UnregisterSink() {
    if (!engineIf) return E_POINTER;
    if (!engineIf->ops->UnregisterSink) return Missing("video", "unregister-sink");
    engineIf->ops->UnregisterSink(engineIf, sink.get());
    return S_OK;
}

HRESULT CreateVideoEngineHost(VideoEngineHost** out) {
    if (!out) return E_POINTER;
    if (!g_pVideoEngineHost) {
        g_pVideoEngineHost = new (std::nothrow) VideoEngineHost;
        if (!g_pVideoEngineHost) {
            *out = nullptr;
            return E_OUTOFMEMORY;
        }
    }
    // A host whose library was missing tries again; one that has its library keeps it.
    if (!g_pVideoEngineHost->library) LoadVideoEngine(g_pVideoEngineHost);
    *out = g_pVideoEngineHost;
    return S_OK;
}

HRESULT ReleaseVideoEngineHost(VideoEngineHost** host) {
    if (!host || !*host) return E_POINTER;
    UnloadVideoEngine(*host);
    if (*host == g_pVideoEngineHost) g_pVideoEngineHost = nullptr;
    delete *host;
    *host = nullptr;
    return S_OK;
}

VideoEngineHost* GetVideoEngineHost() {
    return g_pVideoEngineHost;
}

// ---- Photo host -----------------------------------------------------------------------

HRESULT PhotoEngineHost::SetSession(LPCWSTR first, LPCWSTR third) {
    if (!engineIf) return E_POINTER;
    if (!engineIf->ops->SetSession) return Missing("photo", "session");
    return engineIf->ops->SetSession(engineIf, first, third);
}

HRESULT PhotoEngineHost::Control4(LPCWSTR a, LPCWSTR b) {
    if (!engineIf) return E_POINTER;
    if (!engineIf->ops->Control4) return Missing("photo", "control");
    return engineIf->ops->Control4(engineIf, a, b);
}

HRESULT PhotoEngineHost::StartUpload(LPCWSTR path, LPCWSTR b, LPCWSTR c) {
    if (!engineIf) return E_POINTER;
    if (!engineIf->ops->StartUpload) return Missing("photo", "start");
    return engineIf->ops->StartUpload(engineIf, path, b, c);
}

HRESULT PhotoEngineHost::FetchAlbumList(LPCWSTR session, LPCWSTR path) {
    if (!engineIf) return E_POINTER;
    if (!engineIf->ops->FetchAlbumList) return Missing("photo", "album-list");
    return engineIf->ops->FetchAlbumList(engineIf, session, path);
}

HRESULT PhotoEngineHost::Control7(LPCWSTR a, LPCWSTR b) {
    if (!engineIf) return E_POINTER;
    if (!engineIf->ops->Control7) return Missing("photo", "control");
    return engineIf->ops->Control7(engineIf, a, b);
}

HRESULT PhotoEngineHost::CancelUpload(LPCWSTR path, LPCWSTR b, LPCWSTR c) {
    if (!engineIf) return E_POINTER;
    if (!engineIf->ops->CancelUpload) return Missing("photo", "cancel");
    return engineIf->ops->CancelUpload(engineIf, path, b, c);
}

HRESULT PhotoEngineHost::SetCallback(IPhotoUploadCallback* callback) {
    if (!sink) return E_FAIL;
    sink->SetTarget(callback);
    return S_OK;
}

HRESULT PhotoEngineHost::SetAlbumListTarget(IAlbumListNotify* albums) {
    if (!sink) return E_FAIL;
    sink->SetAlbumTarget(albums);
    return S_OK;
}

HRESULT PhotoEngineHost::UnregisterSink() {
    if (!engineIf) return E_POINTER;
    if (!engineIf->ops->UnregisterSink) return Missing("photo", "unregister-sink");
    engineIf->ops->UnregisterSink(engineIf, sink.get());
    return S_OK;
}

HRESULT CreatePhotoEngineHost(PhotoEngineHost** out) {
    if (!out) return E_POINTER;
    if (!g_pPhotoEngineHost) {
        g_pPhotoEngineHost = new (std::nothrow) PhotoEngineHost;
        if (!g_pPhotoEngineHost) {
            *out = nullptr;
            return E_OUTOFMEMORY;
        }
    }
    // A host whose library was missing tries again; one that has its library keeps it.
    if (!g_pPhotoEngineHost->library) LoadPhotoEngine(g_pPhotoEngineHost);
    *out = g_pPhotoEngineHost;
    return S_OK;
}

HRESULT ReleasePhotoEngineHost(PhotoEngineHost** host) {
    if (!host || !*host) return E_POINTER;
    UnloadPhotoEngine(*host);
    if (*host == g_pPhotoEngineHost) g_pPhotoEngineHost = nullptr;
    delete *host;
    *host = nullptr;
    return S_OK;
}

PhotoEngineHost* GetPhotoEngineHost() {
    return g_pPhotoEngineHost;
}
