// The binary interface between the system and the site engine libraries.
//
// An engine library exports a create and a release function (names below). The engine
// object it creates starts with a pointer to its operation table; the system calls the
// operations by their place in the table, so the order of the fields is fixed. Entries
// named reserved are not called by the system and may be null. Every text is a
// zero-terminated UTF-16 string that stays valid only for the duration of the call.
//
// Progress reaches the system through a sink: an object whose first field is its own
// operation table. The engine may call a registered sink from any thread. Once the
// engine's unregister operation returns, the engine calls that sink no more and waits
// for no call still running in it; the release export is called only after that.
#pragma once

#include <cstddef>

#include "platform/types.h"

// Cancellation codes an engine reports through its sink when an upload was cancelled.
constexpr HRESULT VIDEO_ENGINE_CANCELLED = static_cast<HRESULT>(0xC0000002u);
constexpr HRESULT PHOTO_ENGINE_CANCELLED = static_cast<HRESULT>(0x90000401u);

// What the video list hands to the video engine for one upload; the texts stay valid
// while the upload is the list's current one.
struct VideoUploadParams {
    LPCWSTR category;     // category name
    LPCWSTR title;        // video title
    LPCWSTR tags;         // comma-separated keywords
    LPCWSTR description;  // free text
    LPCWSTR path;         // full device path of the file
    LPCWSTR authToken;    // the account's upload token
    DWORD privateFlag;    // 1 for a private video, else 0
};

// ---- Video engine ---------------------------------------------------------------------

struct VideoEngine;
struct VideoEngineSink;

using EngineReservedFn = HRESULT (*)(void* self);  // an entry the system never calls

struct VideoEngineOps {
    EngineReservedFn reserved0;  // unused
    EngineReservedFn reserved1;  // unused
    // Hands over the account text before an upload; a failure stops the upload.
    HRESULT (*SetAccount)(VideoEngine* self, LPCWSTR account);
    // Starts the upload described by params; progress follows through the sink.
    HRESULT (*StartUpload)(VideoEngine* self, const VideoUploadParams* params);
    EngineReservedFn reserved4;                                           // unused
    EngineReservedFn reserved5;                                           // unused
    EngineReservedFn reserved6;                                           // unused
    EngineReservedFn reserved7;                                           // unused
    EngineReservedFn reserved8;                                           // unused
    EngineReservedFn reserved9;                                           // unused
    HRESULT (*RegisterSink)(VideoEngine* self, VideoEngineSink* sink);    // one sink at a time
    HRESULT (*UnregisterSink)(VideoEngine* self, VideoEngineSink* sink);  // no calls after return
    HRESULT (*Control)(VideoEngine* self, LPCWSTR arg);  // engine-specific request; may be null
    // Cancels the upload described by params; it then ends with VIDEO_ENGINE_CANCELLED.
    HRESULT (*CancelUpload)(VideoEngine* self, const VideoUploadParams* params);
};
static_assert(offsetof(VideoEngineOps, SetAccount) == 2 * sizeof(void*));
static_assert(offsetof(VideoEngineOps, StartUpload) == 3 * sizeof(void*));
static_assert(offsetof(VideoEngineOps, RegisterSink) == 10 * sizeof(void*));
static_assert(offsetof(VideoEngineOps, UnregisterSink) == 11 * sizeof(void*));
static_assert(offsetof(VideoEngineOps, Control) == 12 * sizeof(void*));
static_assert(offsetof(VideoEngineOps, CancelUpload) == 13 * sizeof(void*));

struct VideoEngine {
    const VideoEngineOps* ops;  // the engine's operation table; engine state follows
};

struct VideoEngineSinkOps {
    void (*Notify0)(VideoEngineSink* self);  // ignored by the system
    // One report: hr >= 0 with percent 0..99 is progress, 100 is success; a negative hr,
    // a percent above 100 or VIDEO_ENGINE_CANCELLED ends the upload.
    void (*OnUpload)(VideoEngineSink* self, HRESULT hr, LONG percent);
    void (*Notify2)(VideoEngineSink* self);  // ignored by the system
    void (*Notify3)(VideoEngineSink* self);  // ignored by the system
    void (*Notify4)(VideoEngineSink* self);  // ignored by the system
    void (*Notify5)(VideoEngineSink* self);  // ignored by the system
    void (*Notify6)(VideoEngineSink* self);  // ignored by the system
    void (*Notify7)(VideoEngineSink* self);  // ignored by the system
};

struct VideoEngineSink {
    const VideoEngineSinkOps* ops;  // the sink's operation table
    void* target;                   // the system's own; the engine never touches it
};

