// Account: the account service library signs in on its own thread and keeps the accounts in
// the registry; the adapter turns its login callbacks into MSG_LOGIN_RESULT for a real window,
// refreshing its credential copies first when the login succeeded.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "app/account_adapter.h"
#include "app/messages.h"
#include "platform/sync.h"
#include "platform/wstr.h"
#include "services/account/account_manager.h"
#include "tests/support/machine_values.h"
#include "tests/support/recorded.h"
#include "tests/support/test_env.h"
#include "tests/support/window_thread.h"

namespace {

constexpr LPCWSTR kYouTubeKey = u"SOFTWARE\\Velmar\\Accounts\\YouTube";
constexpr LPCWSTR kFacebookKey = u"SOFTWARE\\Velmar\\Accounts\\Facebook";

bool AllDigits(const WString& s) {
    return !s.empty() && s.find_first_not_of(u"0123456789") == WString::npos;
}

// A signed-in YouTube account with known credentials.
void SignInYouTube() {
    ASSERT_TRUE(SetMachineText(kYouTubeKey, u"AuthToken", u"stored-token"));
    ASSERT_TRUE(SetMachineText(kYouTubeKey, u"AccountKey", u"stored-key"));
    ASSERT_TRUE(SetMachineDword(kYouTubeKey, u"SignedIn", 1));
}

// What the adapter held, and what the registry stored, as each login result reached the
// window: YouTube's token, then Facebook's session key, secret and user id. Both accounts are
// first marked signed out, so that the service cannot answer and the getters return the
// adapter's own copies.
struct Arrival {
    std::vector<WString> held;    // the adapter's copies
    std::vector<WString> stored;  // the registry's values
};
Arrival Capture(AccountAdapter& adapter) {
    Arrival a;
    a.stored = {MachineText(kYouTubeKey, u"AuthToken"), MachineText(kFacebookKey, u"SessionKey"),
                MachineText(kFacebookKey, u"SessionSecret"), MachineText(kFacebookKey, u"UserId")};
    SetMachineDword(kYouTubeKey, u"SignedIn", 0);
    SetMachineDword(kFacebookKey, u"SignedIn", 0);
    a.held = {adapter.GetYTAuthToken(), adapter.GetFBSession0(), adapter.GetFBSession2(),
              adapter.GetFBSession1()};
    return a;
}

class AccountTest : public DeviceTest {
  protected:
    void SetUp() override {
        DeviceTest::SetUp();
        UseTraceFile();
        ASSERT_TRUE(SetMachineDword(kYouTubeKey, u"DelayMs", 5));
        ASSERT_TRUE(SetMachineDword(kFacebookKey, u"DelayMs", 5));
    }
    // The adapter, connected to the service, with a window capturing its results.
    void StartAdapter() {
        window_ = std::make_unique<RecordingWindow>(u"VantloTestRecordingWindow", u"",
                                                    [this](const Received& m) {
                                                        if (m.msg == MSG_LOGIN_RESULT)
                                                            at_.Add(Capture(adapter_));
                                                    });
        ASSERT_NE(window_->Handle(), nullptr);
        ASSERT_NE(adapter_.Initialize(nullptr), nullptr);
    }
    void TearDown() override {
        adapter_.Shutdown();
        window_.reset();
        DeviceTest::TearDown();
    }

    Arrival Last() {
        const std::vector<Arrival> all = at_.All();
        return all.empty() ? Arrival{} : all.back();
    }

    AccountAdapter adapter_;
    Recorded<Arrival> at_;                     // one per login result
    std::unique_ptr<RecordingWindow> window_;  // the adapter's callback window
};

// One report of the service when driven directly: site (0 Facebook, 1 YouTube), action, v1,
// v2, and the thread it came on.
struct Call {
    std::vector<LONG> values;  // site, action, v1, v2
    DWORD thread;              // the reporting thread
};
using CallbackLog = Recorded<Call>;
void LogFacebook(void*, FACEBOOK_ACTION action, LONG v1, LONG v2, void* user) {
    static_cast<CallbackLog*>(user)->Add({{0, action, v1, v2}, GetCurrentThreadId()});
}
void LogYouTube(void*, YOUTUBE_ACTION action, LONG v1, LONG v2, void* user) {
    static_cast<CallbackLog*>(user)->Add({{1, action, v1, v2}, GetCurrentThreadId()});
}
// Waits until log holds n reports.
bool Calls(CallbackLog& log, size_t n) {
    return log.WaitFor([n](const std::vector<Call>& all) { return all.size() >= n; });
}

}  // namespace

