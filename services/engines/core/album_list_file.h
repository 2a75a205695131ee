// The photo engine's album list result: an XML file whose document element holds one
// "album" element per album, each with an "aid" (identifier) and a "name" child.
#pragma once

#include <string>
#include <vector>

#include "platform/wstr.h"

// Where the system expects the album list.
constexpr WCHAR ALBUM_LIST_RESULT_FILE[] = u"\\Temp\\VantloFBAlbumListResult.xml";

struct AlbumEntry {
    WString aid;   // album identifier
    WString name;  // album name shown to the user
};

// Albums written as "aid=name;aid=name" (the registry's "Albums" value). An entry without
// '=' or with an empty identifier is skipped (traced); the name may hold '='.
std::vector<AlbumEntry> ParseAlbumSetting(WStringView setting, const char* tag);
// The albums offered when the registry names none.
std::vector<AlbumEntry> DefaultAlbums();
// Text made safe for XML character data and attribute values: the five markup characters
// become entities and characters XML cannot carry are dropped.
std::string XmlEscape(WStringView text);
// The whole UTF-8 document for albums.
std::string BuildAlbumListXml(const std::vector<AlbumEntry>& albums);
