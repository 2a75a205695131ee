// The power guard: keeps the device out of suspend while uploads run or wait, by holding the
// power manager's unattended mode, and raises the registry flag HKEY_LOCAL_MACHINE
// "SOFTWARE\Velmar\OrbelUpdater\AppStatus" "App1" that tells a sibling component the upload
// client is busy. No lock of its own: the task manager serialises the calls.
#pragma once

#include "platform/types.h"

class CPowerMgr {
  public:
    CPowerMgr();

    // Holds unattended mode; S_OK at once when already held. The flag and "App1" change
    // before the device is asked, so E_FAIL (device missing or refusing) leaves them set.
    HRESULT EnterUnattendedMode();
    // Lets unattended mode go; S_OK at once when not held. E_FAIL as for enter.
    HRESULT LeaveUnattendedMode();
    // Writes "App1" = busy ? 1 : 0 into the existing key; false when that cannot be done.
    bool SetAppStatus(bool busy);

    BOOL inUnattended;  // 1 while unattended mode is held
};
