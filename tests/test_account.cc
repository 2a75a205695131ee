// Account: the account service library signs in on its own thread and keeps the accounts in
// the registry; the adapter turns its login callbacks into MSG_LOGIN_RESULT for a real window,
// refreshing its credential copies first when the login succeeded.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "app/account_adapter.h"
#include "app/messages.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "services/account/account_manager.h"
#include "tests/message_window.h"
#include "tests/support/test_env.h"

namespace {

constexpr LPCWSTR kYouTubeKey = u"SOFTWARE\\Velmar\\Accounts\\YouTube";
constexpr LPCWSTR kFacebookKey = u"SOFTWARE\\Velmar\\Accounts\\Facebook";

class AccountTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        trace_ = runtime_ + "/trace.log";
        setenv("VANTLO_TRACE_FILE", trace_.c_str(), 1);
        SetDword(kYouTubeKey, u"DelayMs", 5);
        SetDword(kFacebookKey, u"DelayMs", 5);
    }
    void TearDown() override {
        unsetenv("VANTLO_TRACE_FILE");
        DeviceTest::TearDown();
    }

  public:
    static void SetDword(LPCWSTR keyPath, LPCWSTR name, DWORD value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(
            RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), sizeof value),
            ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void SetText(LPCWSTR keyPath, LPCWSTR name, const WString& text) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                                 static_cast<DWORD>((text.size() + 1) * sizeof(WCHAR))),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    // A text value as stored, empty when absent.
    static WString Text(LPCWSTR keyPath, LPCWSTR name) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath, 0, 0, &key) != ERROR_SUCCESS) return u"";
        WCHAR buf[MAX_PATH] = {};
        DWORD size = sizeof buf - sizeof(WCHAR);
        LONG rc =
            RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(buf), &size);
        RegCloseKey(key);
        return rc == ERROR_SUCCESS ? WString(buf) : WString();
    }
    // A signed-in YouTube account with known credentials.
    static void SignInYouTube(const WString& token, const WString& accountKey) {
        SetText(kYouTubeKey, u"AuthToken", token);
        SetText(kYouTubeKey, u"AccountKey", accountKey);
        SetDword(kYouTubeKey, u"SignedIn", 1);
    }

  protected:
    int TraceCount(const std::string& line) const {
        std::string text = ReadHostFile(trace_);
        int n = 0;
        for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1)) {
            ++n;
        }
        return n;
    }

    std::string trace_;  // this case's trace file
};

// What the adapter held when the login result reached the window.
struct AtArrival {
    std::mutex lock;
    std::vector<WString> held;     // the adapter's copies, read without a fresh answer
    std::vector<WString> inStore;  // what the registry held at that moment
};

// Reads the adapter's copies as the window receives the result. The account is first marked
// signed out, so the service cannot answer and the getters return what the adapter already had.
void CaptureYouTube(AccountAdapter* adapter, AtArrival* at, const ReceivedMessage& m) {
    if (m.msg != MSG_LOGIN_RESULT) return;
    WString stored = AccountTest::Text(kYouTubeKey, u"AuthToken");
    AccountTest::SetDword(kYouTubeKey, u"SignedIn", 0);
    WString held = adapter->GetYTAuthToken();
    std::lock_guard<std::mutex> g(at->lock);
    at->inStore = {stored};
    at->held = {held};
}

void CaptureFacebook(AccountAdapter* adapter, AtArrival* at, const ReceivedMessage& m) {
    if (m.msg != MSG_LOGIN_RESULT) return;
    std::vector<WString> stored = {AccountTest::Text(kFacebookKey, u"SessionKey"),
                                   AccountTest::Text(kFacebookKey, u"SessionSecret"),
                                   AccountTest::Text(kFacebookKey, u"UserId")};
    AccountTest::SetDword(kFacebookKey, u"SignedIn", 0);
    std::vector<WString> held = {adapter->GetFBSession0(), adapter->GetFBSession2(),
                                 adapter->GetFBSession1()};
    std::lock_guard<std::mutex> g(at->lock);
    at->inStore = stored;
    at->held = held;
}

