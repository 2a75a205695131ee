#include "services/engines/core/engine_settings.h"

#include <vector>

#include "platform/registry.h"
#include "platform/trace.h"

namespace {

// A setting's text is short; anything larger is taken for damage.
constexpr DWORD kMaxStringBytes = 64 * 1024;

// The key, open for reading, or null when it is absent (absence is the usual case).
HKEY OpenSettings(LPCWSTR key, const char* tag) {
    HKEY h = nullptr;
    LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_READ, &h);
    if (rc != ERROR_SUCCESS) {
        if (rc != ERROR_FILE_NOT_FOUND) {
            Trace("[%s] cannot open settings %s: error %d", tag, key, static_cast<int>(rc));
        }
        return nullptr;
    }
    return h;
}

// Closes the settings key when it goes.
class SettingsKey {
  public:
    SettingsKey(LPCWSTR key, const char* tag) : h_(OpenSettings(key, tag)) {}
    ~SettingsKey() {
        if (h_) RegCloseKey(h_);
    }
    SettingsKey(const SettingsKey&) = delete;
    SettingsKey& operator=(const SettingsKey&) = delete;

    HKEY get() const { return h_; }

  private:
    HKEY h_;  // the open key, or null when it is absent
};

// A REG_DWORD value of the open key h; false (traced when present but malformed) otherwise.
bool QueryDword(HKEY h, LPCWSTR value, DWORD* out, const char* tag) {
    DWORD type = REG_NONE;
    DWORD data = 0;
    DWORD size = sizeof data;
    LONG rc = RegQueryValueExW(h, value, nullptr, &type, reinterpret_cast<LPBYTE>(&data), &size);
    if (rc == ERROR_FILE_NOT_FOUND) return false;
    if (rc != ERROR_SUCCESS || type != REG_DWORD || size != sizeof data) {
        Trace("[%s] setting %s is not a number (error %d, type %u); ignored", tag, value,
              static_cast<int>(rc), static_cast<unsigned>(type));
        return false;
    }
    *out = data;
    return true;
}

}  // namespace

bool ReadEngineDword(LPCWSTR key, LPCWSTR value, DWORD* out, const char* tag) {
    SettingsKey h(key, tag);
    return h.get() && QueryDword(h.get(), value, out, tag);
}

bool ReadEngineString(LPCWSTR key, LPCWSTR value, WString* out, const char* tag) {
    SettingsKey h(key, tag);
    if (!h.get()) return false;
    DWORD type = REG_NONE;
    DWORD size = 0;
    LONG rc = RegQueryValueExW(h.get(), value, nullptr, &type, nullptr, &size);
    std::vector<WCHAR> text;
    if (rc == ERROR_SUCCESS && type == REG_SZ && size <= kMaxStringBytes) {
        text.assign(size / sizeof(WCHAR) + 1, u'\0');
        rc = RegQueryValueExW(h.get(), value, nullptr, &type, reinterpret_cast<LPBYTE>(text.data()),
                              &size);
    }
    if (rc == ERROR_FILE_NOT_FOUND) return false;
    if (rc != ERROR_SUCCESS || type != REG_SZ || size > kMaxStringBytes) {
        Trace("[%s] setting %s is not a text (error %d, type %u, %u bytes); ignored", tag, value,
              static_cast<int>(rc), static_cast<unsigned>(type), static_cast<unsigned>(size));
        return false;
    }
    text.back() = u'\0';  // the stored text need not end in a terminator
    *out = WString(text.data());
    return true;
}

EngineSettings ReadEngineSettings(LPCWSTR key, const char* tag) {
    EngineSettings s;
    // One open for all three: each call looks at the registry anew.
    SettingsKey h(key, tag);
    if (!h.get()) return s;
    QueryDword(h.get(), u"BytesPerSecond", &s.bytesPerSecond, tag);
    DWORD code = 0;
    if (QueryDword(h.get(), u"FailCode", &code, tag)) s.failCode = static_cast<HRESULT>(code);
    QueryDword(h.get(), u"FailAtPercent", &s.failAtPercent, tag);
    return s;
}
