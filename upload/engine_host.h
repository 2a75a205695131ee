// Hosts of the site engine libraries: one per service and per process. A host loads its
// engine library, creates the engine, registers a sink with it and passes the engine's
// reports on to its callback target (the task manager). A host whose library or engine
// could not be had stays usable: every operation that needs the engine returns E_POINTER.
#pragma once

#include <atomic>
#include <memory>

#include "platform/engine_abi.h"
#include "platform/module.h"
#include "platform/types.h"
#include "store/album_list.h"

// Receives the video engine's reports (the task manager implements it).
class IVideoUploadCallback {
  public:
    // One report of the running upload; called on the engine's thread.
    virtual void OnUploadVideo(HRESULT hr, LONG percent) = 0;

  protected:
    ~IVideoUploadCallback() = default;
};

// Receives the photo engine's reports (the task manager implements it).
class IPhotoUploadCallback {
  public:
    virtual void OnPhotoNotice0(HRESULT hr, LPCWSTR text) = 0;  // engine notice, no meaning
    // One report of the running upload; value is the engine's own. Engine thread.
    virtual void OnUploadPhoto(HRESULT hr, DWORD value, LONG percent) = 0;
    virtual void OnAlbumListResult(HRESULT hr, LPCWSTR path) = 0;  // album list file ready
    virtual void OnPhotoNotice3(HRESULT hr, LPCWSTR text) = 0;     // engine notice, no meaning

  protected:
    ~IPhotoUploadCallback() = default;
};

// The sink the video host registers with its engine: forwards progress to the target.
struct CVideoEngineSink : VideoEngineSink {
    CVideoEngineSink();
    void SetTarget(IVideoUploadCallback* t);  // null stops the forwarding
    IVideoUploadCallback* Target() const;
};

// The sink the photo host registers with its engine: forwards every notice to the target,
// and album list results also to the album target.
struct CPhotoEngineSink : PhotoEngineSink {
    CPhotoEngineSink();
    void SetTarget(IPhotoUploadCallback* t);  // null stops the forwarding
    IPhotoUploadCallback* Target() const;
    void SetAlbumTarget(IAlbumListNotify* t);  // null stops the album results
    IAlbumListNotify* AlbumTarget() const;

    std::atomic<IAlbumListNotify*> albumTarget{nullptr};  // where album results also go
};

class VideoEngineHost {
  public:
    VideoEngineHost() = default;
    VideoEngineHost(const VideoEngineHost&) = delete;
    VideoEngineHost& operator=(const VideoEngineHost&) = delete;

    // Hands the account text to the engine before an upload.
    virtual HRESULT SetAccount(LPCWSTR account);
    // An engine-specific request, passed through.
    virtual HRESULT Control(LPCWSTR arg);
    // Starts the upload of params; E_POINTER for null params.
    virtual HRESULT StartUpload(const VideoUploadParams* params);
    // Cancels the upload of params; E_POINTER for null params.
    virtual HRESULT CancelUpload(const VideoUploadParams* params);
    // Sets where reports go (null: nowhere); works without an engine too.
    virtual HRESULT SetCallback(IVideoUploadCallback* callback);
    // Takes the sink off the engine: no report arrives after this returns.
    virtual HRESULT UnregisterSink();
    virtual ~VideoEngineHost() = default;

    HMODULE library = nullptr;               // the engine library, null when not loaded
    VideoEngine* engineIf = nullptr;         // the engine, null when none was created
    std::unique_ptr<CVideoEngineSink> sink;  // registered with the engine while it exists
    IVideoUploadCallback* target = nullptr;  // where reports go, also kept in the sink
};

class PhotoEngineHost {
  public:
    PhotoEngineHost() = default;
    PhotoEngineHost(const PhotoEngineHost&) = delete;
    PhotoEngineHost& operator=(const PhotoEngineHost&) = delete;

    // Gives the engine the session to work with (first and third session text).
    virtual HRESULT SetSession(LPCWSTR first, LPCWSTR third);
    virtual HRESULT Control4(LPCWSTR a, LPCWSTR b);  // engine-specific, passed through
    // Starts uploading path; the system passes empty texts as b and c.
    virtual HRESULT StartUpload(LPCWSTR path, LPCWSTR b, LPCWSTR c);
    // Fetches the album list for session into the result file at path.
    virtual HRESULT FetchAlbumList(LPCWSTR session, LPCWSTR path);
    virtual HRESULT Control7(LPCWSTR a, LPCWSTR b);  // engine-specific, passed through
    // Cancels the upload of path (null: the running one); b and c are empty texts.
    virtual HRESULT CancelUpload(LPCWSTR path, LPCWSTR b, LPCWSTR c);
    // Sets where reports go (null: nowhere); E_FAIL when there is no sink.
    virtual HRESULT SetCallback(IPhotoUploadCallback* callback);
    // Sets where album list results go besides the callback (null: nowhere); E_FAIL when
    // there is no sink.
    HRESULT SetAlbumListTarget(IAlbumListNotify* albums);
    // Takes the sink off the engine: no report arrives after this returns.
    virtual HRESULT UnregisterSink();
    virtual ~PhotoEngineHost() = default;

    HMODULE library = nullptr;               // the engine library, null when not loaded
    PhotoEngine* engineIf = nullptr;         // the engine, null when none was created
    std::unique_ptr<CPhotoEngineSink> sink;  // registered with the engine; holds the target
};

// The process-wide video host, created and loaded on first call; the load's own outcome is
// traced, not returned. E_POINTER for a null out, E_OUTOFMEMORY when it cannot be made.
HRESULT CreateVideoEngineHost(VideoEngineHost** out);
// Unloads the engine (sink off, engine released, library freed), destroys the host and
// clears *host and the process-wide pointer. E_POINTER when host or *host is null.
HRESULT ReleaseVideoEngineHost(VideoEngineHost** host);

// The process-wide photo host, obtained like the video host from \Windows\Pelfin.dll.
HRESULT CreatePhotoEngineHost(PhotoEngineHost** out);
HRESULT ReleasePhotoEngineHost(PhotoEngineHost** host);

// The process-wide hosts, null while none exists.
VideoEngineHost* GetVideoEngineHost();
PhotoEngineHost* GetPhotoEngineHost();
