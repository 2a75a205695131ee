#include "services/account/account_store.h"

#include <chrono>
#include <random>
#include <string>

#include "platform/registry.h"
#include "platform/trace.h"

namespace {

// A sign-in takes a while, as it would over the network: long enough for the login page to be
// on screen before the answer comes.
constexpr DWORD kDefaultDelayMs = 1000;
constexpr DWORD kSessionLifetimeSec = 24 * 60 * 60;

LPCWSTR KeyOf(Site site) {
    return site == Site::YouTube ? u"SOFTWARE\\Velmar\\Accounts\\YouTube"
                                 : u"SOFTWARE\\Velmar\\Accounts\\Facebook";
}

// The value names of the site's texts, in record order.
std::vector<LPCWSTR> TextNames(Site site) {
    if (site == Site::YouTube) return {u"AuthToken", u"AccountKey"};
    return {u"SessionKey", u"UserId", u"SessionSecret", u"Expires"};
}

// An open registry key, closed with the object.
class Key {
  public:
    Key() = default;
    ~Key() {
        if (h_) RegCloseKey(h_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* Out() { return &h_; }
    HKEY Get() const { return h_; }

  private:
    HKEY h_ = nullptr;  // null while nothing is open
};

LONG OpenSiteKey(Site site, Key* key) {
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyOf(site), 0, KEY_READ, key->Out());
}

// Reads a REG_SZ value of at most kMaxCredentialChars characters; false when absent or not so.
bool ReadText(HKEY key, LPCWSTR name, WString* out) {
    WCHAR buf[kMaxCredentialChars + 1];
    DWORD type = 0;
    DWORD size = sizeof buf;
    LONG rc = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    if (rc != ERROR_SUCCESS || type != REG_SZ) {
        if (rc != ERROR_FILE_NOT_FOUND) {
            Trace("[AccountSvr] value %s is not a text of at most %u characters (error %d)", name,
                  static_cast<unsigned>(kMaxCredentialChars), rc);
        }
        return false;
    }
    size_t chars = size / sizeof(WCHAR);
    while (chars > 0 && buf[chars - 1] == 0) --chars;
    out->assign(buf, chars);
    return true;
}

LONG WriteDword(HKEY key, LPCWSTR name, DWORD value) {
    return RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value);
}

LONG WriteText(HKEY key, LPCWSTR name, const WString& text) {
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR)));
}

// Random lower-case hex digits.
WString RandomHex(std::mt19937_64& rng, size_t digits) {
    static const char16_t kHex[] = u"0123456789abcdef";
    WString s;
    while (s.size() < digits) {
        uint64_t v = rng();
        for (int i = 0; i < 16 && s.size() < digits; ++i, v >>= 4) s.push_back(kHex[v & 0xF]);
    }
    return s;
}

std::vector<WString> NewCredentials(Site site) {
    std::random_device seed;
    std::mt19937_64 rng((static_cast<uint64_t>(seed()) << 32) ^ seed());
    if (site == Site::YouTube) return {u"yt1." + RandomHex(rng, 40), u"ytk-" + RandomHex(rng, 32)};
    uint64_t userId = 100000000000000ull + rng() % 900000000000000ull;
    auto now = std::chrono::system_clock::now().time_since_epoch();
    auto expires =
        std::chrono::duration_cast<std::chrono::seconds>(now).count() + kSessionLifetimeSec;
    return {RandomHex(rng, 32), FromUtf8(std::to_string(userId)), RandomHex(rng, 32),
            FromUtf8(std::to_string(expires))};
}

}  // namespace

const char* SiteName(Site site) {
    return site == Site::YouTube ? "YouTube" : "Facebook";
}

SiteConfig ReadSiteConfig(Site site) {
    SiteConfig config{false, kDefaultDelayMs};
    Key key;
    if (OpenSiteKey(site, &key) != ERROR_SUCCESS) return config;
    config.deny = RegReadDwordOr(key.Get(), u"Deny", 0, "AccountSvr") == 1;
    config.delayMs = RegReadDwordOr(key.Get(), u"DelayMs", kDefaultDelayMs, "AccountSvr");
    return config;
}

bool IsSignedIn(Site site) {
    Key key;
    if (OpenSiteKey(site, &key) != ERROR_SUCCESS) return false;
    return RegReadDwordOr(key.Get(), u"SignedIn", 0, "AccountSvr") != 0;
}

bool ReadCredentials(Site site, std::vector<WString>* texts) {
    texts->clear();
    Key key;
    if (OpenSiteKey(site, &key) != ERROR_SUCCESS ||
        RegReadDwordOr(key.Get(), u"SignedIn", 0, "AccountSvr") == 0) {
        Trace("[AccountSvr] %s: not signed in", SiteName(site));
        return false;
    }
    for (LPCWSTR name : TextNames(site)) {
        WString text;
        if (!ReadText(key.Get(), name, &text) || text.empty()) {
            Trace("[AccountSvr] %s: credential %s is missing", SiteName(site), name);
            texts->clear();
            return false;
        }
        texts->push_back(std::move(text));
    }
    return true;
}

bool StoreNewCredentials(Site site) {
    Key key;
    LONG rc = RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeyOf(site), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, key.Out(), nullptr);
    if (rc != ERROR_SUCCESS) {
        Trace("[AccountSvr] %s: cannot create the account key (error %d)", SiteName(site), rc);
        return false;
    }
    // Signed out while the texts change, so nobody reads half old, half new credentials.
    rc = WriteDword(key.Get(), u"SignedIn", 0);
    std::vector<WString> texts = NewCredentials(site);
    std::vector<LPCWSTR> names = TextNames(site);
    for (size_t i = 0; rc == ERROR_SUCCESS && i < names.size(); ++i) {
        rc = WriteText(key.Get(), names[i], texts[i]);
    }
    if (rc == ERROR_SUCCESS) rc = WriteDword(key.Get(), u"SignedIn", 1);
    if (rc != ERROR_SUCCESS) {
        Trace("[AccountSvr] %s: cannot store the credentials (error %d)", SiteName(site), rc);
        return false;
    }
    return true;
}