bool AllDigits(const WString& s) {
    if (s.empty()) return false;
    for (WCHAR c : s) {
        if (c < u'0' || c > u'9') return false;
    }
    return true;
}

// Records what the service reports when driven directly.
struct CallbackLog {
    std::mutex lock;
    std::vector<std::vector<LONG>> calls;  // site (0 Facebook, 1 YouTube), action, v1, v2
    std::vector<DWORD> threads;            // the thread each call came on
    HANDLE arrived = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // set per call
    ~CallbackLog() { CloseHandle(arrived); }

    void Add(LONG site, LONG action, LONG v1, LONG v2) {
        {
            std::lock_guard<std::mutex> g(lock);
            calls.push_back({site, action, v1, v2});
            threads.push_back(GetCurrentThreadId());
        }
        SetEvent(arrived);
    }
    bool WaitOne() { return WaitForSingleObject(arrived, 20000) == WAIT_OBJECT_0; }
    size_t Count() {
        std::lock_guard<std::mutex> g(lock);
        return calls.size();
    }
};

void LogFacebook(void*, FACEBOOK_ACTION action, LONG v1, LONG v2, void* user) {
    static_cast<CallbackLog*>(user)->Add(0, action, v1, v2);
}
void LogYouTube(void*, YOUTUBE_ACTION action, LONG v1, LONG v2, void* user) {
    static_cast<CallbackLog*>(user)->Add(1, action, v1, v2);
}

}  // namespace

// ---- the adapter and a real window ----------------------------------------------------------

TEST_F(AccountTest, YouTubeLoginReachesTheWindowWithTheTokenAlreadyRefreshed) {
    AccountAdapter adapter;
    AtArrival at;
    MessageWindow window([&](const ReceivedMessage& m) { CaptureYouTube(&adapter, &at, m); });
    ASSERT_NE(window.Handle(), nullptr);
    ASSERT_NE(adapter.Initialize(nullptr), nullptr);
    EXPECT_FALSE(adapter.YTIsLogin());
    EXPECT_EQ(adapter.GetYTAuthToken(), u"");  // nothing to copy yet
    adapter.SetCallbackWindow(window.Handle());

    ASSERT_EQ(adapter.YTLogin(0), S_OK);
    auto results = window.WaitFor(MSG_LOGIN_RESULT, 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].wParam, 0u);
    EXPECT_EQ(results[0].lParam, 1);
    {
        std::lock_guard<std::mutex> g(at.lock);
        ASSERT_EQ(at.held.size(), 1u);
        EXPECT_FALSE(at.inStore[0].empty());
        EXPECT_EQ(at.held[0], at.inStore[0]);
    }

    // Signed in again, the second text comes on request.
    SetDword(kYouTubeKey, u"SignedIn", 1);
    EXPECT_TRUE(adapter.YTIsLogin());
    EXPECT_EQ(adapter.GetYTAccount(), Text(kYouTubeKey, u"AccountKey"));
    EXPECT_FALSE(adapter.GetYTAccount().empty());
    EXPECT_NE(adapter.GetYTAccount(), adapter.GetYTAuthToken());
    adapter.Shutdown();
}