// ---- the adapter and a real window ----------------------------------------------------------

TEST_F(AccountTest, LoginsReachTheWindowWithTheCredentialsAlreadyRefreshed) {
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    EXPECT_FALSE(adapter_.YTIsLogin());
    EXPECT_FALSE(adapter_.FBIsLogin());
    EXPECT_EQ(adapter_.GetYTAuthToken(), u"");  // nothing to copy yet
    adapter_.SetCallbackWindow(window_->Handle());

    ASSERT_EQ(adapter_.YTLogin(0), S_OK);
    auto results = window_->WaitFor(MSG_LOGIN_RESULT, 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].wParam, 0u);
    EXPECT_EQ(results[0].lParam, 1);
    Arrival a = Last();
    ASSERT_EQ(a.held.size(), 4u);
    EXPECT_FALSE(a.stored[0].empty());
    EXPECT_EQ(a.held[0], a.stored[0]);
    // Signed in again, the second text comes on request.
    ASSERT_TRUE(SetMachineDword(kYouTubeKey, u"SignedIn", 1));
    EXPECT_TRUE(adapter_.YTIsLogin());
    EXPECT_EQ(adapter_.GetYTAccount(), MachineText(kYouTubeKey, u"AccountKey"));
    EXPECT_FALSE(adapter_.GetYTAccount().empty());
    EXPECT_NE(adapter_.GetYTAccount(), adapter_.GetYTAuthToken());

    ASSERT_EQ(adapter_.FBLogin(), S_OK);
    results = window_->WaitFor(MSG_LOGIN_RESULT, 2);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1].wParam, 0u);
    EXPECT_EQ(results[1].lParam, 1);
    a = Last();
    ASSERT_EQ(a.held.size(), 4u);
    for (size_t i = 1; i < 4; ++i) {
        EXPECT_FALSE(a.stored[i].empty()) << i;
        EXPECT_EQ(a.held[i], a.stored[i]) << i;
    }
    EXPECT_TRUE(AllDigits(a.held[3]));  // the user id
    EXPECT_NE(a.held[1], a.held[2]);
}

TEST_F(AccountTest, DeniedLoginsAndOtherCallbackValuesArePostedWithoutRefreshingAnything) {
    ASSERT_NO_FATAL_FAILURE(SignInYouTube());
    ASSERT_TRUE(SetMachineDword(kYouTubeKey, u"Deny", 1));
    ASSERT_TRUE(SetMachineDword(kFacebookKey, u"Deny", 1));
    ASSERT_NO_FATAL_FAILURE(StartAdapter());
    adapter_.SetCallbackWindow(window_->Handle());

    // Callbacks of other actions post nothing.
    AccountAdapter::YouTubeCallback(nullptr, static_cast<YOUTUBE_ACTION>(1), 0, 1, nullptr);
    AccountAdapter::FacebookCallback(nullptr, static_cast<FACEBOOK_ACTION>(3), 0, 1, nullptr);
    ASSERT_TRUE(window_->Sync());
    EXPECT_TRUE(window_->Of(MSG_LOGIN_RESULT).empty());

    ASSERT_EQ(adapter_.YTLogin(0), S_OK);
    auto results = window_->WaitFor(MSG_LOGIN_RESULT, 1);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0].wParam, 0u);
    EXPECT_EQ(results[0].lParam, 0);
    Arrival a = Last();
    ASSERT_EQ(a.held.size(), 4u);
    EXPECT_EQ(a.held[0], u"");                // the adapter was not refreshed
    EXPECT_EQ(a.stored[0], u"stored-token");  // and the service changed nothing
    EXPECT_EQ(MachineText(kYouTubeKey, u"AccountKey"), u"stored-key");
    EXPECT_EQ(trace_.Count("[AccountSvr] YouTube login denied"), 1u);

    ASSERT_EQ(adapter_.FBLogin(), S_OK);
    results = window_->WaitFor(MSG_LOGIN_RESULT, 2);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1].lParam, 0);
    EXPECT_FALSE(adapter_.FBIsLogin());
    EXPECT_EQ(adapter_.GetFBSession0(), u"");

    // A login callback's value other than 1 is posted as it is, without a refresh.
    AccountAdapter::YouTubeCallback(nullptr, YOUTUBE_ACTION_LOGIN, 0, 2, nullptr);
    results = window_->WaitFor(MSG_LOGIN_RESULT, 3);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(results[2].lParam, 2);
    EXPECT_EQ(Last().held[0], u"");

    // Without a window the result is traced as lost.
    adapter_.SetCallbackWindow(nullptr);
    AccountAdapter::FacebookCallback(nullptr, FACEBOOK_ACTION_LOGIN, 0, 0, nullptr);
    EXPECT_EQ(trace_.Count("AccountAdapter: login result 0 lost: no callback window"), 1u);
    ASSERT_TRUE(window_->Sync());
    EXPECT_EQ(window_->Of(MSG_LOGIN_RESULT).size(), 3u);
}

