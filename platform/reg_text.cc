#include "platform/reg_text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "platform/registry.h"

namespace {

const char* const kRootShort[kRegRootCount] = {"HKCR", "HKCU", "HKLM", "HKU"};
const char* const kRootLong[kRegRootCount] = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                              "HKEY_LOCAL_MACHINE", "HKEY_USERS"};

WCHAR Fold(WCHAR c) {
    return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 32) : c;
}

bool IsHigh(WCHAR c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLow(WCHAR c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}
bool IsControl(uint32_t c) {
    return c < 0x20 || c == 0x7F;
}

// Case-insensitive order of two names.
int CompareNames(WStringView a, WStringView b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        WCHAR x = Fold(a[i]), y = Fold(b[i]);
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool EqualsAscii(WStringView w, const char* s) {
    size_t n = strlen(s);
    if (w.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (Fold(w[i]) != Fold(static_cast<WCHAR>(s[i]))) return false;
    }
    return true;
}

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF, no NUL.
bool ValidUtf8(std::string_view s, size_t& badAt) {
    size_t i = 0;
    while (i < s.size()) {
        unsigned char b = static_cast<unsigned char>(s[i]);
        size_t n;
        uint32_t c, min;
        if (b == 0) {
            badAt = i;
            return false;
        } else if (b < 0x80) {
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            n = 2, c = b & 0x1F, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            n = 3, c = b & 0x0F, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            n = 4, c = b & 0x07, min = 0x10000;
        } else {
            badAt = i;
            return false;
        }
        if (i + n > s.size()) {
            badAt = i;
            return false;
        }
        for (size_t k = 1; k < n; ++k) {
            unsigned char cb = static_cast<unsigned char>(s[i + k]);
            if ((cb & 0xC0) != 0x80) {
                badAt = i;
                return false;
            }
            c = (c << 6) | (cb & 0x3F);
        }
        if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            badAt = i;
            return false;
        }
        i += n;
    }
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads 1..maxDigits hex digits at pos.
bool ParseHex(std::string_view s, size_t& pos, size_t maxDigits, uint32_t& out) {
    size_t start = pos;
    out = 0;
    while (pos < s.size() && pos - start < maxDigits && HexDigit(s[pos]) >= 0) {
        out = (out << 4) | static_cast<uint32_t>(HexDigit(s[pos]));
        ++pos;
    }
    return pos > start && (pos >= s.size() || HexDigit(s[pos]) < 0);
}

void SkipBlanks(std::string_view s, size_t& pos) {
    while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
}

std::string_view Trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
    return s.substr(b, e - b);
}

// A quoted text starting at pos (on the opening quote); pos ends after the closing quote.
bool ParseQuoted(std::string_view s, size_t& pos, WString& out, std::string& what) {
    ++pos;
    std::string plain;
    auto flush = [&] {
        out += FromUtf8(plain);
        plain.clear();
    };
    while (pos < s.size()) {
        char c = s[pos];
        if (c == '"') {
            ++pos;
            flush();
            return true;
        }
        if (c != '\\') {
            if (IsControl(static_cast<unsigned char>(c)) && c != '\t') {
                what = "control character in quoted text";
                return false;
            }
            plain += c;
            ++pos;
            continue;
        }
        if (pos + 1 >= s.size()) break;
        char e = s[pos + 1];
        pos += 2;
        switch (e) {
            case '\\':
                plain += '\\';
                break;
            case '"':
                plain += '"';
                break;
            case 'n':
                plain += '\n';
                break;
            case 'r':
                plain += '\r';
                break;
            case 't':
                plain += '\t';
                break;
            case 'u': {
                uint32_t unit;
                size_t at = pos;
                if (!ParseHex(s.substr(0, std::min(s.size(), pos + 4)), at, 4, unit) ||
                    at != pos + 4) {
                    what = "\\u needs four hex digits";
                    return false;
                }
                pos = at;
                flush();
                out += static_cast<WCHAR>(unit);
                break;
            }
            default:
                what = std::string("unknown escape \\") + e;
                return false;
        }
    }
    what = "unterminated quoted text";
    return false;
}

// "hex:" byte lists: two hex digits per byte, separated by commas.
bool ParseByteList(std::string_view s, size_t& pos, std::vector<BYTE>& out) {
    SkipBlanks(s, pos);
    if (pos >= s.size()) return true;
    for (;;) {
        SkipBlanks(s, pos);
        uint32_t b;
        size_t at = pos;
        if (!ParseHex(s, at, 2, b) || at != pos + 2) return false;
        out.push_back(static_cast<BYTE>(b));
        pos = at;
        SkipBlanks(s, pos);
        if (pos >= s.size()) return true;
        if (s[pos] != ',') return false;
        ++pos;
    }
}

bool ParseData(std::string_view s, RegValue& v, std::string& what) {
    size_t pos = 0;
    if (!s.empty() && s[0] == '"') {
        WString text;
        if (!ParseQuoted(s, pos, text, what)) return false;
        SkipBlanks(s, pos);
        if (pos != s.size()) {
            what = "text after the closing quote";
            return false;
        }
        // REG_SZ stops at its first NUL, which an escape could have put inside.
        if (text.find(u'\0') != WString::npos) {
            what = "NUL inside a string value";
            return false;
        }
        v.type = REG_SZ;
        v.data = RegStringData(text);
        return true;
    }
    if (s.substr(0, 6) == "dword:") {
        pos = 6;
        uint32_t n;
        if (!ParseHex(s, pos, 8, n) || pos != s.size()) {
            what = "dword needs 1 to 8 hex digits";
            return false;
        }
        v.type = REG_DWORD;
        v.data.resize(4);
        memcpy(v.data.data(), &n, 4);
        return true;
    }
    if (s.substr(0, 4) == "hex:" || s.substr(0, 4) == "hex(") {
        pos = 3;
        v.type = REG_BINARY;
        if (s[pos] == '(') {
            ++pos;
            uint32_t type;
            if (!ParseHex(s, pos, 8, type) || pos + 1 >= s.size() || s[pos] != ')' ||
                s[pos + 1] != ':') {
                what = "hex(N): needs a hex type number";
                return false;
            }
            v.type = type;
            pos += 1;
        }
        ++pos;  // the ':'
        if (!ParseByteList(s, pos, v.data)) {
            what = "malformed hex byte list";
            return false;
        }
        return true;
    }
    what = "unknown value data (expected \"text\", dword:, hex: or hex(N):)";
    return false;
}

bool ParseValueLine(std::string_view s, RegValue& v, std::string& what) {
    size_t pos = 0;
    if (s[0] == '@') {
        pos = 1;
    } else if (!ParseQuoted(s, pos, v.name, what)) {
        return false;
    }
    if (v.name.size() > MAX_VALUE_NAME_CHARS) {
        what = "value name too long";
        return false;
    }
    SkipBlanks(s, pos);
    if (pos >= s.size() || s[pos] != '=') {
        what = "expected '=' after the value name";
        return false;
    }
    ++pos;
    SkipBlanks(s, pos);
    return ParseData(s.substr(pos), v, what);
}

bool ParseKeyLine(std::string_view s, int& root, std::vector<WString>& parts, std::string& what) {
    if (s.size() < 2 || s.back() != ']') {
        what = "key line without closing ']'";
        return false;
    }
    WString path = FromUtf8(s.substr(1, s.size() - 2));
    size_t slash = path.find(u'\\');
    root = RegRootFromName(WStringView(path).substr(0, slash));
    if (root < 0) {
        what = "unknown root key";
        return false;
    }
    WStringView rest = slash == WString::npos ? WStringView() : WStringView(path).substr(slash + 1);
    if (!RegSplitPath(rest, parts)) {
        what = "invalid key name";
        return false;
    }
    return true;
}

// A text as a quoted, escaped UTF-8 string.
void AppendQuoted(std::string& out, WStringView text) {
    out += '"';
    for (size_t i = 0; i < text.size(); ++i) {
        WCHAR c = text[i];
        switch (c) {
            case u'\\':
                out += "\\\\";
                continue;
            case u'"':
                out += "\\\"";
                continue;
            case u'\n':
                out += "\\n";
                continue;
            case u'\r':
                out += "\\r";
                continue;
            case u'\t':
                out += "\\t";
                continue;
            default:
                break;
        }
        if (IsHigh(c) && i + 1 < text.size() && IsLow(text[i + 1])) {
            out += ToUtf8(text.substr(i, 2));
            ++i;
        } else if (IsControl(c) || IsHigh(c) || IsLow(c)) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
            out += buf;
        } else {
            out += ToUtf8(text.substr(i, 1));
        }
    }
    out += '"';
}