TEST_F(AccountTest, FacebookLoginReachesTheWindowWithTheSessionAlreadyRefreshed) {
    AccountAdapter adapter;
    AtArrival at;
    MessageWindow window([&](const ReceivedMessage& m) { CaptureFacebook(&adapter, &at, m); });
    ASSERT_NE(window.Handle(), nullptr);
    ASSERT_NE(adapter.Initialize(nullptr), nullptr);
    EXPECT_FALSE(adapter.FBIsLogin());
    adapter.SetCallbackWindow(window.Handle());

    ASSERT_EQ(adapter.FBLogin(), S_OK);
    auto results = window.WaitFor(MSG_LOGIN_RESULT, 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].wParam, 0u);
    EXPECT_EQ(results[0].lParam, 1);
    {
        std::lock_guard<std::mutex> g(at.lock);
        ASSERT_EQ(at.held.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            EXPECT_FALSE(at.inStore[i].empty()) << i;
            EXPECT_EQ(at.held[i], at.inStore[i]) << i;
        }
        EXPECT_TRUE(AllDigits(at.held[2]));  // the user id
        EXPECT_NE(at.held[0], at.held[1]);
    }
    adapter.Shutdown();
}

TEST_F(AccountTest, DeniedLoginsReachTheWindowAsZeroWithoutRefreshingAnything) {
    SignInYouTube(u"stored-token", u"stored-key");
    SetDword(kYouTubeKey, u"Deny", 1);
    SetDword(kFacebookKey, u"Deny", 1);
    AccountAdapter adapter;
    AtArrival at;
    MessageWindow window([&](const ReceivedMessage& m) { CaptureYouTube(&adapter, &at, m); });
    ASSERT_NE(window.Handle(), nullptr);
    ASSERT_NE(adapter.Initialize(nullptr), nullptr);
    adapter.SetCallbackWindow(window.Handle());

    ASSERT_EQ(adapter.YTLogin(0), S_OK);
    auto results = window.WaitFor(MSG_LOGIN_RESULT, 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].wParam, 0u);
    EXPECT_EQ(results[0].lParam, 0);
    {
        std::lock_guard<std::mutex> g(at.lock);
        ASSERT_EQ(at.held.size(), 1u);
        EXPECT_EQ(at.held[0], u"");                 // the adapter was not refreshed
        EXPECT_EQ(at.inStore[0], u"stored-token");  // and the service changed nothing
    }
    EXPECT_EQ(Text(kYouTubeKey, u"AccountKey"), u"stored-key");
    EXPECT_EQ(TraceCount("[AccountSvr] YouTube login denied"), 1);

    ASSERT_EQ(adapter.FBLogin(), S_OK);
    results = window.WaitFor(MSG_LOGIN_RESULT, 2);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1].lParam, 0);
    EXPECT_FALSE(adapter.FBIsLogin());
    EXPECT_EQ(adapter.GetFBSession0(), u"");
    adapter.Shutdown();
}

TEST_F(AccountTest, CallbacksActOnlyOnLoginAndPostOtherValuesWithoutRefresh) {
    SignInYouTube(u"stored-token", u"stored-key");
    AccountAdapter adapter;
    AtArrival at;
    MessageWindow window([&](const ReceivedMessage& m) { CaptureYouTube(&adapter, &at, m); });
    ASSERT_NE(window.Handle(), nullptr);
    ASSERT_NE(adapter.Initialize(nullptr), nullptr);
    adapter.SetCallbackWindow(window.Handle());

    AccountAdapter::YouTubeCallback(nullptr, static_cast<YOUTUBE_ACTION>(1), 0, 1, nullptr);
    AccountAdapter::FacebookCallback(nullptr, static_cast<FACEBOOK_ACTION>(3), 0, 1, nullptr);
    ASSERT_TRUE(window.Sync());
    EXPECT_TRUE(window.Of(MSG_LOGIN_RESULT).empty());

    AccountAdapter::YouTubeCallback(nullptr, YOUTUBE_ACTION_LOGIN, 0, 2, nullptr);
    auto results = window.WaitFor(MSG_LOGIN_RESULT, 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].lParam, 2);
    {
        std::lock_guard<std::mutex> g(at.lock);
        ASSERT_EQ(at.held.size(), 1u);
        EXPECT_EQ(at.held[0], u"");
    }

    // Without a window the result is traced as lost.
    adapter.SetCallbackWindow(nullptr);
    AccountAdapter::FacebookCallback(nullptr, FACEBOOK_ACTION_LOGIN, 0, 0, nullptr);
    EXPECT_EQ(TraceCount("AccountAdapter: login result 0 lost: no callback window"), 1);
    ASSERT_TRUE(window.Sync());
    EXPECT_EQ(window.Of(MSG_LOGIN_RESULT).size(), 1u);
    adapter.Shutdown();
}

