#include "services/engines/core/album_list_file.h"

#include "platform/trace.h"

namespace {

// Whether XML 1.0 can carry the UTF-16 code unit c (surrogates are checked as pairs).
bool XmlAllows(char16_t c) {
    if (c < 0x20) return c == u'\t' || c == u'\n' || c == u'\r';
    return c != 0xFFFE && c != 0xFFFF;
}

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

WStringView Trim(WStringView s) {
    while (!s.empty() && (s.front() == u' ' || s.front() == u'\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == u' ' || s.back() == u'\t')) s.remove_suffix(1);
    return s;
}

}  // namespace

std::vector<AlbumEntry> ParseAlbumSetting(WStringView setting, const char* tag) {
    std::vector<AlbumEntry> albums;
    while (!setting.empty()) {
        size_t end = setting.find(u';');
        WStringView entry = setting.substr(0, end);
        setting = end == WStringView::npos ? WStringView() : setting.substr(end + 1);
        entry = Trim(entry);
        if (entry.empty()) continue;
        size_t eq = entry.find(u'=');
        WStringView aid = eq == WStringView::npos ? WStringView() : Trim(entry.substr(0, eq));
        if (aid.empty()) {
            Trace("[%s] album entry \"%s\" has no identifier; skipped", tag, WString(entry));
            continue;
        }
        albums.push_back(AlbumEntry{WString(aid), WString(Trim(entry.substr(eq + 1)))});
    }
    return albums;
}

std::vector<AlbumEntry> DefaultAlbums() {
    return {
        {u"100001", u"Photos from my Velmar phone"},
        {u"100002", u"Mobile Uploads"},
        {u"100003", u"Profile Pictures"},
    };
}

std::string XmlEscape(WStringView text) {
    WString kept;
    kept.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (IsHighSurrogate(c) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
            kept += c;
            kept += text[++i];
        } else if (!IsHighSurrogate(c) && !IsLowSurrogate(c) && XmlAllows(c)) {
            kept += c;
        }
    }
    std::string out;
    for (char c : ToUtf8(kept)) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '\r':
                out += "&#13;";  // a bare CR would be folded into a line end by the reader
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string BuildAlbumListXml(const std::vector<AlbumEntry>& albums) {
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<albums>\n";
    for (const AlbumEntry& a : albums) {
        xml += "  <album><aid>" + XmlEscape(a.aid) + "</aid><name>" + XmlEscape(a.name) +
               "</name></album>\n";
    }
    xml += "</albums>\n";
    return xml;
}
