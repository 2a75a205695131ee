// A site engine for tests: it implements the video and the photo engine interface,
// records every call it gets, answers with results the test chose, and reports through
// the registered sinks on request.
// Built in variants without the create or without the release exports.
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/engine_abi.h"
#include "tests/upload/lifecycle_marker.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

LifecycleMarker g_marker("engine-lifecycle.log");

std::mutex g_lock;                        // guards the log and the results
std::vector<std::u16string> g_log;        // one entry per call, oldest first
std::map<std::string, HRESULT> g_result;  // what an operation answers; S_OK when absent

std::mutex g_sinkLock;                   // held while a sink is called or changed
VideoEngineSink* g_videoSink = nullptr;  // registered video sink
PhotoEngineSink* g_photoSink = nullptr;  // registered photo sink

std::u16string Text(LPCWSTR s) {
    return s ? std::u16string(s) : std::u16string(u"(null)");
}

std::u16string Widen(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

// Logs op with its arguments and returns the result chosen for it.
HRESULT Record(const std::string& op, const std::u16string& args = std::u16string()) {
    std::lock_guard<std::mutex> g(g_lock);
    g_log.push_back(Widen(op) + (args.empty() ? u"" : u"|" + args));
    auto it = g_result.find(op);
    return it == g_result.end() ? S_OK : it->second;
}

void ReportVideo(HRESULT hr, LONG percent) {
    std::lock_guard<std::mutex> g(g_sinkLock);
    if (g_videoSink) g_videoSink->ops->OnUpload(g_videoSink, hr, percent);
}

void ReportPhoto(HRESULT hr, DWORD value, LONG percent) {
    std::lock_guard<std::mutex> g(g_sinkLock);
    if (g_photoSink) g_photoSink->ops->OnUpload(g_photoSink, hr, value, percent);
}

// ---- The engines ----------------------------------------------------------------------

std::u16string Args(LPCWSTR a, LPCWSTR b) {
    return Text(a) + u"|" + Text(b);
}

// Registers (on) or unregisters sink in *slot and logs the call as op.
template <class Sink>
HRESULT SetSink(Sink** slot, Sink* sink, bool on, const char* op) {
    if (on) {
        HRESULT hr = Record(op);
        if (hr >= 0) {
            std::lock_guard<std::mutex> g(g_sinkLock);
            *slot = sink;
        }
        return hr;
    }
    {
        std::lock_guard<std::mutex> g(g_sinkLock);
        if (*slot == sink) *slot = nullptr;
    }
    return Record(op);
}

VideoEngineOps MakeVideoOps() {
    VideoEngineOps ops{};
    ops.SetAccount = [](VideoEngine*, LPCWSTR account) {
        return Record("video.account", Text(account));
    };
    ops.StartUpload = [](VideoEngine*, const VideoUploadParams* p) {
        return Record("video.start", Text(p->path) + u"|" + Text(p->title) + u"|" +
                                         Text(p->description) + u"|" + Text(p->category) + u"|" +
                                         Text(p->tags) + u"|" + Text(p->authToken) + u"|" +
                                         Widen(std::to_string(p->privateFlag)));
    };
    ops.RegisterSink = [](VideoEngine*, VideoEngineSink* sink) {
        return SetSink(&g_videoSink, sink, true, "video.register");
    };
    ops.UnregisterSink = [](VideoEngine*, VideoEngineSink* sink) {
        return SetSink(&g_videoSink, sink, false, "video.unregister");
    };
    ops.Control = [](VideoEngine*, LPCWSTR arg) { return Record("video.control", Text(arg)); };
    ops.CancelUpload = [](VideoEngine*, const VideoUploadParams* p) {
        return Record("video.cancel", Text(p->path));
    };
    return ops;
}
const VideoEngineOps kVideoOps = MakeVideoOps();

PhotoEngineOps MakePhotoOps() {
    PhotoEngineOps ops{};
    ops.Control4 = [](PhotoEngine*, LPCWSTR a, LPCWSTR b) {
        return Record("photo.control4", Args(a, b));
    };
    ops.StartUpload = [](PhotoEngine*, LPCWSTR path, LPCWSTR b, LPCWSTR c) {
        return Record("photo.start", Args(path, b) + u"|" + Text(c));
    };
    ops.FetchAlbumList = [](PhotoEngine*, LPCWSTR session, LPCWSTR path) {
        return Record("photo.albums", Args(session, path));
    };
    ops.Control7 = [](PhotoEngine*, LPCWSTR a, LPCWSTR b) {
        return Record("photo.control7", Args(a, b));
    };
    ops.CancelUpload = [](PhotoEngine*, LPCWSTR path, LPCWSTR b, LPCWSTR c) {
        return Record("photo.cancel", Args(path, b) + u"|" + Text(c));
    };
    ops.SetSession = [](PhotoEngine*, LPCWSTR first, LPCWSTR third) {
        return Record("photo.session", Args(first, third));
    };
    ops.RegisterSink = [](PhotoEngine*, PhotoEngineSink* sink) {
        return SetSink(&g_photoSink, sink, true, "photo.register");
    };
    ops.UnregisterSink = [](PhotoEngine*, PhotoEngineSink* sink) {
        return SetSink(&g_photoSink, sink, false, "photo.unregister");
    };
    return ops;
}
const PhotoEngineOps kPhotoOps = MakePhotoOps();

// The engines are static, so that a variant without release export leaks nothing.
[[maybe_unused]] VideoEngine g_videoEngine{&kVideoOps};
[[maybe_unused]] PhotoEngine g_photoEngine{&kPhotoOps};

}  // namespace