TEST_F(AccountTest, AdapterWithoutAServiceRefusesLoginsAndKeepsItsCopies) {
    SignInYouTube(u"stored-token", u"stored-key");
    AccountAdapter adapter;
    EXPECT_EQ(adapter.YTLogin(1), E_FAIL);  // not connected yet
    EXPECT_EQ(static_cast<uint32_t>(adapter.FBLogin()), 0x80004005u);
    ASSERT_NE(adapter.Initialize(nullptr), nullptr);
    EXPECT_EQ(adapter.GetYTAuthToken(), u"stored-token");
    EXPECT_EQ(adapter.GetYTAccount(), u"stored-key");
    adapter.Shutdown();

    EXPECT_EQ(adapter.YTLogin(0), E_FAIL);
    EXPECT_FALSE(adapter.YTIsLogin());
    EXPECT_EQ(adapter.GetYTAuthToken(), u"stored-token");  // the service is gone; copies stay
    EXPECT_EQ(adapter.GetFBSession1(), u"");
}

// ---- the service itself ---------------------------------------------------------------------

TEST_F(AccountTest, ServiceAnswersOnItsOwnThreadAndStoresFreshCredentials) {
    CallbackLog log;
    HACCOUNTMANAGER svc = AccountManager_Initialize(nullptr, LogFacebook, LogYouTube, &log);
    ASSERT_NE(svc, nullptr);
    AUTHTOKEN_STRUCT none{};
    EXPECT_FALSE(AccountManager_YTGetAuthTokenInfo(svc, &none));  // not signed in

    ASSERT_TRUE(AccountManager_YTLogin(svc, 0));
    ASSERT_TRUE(log.WaitOne());
    {
        std::lock_guard<std::mutex> g(log.lock);
        EXPECT_EQ(log.calls[0], (std::vector<LONG>{1, YOUTUBE_ACTION_LOGIN, ACCOUNT_REASON_OK, 1}));
        EXPECT_NE(log.threads[0], GetCurrentThreadId());
    }
    EXPECT_TRUE(AccountManager_YTIsLogin(svc));
    EXPECT_FALSE(AccountManager_FBIsLogin(svc));

    WCHAR token[MAX_PATH] = {};
    WCHAR key[MAX_PATH] = {};
    AUTHTOKEN_STRUCT rec{token, MAX_PATH, key, MAX_PATH};
    ASSERT_TRUE(AccountManager_YTGetAuthTokenInfo(svc, &rec));
    EXPECT_EQ(WString(token), Text(kYouTubeKey, u"AuthToken"));
    EXPECT_EQ(WString(key), Text(kYouTubeKey, u"AccountKey"));
    WString first = token;

    // A background sign-in keeps what is stored; an interactive one issues new credentials.
    ASSERT_TRUE(AccountManager_YTLogin(svc, 1));
    ASSERT_TRUE(log.WaitOne());
    EXPECT_EQ(Text(kYouTubeKey, u"AuthToken"), first);
    ASSERT_TRUE(AccountManager_YTLogin(svc, 0));
    ASSERT_TRUE(log.WaitOne());
    EXPECT_NE(Text(kYouTubeKey, u"AuthToken"), first);
    EXPECT_FALSE(Text(kYouTubeKey, u"AuthToken").empty());

    ASSERT_TRUE(AccountManager_FBLogin(svc));
    ASSERT_TRUE(log.WaitOne());
    {
        std::lock_guard<std::mutex> g(log.lock);
        ASSERT_EQ(log.calls.size(), 4u);
        EXPECT_EQ(log.calls[3],
                  (std::vector<LONG>{0, FACEBOOK_ACTION_LOGIN, ACCOUNT_REASON_OK, 1}));
    }
    WCHAR t[4][MAX_PATH] = {};
    SESSION_STRUCT session{t[0], MAX_PATH, t[1], MAX_PATH, t[2], MAX_PATH, t[3], MAX_PATH};
    ASSERT_TRUE(AccountManager_FBGetSessionInfo(svc, &session));
    EXPECT_EQ(WString(t[0]), Text(kFacebookKey, u"SessionKey"));
    EXPECT_TRUE(AllDigits(t[1]));
    EXPECT_TRUE(AllDigits(t[3]));  // the expiry
    AccountManager_Shutdown(svc);
}

