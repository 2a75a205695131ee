#include "services/account/account_manager.h"

#include <algorithm>
#include <deque>
#include <new>
#include <vector>

#include "platform/sync.h"
#include "platform/trace.h"
#include "services/account/account_store.h"

namespace {

constexpr size_t kMaxQueuedLogins = 8;  // more unanswered requests than this are refused

struct LoginRequest {
    Site site;  // which account signs in
    int flag;   // YouTube: 1 keeps credentials already stored
};

}  // namespace

struct ACCOUNTMANAGER__ {
    HINSTANCE instance;                  // the caller's module, kept for its traces
    FACEBOOK_CALLBACK facebookCallback;  // told of Facebook logins; may be null
    YOUTUBE_CALLBACK youTubeCallback;    // told of YouTube logins; may be null
    void* userContext;                   // handed back to the callbacks
    std::deque<LoginRequest> queue;      // logins not yet answered, under ServiceLock
    bool stopping;                       // Shutdown has begun, under ServiceLock
    HANDLE wakeEvent;                    // auto-reset: a login was queued
    HANDLE stopEvent;                    // manual-reset: Shutdown has begun
    HANDLE thread;                       // answers the logins
    DWORD threadId;                      // its id, to refuse Shutdown from a callback
};

namespace {

// Guards the list of live services and every service's queue and stopping flag.
CRITICAL_SECTION* ServiceLock() {
    static CRITICAL_SECTION* cs = [] {
        auto* c = new CRITICAL_SECTION;  // outlives every static destructor
        InitializeCriticalSection(c);
        return c;
    }();
    return cs;
}

std::vector<HACCOUNTMANAGER>& LiveServices() {
    static auto* live = new std::vector<HACCOUNTMANAGER>;  // under ServiceLock
    return *live;
}

class ServiceLockGuard {
  public:
    ServiceLockGuard() { EnterCriticalSection(ServiceLock()); }
    ~ServiceLockGuard() { LeaveCriticalSection(ServiceLock()); }
    ServiceLockGuard(const ServiceLockGuard&) = delete;
    ServiceLockGuard& operator=(const ServiceLockGuard&) = delete;
};

// Under ServiceLock.
bool IsLive(HACCOUNTMANAGER account) {
    auto& live = LiveServices();
    return account && std::find(live.begin(), live.end(), account) != live.end();
}

bool CheckLive(HACCOUNTMANAGER account, const char* call) {
    ServiceLockGuard g;
    if (IsLive(account)) return true;
    Trace("[AccountSvr] %s: no such service %p", call, static_cast<void*>(account));
    return false;
}

void FreeService(HACCOUNTMANAGER svc) {
    if (svc->thread) CloseHandle(svc->thread);
    if (svc->wakeEvent) CloseHandle(svc->wakeEvent);
    if (svc->stopEvent) CloseHandle(svc->stopEvent);
    delete svc;
}

// Answers one login; false when Shutdown began while it was under way (it is then dropped).
bool AnswerLogin(HACCOUNTMANAGER svc, const LoginRequest& req) {
    SiteConfig config = ReadSiteConfig(req.site);
    if (WaitForSingleObject(svc->stopEvent, config.delayMs) == WAIT_OBJECT_0) {
        Trace("[AccountSvr] %s login dropped: the service is shutting down", SiteName(req.site));
        return false;
    }
    LONG reason = ACCOUNT_REASON_OK;
    if (config.deny) {
        reason = ACCOUNT_REASON_DENIED;
    } else if (req.flag == 1 && IsSignedIn(req.site)) {
        std::vector<WString> texts;
        if (!ReadCredentials(req.site, &texts) && !StoreNewCredentials(req.site)) {
            reason = ACCOUNT_REASON_STORE_FAILED;
        }
    } else if (!StoreNewCredentials(req.site)) {
        reason = ACCOUNT_REASON_STORE_FAILED;
    }
    LONG signedIn = reason == ACCOUNT_REASON_OK ? 1 : 0;
    Trace("[AccountSvr] %s login %s", SiteName(req.site),
          reason == ACCOUNT_REASON_OK       ? "succeeded"
          : reason == ACCOUNT_REASON_DENIED ? "denied"
                                            : "failed: credentials not stored");
    if (req.site == Site::YouTube) {
        if (svc->youTubeCallback) {
            svc->youTubeCallback(svc, YOUTUBE_ACTION_LOGIN, reason, signedIn, svc->userContext);
        }
    } else if (svc->facebookCallback) {
        svc->facebookCallback(svc, FACEBOOK_ACTION_LOGIN, reason, signedIn, svc->userContext);
    }
    return true;
}

DWORD ServiceThread(LPVOID param) {
    auto svc = static_cast<HACCOUNTMANAGER>(param);
    HANDLE waits[2] = {svc->stopEvent, svc->wakeEvent};
    for (;;) {
        DWORD w = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
        if (w != WAIT_OBJECT_0 + 1) break;  // stop, or a failed wait
        for (;;) {
            LoginRequest req;
            {
                ServiceLockGuard g;
                if (svc->stopping || svc->queue.empty()) break;
                req = svc->queue.front();
                svc->queue.pop_front();
            }
            if (!AnswerLogin(svc, req)) return 0;
        }
    }
    return 0;
}

BOOL QueueLogin(HACCOUNTMANAGER account, Site site, int flag) {
    {
        ServiceLockGuard g;
        if (!IsLive(account) || account->stopping) {
            Trace("[AccountSvr] %s login refused: no such service %p", SiteName(site),
                  static_cast<void*>(account));
            return FALSE;
        }
        if (account->queue.size() >= kMaxQueuedLogins) {
            Trace("[AccountSvr] %s login refused: %u requests already wait", SiteName(site),
                  static_cast<unsigned>(account->queue.size()));
            return FALSE;
        }
        account->queue.push_back(LoginRequest{site, flag});
        SetEvent(account->wakeEvent);
    }
    if (site == Site::YouTube) {
        Trace("[AccountSvr] YouTube login accepted (flag %d)", flag);
    } else {
        Trace("[AccountSvr] Facebook login accepted");
    }
    return TRUE;
}

// Copies text into buf when it fits with its terminator.
bool Fits(const WString& text, LPWSTR buf, DWORD cch) {
    return buf && text.size() < cch;
}

}  // namespace

