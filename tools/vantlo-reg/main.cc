// vantlo-reg: reads and changes the device registry from outside the system, also while the
// system runs (every change goes through the registry's writer lock).
//
//   vantlo-reg get KEY NAME                      prints dword:<decimal> or sz:<text>
//   vantlo-reg set KEY NAME dword:<n>|sz:<text>  creates the key when needed
//   vantlo-reg list KEY                          prints NAME<TAB>dword:<n> / NAME<TAB>sz:<text>
//   vantlo-reg delete KEY NAME
//
// KEY is written like HKLM\SOFTWARE\Velmar\Vantlo (HKEY_LOCAL_MACHINE, HKCU, HKEY_CURRENT_USER,
// HKCR and HKU name the other roots); NAME "" is the key's default value. Values of other
// types print as hex:<bytes> or hex(<type>):<bytes>.
// Exit status: 0 done, 1 key or value absent, 2 bad command line, 3 registry failure.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/registry.h"
#include "platform/wstr.h"

namespace {

constexpr int kExitAbsent = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFailed = 3;

int Usage() {
    fputs(
        "usage: vantlo-reg get KEY NAME\n"
        "       vantlo-reg set KEY NAME dword:<n>|sz:<text>\n"
        "       vantlo-reg list KEY\n"
        "       vantlo-reg delete KEY NAME\n"
        "KEY is written like HKLM\\SOFTWARE\\Velmar\\Vantlo\n",
        stderr);
    return kExitUsage;
}

const char* ErrorText(LONG rc) {
    switch (rc) {
        case ERROR_FILE_NOT_FOUND:
            return "not found";
        case ERROR_KEY_DELETED:
            return "the key was deleted";
        case ERROR_INVALID_PARAMETER:
            return "invalid name or value";
        case ERROR_ACCESS_DENIED:
            return "access denied";
        case ERROR_DISK_FULL:
            return "the registry is full";
        case ERROR_WRITE_FAULT:
            return "the registry cannot be written";
        case ERROR_READ_FAULT:
            return "the registry cannot be read";
        case ERROR_BAD_FORMAT:
            return "the registry file is corrupt";
        default:
            return "failed";
    }
}

// Reports a failed registry call and gives the exit status for it.
int Fail(const char* what, const std::string& subject, LONG rc) {
    fprintf(stderr, "vantlo-reg: %s %s: %s (error %d)\n", what, subject.c_str(), ErrorText(rc),
            static_cast<int>(rc));
    return rc == ERROR_FILE_NOT_FOUND || rc == ERROR_KEY_DELETED ? kExitAbsent : kExitFailed;
}

bool SameIgnoringCase(const std::string& a, const char* b) {
    size_t n = strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
        if (x != y) return false;
    }
    return true;
}

struct KeyPath {
    HKEY root = nullptr;  // the predefined root
    WString sub;          // the path below it
};

bool ParseKey(const std::string& text, KeyPath& key) {
    static const struct {
        const char* shortName;
        const char* longName;
        HKEY root;
    } kRoots[] = {{"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
                  {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
                  {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                  {"HKU", "HKEY_USERS", HKEY_USERS}};
    size_t slash = text.find('\\');
    std::string first = text.substr(0, slash);
    for (const auto& r : kRoots) {
        if (SameIgnoringCase(first, r.shortName) || SameIgnoringCase(first, r.longName)) {
            key.root = r.root;
            key.sub = slash == std::string::npos ? WString() : FromUtf8(text.substr(slash + 1));
            return true;
        }
    }
    fprintf(stderr, "vantlo-reg: unknown root key in %s\n", text.c_str());
    return false;
}

// Parses a decimal (or 0x hexadecimal) number of at most 32 bits.
bool ParseNumber(const std::string& text, DWORD& out) {
    int base = 10;
    size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) base = 16, i = 2;
    if (i >= text.size()) return false;
    uint64_t n = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        int d = (c >= '0' && c <= '9')   ? c - '0'
                : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                         : 99;
        if (d >= base) return false;
        n = n * static_cast<uint64_t>(base) + static_cast<uint64_t>(d);
        if (n > 0xFFFFFFFFu) return false;
    }
    out = static_cast<DWORD>(n);
    return true;
}

// The text form of a value: dword:<decimal>, sz:<text>, hex:<bytes> or hex(<type>):<bytes>.
std::string FormatValue(DWORD type, const std::vector<BYTE>& data) {
    if (type == REG_DWORD && data.size() == 4) {
        DWORD n;
        memcpy(&n, data.data(), 4);
        return "dword:" + std::to_string(n);
    }
    if (type == REG_SZ && data.size() % 2 == 0) {
        WString text(data.size() / 2, u'\0');
        if (!data.empty()) memcpy(text.data(), data.data(), data.size());
        text.resize(WStrLen(text.c_str()));
        return "sz:" + ToUtf8(text);
    }
    char buf[24];
    std::string out;
    if (type == REG_BINARY) {
        out = "hex:";
    } else {
        snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(type));
        out = buf;
    }
    for (size_t i = 0; i < data.size(); ++i) {
        snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", data[i]);
        out += buf;
    }
    return out;
}