TEST_F(AccountTest, AdapterWithoutAServiceRefusesLoginsAndKeepsItsCopies) {
    ASSERT_NO_FATAL_FAILURE(SignInYouTube());
    EXPECT_EQ(adapter_.YTLogin(1), E_FAIL);  // not connected yet
    EXPECT_EQ(static_cast<uint32_t>(adapter_.FBLogin()), 0x80004005u);
    ASSERT_NE(adapter_.Initialize(nullptr), nullptr);
    EXPECT_EQ(adapter_.GetYTAuthToken(), u"stored-token");
    EXPECT_EQ(adapter_.GetYTAccount(), u"stored-key");
    adapter_.Shutdown();

    EXPECT_EQ(adapter_.YTLogin(0), E_FAIL);
    EXPECT_FALSE(adapter_.YTIsLogin());
    EXPECT_EQ(adapter_.GetYTAuthToken(), u"stored-token");  // the service is gone; copies stay
    EXPECT_EQ(adapter_.GetFBSession1(), u"");
}

// ---- the service itself ---------------------------------------------------------------------

TEST_F(AccountTest, ServiceAnswersOnItsOwnThreadStoresFreshCredentialsAndFillsOnlyWholeBuffers) {
    CallbackLog log;
    HACCOUNTMANAGER svc = AccountManager_Initialize(nullptr, LogFacebook, LogYouTube, &log);
    ASSERT_NE(svc, nullptr);
    AUTHTOKEN_STRUCT none{};
    EXPECT_FALSE(AccountManager_YTGetAuthTokenInfo(svc, &none));  // not signed in

    ASSERT_TRUE(AccountManager_YTLogin(svc, 0));
    ASSERT_TRUE(Calls(log, 1));
    EXPECT_EQ(log.All()[0].values,
              (std::vector<LONG>{1, YOUTUBE_ACTION_LOGIN, ACCOUNT_REASON_OK, 1}));
    EXPECT_NE(log.All()[0].thread, GetCurrentThreadId());
    EXPECT_TRUE(AccountManager_YTIsLogin(svc));
    EXPECT_FALSE(AccountManager_FBIsLogin(svc));

    WCHAR token[MAX_PATH] = {};
    WCHAR key[MAX_PATH] = {};
    AUTHTOKEN_STRUCT rec{token, MAX_PATH, key, MAX_PATH};
    ASSERT_TRUE(AccountManager_YTGetAuthTokenInfo(svc, &rec));
    EXPECT_EQ(WString(token), MachineText(kYouTubeKey, u"AuthToken"));
    EXPECT_EQ(WString(key), MachineText(kYouTubeKey, u"AccountKey"));
    const WString first = token;

    // A background sign-in keeps what is stored; an interactive one issues new credentials.
    ASSERT_TRUE(AccountManager_YTLogin(svc, 1));
    ASSERT_TRUE(Calls(log, 2));
    EXPECT_EQ(MachineText(kYouTubeKey, u"AuthToken"), first);
    ASSERT_TRUE(AccountManager_YTLogin(svc, 0));
    ASSERT_TRUE(Calls(log, 3));
    EXPECT_NE(MachineText(kYouTubeKey, u"AuthToken"), first);
    EXPECT_FALSE(MachineText(kYouTubeKey, u"AuthToken").empty());

    ASSERT_TRUE(AccountManager_FBLogin(svc));
    ASSERT_TRUE(Calls(log, 4));
    ASSERT_EQ(log.Size(), 4u);
    EXPECT_EQ(log.All()[3].values,
              (std::vector<LONG>{0, FACEBOOK_ACTION_LOGIN, ACCOUNT_REASON_OK, 1}));
    WCHAR t[4][MAX_PATH] = {};
    SESSION_STRUCT session{t[0], MAX_PATH, t[1], MAX_PATH, t[2], MAX_PATH, t[3], MAX_PATH};
    ASSERT_TRUE(AccountManager_FBGetSessionInfo(svc, &session));
    EXPECT_EQ(WString(t[0]), MachineText(kFacebookKey, u"SessionKey"));
    EXPECT_TRUE(AllDigits(t[1]));
    EXPECT_TRUE(AllDigits(t[3]));  // the expiry

    // Nothing is written into missing or short buffers.
    WStrCopyN(token, u"untouched", MAX_PATH);
    WCHAR small[6] = u"small";
    rec = AUTHTOKEN_STRUCT{token, MAX_PATH, small, 6};
    EXPECT_FALSE(AccountManager_YTGetAuthTokenInfo(svc, &rec));
    rec = AUTHTOKEN_STRUCT{token, MAX_PATH, nullptr, MAX_PATH};
    EXPECT_FALSE(AccountManager_YTGetAuthTokenInfo(svc, &rec));
    EXPECT_FALSE(AccountManager_YTGetAuthTokenInfo(svc, nullptr));
    EXPECT_FALSE(AccountManager_FBGetSessionInfo(svc, nullptr));
    EXPECT_EQ(WString(token), u"untouched");
    // A credential of the wrong type counts as missing.
    ASSERT_TRUE(SetMachineDword(kYouTubeKey, u"AccountKey", 5));
    rec = AUTHTOKEN_STRUCT{token, MAX_PATH, key, MAX_PATH};
    EXPECT_FALSE(AccountManager_YTGetAuthTokenInfo(svc, &rec));
    EXPECT_EQ(trace_.Count("[AccountSvr] YouTube: credential AccountKey is missing"), 1u);
    AccountManager_Shutdown(svc);
}

