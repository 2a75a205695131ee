// The Facebook album list: asks the photo engine for the user's albums and keeps them as
// a map from album name to album identifier, filled once by the first good result.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "platform/types.h"
#include "platform/wstr.h"

class XmlDocument;

// The photo engine as the album list reaches it (the photo engine host offers these).
class IAlbumListEngine {
  public:
    virtual ~IAlbumListEngine() = default;
    // Hands the engine the session it works with (first and third session text).
    virtual HRESULT SetSession(LPCWSTR first, LPCWSTR third) = 0;
    // Fetches the album list of session into the result file at path.
    virtual HRESULT FetchAlbumList(LPCWSTR session, LPCWSTR path) = 0;
};

// The photo engine's notifications, in slot order; the album list acts on the third.
class IAlbumListNotify {
  public:
    virtual ~IAlbumListNotify() = default;
    virtual void OnNotify0(HRESULT hr, LPCWSTR text) = 0;
    virtual void OnNotify1(HRESULT hr, LPCWSTR text) = 0;
    virtual void OnAlbumListResult(HRESULT hr, LPCWSTR path) = 0;
    virtual void OnNotify3(HRESULT hr, LPCWSTR text) = 0;
};

using AlbumMap = std::map<WString, WString>;  // album name -> album identifier

constexpr const WCHAR kAlbumListResultFile[] = u"\\Temp\\VantloFBAlbumListResult.xml";

class CAlbumList : public IAlbumListNotify {
  public:
    CAlbumList();
    ~CAlbumList() override;

    void SetEngine(IAlbumListEngine* engine) { engine_ = engine; }
    // A copy of the map: the engine's thread may fill it while a dialog reads it.
    AlbumMap GetAlbumMap() const;
    HRESULT SetEngineSession(LPCWSTR first, LPCWSTR second);
    int RequestAlbumList(LPCWSTR sessionValue);

    void OnNotify0(HRESULT, LPCWSTR) override {}
    void OnNotify1(HRESULT, LPCWSTR) override {}
    void OnAlbumListResult(HRESULT hr, LPCWSTR path) override;
    void OnNotify3(HRESULT, LPCWSTR) override {}

  private:
    std::unique_ptr<XmlDocument> document_;  // the first parsed result; null until then
    AlbumMap albums_;                        // name -> identifier, first name wins
    IAlbumListEngine* engine_ = nullptr;     // the photo engine host; not owned
    mutable std::mutex lock_;                // guards document_ and albums_
};
