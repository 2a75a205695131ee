// The account service as the login pages use it; the application's account adapter is one.
#pragma once

#include "platform/types.h"
#include "platform/window.h"
#include "upload/account_info.h"

class ILoginService : public IAccountInfo {
  public:
    virtual BOOL YTIsLogin() = 0;  // non-zero while signed in to YouTube
    virtual BOOL FBIsLogin() = 0;
    // Starts a sign-in; its outcome arrives later as MSG_LOGIN_RESULT at the callback window.
    virtual HRESULT YTLogin(int flag) = 0;
    virtual HRESULT FBLogin() = 0;
    virtual void SetCallbackWindow(HWND hWnd) = 0;

  protected:
    ~ILoginService() = default;
};