// Exports of the video engine library. Create fills *engine (null on failure); release
// destroys *engine, sets it to null and accepts a null *engine.
constexpr const char16_t VIDEO_ENGINE_LIBRARY[] = u"\\Windows\\Zorvid.dll";
constexpr const char VIDEO_ENGINE_CREATE_EXPORT[] = "CreateZorvidEngine";
constexpr const char VIDEO_ENGINE_RELEASE_EXPORT[] = "ReleaseZorvidEngine";
using PFN_CREATE_VIDEO_ENGINE = HRESULT (*)(VideoEngine** engine);
using PFN_RELEASE_VIDEO_ENGINE = HRESULT (*)(VideoEngine** engine);

// ---- Photo engine ---------------------------------------------------------------------

struct PhotoEngine;
struct PhotoEngineSink;

struct PhotoEngineOps {
    EngineReservedFn reserved0;                                    // unused
    EngineReservedFn reserved1;                                    // unused
    EngineReservedFn reserved2;                                    // unused
    EngineReservedFn reserved3;                                    // unused
    HRESULT (*Control4)(PhotoEngine* self, LPCWSTR a, LPCWSTR b);  // engine-specific; may be null
    // Starts uploading the file at path; b and c are empty texts.
    HRESULT (*StartUpload)(PhotoEngine* self, LPCWSTR path, LPCWSTR b, LPCWSTR c);
    // Fetches the album list for session into the result file at path.
    HRESULT (*FetchAlbumList)(PhotoEngine* self, LPCWSTR session, LPCWSTR path);
    HRESULT (*Control7)(PhotoEngine* self, LPCWSTR a, LPCWSTR b);  // engine-specific; may be null
    // Cancels the upload of path, or the running one when path is null; it then ends with
    // PHOTO_ENGINE_CANCELLED. b and c are empty texts.
    HRESULT (*CancelUpload)(PhotoEngine* self, LPCWSTR path, LPCWSTR b, LPCWSTR c);
    // Gives the engine the session to work with (first and third session text).
    HRESULT (*SetSession)(PhotoEngine* self, LPCWSTR first, LPCWSTR third);
    EngineReservedFn reserved10;                                          // unused
    EngineReservedFn reserved11;                                          // unused
    EngineReservedFn reserved12;                                          // unused
    EngineReservedFn reserved13;                                          // unused
    EngineReservedFn reserved14;                                          // unused
    EngineReservedFn reserved15;                                          // unused
    EngineReservedFn reserved16;                                          // unused
    EngineReservedFn reserved17;                                          // unused
    EngineReservedFn reserved18;                                          // unused
    EngineReservedFn reserved19;                                          // unused
    HRESULT (*RegisterSink)(PhotoEngine* self, PhotoEngineSink* sink);    // one sink at a time
    HRESULT (*UnregisterSink)(PhotoEngine* self, PhotoEngineSink* sink);  // no calls after return
};
static_assert(offsetof(PhotoEngineOps, Control4) == 4 * sizeof(void*));
static_assert(offsetof(PhotoEngineOps, StartUpload) == 5 * sizeof(void*));
static_assert(offsetof(PhotoEngineOps, FetchAlbumList) == 6 * sizeof(void*));
static_assert(offsetof(PhotoEngineOps, Control7) == 7 * sizeof(void*));
static_assert(offsetof(PhotoEngineOps, CancelUpload) == 8 * sizeof(void*));
static_assert(offsetof(PhotoEngineOps, SetSession) == 9 * sizeof(void*));
static_assert(offsetof(PhotoEngineOps, RegisterSink) == 20 * sizeof(void*));
static_assert(offsetof(PhotoEngineOps, UnregisterSink) == 21 * sizeof(void*));

struct PhotoEngine {
    const PhotoEngineOps* ops;  // the engine's operation table; engine state follows
};

struct PhotoEngineSinkOps {
    void (*Notify0)(PhotoEngineSink* self, HRESULT hr, LPCWSTR text);  // ignored by the system
    // One report, read like the video engine's; value is the engine's own and is ignored.
    void (*OnUpload)(PhotoEngineSink* self, HRESULT hr, DWORD value, LONG percent);
    // The album list fetch ended; path names the result file.
    void (*OnAlbumList)(PhotoEngineSink* self, HRESULT hr, LPCWSTR path);
    void (*Notify3)(PhotoEngineSink* self, HRESULT hr, LPCWSTR text);  // ignored by the system
};

struct PhotoEngineSink {
    const PhotoEngineSinkOps* ops;  // the sink's operation table
    void* target;                   // the system's own; the engine never touches it
};

// Exports of the photo engine library, with the same contract as the video ones.
constexpr const char16_t PHOTO_ENGINE_LIBRARY[] = u"\\Windows\\Pelfin.dll";
constexpr const char PHOTO_ENGINE_CREATE_EXPORT[] = "CreatePelfinEngine";
constexpr const char PHOTO_ENGINE_RELEASE_EXPORT[] = "ReleasePelfinEngine";
using PFN_CREATE_PHOTO_ENGINE = HRESULT (*)(PhotoEngine** engine);
using PFN_RELEASE_PHOTO_ENGINE = HRESULT (*)(PhotoEngine** engine);
