// The adapter to the account service: the only code that calls it. It keeps the service
// handle, copies the credentials the service hands out into strings of its own and turns the
// service's login callbacks into MSG_LOGIN_RESULT for the login page's window.
//
// The strings are refreshed on the service's thread (callbacks) and read on the main and the
// dialog threads: every access takes the adapter's lock and getters return copies.
#pragma once

#include "platform/sync.h"
#include "platform/types.h"
#include "platform/window.h"
#include "platform/wstr.h"
#include "services/account/account_manager.h"
#include "ui/login_service.h"

class AccountAdapter : public ILoginService {
  public:
    // Also makes this object the one the service's callbacks report to.
    AccountAdapter();
    ~AccountAdapter();
    AccountAdapter(const AccountAdapter&) = delete;
    AccountAdapter& operator=(const AccountAdapter&) = delete;

    // Connects the service, reporting logins to the two callbacks; returns its handle (null
    // when the service could not start).
    HACCOUNTMANAGER Initialize(HINSTANCE instance);
    // Disconnects the service; no callback runs after this returns.
    void Shutdown();
    // Where the callbacks post MSG_LOGIN_RESULT; null drops the results.
    void SetCallbackWindow(HWND hWnd);

    BOOL YTIsLogin();  // the service's answer, non-zero when signed in
    BOOL FBIsLogin();
    // Asks the service for a sign-in (flag: see AccountManager_YTLogin); S_OK when accepted,
    // else E_FAIL. The outcome arrives as MSG_LOGIN_RESULT.
    HRESULT YTLogin(int flag);
    HRESULT FBLogin();

    // Ask the service again and return the adapter's copy: the previous one (initially empty)
    // when the service cannot tell.
    WString GetYTAuthToken();  // the YouTube sign-in token, handed to the video engine
    WString GetYTAccount();    // the YouTube account key, passed with every video task
    void RefreshFBSession();   // refreshes all four Facebook session texts
    WString GetFBSession0();   // the session key
    WString GetFBSession2();   // the session secret
    WString GetFBSession1();   // the signed-in user's id

    // The service's callbacks: on action 0 a successful login (value2 == 1) first refreshes
    // the credentials; every login result is then posted as MSG_LOGIN_RESULT (wParam 0,
    // lParam value2). Other actions are ignored.
    static void FacebookCallback(void* serviceContext, FACEBOOK_ACTION action, LONG value1,
                                 LONG value2, void* userContext);
    static void YouTubeCallback(void* serviceContext, YOUTUBE_ACTION action, LONG value1,
                                LONG value2, void* userContext);

  private:
    // Asks the service for the YouTube record, keeps its text index on success and returns
    // the adapter's copy of that text.
    WString RefreshYTText(int index);
    HACCOUNTMANAGER Handle();
    WString Read(const WString& s);
    // Posts the login result to the callback window, if there is one.
    void PostLoginResult(LONG value);

    WString ytAuth[2];         // the YouTube sign-in token and account key
    WString fbSession[4];      // the Facebook session key, user id, secret and expiry
    HWND hCallbackWnd;         // where login results go; null drops them
    HACCOUNTMANAGER hAccount;  // the service handle, null while disconnected
    CRITICAL_SECTION lock;     // guards every field above
};
