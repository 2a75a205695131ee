#include "app/account_adapter.h"

#include <atomic>

#include "app/messages.h"
#include "platform/trace.h"

namespace {

// The adapter the service's callbacks report to; set by its constructor.
std::atomic<AccountAdapter*> g_pCallbackTarget{nullptr};

constexpr DWORD kTextChars = MAX_PATH;  // every credential buffer handed to the service

// Holds the adapter's lock for a scope.
class Locked {
  public:
    explicit Locked(CRITICAL_SECTION* cs) : cs_(cs) { EnterCriticalSection(cs_); }
    ~Locked() { LeaveCriticalSection(cs_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

  private:
    CRITICAL_SECTION* cs_;  // held while the object lives
};

}  // namespace

AccountAdapter::AccountAdapter() : hCallbackWnd(nullptr), hAccount(nullptr) {
    InitializeCriticalSection(&lock);
    g_pCallbackTarget.store(this);
}

AccountAdapter::~AccountAdapter() {
    AccountAdapter* self = this;
    g_pCallbackTarget.compare_exchange_strong(self, nullptr);
    DeleteCriticalSection(&lock);
}

HACCOUNTMANAGER AccountAdapter::Initialize(HINSTANCE instance) {
    HACCOUNTMANAGER h =
        AccountManager_Initialize(instance, FacebookCallback, YouTubeCallback, nullptr);
    Locked g(&lock);
    hAccount = h;
    return h;
}

void AccountAdapter::Shutdown() {
    // The service is not called under the lock: its shutdown waits for a callback that may be
    // waiting for the lock.
    AccountManager_Shutdown(Handle());
    Locked g(&lock);
    hAccount = nullptr;
}

void AccountAdapter::SetCallbackWindow(HWND hWnd) {
    Locked g(&lock);
    hCallbackWnd = hWnd;
}

HACCOUNTMANAGER AccountAdapter::Handle() {
    Locked g(&lock);
    return hAccount;
}

WString AccountAdapter::Read(const WString& s) {
    Locked g(&lock);
    return s;
}

BOOL AccountAdapter::YTIsLogin() {
    return AccountManager_YTIsLogin(Handle());
}

BOOL AccountAdapter::FBIsLogin() {
    return AccountManager_FBIsLogin(Handle());
}

HRESULT AccountAdapter::YTLogin(int flag) {
    return AccountManager_YTLogin(Handle(), flag) ? S_OK : E_FAIL;
}

HRESULT AccountAdapter::FBLogin() {
    return AccountManager_FBLogin(Handle()) ? S_OK : E_FAIL;
}

WString AccountAdapter::RefreshYTText(int index) {
    WCHAR text[2][kTextChars] = {};
    AUTHTOKEN_STRUCT rec{};
    rec.pszAuthToken = text[0];
    rec.cchAuthToken = kTextChars;
    rec.pszAccountKey = text[1];
    rec.cchAccountKey = kTextChars;
    BOOL ok = AccountManager_YTGetAuthTokenInfo(Handle(), &rec);
    Locked g(&lock);
    if (ok) {
        text[index][kTextChars - 1] = 0;
        ytAuth[index] = text[index];
    }
    return ytAuth[index];
}

WString AccountAdapter::GetYTAuthToken() {
    return RefreshYTText(0);
}

WString AccountAdapter::GetYTAccount() {
    return RefreshYTText(1);
}

void AccountAdapter::RefreshFBSession() {
    WCHAR text[4][kTextChars] = {};
    SESSION_STRUCT rec{};
    rec.pszSessionKey = text[0];
    rec.cchSessionKey = kTextChars;
    rec.pszUserId = text[1];
    rec.cchUserId = kTextChars;
    rec.pszSessionSecret = text[2];
    rec.cchSessionSecret = kTextChars;
    rec.pszExpires = text[3];
    rec.cchExpires = kTextChars;
    if (!AccountManager_FBGetSessionInfo(Handle(), &rec)) return;
    Locked g(&lock);
    for (int i = 0; i < 4; ++i) {
        text[i][kTextChars - 1] = 0;
        fbSession[i] = text[i];
    }
}

WString AccountAdapter::GetFBSession0() {
    RefreshFBSession();
    return Read(fbSession[0]);
}

WString AccountAdapter::GetFBSession2() {
    RefreshFBSession();
    return Read(fbSession[2]);
}

WString AccountAdapter::GetFBSession1() {
    RefreshFBSession();
    return Read(fbSession[1]);
}

void AccountAdapter::PostLoginResult(LONG value) {
    HWND target;
    {
        Locked g(&lock);
        target = hCallbackWnd;
    }
    if (!target) {
        Trace("AccountAdapter: login result %d lost: no callback window", value);
        return;
    }
    if (!PostMessageW(target, MSG_LOGIN_RESULT, 0, value)) {
        Trace("AccountAdapter: login result %d lost: the window is gone", value);
    }
}

void AccountAdapter::FacebookCallback(void*, FACEBOOK_ACTION action, LONG, LONG value2, void*) {
    if (action != FACEBOOK_ACTION_LOGIN) return;
    AccountAdapter* self = g_pCallbackTarget.load();
    if (!self) return;
    if (value2 == 1) self->RefreshFBSession();
    self->PostLoginResult(value2);
}

void AccountAdapter::YouTubeCallback(void*, YOUTUBE_ACTION action, LONG, LONG value2, void*) {
    if (action != YOUTUBE_ACTION_LOGIN) return;
    AccountAdapter* self = g_pCallbackTarget.load();
    if (!self) return;
    if (value2 == 1) self->GetYTAuthToken();
    self->PostLoginResult(value2);
}