// Whether data is the REG_SZ form of a text, so that it can be written as "text".
bool IsPlainString(const std::vector<BYTE>& data) {
    if (data.size() < 2 || data.size() % 2 != 0) return false;
    size_t n = data.size() / 2;
    WString text(n, u'\0');
    memcpy(text.data(), data.data(), data.size());
    return text.find(u'\0') == n - 1;
}

void AppendValue(std::string& out, const RegValue& v) {
    if (v.name.empty()) {
        out += '@';
    } else {
        AppendQuoted(out, v.name);
    }
    out += '=';
    if (v.type == REG_DWORD && v.data.size() == 4) {
        uint32_t n;
        memcpy(&n, v.data.data(), 4);
        char buf[16];
        snprintf(buf, sizeof buf, "dword:%08x", n);
        out += buf;
    } else if (v.type == REG_SZ && IsPlainString(v.data)) {
        WString text(v.data.size() / 2 - 1, u'\0');
        memcpy(text.data(), v.data.data(), text.size() * 2);
        AppendQuoted(out, text);
    } else {
        char buf[24];
        if (v.type == REG_BINARY) {
            out += "hex:";
        } else {
            snprintf(buf, sizeof buf, "hex(%x):", v.type);
            out += buf;
        }
        for (size_t i = 0; i < v.data.size(); ++i) {
            snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", v.data[i]);
            out += buf;
        }
    }
    out += '\n';
}