void PrintLine(const std::string& line) {
    fwrite(line.data(), 1, line.size(), stdout);
    fputc('\n', stdout);
}

int Get(const KeyPath& key, const std::string& keyText, const std::string& name) {
    HKEY h;
    LONG rc = RegOpenKeyExW(key.root, key.sub.c_str(), 0, KEY_READ, &h);
    if (rc != ERROR_SUCCESS) return Fail("cannot open", keyText, rc);
    WString wname = FromUtf8(name);
    std::vector<BYTE> data(256);
    DWORD type = 0, size;
    // The value may grow between two reads when another process changes it.
    do {
        size = static_cast<DWORD>(data.size());
        rc = RegQueryValueExW(h, wname.c_str(), nullptr, &type, data.data(), &size);
        if (rc == ERROR_MORE_DATA) data.resize(size);
    } while (rc == ERROR_MORE_DATA);
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS) return Fail("cannot read", keyText + " " + name, rc);
    data.resize(size);
    PrintLine(FormatValue(type, data));
    return 0;
}

int Set(const KeyPath& key, const std::string& keyText, const std::string& name,
        const std::string& value) {
    DWORD type;
    std::vector<BYTE> data;
    if (value.rfind("dword:", 0) == 0) {
        DWORD n;
        if (!ParseNumber(value.substr(6), n)) {
            fprintf(stderr, "vantlo-reg: %s is not a 32-bit number\n", value.c_str());
            return kExitUsage;
        }
        type = REG_DWORD;
        data.resize(4);
        memcpy(data.data(), &n, 4);
    } else if (value.rfind("sz:", 0) == 0) {
        WString text = FromUtf8(value.substr(3));
        type = REG_SZ;
        data.resize((text.size() + 1) * sizeof(WCHAR), 0);
        if (!text.empty()) memcpy(data.data(), text.data(), text.size() * sizeof(WCHAR));
    } else {
        fprintf(stderr, "vantlo-reg: the value must be dword:<n> or sz:<text>\n");
        return kExitUsage;
    }
    HKEY h;
    LONG rc = RegCreateKeyExW(key.root, key.sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &h, nullptr);
    if (rc != ERROR_SUCCESS) return Fail("cannot create", keyText, rc);
    WString wname = FromUtf8(name);
    rc = RegSetValueExW(h, wname.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS) return Fail("cannot write", keyText + " " + name, rc);
    return 0;
}

int List(const KeyPath& key, const std::string& keyText) {
    HKEY h;
    LONG rc = RegOpenKeyExW(key.root, key.sub.c_str(), 0, KEY_READ, &h);
    if (rc != ERROR_SUCCESS) return Fail("cannot open", keyText, rc);
    std::vector<WCHAR> name(MAX_VALUE_NAME_CHARS + 1);
    std::vector<BYTE> data(256);
    for (DWORD index = 0;;) {
        DWORD cch = static_cast<DWORD>(name.size());
        DWORD size = static_cast<DWORD>(data.size());
        DWORD type = 0;
        rc = RegEnumValueW(h, index, name.data(), &cch, nullptr, &type, data.data(), &size);
        if (rc == ERROR_MORE_DATA) {
            data.resize(size);
            continue;
        }
        if (rc != ERROR_SUCCESS) break;
        std::vector<BYTE> bytes(data.begin(), data.begin() + size);
        PrintLine(ToUtf8(WStringView(name.data(), cch)) + "\t" + FormatValue(type, bytes));
        ++index;
    }
    RegCloseKey(h);
    if (rc != ERROR_NO_MORE_ITEMS) return Fail("cannot list", keyText, rc);
    return 0;
}

int Delete(const KeyPath& key, const std::string& keyText, const std::string& name) {
    HKEY h;
    LONG rc = RegOpenKeyExW(key.root, key.sub.c_str(), 0, KEY_WRITE, &h);
    if (rc != ERROR_SUCCESS) return Fail("cannot open", keyText, rc);
    WString wname = FromUtf8(name);
    rc = RegDeleteValueW(h, wname.c_str());
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS) return Fail("cannot delete", keyText + " " + name, rc);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    std::string command = argv[1];
    std::string keyText = argv[2];
    KeyPath key;
    if (command == "get" && argc == 4) {
        return ParseKey(keyText, key) ? Get(key, keyText, argv[3]) : kExitUsage;
    }
    if (command == "set" && argc == 5) {
        return ParseKey(keyText, key) ? Set(key, keyText, argv[3], argv[4]) : kExitUsage;
    }
    if (command == "list" && argc == 3) {
        return ParseKey(keyText, key) ? List(key, keyText) : kExitUsage;
    }
    if (command == "delete" && argc == 4) {
        return ParseKey(keyText, key) ? Delete(key, keyText, argv[3]) : kExitUsage;
    }
    return Usage();
}