TEST_F(AccountTest, ServiceWritesNothingIntoMissingOrShortBuffers) {
    SignInYouTube(u"stored-token", u"stored-key");
    HACCOUNTMANAGER svc = AccountManager_Initialize(nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(svc, nullptr);
    WCHAR token[MAX_PATH] = u"untouched";
    WCHAR small[6] = u"small";
    AUTHTOKEN_STRUCT rec{token, MAX_PATH, small, 6};
    EXPECT_FALSE(AccountManager_YTGetAuthTokenInfo(svc, &rec));
    EXPECT_EQ(WString(token), u"untouched");
    rec = AUTHTOKEN_STRUCT{token, MAX_PATH, nullptr, MAX_PATH};
    EXPECT_FALSE(AccountManager_YTGetAuthTokenInfo(svc, &rec));
    EXPECT_FALSE(AccountManager_YTGetAuthTokenInfo(svc, nullptr));
    EXPECT_FALSE(AccountManager_FBGetSessionInfo(svc, nullptr));
    EXPECT_EQ(WString(token), u"untouched");

    // A credential of the wrong type counts as missing.
    SetDword(kYouTubeKey, u"AccountKey", 5);
    rec = AUTHTOKEN_STRUCT{token, MAX_PATH, small, 6};
    EXPECT_FALSE(AccountManager_YTGetAuthTokenInfo(svc, &rec));
    EXPECT_EQ(TraceCount("[AccountSvr] YouTube: credential AccountKey is missing"), 1);
    AccountManager_Shutdown(svc);
}

TEST_F(AccountTest, ServiceRefusesUnknownHandlesAndTooManyWaitingLogins) {
    auto* bogus = reinterpret_cast<HACCOUNTMANAGER>(0x1000);
    EXPECT_FALSE(AccountManager_YTLogin(nullptr, 0));
    EXPECT_FALSE(AccountManager_FBLogin(bogus));
    EXPECT_FALSE(AccountManager_YTIsLogin(bogus));
    AccountManager_Shutdown(nullptr);
    AccountManager_Shutdown(bogus);

    SetDword(kYouTubeKey, u"DelayMs", 600000);  // a login that takes far longer than the test
    CallbackLog log;
    HACCOUNTMANAGER svc = AccountManager_Initialize(nullptr, LogFacebook, LogYouTube, &log);
    ASSERT_NE(svc, nullptr);
    int accepted = 0;
    for (int i = 0; i < 12; ++i) accepted += AccountManager_YTLogin(svc, 0) ? 1 : 0;
    // Eight wait; the service thread may have taken one more to work on.
    EXPECT_GE(accepted, 8);
    EXPECT_LE(accepted, 9);
    EXPECT_GE(TraceCount("requests already wait"), 3);

    // Shutdown does not wait for the logins under way: they are dropped unanswered.
    auto done = std::async(std::launch::async, [svc] { AccountManager_Shutdown(svc); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(log.Count(), 0u);
    EXPECT_FALSE(AccountManager_YTLogin(svc, 0));  // the handle is gone
    EXPECT_FALSE(AccountManager_YTIsLogin(svc));
}