HACCOUNTMANAGER AccountManager_Initialize(HINSTANCE instance, FACEBOOK_CALLBACK facebookCallback,
                                          YOUTUBE_CALLBACK youTubeCallback, void* userContext) {
    auto* svc = new (std::nothrow)
        ACCOUNTMANAGER__{instance, facebookCallback, youTubeCallback, userContext, {},
                         false,    nullptr,          nullptr,         nullptr,     0};
    if (!svc) {
        Trace("[AccountSvr] Initialize: out of memory");
        return nullptr;
    }
    svc->wakeEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    svc->stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (svc->wakeEvent && svc->stopEvent) {
        svc->thread =
            CreateThread(nullptr, 0, ServiceThread, svc, CREATE_SUSPENDED, &svc->threadId);
    }
    if (!svc->thread) {
        Trace("[AccountSvr] Initialize: cannot start the service thread (error %u)",
              static_cast<unsigned>(GetLastError()));
        FreeService(svc);
        return nullptr;
    }
    {
        ServiceLockGuard g;
        LiveServices().push_back(svc);
    }
    ResumeThread(svc->thread);
    Trace("[AccountSvr] started for module %p", static_cast<void*>(instance));
    return svc;
}

void AccountManager_Shutdown(HACCOUNTMANAGER account) {
    {
        ServiceLockGuard g;
        if (!IsLive(account) || account->stopping) {
            Trace("[AccountSvr] Shutdown: no such service %p", static_cast<void*>(account));
            return;
        }
        if (GetCurrentThreadId() == account->threadId) {
            Trace("[AccountSvr] Shutdown refused: called from the service's own callback");
            return;
        }
        account->stopping = true;
        if (!account->queue.empty()) {
            Trace("[AccountSvr] Shutdown drops %u unanswered logins",
                  static_cast<unsigned>(account->queue.size()));
        }
    }
    SetEvent(account->stopEvent);
    WaitForSingleObject(account->thread, INFINITE);
    {
        ServiceLockGuard g;
        auto& live = LiveServices();
        live.erase(std::remove(live.begin(), live.end(), account), live.end());
    }
    FreeService(account);
    Trace("[AccountSvr] stopped");
}

BOOL AccountManager_FBIsLogin(HACCOUNTMANAGER account) {
    return CheckLive(account, "FBIsLogin") && IsSignedIn(Site::Facebook);
}

BOOL AccountManager_YTIsLogin(HACCOUNTMANAGER account) {
    return CheckLive(account, "YTIsLogin") && IsSignedIn(Site::YouTube);
}

BOOL AccountManager_FBLogin(HACCOUNTMANAGER account) {
    return QueueLogin(account, Site::Facebook, 0);
}

BOOL AccountManager_YTLogin(HACCOUNTMANAGER account, int flag) {
    return QueueLogin(account, Site::YouTube, flag);
}

BOOL AccountManager_FBGetSessionInfo(HACCOUNTMANAGER account, SESSION_STRUCT* session) {
    if (!CheckLive(account, "FBGetSessionInfo")) return FALSE;
    if (!session) {
        Trace("[AccountSvr] FBGetSessionInfo: no session record");
        return FALSE;
    }
    std::vector<WString> t;
    if (!ReadCredentials(Site::Facebook, &t)) return FALSE;
    if (!Fits(t[0], session->pszSessionKey, session->cchSessionKey) ||
        !Fits(t[1], session->pszUserId, session->cchUserId) ||
        !Fits(t[2], session->pszSessionSecret, session->cchSessionSecret) ||
        !Fits(t[3], session->pszExpires, session->cchExpires)) {
        Trace("[AccountSvr] FBGetSessionInfo: a buffer is missing or too small");
        return FALSE;
    }
    WStrCopyN(session->pszSessionKey, t[0].c_str(), session->cchSessionKey);
    WStrCopyN(session->pszUserId, t[1].c_str(), session->cchUserId);
    WStrCopyN(session->pszSessionSecret, t[2].c_str(), session->cchSessionSecret);
    WStrCopyN(session->pszExpires, t[3].c_str(), session->cchExpires);
    return TRUE;
}

BOOL AccountManager_YTGetAuthTokenInfo(HACCOUNTMANAGER account, AUTHTOKEN_STRUCT* token) {
    if (!CheckLive(account, "YTGetAuthTokenInfo")) return FALSE;
    if (!token) {
        Trace("[AccountSvr] YTGetAuthTokenInfo: no token record");
        return FALSE;
    }
    std::vector<WString> t;
    if (!ReadCredentials(Site::YouTube, &t)) return FALSE;
    if (!Fits(t[0], token->pszAuthToken, token->cchAuthToken) ||
        !Fits(t[1], token->pszAccountKey, token->cchAccountKey)) {
        Trace("[AccountSvr] YTGetAuthTokenInfo: a buffer is missing or too small");
        return FALSE;
    }
    WStrCopyN(token->pszAuthToken, t[0].c_str(), token->cchAuthToken);
    WStrCopyN(token->pszAccountKey, t[1].c_str(), token->cchAccountKey);
    return TRUE;
}