TEST_F(AccountTest, ServiceRefusesUnknownHandlesAndTooManyWaitingLogins) {
    auto* bogus = reinterpret_cast<HACCOUNTMANAGER>(0x1000);
    EXPECT_FALSE(AccountManager_YTLogin(nullptr, 0));
    EXPECT_FALSE(AccountManager_FBLogin(bogus));
    EXPECT_FALSE(AccountManager_YTIsLogin(bogus));
    AccountManager_Shutdown(nullptr);
    AccountManager_Shutdown(bogus);

    // A login that takes far longer than the test.
    ASSERT_TRUE(SetMachineDword(kYouTubeKey, u"DelayMs", 600000));
    CallbackLog log;
    HACCOUNTMANAGER svc = AccountManager_Initialize(nullptr, LogFacebook, LogYouTube, &log);
    ASSERT_NE(svc, nullptr);
    int accepted = 0;
    for (int i = 0; i < 12; ++i) accepted += AccountManager_YTLogin(svc, 0) ? 1 : 0;
    // Eight wait; the service thread may have taken one more to work on.
    EXPECT_GE(accepted, 8);
    EXPECT_LE(accepted, 9);
    EXPECT_GE(trace_.Count("requests already wait"), 3u);

    // Shutdown does not wait for the logins under way: they are dropped unanswered.
    auto done = std::async(std::launch::async, [svc] { AccountManager_Shutdown(svc); });
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(log.Size(), 0u);
    EXPECT_FALSE(AccountManager_YTLogin(svc, 0));  // the handle is gone
    EXPECT_FALSE(AccountManager_YTIsLogin(svc));
}