// Keys sort by root, then name by name, so that a key's subkeys follow it directly.
bool KeyLess(const RegKeyNode& a, const RegKeyNode& b) {
    if (a.root != b.root) return a.root < b.root;
    size_t n = std::min(a.parts.size(), b.parts.size());
    for (size_t i = 0; i < n; ++i) {
        int c = CompareNames(a.parts[i], b.parts[i]);
        if (c != 0) return c < 0;
    }
    return a.parts.size() < b.parts.size();
}

}  // namespace

const char* RegRootName(int root) {
    return root >= 0 && root < kRegRootCount ? kRootShort[root] : "?";
}

int RegRootFromName(WStringView name) {
    for (int i = 0; i < kRegRootCount; ++i) {
        if (EqualsAscii(name, kRootShort[i]) || EqualsAscii(name, kRootLong[i])) return i;
    }
    return -1;
}

bool RegNamesEqual(WStringView a, WStringView b) {
    return CompareNames(a, b) == 0;
}
int RegCompareNames(WStringView a, WStringView b) {
    return CompareNames(a, b);
}

bool RegValidKeyName(WStringView name) {
    if (name.empty() || name.size() > MAX_KEY_NAME_CHARS) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        WCHAR c = name[i];
        if (c == u'\\' || IsControl(c)) return false;
        if (IsHigh(c)) {
            if (i + 1 >= name.size() || !IsLow(name[i + 1])) return false;
            ++i;
        } else if (IsLow(c)) {
            return false;
        }
    }
    return true;
}

bool RegSplitPath(WStringView path, std::vector<WString>& parts) {
    parts.clear();
    if (!path.empty() && path.front() == u'\\') return false;
    if (!path.empty() && path.back() == u'\\') path.remove_suffix(1);
    if (path.empty()) return true;
    size_t start = 0;
    for (;;) {
        size_t slash = path.find(u'\\', start);
        WStringView name = path.substr(start, slash == WStringView::npos ? slash : slash - start);
        if (!RegValidKeyName(name)) return false;
        parts.emplace_back(name);
        if (slash == WStringView::npos) return true;
        start = slash + 1;
    }
}

