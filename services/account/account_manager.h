// The phone's account service, VelmarAccountManagerSvr: signs the user in to Facebook and
// YouTube and hands out the credentials of the signed-in accounts.
//
// Accounts live in the registry, one key per site under HKEY_LOCAL_MACHINE:
//   "SOFTWARE\Velmar\Accounts\YouTube"   "SignedIn" (REG_DWORD, 1 while signed in),
//                                         "AuthToken", "AccountKey" (REG_SZ)
//   "SOFTWARE\Velmar\Accounts\Facebook"  "SignedIn", "SessionKey", "UserId", "SessionSecret",
//                                         "Expires" (REG_SZ, seconds since 1970 in decimal)
// and two values in the same keys steer the sign-in, so that a person or a test can choose the
// outcome: "Deny" (REG_DWORD, 1 makes every sign-in fail) and "DelayMs" (REG_DWORD, how long
// a sign-in takes; 100 when absent).
//
// A login request is accepted at once and answered later on the service's own thread through
// the site's callback: action 0 (login finished), value1 the service's reason code (0 on
// success, ACCOUNT_REASON_*), value2 1 when the user is signed in, else 0. A successful login
// has stored fresh, non-empty credentials before its callback runs. No call may be made on a
// handle after AccountManager_Shutdown has returned.
#pragma once

#include <cstdint>

#include "platform/module.h"
#include "platform/types.h"

#if defined(VANTLO_ACCOUNT_SERVICE_BUILD)
#define ACCOUNTMGR_API extern "C" __attribute__((visibility("default")))
#else
#define ACCOUNTMGR_API extern "C"
#endif

struct ACCOUNTMANAGER__;
using HACCOUNTMANAGER = ACCOUNTMANAGER__*;  // the service handle; opaque to callers

// What a callback reports; only login results are reported.
enum FACEBOOK_ACTION : int32_t { FACEBOOK_ACTION_LOGIN = 0 };
enum YOUTUBE_ACTION : int32_t { YOUTUBE_ACTION_LOGIN = 0 };

// Reason codes carried in a login callback's first value.
constexpr LONG ACCOUNT_REASON_OK = 0;            // signed in
constexpr LONG ACCOUNT_REASON_DENIED = 1;        // the site refused the sign-in
constexpr LONG ACCOUNT_REASON_STORE_FAILED = 2;  // the credentials could not be stored

// Called on the service's thread; serviceContext is the handle, userContext what
// AccountManager_Initialize was given. A callback may call the service's queries but not
// AccountManager_Shutdown.
using FACEBOOK_CALLBACK = void (*)(void* serviceContext, FACEBOOK_ACTION action, LONG value1,
                                   LONG value2, void* userContext);
using YOUTUBE_CALLBACK = void (*)(void* serviceContext, YOUTUBE_ACTION action, LONG value1,
                                  LONG value2, void* userContext);

// The YouTube credentials; the caller owns the buffers, the service writes the texts.
struct AUTHTOKEN_STRUCT {
    LPWSTR pszAuthToken;   // receives the sign-in token the video engine works with
    DWORD cchAuthToken;    // capacity of pszAuthToken in characters, terminator included
    LPWSTR pszAccountKey;  // receives the account's key passed with every video
    DWORD cchAccountKey;   // capacity of pszAccountKey in characters, terminator included
};

// The Facebook session; the caller owns the buffers, the service writes the texts.
struct SESSION_STRUCT {
    LPWSTR pszSessionKey;     // receives the session key
    DWORD cchSessionKey;      // its capacity in characters, terminator included
    LPWSTR pszUserId;         // receives the signed-in user's id (whose albums are listed)
    DWORD cchUserId;          // its capacity
    LPWSTR pszSessionSecret;  // receives the session secret
    DWORD cchSessionSecret;   // its capacity
    LPWSTR pszExpires;        // receives the session's expiry, seconds since 1970 in decimal
    DWORD cchExpires;         // its capacity
};

// Starts the service; null when it cannot be started. The callbacks may be null.
ACCOUNTMGR_API HACCOUNTMANAGER AccountManager_Initialize(HINSTANCE instance,
                                                         FACEBOOK_CALLBACK facebookCallback,
                                                         YOUTUBE_CALLBACK youTubeCallback,
                                                         void* userContext);
// Stops the service: requests not yet answered are dropped, its thread has ended and the
// handle is freed when this returns. A null or unknown handle is ignored.
ACCOUNTMGR_API void AccountManager_Shutdown(HACCOUNTMANAGER account);
// Non-zero while the user is signed in to the site.
ACCOUNTMGR_API BOOL AccountManager_FBIsLogin(HACCOUNTMANAGER account);
ACCOUNTMGR_API BOOL AccountManager_YTIsLogin(HACCOUNTMANAGER account);
// Asks for a sign-in; non-zero when the request was accepted (its result follows through the
// callback). For YouTube, flag 1 asks for a background sign-in that keeps the stored
// credentials when the user is signed in already; flag 0 always issues new ones.
ACCOUNTMGR_API BOOL AccountManager_FBLogin(HACCOUNTMANAGER account);
ACCOUNTMGR_API BOOL AccountManager_YTLogin(HACCOUNTMANAGER account, int flag);
// Writes the signed-in account's credentials into the caller's buffers; non-zero when every
// text was written, 0 when not signed in, a buffer is missing or too small, or the record is
// null. Nothing is written on failure.
ACCOUNTMGR_API BOOL AccountManager_FBGetSessionInfo(HACCOUNTMANAGER account,
                                                    SESSION_STRUCT* session);
ACCOUNTMGR_API BOOL AccountManager_YTGetAuthTokenInfo(HACCOUNTMANAGER account,
                                                      AUTHTOKEN_STRUCT* token);
