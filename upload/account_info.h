// The account texts the task manager needs, as the application's account adapter hands them
// out. Every getter asks the account service again and returns a copy; when the service
// cannot tell, the previous text (initially empty) comes back.
#pragma once

#include "platform/wstr.h"

class IAccountInfo {
  public:
    virtual WString GetYTAuthToken() = 0;  // YouTube text 0: handed to the video engine
    virtual WString GetYTAccount() = 0;    // YouTube text 1: the token of every video task
    virtual WString GetFBSession0() = 0;   // Facebook session text 0 (the session key)
    virtual WString GetFBSession2() = 0;   // Facebook session text 2 (the session secret)
    virtual WString GetFBSession1() = 0;   // Facebook session text 1 (the user's id)

  protected:
    ~IAccountInfo() = default;
};
