#include "store/album_list.h"

#include "platform/files.h"
#include "platform/trace.h"
#include "platform/xmldom.h"

CAlbumList::CAlbumList() = default;
CAlbumList::~CAlbumList() = default;

AlbumMap CAlbumList::GetAlbumMap() const {
    std::lock_guard<std::mutex> g(lock_);
    return albums_;
}

HRESULT CAlbumList::SetEngineSession(LPCWSTR first, LPCWSTR second) {
    if (!engine_) {
        Trace("[Vantlo] Album list: no photo engine for the session");
        return E_POINTER;
    }
    return engine_->SetSession(first, second);
}

int CAlbumList::RequestAlbumList(LPCWSTR sessionValue) {
    DeleteFileW(kAlbumListResultFile);
    if (!engine_) {
        Trace("[Vantlo] Album list: no photo engine to ask");
        return 0;
    }
    engine_->FetchAlbumList(sessionValue, kAlbumListResultFile);
    return 0;
}

void CAlbumList::OnAlbumListResult(HRESULT hr, LPCWSTR path) {
    if (FAILED(hr) || !path) return;
    std::lock_guard<std::mutex> g(lock_);
    // Only the first good result of a process is read; later ones only lose their file.
    if (document_) {
        DeleteFileW(path);
        return;
    }
    auto doc = std::make_unique<XmlDocument>();
    bool loaded = false;
    if (FAILED(doc->Load(path, &loaded))) {
        DeleteFileW(path);
        return;
    }
    document_ = std::move(doc);
    XmlNode root = document_->DocumentElement();
    if (root.IsNull()) {
        Trace("[Vantlo] Album list: result has no document element");
        return;
    }
    for (const XmlNode& album : root.SelectNodes(u"album")) {
        WString aid = album.SelectSingleNode(u"aid").Text();
        WString name = album.SelectSingleNode(u"name").Text();
        albums_.emplace(name, aid);  // an existing name keeps its first identifier
    }
    DeleteFileW(path);
}