int RegFindKey(const RegHive& hive, int root, const std::vector<WString>& parts) {
    for (size_t i = 0; i < hive.keys.size(); ++i) {
        const RegKeyNode& k = hive.keys[i];
        if (k.root != root || k.parts.size() != parts.size()) continue;
        bool same = true;
        for (size_t p = 0; same && p < parts.size(); ++p) {
            same = RegNamesEqual(k.parts[p], parts[p]);
        }
        if (same) return static_cast<int>(i);
    }
    return -1;
}

size_t RegAddKey(RegHive& hive, int root, const std::vector<WString>& parts) {
    int found = RegFindKey(hive, root, parts);
    if (found >= 0) return static_cast<size_t>(found);
    if (parts.empty()) {
        hive.keys.push_back(RegKeyNode{root, {}, {}});
        return hive.keys.size() - 1;
    }
    // Names of keys that exist keep their spelling; the missing ones are added as given.
    std::vector<WString> spelled;
    for (size_t depth = 0; depth < parts.size(); ++depth) {
        spelled.push_back(parts[depth]);
        int at = RegFindKey(hive, root, spelled);
        if (at >= 0) {
            spelled = hive.keys[static_cast<size_t>(at)].parts;
        } else {
            hive.keys.push_back(RegKeyNode{root, spelled, {}});
        }
    }
    return hive.keys.size() - 1;
}

bool RegIsWithin(const RegKeyNode& node, int root, const std::vector<WString>& parts) {
    if (node.root != root || node.parts.size() < parts.size()) return false;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (!RegNamesEqual(node.parts[i], parts[i])) return false;
    }
    return true;
}

int RegFindValue(const RegKeyNode& key, WStringView name) {
    for (size_t i = 0; i < key.values.size(); ++i) {
        if (RegNamesEqual(key.values[i].name, name)) return static_cast<int>(i);
    }
    return -1;
}

std::vector<BYTE> RegStringData(WStringView text) {
    std::vector<BYTE> data((text.size() + 1) * 2, 0);
    if (!text.empty()) memcpy(data.data(), text.data(), text.size() * 2);
    return data;
}

std::string RegFormatHive(const RegHive& hive) {
    std::string out =
        "; Device registry, one [ROOT\\Key\\Path] section per key with one value a line:\n"
        ";   \"Name\"=dword:0000002a   \"Name\"=\"text\"   \"Name\"=hex:01,02   "
        "\"Name\"=hex(7):..   @=default\n"
        "; Texts escape \\\\ \\\" \\n \\r \\t and \\uXXXX. Edit only while nothing writes it.\n";
    std::vector<size_t> order(hive.keys.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return KeyLess(hive.keys[a], hive.keys[b]); });
    for (size_t i : order) {
        const RegKeyNode& k = hive.keys[i];
        out += "\n[";
        out += RegRootName(k.root);
        for (const WString& p : k.parts) {
            out += '\\';
            out += ToUtf8(p);
        }
        out += "]\n";
        for (const RegValue& v : k.values) AppendValue(out, v);
    }
    return out;
}

bool RegParseHive(std::string_view text, RegHive& hive, RegParseError& error) {
    hive.keys.clear();
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);  // a byte order mark
    size_t badAt = 0;
    if (!ValidUtf8(text, badAt)) {
        error.line = 1 + static_cast<int>(std::count(
                             text.begin(), text.begin() + static_cast<ptrdiff_t>(badAt), '\n'));
        error.what = "not UTF-8 text";
        return false;
    }
    int current = -1;
    int lineNo = 0;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        error.line = lineNo;
        if (line[0] == '[') {
            int root;
            std::vector<WString> parts;
            if (!ParseKeyLine(line, root, parts, error.what)) return false;
            current = static_cast<int>(RegAddKey(hive, root, parts));
        } else if (line[0] == '"' || line[0] == '@') {
            if (current < 0) {
                error.what = "value before the first key line";
                return false;
            }
            RegValue v{};
            if (!ParseValueLine(line, v, error.what)) return false;
            RegKeyNode& key = hive.keys[static_cast<size_t>(current)];
            int at = RegFindValue(key, v.name);
            if (at >= 0) {
                key.values[static_cast<size_t>(at)] = std::move(v);  // the later line wins
            } else {
                key.values.push_back(std::move(v));
            }
        } else {
            error.what = "neither a key line, a value line nor a comment";
            return false;
        }
    }
    return true;
}