// ---- Library exports ------------------------------------------------------------------

#ifndef RECORDING_ENGINE_NO_CREATE
EXPORT HRESULT CreateZorvidEngine(VideoEngine** engine) {
    HRESULT hr = Record("video.create");
    *engine = hr >= 0 ? &g_videoEngine : nullptr;
    return hr;
}

EXPORT HRESULT CreatePelfinEngine(PhotoEngine** engine) {
    HRESULT hr = Record("photo.create");
    *engine = hr >= 0 ? &g_photoEngine : nullptr;
    return hr;
}
#endif

#ifndef RECORDING_ENGINE_NO_RELEASE
EXPORT HRESULT ReleaseZorvidEngine(VideoEngine** engine) {
    *engine = nullptr;
    return Record("video.release");
}

EXPORT HRESULT ReleasePelfinEngine(PhotoEngine** engine) {
    *engine = nullptr;
    return Record("photo.release");
}
#endif

// ---- Test controls --------------------------------------------------------------------

// Copies the log, entries separated by '\n', into buf (cap characters with the
// terminator); returns the length of the whole log.
EXPORT size_t RecEngine_Log(char16_t* buf, size_t cap) {
    std::u16string all;
    {
        std::lock_guard<std::mutex> g(g_lock);
        for (const std::u16string& e : g_log) all += (all.empty() ? u"" : u"\n") + e;
    }
    if (buf && cap > 0) {
        size_t n = all.size() < cap - 1 ? all.size() : cap - 1;
        all.copy(buf, n);
        buf[n] = 0;
    }
    return all.size();
}

EXPORT void RecEngine_ClearLog() {
    std::lock_guard<std::mutex> g(g_lock);
    g_log.clear();
}

// Makes the operation named op (as in the log) answer hr from now on.
EXPORT void RecEngine_SetResult(const char* op, HRESULT hr) {
    std::lock_guard<std::mutex> g(g_lock);
    g_result[op] = hr;
}

// Reports through every registered sink from the caller's thread; E_FAIL without a sink.
EXPORT HRESULT RecEngine_Report(HRESULT hr, DWORD value, LONG percent) {
    bool any;
    {
        std::lock_guard<std::mutex> g(g_sinkLock);
        any = g_videoSink || g_photoSink;
    }
    if (!any) return E_FAIL;
    ReportVideo(hr, percent);
    ReportPhoto(hr, value, percent);
    return S_OK;
}

// Tells the registered photo sink that an album list file is ready.
EXPORT HRESULT RecEngine_ReportAlbumList(HRESULT hr, LPCWSTR path) {
    std::lock_guard<std::mutex> g(g_sinkLock);
    if (!g_photoSink) return E_FAIL;
    g_photoSink->ops->OnAlbumList(g_photoSink, hr, path);
    return S_OK;
}
